#pragma once

// Deterministic file content for volume builders and engine tests.
//
//   auto photo = SampleContent("jpg", 20000, /*seed=*/7);   // FF D8 FF E0 ... FF D9
//   auto blob  = RandomBytes(4096, 1);
//   EXPECT_EQ(Md5Hex(recovered), Md5Hex(photo));
//
// The same (extension, size, seed) always gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed);

// Printable ASCII words and line breaks, exactly n bytes.
std::vector<uint8_t> RandomText(size_t n, uint64_t seed);

// Exactly `size` bytes that look like a real file of that type, so header, footer and
// "content matches extension" checks pass:
//   jpg/jpeg  SOI, APP0 JFIF, DQT, SOF0, SOS, byte-stuffed scan data (no stray markers), EOI FF D9
//   png       signature, IHDR, one IDAT, IEND (chunk CRCs valid)
//   gif       "GIF89a" header ... trailer 0x3B
//   bmp       "BM" with the file size in the header
//   pdf       "%PDF-1.4" ... ends exactly with "%%EOF"
//   txt/csv/log/htm/html/xml   printable text
//   zip       a valid stored-zip archive (local headers, central directory, end record)
//   docx/xlsx/pptx  a valid zip whose first entry is "[Content_Types].xml", then word/ xl/ ppt/
//   doc/xls/ppt     compound-file header D0 CF 11 E0 A1 B1 1A E1, then random sectors
//   anything else   RandomBytes
// The extension is matched case-insensitively. Sizes below SampleMinimumSize() throw
// std::invalid_argument.
std::vector<uint8_t> SampleContent(std::string_view extension, size_t size, uint64_t seed);
size_t SampleMinimumSize(std::string_view extension);

// Lower-case hex digests (OpenSSL).
std::string Md5Hex(const std::vector<uint8_t>& bytes);
std::string Sha256Hex(const std::vector<uint8_t>& bytes);

}  // namespace velmora::testing
