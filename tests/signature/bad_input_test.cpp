// Every row's operations on truncated and damaged first sectors: a defined answer, and
// (under the address sanitizer) no read outside the buffer handed in.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "signature/signature_catalogue.h"
#include "signature/signature_table.h"
#include "support/planted_image.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> HeaderSamples() {
  const std::vector<std::string> heads = {
      std::string("\x00\x00\x01\xBA\x00\x00\x01\xBB", 8),
      std::string("\x00\x00\x00\x18"
                  "ftypmp42",
                  12),
      ".RMF",
      std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16),
      "FWS\x05\xFF\xFF\xFF\xFF",
      std::string("RIFF\xFF\xFF\xFF\xFF"
                  "AVI LIST",
                  16),
      std::string("ID3\x03\x00\x00\x00\x00\x00\x10", 10),
      std::string("MThd\x00\x00\x00\x06\x00\x01\xFF\xFF\x00\x60MTrk\xFF\xFF\xFF\xFF", 22),
      "MAC ",
      "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1",
      "GIF89a",
      std::string("\xFF\xD8\xFF\xE1\x00\x10"
                  "Exif",
                  10),
      "\x89PNG\r\n\x1A\n",
      std::string("BM\xFF\xFF\xFF\xFF\x00\x00\x00\x00\x00\x00\x00\x00\x28\x00\x00\x00", 18),
      "%PDF-",
      std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x02\x03", 10),
      "7z\xBC\xAF\x27\x1C",
      "PK\x03\x04",
      std::string("Rar!\x1A\x07\x00", 7),
      "MSCF\0\0\0\0\xFF\xFF\xFF\xFF",
      std::string("MZ", 2),
      std::string("\x00\x00\x01\x00\xFF\xFF", 6),
      std::string("\x00\x01\x00\x00\xFF\xFF\x01\x01\x01\x01\x01\x01", 12),
      "\x47\x40\x11\x10"};
  std::vector<Bytes> samples;
  for (const std::string& head : heads) {
    Bytes sector(512, 0xFF);
    std::memcpy(sector.data(), head.data(), head.size());
    samples.push_back(sector);
    std::memset(sector.data() + head.size(), 0, 512 - head.size());
    samples.push_back(sector);
  }
  // A PE header offset pointing at the last bytes of the sector.
  Bytes pe(512, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  pe[60] = 0xE8;
  pe[61] = 0x01;
  std::memcpy(pe.data() + 488, "PE\0\0", 4);
  samples.push_back(pe);
  return samples;
}

TEST(BadInputTest, TruncatedSectorsGiveDefinedAnswers) {
  testing::PlantedImage image(48, 21);
  SectorReader* reader = image.Open();
  const std::vector<size_t> lengths = {0,  1,  2,  3,  4,  5,  7,  8,   9,   10,
                                       15, 16, 17, 18, 22, 23, 24, 31,  32,  35,
                                       36, 39, 40, 47, 48, 50, 52, 100, 188, 511};
  const SignatureRow* table = SignatureTable();
  for (const Bytes& sample : HeaderSamples()) {
    for (size_t length : lengths) {
      // Exactly `length` bytes on the heap, so a read past them is caught.
      auto buffer = std::make_unique<uint8_t[]>(length + 1);
      std::memcpy(buffer.get(), sample.data(), length);
      for (size_t i = 0; table[i].type != kNoSignatureType; ++i) {
        CarveContext context = testing::CarvingContext();
        context.source = reader;
        context.start_sector = 40;
        context.cursor = 40;
        const int type = table[i].identify(context, buffer.get(), length);
        EXPECT_TRUE(type == kNoSignatureType || (type >= 0 && FirstRowOfType(type) != nullptr));
        if (table[i].length != nullptr) {
          const uint64_t measured = table[i].length(context, buffer.get(), length);
          EXPECT_LE(measured, 64ull * 1024 * 1024 * 1024 + 512) << table[i].extension;
        }
      }
    }
  }
}

TEST(BadInputTest, UnusableArgumentsAreRefused) {
  Bytes sector(512, 0);
  CarveContext context = testing::CarvingContext();
  CarveResult result;
  EXPECT_EQ(IdentifyAndMeasure(context, 0, nullptr, sector.data(), 512, 0, {}, &result), 87);
  EXPECT_EQ(IdentifyAndMeasure(context, 512, nullptr, nullptr, 512, 0, {}, &result), 87);
  EXPECT_EQ(IdentifyAndMeasure(context, 512, nullptr, sector.data(), 512, 0, {}, nullptr), 87);
  // No source: lengths that need more than the first sector stop after it.
  std::memcpy(sector.data(), "8BPS", 4);
  EXPECT_EQ(IdentifyAndMeasure(context, 512, nullptr, sector.data(), 512, 0, {}, &result), 0);
  EXPECT_EQ(result.length, 512u);
}

}  // namespace
}  // namespace velmora
