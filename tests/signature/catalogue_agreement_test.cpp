// Every format's identify operation and the rows its extensions map to give one answer: a
// file whose name and content agree is never reported as "differs", and a name lists under
// the category of what its content is.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "engine/categories.h"
#include "signature/identify_walk.h"
#include "signature/signature_table.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::PlantedFile;

// The extensions of every row of `type`.
std::vector<std::string> ExtensionsOfType(int type) {
  std::vector<std::string> extensions;
  for (const SignatureRow* row = SignatureTable(); row->type != kNoSignatureType; ++row) {
    if (row->type == type) extensions.push_back(row->extension);
  }
  return extensions;
}

// What the catalogue answers for one file planted in an image.
struct Answers {
  int type = kNoSignatureType;
  std::string failures;
};

Answers CheckSample(const Bytes& file, const std::string& own_extension) {
  PlantedFile planted(file);
  SectorReader* reader = planted.image.Open();
  const uint8_t* first = planted.image.SectorData(PlantedFile::kStart);
  CarveContext context = testing::IdentifyingContext();
  context.source = reader;
  context.start_sector = context.cursor = PlantedFile::kStart;
  context.ts_continuation = false;
  Answers answers;
  answers.type = IdentifyType(context, first, 512);
  const auto agrees = [&](const std::string& extension) {
    return CheckContentMatchesExtension(first, 512, extension, reader, 512, PlantedFile::kStart);
  };
  // What no row recognises is a gap of the catalogue, not a disagreement.
  if (answers.type == kNoSignatureType) return answers;
  if (!own_extension.empty() && agrees(own_extension) != 1) {
    answers.failures += " own extension '" + own_extension + "' differs;";
  }
  for (const std::string& extension : ExtensionsOfType(answers.type)) {
    if (agrees(extension) != 1) answers.failures += " row '" + extension + "' differs;";
  }
  // The judgement a record keeps: agreeing, and listed under the content's category.
  const uint32_t judged = JudgeContent(first, 512, own_extension, reader, 512, PlantedFile::kStart);
  if ((judged & kContentAgrees) == 0) answers.failures += " judged as differing;";
  ScanRecord record{};
  const std::string name = "sample." + own_extension;
  std::strncpy(record.name, name.c_str(), sizeof record.name - 1);
  record.content_check = judged;
  if (std::string(CategoryOfRecord(record)) != CategoryOfType(answers.type)) {
    answers.failures += std::string(" listed under ") + CategoryOfRecord(record) + " not " +
                        CategoryOfType(answers.type) + ";";
  }
  return answers;
}

// The extension a sample file stands for: "fixture.doc.cfb" is a doc, "x.tar.gz" a gz.
std::string ExtensionOfSample(const std::string& name) {
  std::string stem = name;
  if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".cfb") == 0)
    stem.resize(stem.size() - 4);
  const size_t dot = stem.rfind('.');
  return dot == std::string::npos ? std::string() : stem.substr(dot + 1);
}

// A name the lists place by a whole entry lists there; any other name lists where its content
// does (the judgement then records the content's category). Only names that tell the kind
// more closely than their shared row keep a category of their own.
TEST(CatalogueAgreementTest, EveryExtensionListsUnderItsTypesCategory) {
  const std::set<std::string> name_tells_more = {"rm", "wma", "m4b"};
  for (const SignatureRow* row = SignatureTable(); row->type != kNoSignatureType; ++row) {
    ASSERT_NE(CategoryOfType(row->type), nullptr) << row->extension;
    if (!NamedByWholeEntry(row->extension) || name_tells_more.count(row->extension) != 0) continue;
    EXPECT_STREQ(CategoryOfName(std::string("x.") + row->extension), CategoryOfType(row->type))
        << row->extension << " (type " << row->type << ")";
  }
  EXPECT_STREQ(CategoryOfName("backup.tgz"), "archive");
  EXPECT_TRUE(NamedByWholeEntry("JPG"));
  EXPECT_FALSE(NamedByWholeEntry("o"));  // a part of ".orf", not a photo
  EXPECT_FALSE(NamedByWholeEntry("hmm"));
}

TEST(CatalogueAgreementTest, RealSamplesAgreeWithEveryRowOfTheirType) {
  size_t examined = 0;
  for (const char* folder : {"file-type-fixtures", "small-files"}) {
    const std::string path = testing::SharedTestData(folder);
    if (path.empty()) continue;
    DIR* dir = ::opendir(path.c_str());
    ASSERT_NE(dir, nullptr);
    std::set<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name[0] != '.' && name.rfind("README", 0) != 0 && name != "LICENSE") names.insert(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
      Bytes file = testing::ReadWholeFile(path + "/" + name);
      if (file.empty() || file.size() > (64u << 20)) continue;
      const Answers answers = CheckSample(file, ExtensionOfSample(name));
      examined += answers.type != kNoSignatureType;
      EXPECT_TRUE(answers.failures.empty())
          << folder << "/" << name << " (type " << answers.type << "):" << answers.failures;
    }
  }
  if (examined == 0) GTEST_SKIP() << "shared sample files are not present";
  EXPECT_GT(examined, 60u);
}

// Minimal headers of the formats whose samples are tied to one compression level or layout.
TEST(CatalogueAgreementTest, SyntheticHeadersAgreeWithTheirNames) {
  struct Case {
    std::string header;
    const char* name;
    const char* category;
  };
  const std::vector<Case> cases = {
      // gzip of every level: XFL 0 (level 6), 2 (best), 4 (fastest); ".tgz" and ".tar.gz".
      {std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10), "a.tar.gz", "archive"},
      {std::string("\x1F\x8B\x08\x08\x00\x00\x00\x00\x02\x03", 10), "b.gz", "archive"},
      {std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x04\xFF", 10), "c.tgz", "archive"},
      {std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10), "d.GZIP", "archive"},
      {std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10), "file7.hmm", "photo"},
      {std::string("\xFF\xD8\xFF\xE1\x00\x10"
                   "Exif",
                   10),
       "noextension", "photo"},
      {"%PDF-1.7\n", "scan.jpg", "document"},  // a name the content contradicts
      {std::string("\x89PNG\r\n\x1A\n", 8), "shot.jpg", "photo"},
  };
  for (const Case& c : cases) {
    Bytes sector(512, 0);
    std::memcpy(sector.data(), c.header.data(), c.header.size());
    const std::string name = c.name;
    const size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    const uint32_t judged = JudgeContent(sector.data(), 512, extension, nullptr, 512, 0);
    ScanRecord record{};
    std::strncpy(record.name, c.name, sizeof record.name - 1);
    record.content_check = judged;
    EXPECT_STREQ(CategoryOfRecord(record), c.category) << c.name;
    const bool contradicted = name.find("scan.jpg") == 0 || name.find("shot.jpg") == 0;
    EXPECT_EQ(ContentAgrees(record), !contradicted) << c.name;
    EXPECT_FALSE(IsHiddenPhoto(record)) << c.name;
  }
  // The gzip names of every level agree, written in any case.
  Bytes level6(512, 0);
  std::memcpy(level6.data(), "\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  for (const char* extension : {"gz", "GZ", "gzip", "tgz"}) {
    EXPECT_EQ(CheckContentMatchesExtension(level6.data(), 512, extension, nullptr, 512, 0), 1)
        << extension;
  }
  // A photo name over bytes nothing recognises stays a hidden photo, listed by its name.
  Bytes noise = testing::NoiseBytes(512, 7);
  noise[0] = 0x00;
  ScanRecord record{};
  std::strncpy(record.name, "lost.jpg", sizeof record.name - 1);
  record.content_check = JudgeContent(noise.data(), 512, "jpg", nullptr, 512, 0);
  EXPECT_EQ(record.content_check, 0u);
  EXPECT_TRUE(IsHiddenPhoto(record));
}

}  // namespace
}  // namespace velmora
