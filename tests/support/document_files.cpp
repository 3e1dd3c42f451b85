#include "support/document_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "support/test_env.h"

namespace velmora::testing {

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos) RunCommand("mkdir -p " + ShellQuote(path.substr(0, slash)));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

constexpr char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Zips a folder of members into `target` from inside the folder.
void ZipFolder(const std::string& folder, const std::string& target) {
  std::string output;
  if (RunCommand("cd " + ShellQuote(folder) + " && zip -q -X -r " + ShellQuote(target) + " .",
                 &output) != 0) {
    throw std::runtime_error("zip failed: " + output);
  }
}

}  // namespace

DocumentFiles::DocumentFiles(std::string folder) : folder_(std::move(folder)) {
  RunCommand("mkdir -p " + ShellQuote(folder_));
}

std::string DocumentFiles::Package(const std::string& name,
                                   const std::vector<std::pair<std::string, std::string>>& parts) {
  const std::string staging = folder_ + "/.parts-" + name;
  RunCommand("rm -rf " + ShellQuote(staging));
  for (const auto& [part, content] : parts) WriteFile(staging + "/" + part, content);
  const std::string target = folder_ + "/" + name;
  ::unlink(target.c_str());
  ZipFolder(staging, target);
  RunCommand("rm -rf " + ShellQuote(staging));
  return target;
}

std::string DocumentFiles::Docx(const std::string& name,
                                const std::vector<std::string>& paragraphs) {
  std::string body;
  for (const auto& paragraph : paragraphs) {
    body += "<w:p><w:r><w:t xml:space=\"preserve\">" + XmlEscape(paragraph) + "</w:t></w:r></w:p>";
  }
  return Package(
      name,
      {{"[Content_Types].xml",
        std::string(kXmlHead) +
            "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
            "<Override PartName=\"/word/document.xml\" ContentType=\"application/"
            "vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
       {"word/document.xml",
        std::string(kXmlHead) +
            "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
            "<w:body>" +
            body + "</w:body></w:document>"}});
}

std::string DocumentFiles::Odt(const std::string& name,
                               const std::vector<std::string>& paragraphs) {
  std::string body;
  for (const auto& paragraph : paragraphs) body += "<text:p>" + XmlEscape(paragraph) + "</text:p>";
  return Package(name, {{"mimetype", "application/vnd.oasis.opendocument.text"},
                        {"content.xml",
                         std::string(kXmlHead) +
                             "<office:document-content "
                             "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
                             "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\">"
                             "<office:body><office:text>" +
                             body +
                             "</office:text></office:body>"
                             "</office:document-content>"}});
}

std::string DocumentFiles::Xlsx(const std::string& name, int rows, int columns) {
  std::string strings;
  std::string sheet;
  int index = 0;
  for (int r = 1; r <= rows; ++r) {
    sheet += "<row r=\"" + std::to_string(r) + "\">";
    for (int c = 1; c <= columns; ++c) {
      const std::string reference =
          std::string(1, static_cast<char>('A' + c - 1)) + std::to_string(r);
      strings += "<si><t>R" + std::to_string(r) + "C" + std::to_string(c) + "</t></si>";
      sheet += "<c r=\"" + reference + "\" t=\"s\"><v>" + std::to_string(index++) + "</v></c>";
    }
    sheet += "</row>";
  }
  const std::string ns = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";
  return Package(
      name,
      {{"xl/workbook.xml",
        std::string(kXmlHead) + "<workbook " + ns +
            " xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
            "<sheets><sheet name=\"Data\" sheetId=\"1\" r:id=\"rId7\"/></sheets></workbook>"},
       {"xl/_rels/workbook.xml.rels",
        std::string(kXmlHead) +
            "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
            "<Relationship Id=\"rId7\" Type=\"worksheet\" Target=\"worksheets/data.xml\"/>"
            "</Relationships>"},
       {"xl/sharedStrings.xml", std::string(kXmlHead) + "<sst " + ns + ">" + strings + "</sst>"},
       {"xl/worksheets/data.xml", std::string(kXmlHead) + "<worksheet " + ns + "><sheetData>" +
                                      sheet + "</sheetData></worksheet>"}});
}

std::string DocumentFiles::Pptx(const std::string& name,
                                const std::vector<std::string>& slide_texts) {
  std::vector<std::pair<std::string, std::string>> parts;
  std::string ids;
  std::string rels;
  const std::string p =
      "xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\" "
      "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" "
      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";
  for (size_t i = 0; i < slide_texts.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    ids += "<p:sldId id=\"" + std::to_string(256 + i) + "\" r:id=\"rId" + n + "\"/>";
    rels +=
        "<Relationship Id=\"rId" + n + "\" Type=\"slide\" Target=\"slides/slide" + n + ".xml\"/>";
    parts.push_back({"ppt/slides/slide" + n + ".xml",
                     std::string(kXmlHead) + "<p:sld " + p +
                         "><p:cSld><p:spTree><p:sp><p:txBody><a:p><a:r><a:t>" +
                         XmlEscape(slide_texts[i]) +
                         "</a:t></a:r></a:p></p:txBody></p:sp></p:spTree></p:cSld></p:sld>"});
  }
  parts.push_back({"ppt/presentation.xml", std::string(kXmlHead) + "<p:presentation " + p +
                                               "><p:sldIdLst>" + ids +
                                               "</p:sldIdLst></p:presentation>"});
  parts.push_back({"ppt/_rels/presentation.xml.rels",
                   std::string(kXmlHead) +
                       "<Relationships "
                       "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                       rels + "</Relationships>"});
  return Package(name, parts);
}

std::string DocumentFiles::Text(const std::string& name, const std::string& content) {
  const std::string path = folder_ + "/" + name;
  WriteFile(path, content);
  return path;
}

std::string DocumentFiles::Archive(
    const std::string& name, const std::string& tool,
    const std::vector<std::pair<std::string, std::string>>& members) {
  const std::string staging = folder_ + "/.members-" + name;
  RunCommand("rm -rf " + ShellQuote(staging));
  for (const auto& [member, content] : members) WriteFile(staging + "/" + member, content);
  const std::string target = folder_ + "/" + name;
  ::unlink(target.c_str());
  std::string command;
  if (tool == "zip")
    command = "zip -q -r " + ShellQuote(target) + " .";
  else if (tool == "7z")
    command = "7z a -bd -bso0 " + ShellQuote(target) + " .";
  else if (tool == "tar.gz")
    command = "tar czf " + ShellQuote(target) + " *";
  else if (tool == "iso")
    command = "bsdtar -cf " + ShellQuote(target) + " --format iso9660 .";
  const std::string program = tool == "tar.gz" ? "tar" : tool == "iso" ? "bsdtar" : tool;
  std::string output;
  if (command.empty() || !ToolAvailable(program)) return "";
  if (RunCommand("cd " + ShellQuote(staging) + " && " + command, &output) != 0) {
    throw std::runtime_error(tool + " failed: " + output);
  }
  RunCommand("rm -rf " + ShellQuote(staging));
  return target;
}

std::string DocumentFiles::Picture(const std::string& name, int width, int height) {
  // The real ImageMagick, not a stand-in that may come first on PATH.
  const std::string convert = "/usr/bin/convert";
  struct stat st {};
  if (::stat(convert.c_str(), &st) != 0) return "";
  const std::string target = folder_ + "/" + name;
  std::string output;
  if (RunCommand(convert + " -size " + std::to_string(width) + "x" + std::to_string(height) +
                     " xc:'#3366cc' " + ShellQuote(target),
                 &output) != 0) {
    throw std::runtime_error("convert failed: " + output);
  }
  return target;
}

std::string DocumentFiles::Pdf(const std::string& name, int width, int height,
                               const std::string& text) {
  if (!ToolAvailable("ps2pdf")) return "";
  const std::string source = Text(
      name + ".ps", "%!PS\n<< /PageSize [" + std::to_string(width) + " " + std::to_string(height) +
                        "] >> setpagedevice\n"
                        "/Helvetica findfont 14 scalefont setfont\n10 10 moveto (" +
                        text + ") show\nshowpage\n");
  const std::string target = folder_ + "/" + name;
  std::string output;
  if (RunCommand("ps2pdf " + ShellQuote(source) + " " + ShellQuote(target), &output) != 0) {
    throw std::runtime_error("ps2pdf failed: " + output);
  }
  return target;
}

std::string DocumentFiles::Truncated(const std::string& source, const std::string& name,
                                     size_t bytes) {
  std::vector<uint8_t> content = ReadWholeFile(source);
  content.resize(std::min(content.size(), bytes));
  return Text(name, std::string(content.begin(), content.end()));
}

}  // namespace velmora::testing
