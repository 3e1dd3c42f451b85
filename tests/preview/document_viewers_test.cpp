// Viewers on real documents and archives, and on damaged and hostile ones.
#include <gtest/gtest.h>

#include "preview/viewers.h"
#include "support/test_env.h"

namespace velmora::preview {
namespace {

using testing::SharedTestData;

std::string Fixture(const std::string& name) {
  return SharedTestData("file-type-fixtures/" + name);
}

TEST(DocumentViewersTest, FixturesFromOtherOfficeVersions) {
  const std::string doc = Fixture("fixture.doc.cfb");
  if (doc.empty()) GTEST_SKIP() << "shared test data absent";
  std::string text;
  CWord word;
  EXPECT_EQ(word.View(doc, &text), 0);
  std::printf("DOC[%s]\n", text.c_str());
  CExcel excel;
  EXPECT_EQ(excel.View(Fixture("fixture.xls.cfb"), &text), 0);
  std::printf("XLS[%s]\n", text.c_str());
  CPPT ppt;
  EXPECT_EQ(ppt.View(Fixture("fixture.ppt.cfb"), &text), 0);
  std::printf("PPT[%s]\n", text.c_str());
  EXPECT_EQ(word.View(Fixture("fixture.docx"), &text), 0);
  std::printf("DOCX[%s]\n", text.c_str());
  EXPECT_EQ(excel.View(Fixture("fixture.xlsx"), &text), 0);
  std::printf("XLSX[%s]\n", text.c_str());
  EXPECT_EQ(ppt.View(Fixture("fixture.pptx"), &text), 0);
  std::printf("PPTX[%s]\n", text.c_str());
  EXPECT_EQ(word.View(Fixture("fixture.rtf"), &text), 0);
  std::printf("RTF[%s]\n", text.c_str());
  CZIP zip;
  for (const char* name : {"fixture.rar", "fixture.cab", "fixture.7z", "fixture.bz2", "fixture.gz", "fixture.zip", "fixture.tar.gz", "fixture-pax.tar"}) {
    EXPECT_EQ(zip.View(Fixture(name), &text), 0) << name;
    std::printf("%s[%s]\n", name, text.c_str());
  }
}

}  // namespace
}  // namespace velmora::preview
