// Viewers on documents and archives made by real tools, on the shared office
// fixtures, and on damaged and hostile files.
#include <gtest/gtest.h>

#include "preview/text_convert.h"
#include "preview/viewers.h"
#include "support/document_files.h"
#include "support/test_env.h"

namespace velmora::preview {
namespace {

using testing::DocumentFiles;

class DocumentViewersTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("preview-viewers"); }
  void TearDown() override { testing::RemoveTree(dir_); }

  static int View(IDocumentView& view, const std::string& path, std::string* text) {
    return view.View(path, text);
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::string dir_;
};

TEST_F(DocumentViewersTest, WordProcessingTextFromEachFormat) {
  DocumentFiles files(dir_);
  CWord word;
  std::string text;
  ASSERT_EQ(View(word, files.Docx("a.docx", {"Grüße & more", "Second paragraph"}), &text), 0);
  EXPECT_EQ(text, "Grüße & more\nSecond paragraph\n");
  ASSERT_EQ(View(word, files.Odt("a.odt", {"Open text", "line two"}), &text), 0);
  EXPECT_EQ(text, "Open text\nline two\n");
  const std::string rtf =
      files.Text("a.rtf",
                 "{\\rtf1\\ansi{\\fonttbl{\\f0 Times New Roman;}}{\\*\\generator Writer;}"
                 "\\f0 Caf\\'e9 au lait\\par Euro \\u8364? sign{\\info{\\title Hidden}}\\par}");
  ASSERT_EQ(View(word, rtf, &text), 0);
  EXPECT_EQ(text, "Café au lait\nEuro € sign\n");
}

TEST_F(DocumentViewersTest, WordTextStopsAfter2048Characters) {
  DocumentFiles files(dir_);
  // 2,047 letters, then "é" as the 2,048th character, then more.
  const std::string body = std::string(2047, 'x') + "é" + "tail";
  CWord word;
  std::string text;
  ASSERT_EQ(View(word, files.Docx("long.docx", {body}), &text), 0);
  EXPECT_EQ(text, std::string(2047, 'x') + "é");
}

TEST_F(DocumentViewersTest, SpreadsheetCornerIsTenByTen) {
  DocumentFiles files(dir_);
  CExcel excel;
  std::string text;
  ASSERT_EQ(View(excel, files.Xlsx("grid.xlsx", 11, 11), &text), 0);
  EXPECT_NE(text.find("R1C1\tR1C2\t"), std::string::npos);
  EXPECT_NE(text.find("\tR10C10\n"), std::string::npos);
  EXPECT_EQ(text.find("C11"), std::string::npos);
  EXPECT_EQ(text.find("R11"), std::string::npos);
  EXPECT_EQ(Count(text, "\n"), 10u);

  ASSERT_EQ(
      View(excel, files.Text("list.csv", "name,qty\n\"pear, green\",7\r\nfig,\"say \"\"hi\"\"\"\n"),
           &text),
      0);
  EXPECT_EQ(text, "name\tqty\npear, green\t7\nfig\tsay \"hi\"\n");
}

TEST_F(DocumentViewersTest, SlidesUpToTwenty) {
  DocumentFiles files(dir_);
  std::vector<std::string> slides;
  for (int i = 1; i <= 21; ++i) slides.push_back("Slide text " + std::to_string(i) + ".");
  CPPT ppt;
  std::string text;
  ASSERT_EQ(View(ppt, files.Pptx("deck.pptx", slides), &text), 0);
  EXPECT_NE(text.find("Slide text 1.\n"), std::string::npos);
  EXPECT_NE(text.find("Slide text 20."), std::string::npos);
  EXPECT_EQ(text.find("Slide text 21."), std::string::npos);

  const std::string odp = files.Package(
      "deck.odp",
      {{"content.xml",
        "<office:document-content xmlns:office=\"o\" xmlns:draw=\"d\" xmlns:text=\"t\" "
        "xmlns:presentation=\"p\"><office:body><office:presentation>"
        "<draw:page><draw:frame><draw:text-box><text:p>Open "
        "slide</text:p></draw:text-box></draw:frame>"
        "<presentation:notes><text:p>speaker only</text:p></presentation:notes></draw:page>"
        "<draw:page><draw:frame><draw:text-box><text:p>Second</text:p></draw:text-box></"
        "draw:frame></draw:page>"
        "</office:presentation></office:body></office:document-content>"}});
  ASSERT_EQ(View(ppt, odp, &text), 0);
  EXPECT_EQ(text, "Open slide\n\nSecond\n");
}

TEST_F(DocumentViewersTest, ArchiveListingsOfRealArchives) {
  DocumentFiles files(dir_);
  CZIP zip;
  for (const std::string tool : {"zip", "7z", "tar.gz", "iso"}) {
    const std::string archive = files.Archive(
        "pack." + tool, tool, {{"docs/readme.txt", std::string(1234, 'r')}, {"empty.dat", ""}});
    if (archive.empty()) continue;
    std::string text;
    ASSERT_EQ(View(zip, archive, &text), 0) << tool;
    const size_t marker = text.find("\n-------------------\n");
    ASSERT_NE(marker, std::string::npos) << text;
    const size_t line = text.find("docs/readme.txt", marker);
    ASSERT_NE(line, std::string::npos) << tool << "\n" << text;
    const size_t line_start = text.rfind('\n', line) + 1;
    EXPECT_NE(text.substr(line_start, line - line_start).find(" 1234 "), std::string::npos) << text;
  }
}

TEST_F(DocumentViewersTest, ListingStopsAtTheMemberCap) {
  if (!testing::ToolAvailable("tar")) GTEST_SKIP() << "tar missing";
  const std::string make = "cd " + testing::ShellQuote(dir_) +
                           " && mkdir m && cd m && for i in $(seq 1 1001); do : > f$i; done && "
                           "tar cf ../all.tar f* && tar cf ../cap.tar $(ls | head -n 1000)";
  ASSERT_EQ(testing::RunCommand(make), 0);
  CZIP zip;
  std::string text;
  ASSERT_EQ(View(zip, dir_ + "/cap.tar", &text), 0);
  EXPECT_NE(text.find("1000 members, 0 bytes\n"), std::string::npos)
      << text.substr(text.size() - 80);
  ASSERT_EQ(View(zip, dir_ + "/all.tar", &text), 0);
  EXPECT_NE(text.find("1000 members, 0 bytes, listing stopped\n"), std::string::npos);
}

TEST_F(DocumentViewersTest, SharedOfficeFixtures) {
  const std::string doc = testing::SharedTestData("file-type-fixtures/fixture.doc.cfb");
  if (doc.empty()) GTEST_SKIP() << "shared test data absent (../shared/testdata)";
  const std::string fixtures = doc.substr(0, doc.rfind('/') + 1);
  std::string text;
  CWord word;
  ASSERT_EQ(View(word, doc, &text), 0);
  EXPECT_EQ(text.rfind("Lorem ipsum \n", 0), 0u) << text.substr(0, 40);
  EXPECT_EQ(CountCodePoints(text), 2048u);
  CExcel excel;
  ASSERT_EQ(View(excel, fixtures + "fixture.xls.cfb", &text), 0);
  EXPECT_NE(text.find("1\tDulce\tAbril\tFemale\tUnited States\t32\t15/10/2017\t1562\n"),
            std::string::npos)
      << text;
  EXPECT_NE(View(excel, fixtures + "fixture-password-protected.xls", &text), 0);
  CPPT ppt;
  ASSERT_EQ(View(ppt, fixtures + "fixture.ppt.cfb", &text), 0);
  EXPECT_EQ(text.rfind("Lorem ipsum\n", 0), 0u);
  EXPECT_NE(text.find("Column 5"), std::string::npos);
  CZIP zip;
  ASSERT_EQ(View(zip, fixtures + "fixture.rar", &text), 0);
  EXPECT_NE(text.find("2248  test.jpg"), std::string::npos) << text;
  ASSERT_EQ(View(zip, fixtures + "fixture.cab", &text), 0);
  EXPECT_NE(text.find("300032  FP_AX_CAB_INSTALLER64.exe"), std::string::npos) << text;
}

TEST_F(DocumentViewersTest, DamagedAndHostileFilesFail) {
  DocumentFiles files(dir_);
  const std::string docx = files.Docx("good.docx", {std::string(20000, 'a')});
  std::string text;
  CWord word;
  EXPECT_EQ(
      View(word, files.Truncated(docx, "cut.docx", testing::ReadWholeFile(docx).size() / 2), &text),
      87);

  // Entities are never expanded and never loaded from outside.
  const std::string hostname_file = files.Text("secret.txt", "TOP-SECRET-CONTENT");
  const std::string xml =
      "<?xml version=\"1.0\"?><!DOCTYPE w:document [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY xxe SYSTEM \"file://" +
      hostname_file +
      "\">]>"
      "<w:document "
      "xmlns:w=\"w\"><w:body><w:p><w:r><w:t>x&c;&xxe;y</w:t></w:r></w:p></w:body></w:document>";
  ASSERT_EQ(View(word, files.Package("entities.docx", {{"word/document.xml", xml}}), &text), 0);
  EXPECT_EQ(text.find("aaaaaaaaaa"), std::string::npos);
  EXPECT_EQ(text.find("TOP-SECRET"), std::string::npos);

  // A part that unpacks past the cap is not read.
  ASSERT_EQ(testing::RunCommand("cd " + testing::ShellQuote(dir_) +
                                " && mkdir -p bomb/word && head -c 40M /dev/zero | tr '\\0' ' ' > "
                                "bomb/word/document.xml && cd bomb && zip -q -r ../bomb.docx ."),
            0);
  EXPECT_EQ(View(word, dir_ + "/bomb.docx", &text), 87);

  // Nesting deeper than any real document.
  EXPECT_EQ(View(word, files.Text("deep.rtf", "{\\rtf1 " + std::string(200000, '{')), &text), 87);

  std::string compound_garbage("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  for (int i = 0; i < 4096; ++i) compound_garbage += static_cast<char>((i * 7919) & 0xFF);
  const std::string garbage = files.Text("garbage.bin", compound_garbage);
  CExcel excel;
  CPPT ppt;
  CZIP zip;
  EXPECT_EQ(View(word, garbage, &text), 87);
  EXPECT_EQ(View(excel, garbage, &text), 87);
  EXPECT_EQ(View(ppt, garbage, &text), 87);
  EXPECT_EQ(View(zip, garbage, &text), 87);
  EXPECT_EQ(View(zip, files.Text("not.gz", "plain text, not compressed\n"), &text), 87);
  EXPECT_EQ(View(zip, dir_ + "/missing.zip", &text), 87);
}

}  // namespace
}  // namespace velmora::preview
