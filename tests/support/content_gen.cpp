#include "support/content_gen.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

namespace velmora::testing {

namespace {

// splitmix64: tiny, fast and identical on every platform.
class Prng {
 public:
  explicit Prng(uint64_t seed) : state_(seed ^ 0x5EED5EED5EED5EEDull) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

 private:
  uint64_t state_;
};

using Bytes = std::vector<uint8_t>;

void Append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
void AppendBytes(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
void PutLe16(Bytes& out, uint32_t v) { AppendBytes(out, {uint8_t(v), uint8_t(v >> 8)}); }
void PutLe32(Bytes& out, uint32_t v) {
  AppendBytes(out, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void PutBe32(Bytes& out, uint32_t v) {
  AppendBytes(out, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

void AppendText(Bytes& out, size_t n, Prng& prng) {
  static constexpr std::string_view kLetters = "etaoinshrdlucmfwypvbgkjqxz";
  size_t word_left = 1 + prng.Below(9);
  size_t line_left = 40 + prng.Below(40);
  for (size_t i = 0; i < n; ++i) {
    char c;
    if (line_left == 0) {
      c = '\n';
      line_left = 40 + prng.Below(40);
      word_left = 1 + prng.Below(9);
    } else if (word_left == 0) {
      c = ' ';
      word_left = 1 + prng.Below(9);
      --line_left;
    } else {
      c = kLetters[prng.Below(kLetters.size())];
      if (prng.Below(20) == 0) c = static_cast<char>(std::toupper(c));
      --word_left;
      --line_left;
    }
    out.push_back(static_cast<uint8_t>(c));
  }
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!out.empty() && out[0] == '.') out.erase(0, 1);
  return out;
}

uint32_t Crc32(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), data, static_cast<uInt>(n)));
}

Bytes Jpeg(size_t size, Prng& prng) {
  Bytes out;
  AppendBytes(out, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                    0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  AppendBytes(out, {0xFF, 0xDB, 0x00, 0x43, 0x00});
  for (int i = 0; i < 64; ++i) out.push_back(static_cast<uint8_t>(1 + prng.Below(100)));
  AppendBytes(out, {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01, 0x11, 0x00});
  AppendBytes(out, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  const size_t scan_end = size - 2;
  while (out.size() < scan_end) {
    uint8_t b = prng.Byte();
    if (b == 0xFF) {
      if (out.size() + 2 <= scan_end) {
        AppendBytes(out, {0xFF, 0x00});  // byte stuffing: no marker inside the scan
        continue;
      }
      b = 0xFE;
    }
    out.push_back(b);
  }
  AppendBytes(out, {0xFF, 0xD9});
  return out;
}

void PngChunk(Bytes& out, const char* type, const Bytes& data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  const size_t type_at = out.size();
  Append(out, std::string_view(type, 4));
  out.insert(out.end(), data.begin(), data.end());
  PutBe32(out, Crc32(out.data() + type_at, out.size() - type_at));
}

Bytes Png(size_t size, Prng& prng) {
  Bytes out;
  AppendBytes(out, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
  Bytes ihdr;
  PutBe32(ihdr, 64);
  PutBe32(ihdr, 64);
  AppendBytes(ihdr, {8, 2, 0, 0, 0});
  PngChunk(out, "IHDR", ihdr);
  Bytes idat(size - out.size() - 12 - 12);
  for (auto& b : idat) b = prng.Byte();
  PngChunk(out, "IDAT", idat);
  PngChunk(out, "IEND", {});
  return out;
}

Bytes Gif(size_t size, Prng& prng) {
  Bytes out;
  Append(out, "GIF89a");
  PutLe16(out, 64);
  PutLe16(out, 64);
  AppendBytes(out, {0x00, 0x00, 0x00});
  out.push_back(0x2C);
  PutLe16(out, 0);
  PutLe16(out, 0);
  PutLe16(out, 64);
  PutLe16(out, 64);
  out.push_back(0x00);
  out.push_back(0x08);  // LZW minimum code size
  size_t remaining = size - out.size() - 2;
  while (remaining > 0) {
    size_t n = std::min<size_t>(255, remaining - 1);
    if (remaining - (n + 1) == 1) --n;  // never leave a lone byte that cannot form a block
    out.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(1 + prng.Below(255)));
    remaining -= n + 1;
  }
  AppendBytes(out, {0x00, 0x3B});
  return out;
}

Bytes Bmp(size_t size, Prng& prng) {
  Bytes out;
  Append(out, "BM");
  PutLe32(out, static_cast<uint32_t>(size));
  PutLe32(out, 0);
  PutLe32(out, 54);
  const uint32_t pixels = static_cast<uint32_t>((size - 54) / 4);
  PutLe32(out, 40);
  PutLe32(out, pixels);  // one row of 32-bit pixels
  PutLe32(out, 1);
  PutLe16(out, 1);
  PutLe16(out, 32);
  PutLe32(out, 0);
  PutLe32(out, static_cast<uint32_t>(size - 54));
  PutLe32(out, 2835);
  PutLe32(out, 2835);
  PutLe32(out, 0);
  PutLe32(out, 0);
  while (out.size() < size) out.push_back(prng.Byte());
  return out;
}

Bytes Pdf(size_t size, Prng& prng) {
  static constexpr std::string_view kHead =
      "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
      "2 0 obj\n<< /Length 0 >>\nstream\n";
  static constexpr std::string_view kTail =
      "\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF";
  Bytes out;
  Append(out, kHead);
  AppendText(out, size - kHead.size() - kTail.size(), prng);
  Append(out, kTail);
  return out;
}

struct ZipEntry {
  std::string name;
  Bytes data;
};

// Stored (uncompressed) archive. The last entry's data is sized so the archive is
// exactly `size` bytes; it is printable text so no stray record signatures appear.
Bytes Zip(std::vector<ZipEntry> entries, size_t size, Prng& prng) {
  size_t overhead = 22;
  for (const auto& e : entries) overhead += 30 + 46 + 2 * e.name.size() + e.data.size();
  AppendText(entries.back().data, size - overhead, prng);
  Bytes out;
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> crcs;
  for (const auto& e : entries) {
    offsets.push_back(static_cast<uint32_t>(out.size()));
    crcs.push_back(Crc32(e.data.data(), e.data.size()));
    PutLe32(out, 0x04034B50);
    PutLe16(out, 10);
    PutLe16(out, 0);
    PutLe16(out, 0);
    PutLe16(out, 0x6000);  // time
    PutLe16(out, 0x5A21);  // date
    PutLe32(out, crcs.back());
    PutLe32(out, static_cast<uint32_t>(e.data.size()));
    PutLe32(out, static_cast<uint32_t>(e.data.size()));
    PutLe16(out, static_cast<uint32_t>(e.name.size()));
    PutLe16(out, 0);
    Append(out, e.name);
    out.insert(out.end(), e.data.begin(), e.data.end());
  }
  const uint32_t directory_at = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    PutLe32(out, 0x02014B50);
    PutLe16(out, 20);
    PutLe16(out, 10);
    PutLe16(out, 0);
    PutLe16(out, 0);
    PutLe16(out, 0x6000);
    PutLe16(out, 0x5A21);
    PutLe32(out, crcs[i]);
    PutLe32(out, static_cast<uint32_t>(e.data.size()));
    PutLe32(out, static_cast<uint32_t>(e.data.size()));
    PutLe16(out, static_cast<uint32_t>(e.name.size()));
    PutLe16(out, 0);
    PutLe16(out, 0);
    PutLe16(out, 0);
    PutLe16(out, 0);
    PutLe32(out, 0);
    PutLe32(out, offsets[i]);
    Append(out, e.name);
  }
  const uint32_t directory_size = static_cast<uint32_t>(out.size()) - directory_at;
  PutLe32(out, 0x06054B50);
  PutLe16(out, 0);
  PutLe16(out, 0);
  PutLe16(out, static_cast<uint32_t>(entries.size()));
  PutLe16(out, static_cast<uint32_t>(entries.size()));
  PutLe32(out, directory_size);
  PutLe32(out, directory_at);
  PutLe16(out, 0);
  return out;
}

std::vector<ZipEntry> OfficeEntries(const std::string& part_folder) {
  std::string types =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Types "
      "xmlns=\"http://schemas.openxmlformats.org/"
      "package/2006/content-types\"><Default Extension=\"xml\" ContentType=\"application/xml\"/>"
      "</Types>";
  std::vector<ZipEntry> entries;
  entries.push_back({"[Content_Types].xml", Bytes(types.begin(), types.end())});
  entries.push_back({"_rels/.rels", Bytes()});
  const std::string main_part = part_folder == "word" ? "word/document.xml"
                                : part_folder == "xl" ? "xl/workbook.xml"
                                                      : "ppt/presentation.xml";
  entries.push_back({main_part, Bytes()});
  return entries;
}

Bytes CompoundFile(size_t size, Prng& prng) {
  Bytes out;
  AppendBytes(out, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
  out.resize(out.size() + 16, 0);  // CLSID
  PutLe16(out, 0x3E);
  PutLe16(out, 3);
  PutLe16(out, 0xFFFE);
  PutLe16(out, 9);
  PutLe16(out, 6);
  out.resize(out.size() + 6, 0);
  PutLe32(out, 0);
  PutLe32(out, 1);  // FAT sectors
  PutLe32(out, 1);  // first directory sector
  PutLe32(out, 0);
  PutLe32(out, 4096);        // mini stream cutoff
  PutLe32(out, 0xFFFFFFFE);  // first mini FAT sector
  PutLe32(out, 0);
  PutLe32(out, 0xFFFFFFFE);  // first DIFAT sector
  PutLe32(out, 0);
  PutLe32(out, 0);  // DIFAT[0]: the FAT lives in sector 0
  while (out.size() < 512) PutLe32(out, 0xFFFFFFFF);
  while (out.size() < size) out.push_back(prng.Byte());
  return out;
}

bool IsTextExtension(const std::string& ext) {
  return ext == "txt" || ext == "csv" || ext == "log" || ext == "htm" || ext == "html" ||
         ext == "xml";
}

}  // namespace

std::vector<uint8_t> RandomBytes(size_t n, uint64_t seed) {
  Prng prng(seed);
  Bytes out(n);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t v = prng.Next();
    for (int k = 0; k < 8; ++k) out[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  for (; i < n; ++i) out[i] = prng.Byte();
  return out;
}

std::vector<uint8_t> RandomText(size_t n, uint64_t seed) {
  Prng prng(seed);
  Bytes out;
  out.reserve(n);
  AppendText(out, n, prng);
  return out;
}

size_t SampleMinimumSize(std::string_view extension) {
  const std::string ext = Lower(extension);
  if (ext == "jpg" || ext == "jpeg") return 160;
  if (ext == "png") return 8 + 25 + 12 + 12 + 1;
  if (ext == "gif") return 32;
  if (ext == "bmp") return 58;
  if (ext == "pdf") return 160;
  if (ext == "zip") return 22 + 30 + 46 + 2 * 8 + 1;
  if (ext == "docx" || ext == "xlsx" || ext == "pptx") return 1024;
  if (ext == "doc" || ext == "xls" || ext == "ppt") return 512;
  return 0;
}

std::vector<uint8_t> SampleContent(std::string_view extension, size_t size, uint64_t seed) {
  const std::string ext = Lower(extension);
  if (size < SampleMinimumSize(ext)) {
    throw std::invalid_argument("SampleContent: " + std::to_string(size) +
                                " bytes is too small for ." + ext);
  }
  Prng prng(seed);
  if (ext == "jpg" || ext == "jpeg") return Jpeg(size, prng);
  if (ext == "png") return Png(size, prng);
  if (ext == "gif") return Gif(size, prng);
  if (ext == "bmp") return Bmp(size, prng);
  if (ext == "pdf") return Pdf(size, prng);
  if (IsTextExtension(ext)) return RandomText(size, seed);
  if (ext == "zip") return Zip({{"data.txt", Bytes()}}, size, prng);
  if (ext == "docx") return Zip(OfficeEntries("word"), size, prng);
  if (ext == "xlsx") return Zip(OfficeEntries("xl"), size, prng);
  if (ext == "pptx") return Zip(OfficeEntries("ppt"), size, prng);
  if (ext == "doc" || ext == "xls" || ext == "ppt") return CompoundFile(size, prng);
  return RandomBytes(size, seed);
}

namespace {

std::string DigestHex(const EVP_MD* md, const std::vector<uint8_t>& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, md, nullptr) != 1) {
    throw std::runtime_error("EVP_Digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 15]);
  }
  return out;
}

}  // namespace

std::string Md5Hex(const std::vector<uint8_t>& bytes) { return DigestHex(EVP_md5(), bytes); }
std::string Sha256Hex(const std::vector<uint8_t>& bytes) { return DigestHex(EVP_sha256(), bytes); }

}  // namespace velmora::testing
