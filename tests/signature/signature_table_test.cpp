#include "signature/signature_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "engine/categories.h"
#include "signature/formats/registry.h"
#include "signature/identify_walk.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedFile;
using testing::PlantedImage;
using Bytes = std::vector<uint8_t>;

Bytes SectorWith(std::initializer_list<std::pair<size_t, std::string>> parts, uint32_t seed = 3) {
  Bytes sector = testing::NoiseBytes(512, seed);
  for (const auto& [offset, text] : parts)
    std::memcpy(sector.data() + offset, text.data(), text.size());
  return sector;
}

Bytes PeSector(uint16_t characteristics) {
  Bytes sector(512, 0);
  sector[0] = 'M';
  sector[1] = 'Z';
  sector[60] = 0x80;
  std::memcpy(sector.data() + 0x80, "PE\0\0", 4);
  sector[0x80 + 22] = static_cast<uint8_t>(characteristics);
  sector[0x80 + 23] = static_cast<uint8_t>(characteristics >> 8);
  return sector;
}

TEST(SignatureTableTest, RowsInOrderWithTerminator) {
  const SignatureRow* table = SignatureTable();
  std::string extensions;
  size_t rows = 0;
  while (table[rows].type != kNoSignatureType) {
    EXPECT_LE(std::strlen(table[rows].extension), 5u);
    EXPECT_NE(table[rows].identify, nullptr);
    if (rows < kSignatureRowCount) extensions += std::string(table[rows].extension) + " ";
    ++rows;
  }
  // The original rows come first; added formats follow with type codes of their own.
  EXPECT_GT(rows, kSignatureRowCount);
  for (size_t i = kSignatureRowCount; i < rows; ++i) {
    EXPECT_GT(table[i].type, kNoSignatureType) << table[i].extension;
    EXPECT_NE(table[i].length, nullptr) << table[i].extension;
  }
  EXPECT_EQ(extensions,
            "mpeg mpg vob mp4 rmvb rm wmv asf wma swf avi flv 3gp mkv ts mts mxf mp3 mid ape wav "
            "mov mp2 mmf fla gif bmp dib jpg jpeg jpe jfif png psd tif tiff ico doc dot wps wpt "
            "xls xlt xla et ett ppt pot pps dps dpt ole docx docm dotm dotx xlsx xlsb xlsm xlsx "
            "xlam xltx xltm pptx pptm potx potm ppsx ppsm mso07 pdf gz gzip 7z zip rar cab exe "
            "dll sys gho db dbx pst fla ttf ico ");
  for (int type = 0; type < kNoSignatureType; ++type) {
    EXPECT_NE(FirstRowOfType(type), nullptr) << "type " << type;
  }
  // Only exe, dll, sys and gho have no length of their own.
  for (size_t i = 0; i < kSignatureRowCount; ++i) {
    const int t = table[i].type;
    EXPECT_EQ(table[i].length == nullptr, t == 41 || t == 42 || t == 43 || t == 9) << i;
  }
}

// Each format's files list under the category it names, and no two formats share a type.
TEST(SignatureTableTest, FormatsListUnderTheirCategory) {
  std::map<int, IdentifyOperation> seen;
  for (const formats::Format* format : formats::RegisteredFormats()) {
    EXPECT_STREQ(CategoryOfName(std::string("x.") + format->extension), format->category)
        << format->extension;
    const auto [at, added] = seen.emplace(format->type, format->identify);
    EXPECT_TRUE(added || at->second == format->identify) << "type " << format->type;
    EXPECT_EQ(FirstRowOfType(format->type)->extension, std::string(format->extension));
  }
}

// The table is the registry read out: one row per extension of each format, in its order.
TEST(SignatureTableTest, TableRowsComeFromTheRegistry) {
  const SignatureRow* row = SignatureTable();
  for (const formats::Format* format : formats::RegisteredFormats()) {
    std::string names = format->extension;
    if (format->more_extensions != nullptr) names += std::string(" ") + format->more_extensions;
    std::string listed;
    for (; row->type == format->type && row->identify == format->identify; ++row) {
      EXPECT_EQ(row->length, format->length) << row->extension;
      EXPECT_EQ(row->skip_after, format->skip_after) << row->extension;
      EXPECT_EQ(std::string(row->first_bytes, row->first_byte_count),
                std::string(format->first_bytes, format->first_byte_count))
          << row->extension;
      listed += (listed.empty() ? "" : " ") + std::string(row->extension);
      if (listed == names) {
        ++row;
        break;
      }
    }
    EXPECT_EQ(listed, names) << "type " << format->type;
  }
  EXPECT_EQ(row->type, kNoSignatureType);
}

TEST(SignatureTableTest, FirstRowOfATypeNamesCarvedFiles) {
  EXPECT_STREQ(ExtensionOfType(24), "wmv");
  EXPECT_STREQ(ExtensionOfType(23), "rmvb");
  EXPECT_STREQ(ExtensionOfType(15), "mpeg");
  EXPECT_STREQ(ExtensionOfType(10), "jpg");
  EXPECT_STREQ(ExtensionOfType(44), "fla");
  EXPECT_STREQ(ExtensionOfType(kNoSignatureType), "");
  // Files measured by a header field are not skipped over; scanned ones are.
  EXPECT_FALSE(ScanSkipsCarvedFile(29));
  EXPECT_FALSE(ScanSkipsCarvedFile(0));
  EXPECT_TRUE(ScanSkipsCarvedFile(10));
  EXPECT_TRUE(ScanSkipsCarvedFile(35));
  EXPECT_FALSE(ScanSkipsCarvedFile(kNoSignatureType));
}

// The fast walk skips rows by first byte; it must answer exactly like the plain walk.
TEST(IdentifyWalkTest, FirstByteDispatchEqualsTableOrderWalk) {
  std::vector<Bytes> samples;
  for (uint32_t seed = 0; seed < 2000; ++seed) samples.push_back(testing::NoiseBytes(512, seed));
  const std::vector<std::pair<size_t, std::string>> signatures = {
      {0, std::string("\x00\x00\x01\xBA\x00\x00\x01\xBB", 8)},
      {0, std::string("\x00\x00\x01\xB3\x00\x00\x01\xB8", 8)},
      {4, "ftypiso"},
      {4, "ftypmp42"},
      {4, "ftyp3gp"},
      {4, "ftypqt  "},
      {0, "moov"},
      {0, ".RMF"},
      {0, std::string("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16)},
      {0, "CWS\x08"},
      {0, "FWS\x05"},
      {0, std::string("RIFF\0\0\0\0AVI LIST", 16)},
      {0, std::string("RIFF\0\0\0\0WAVEfmt ", 16)},
      {0, std::string("FLV\x01\x05\x00\x00\x00\x09", 9)},
      {0, "\x1A\x45\xDF\xA3"},
      {8, std::string("\x00\x00\xB0\x11\x00\x00\xC1\x00", 8)},
      {0, std::string("\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00", 16)},
      {0, std::string("ID3\x03\x00\x00\x00\x00\x00\x10", 10)},
      {0, std::string("MThd\x00\x00\x00\x06\x00\x01\x00\x01\x00\x60MTrk", 18)},
      {0, "MAC "},
      {0, std::string("\xFF\xFD\xE4\x00", 4)},
      {0, "MMMD"},
      {0, "\xD0\xCF\x11\xE0"},
      {0, "GIF89a"},
      {0, std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10)},
      {0, std::string("\xFF\xD8\xFF\xE1\x00\x10"
                      "Exif",
                      10)},
      {0, "\x89PNG\r\n\x1A\n"},
      {0, "8BPS"},
      {0, std::string("II\x2A\x00", 4)},
      {0, "%PDF-1.4"},
      {0, std::string("\x1F\x8B\x08\x08\x00\x00\x00\x00\x02\x03", 10)},
      {0, "7z\xBC\xAF\x27\x1C"},
      {0, "PK\x03\x04"},
      {31, "[Content_Types].xml"},
      {0, std::string("Rar!\x1A\x07\x00", 7)},
      {0, "MSCF"},
      {0, std::string("\xFE\xEF\x00\x00", 4)},
      {0, std::string("SQLite format 3\0", 16)},
      {0, "\xCF\xAD\x12\xFE"},
      {0, "!BDN"},
      {0, std::string("\x00\x01\x00\x00\x00\x05", 6)},
      {0, std::string("\x00\x00\x01\x00\x01\x00", 6)},
      {0, "\x47\x40\x11"}};
  uint32_t seed = 5000;
  for (const auto& [offset, text] : signatures) {
    for (int variant = 0; variant < 20; ++variant) {
      Bytes sector = SectorWith({{offset, text}}, seed++);
      if (variant % 2 == 1)
        std::memset(sector.data() + 16, 0, 496);  // zero tails as in real headers
      samples.push_back(sector);
    }
  }
  for (const char* fixture : {"file-type-fixtures/fixture.jpg", "file-type-fixtures/fixture.docx",
                              "file-type-fixtures/fixture.ico", "file-type-fixtures/fixture.exe"}) {
    const std::string path = testing::SharedTestData(fixture);
    if (path.empty()) continue;
    Bytes head = testing::ReadWholeFile(path);
    head.resize(512);
    samples.push_back(head);
  }
  samples.push_back(PeSector(0x0002));
  samples.push_back(PeSector(0x2002));
  samples.push_back(PeSector(0x1002));

  PlantedImage image(64, 9);
  CarveContext context = testing::IdentifyingContext();
  context.source = image.Open();
  context.cursor = 10;
  context.start_sector = 10;
  size_t recognised = 0;
  for (const Bytes& sector : samples) {
    for (size_t length : {size_t{512}, size_t{40}, size_t{7}}) {
      const int fast = IdentifyType(context, sector.data(), length);
      EXPECT_EQ(fast, IdentifyTypeInTableOrder(context, sector.data(), length));
      EXPECT_EQ(IdentifyType(context, sector.data(), length, 15),
                IdentifyTypeInTableOrder(context, sector.data(), length, 15));
      recognised += fast != kNoSignatureType;
    }
  }
  EXPECT_GT(recognised, 500u);
}

TEST(IdentifyWalkTest, ShortBuffersAreNotRecognisedByRowsThatNeedMore) {
  CarveContext context = testing::IdentifyingContext();
  const std::string id3("ID3\x03\x00\x00\x00\x00\x00\x10", 10);
  for (size_t length = 0; length < 10; ++length) {
    EXPECT_EQ(
        IdentifyTypeInTableOrder(context, reinterpret_cast<const uint8_t*>(id3.data()), length),
        kNoSignatureType);
  }
  EXPECT_EQ(IdentifyType(context, reinterpret_cast<const uint8_t*>(id3.data()), 10), 12);
  const std::string midi("MThd\x00\x00\x00\x06\x00\x01\x00\x01\x00\x60MTrk", 18);
  EXPECT_EQ(IdentifyType(context, reinterpret_cast<const uint8_t*>(midi.data()), 16),
            kNoSignatureType);
  EXPECT_EQ(IdentifyType(context, reinterpret_cast<const uint8_t*>(midi.data()), 18), 13);
  EXPECT_EQ(IdentifyType(context, reinterpret_cast<const uint8_t*>("7z\xBC\xAF"), 4),
            kNoSignatureType);
  EXPECT_EQ(IdentifyType(context, nullptr, 512), kNoSignatureType);
}

TEST(TableOrderTest, FullCompoundSignatureNeverReachesTheFlaRow) {
  // A compound header whose following sectors say nothing: "ole", never "fla".
  Bytes header(512, 0);
  std::memcpy(header.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  PlantedFile planted(header);
  CarveResult result;
  planted.Carve(&result);
  EXPECT_EQ(result.type, 2);
  EXPECT_EQ(result.name, "8.ole");

  Bytes half(512, 0);
  std::memcpy(half.data(), "\xD0\xCF\x11\xE0", 4);
  PlantedFile fla(half);
  ASSERT_EQ(fla.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 44);
  EXPECT_EQ(result.name, "8.fla");
  EXPECT_EQ(result.length, fla.BytesToBoundary());
}

TEST(TableOrderTest, ProgramsAndDiskImagesEndAFileButProduceNone) {
  Bytes psd(512, 0);
  std::memcpy(psd.data(), "8BPS", 4);
  const std::vector<std::pair<int, Bytes>> enders = {{41, PeSector(0x0102)},
                                                     {42, PeSector(0x2102)},
                                                     {43, PeSector(0x1102)},
                                                     {9, Bytes{0xFE, 0xEF, 0x00, 0x00}}};
  for (const auto& [type, sector] : enders) {
    PlantedFile planted(psd);
    planted.image.Plant(PlantedFile::kStart + 5, sector);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_EQ(result.length, 5u * 512) << "type " << type;

    PlantedFile alone(sector);
    EXPECT_EQ(alone.Carve(&result), kNothingCarved);
    EXPECT_EQ(result.type, type);
  }
}

TEST(ContentCheckTest, ExtensionsAreMatchedIgnoringCase) {
  Bytes jpeg(512, 0);
  std::memcpy(jpeg.data(), "\xFF\xD8\xFF\xE0\x00\x10JFIF", 10);
  Bytes png(512, 0);
  std::memcpy(png.data(), "\x89PNG\r\n\x1A\n", 8);
  EXPECT_EQ(CheckContentMatchesExtension(jpeg.data(), 512, "JPG", nullptr, 512, 0), 1);
  EXPECT_EQ(CheckContentMatchesExtension(jpeg.data(), 512, "jpeg", nullptr, 512, 0), 1);
  EXPECT_EQ(CheckContentMatchesExtension(png.data(), 512, "JPG", nullptr, 512, 0), 0);
  EXPECT_EQ(CheckContentMatchesExtension(png.data(), 512, "txt", nullptr, 512, 0), 1);
  EXPECT_EQ(CheckContentMatchesExtension(png.data(), 512, "", nullptr, 512, 0), 1);
  EXPECT_EQ(CheckContentMatchesExtension(nullptr, 0, "png", nullptr, 512, 0), 0);
}

TEST(ContentCheckTest, CompoundAndPackageRowsReadThroughTheSource) {
  for (const char* name : {"fixture.doc.cfb", "fixture.xls.cfb", "fixture.docx"}) {
    if (testing::SharedTestData(std::string("file-type-fixtures/") + name).empty()) {
      GTEST_SKIP() << "shared test data is not present";
    }
  }
  const auto check = [](const char* fixture, const char* extension) {
    PlantedFile planted(testing::ReadWholeFile(
        testing::SharedTestData(std::string("file-type-fixtures/") + fixture)));
    SectorReader* reader = planted.image.Open();
    return CheckContentMatchesExtension(planted.image.SectorData(PlantedFile::kStart), 512,
                                        extension, reader, 512, PlantedFile::kStart);
  };
  EXPECT_EQ(check("fixture.doc.cfb", "DOC"), 1);
  EXPECT_EQ(check("fixture.doc.cfb", "wps"), 1);
  EXPECT_EQ(check("fixture.doc.cfb", "xls"), 0);
  EXPECT_EQ(check("fixture.xls.cfb", "xls"), 1);
  EXPECT_EQ(check("fixture.docx", "docx"), 1);
  EXPECT_EQ(check("fixture.docx", "xlsx"), 0);
  EXPECT_EQ(check("fixture.docx", "zip"), 1);
  EXPECT_EQ(check("fixture.docx", "mso07"), 1);
  EXPECT_EQ(check("fixture.doc.cfb", "fla"), 0);
}

}  // namespace
}  // namespace velmora
