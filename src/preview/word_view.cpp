// CWord: the opening text of word-processing documents.
#include <map>
#include <vector>

#include "engine/record_text.h"
#include "preview/archive_reader.h"
#include "preview/compound_file.h"
#include "preview/file_head.h"
#include "preview/isolated_run.h"
#include "preview/rtf_text.h"
#include "preview/text_convert.h"
#include "preview/viewers.h"
#include "preview/xml_text.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr size_t kLimit = ViewerLimits::kWordCharacters;

// Control characters of the main text: paragraph and cell marks become line
// breaks and tabs; of a field (0x13 instructions 0x14 result 0x15) only the
// result is text.
class DocTextSink {
 public:
  explicit DocTextSink(std::string* out) : out_(out) {}
  bool Full() const { return count_ >= kLimit; }
  void Add(uint32_t c) {
    if (c == 0x13) {
      fields_.push_back(true);
      ++in_instructions_;
      return;
    }
    if (c == 0x14 || c == 0x15) {
      if (fields_.empty()) return;
      if (fields_.back()) --in_instructions_;
      if (c == 0x14)
        fields_.back() = false;
      else
        fields_.pop_back();
      return;
    }
    if (in_instructions_ > 0) return;
    if (c >= 0xD800 && c <= 0xDBFF) {  // the first half of a pair waits for the second
      high_surrogate_ = c;
      return;
    }
    if (high_surrogate_ != 0) {
      if (c >= 0xDC00 && c <= 0xDFFF)
        c = 0x10000 + ((high_surrogate_ - 0xD800) << 10) + (c - 0xDC00);
      high_surrogate_ = 0;
    }
    if (c == '\r' || c == 0x0B || c == 0x0C)
      c = '\n';
    else if (c == 0x07)
      c = '\t';
    else if (c < 0x20 && c != '\t')
      return;
    AppendCodePoint(out_, c);
    ++count_;
  }

 private:
  std::string* out_;
  size_t count_ = 0;
  std::vector<bool> fields_;  // open fields: true while in their instructions
  size_t in_instructions_ = 0;
  uint32_t high_surrogate_ = 0;
};

// Text of a Word 97+ document through its piece table (the CLX in the table stream).
bool DocText(const std::string& path, std::string* text) {
  std::vector<uint8_t> word;
  if (!ReadCompoundStream(path, "WordDocument", ViewerLimits::kMemberBytes, &word)) return false;
  const ByteView fib(word);
  const auto ident = fib.Le16(0);
  const auto n_fib = fib.Le16(2);
  const auto flags = fib.Le16(0x0A);
  if (!ident || *ident != 0xA5EC || !n_fib || !flags) return false;
  if (*flags & 0x0100) return false;  // encrypted
  DocTextSink sink(text);

  if (*n_fib < 101) {  // Word 6/95: one run of 8-bit text
    const auto fc_min = fib.Le32(0x18);
    const auto fc_mac = fib.Le32(0x1C);
    if (!fc_min || !fc_mac || *fc_mac < *fc_min) return false;
    const ByteView run = fib.Sub(*fc_min, *fc_mac - *fc_min);
    if (run.size() == 0 && *fc_mac != *fc_min) return false;
    for (size_t i = 0; i < run.size() && !sink.Full(); ++i) sink.Add(Cp1252ToCodePoint(*run.U8(i)));
    return true;
  }

  const auto ccp_text = fib.Le32(0x4C);
  const auto fc_clx = fib.Le32(0x1A2);
  const auto lcb_clx = fib.Le32(0x1A6);
  if (!ccp_text || !fc_clx || !lcb_clx) return false;
  std::vector<uint8_t> table_bytes;
  if (!ReadCompoundStream(path, (*flags & 0x0200) ? "1Table" : "0Table", ViewerLimits::kMemberBytes,
                          &table_bytes)) {
    return false;
  }
  const ByteView clx = ByteView(table_bytes).Sub(*fc_clx, *lcb_clx);
  size_t at = 0;
  while (clx.U8(at) == uint8_t{0x01}) {  // Prc: property modifiers, skipped
    const auto length = clx.Le16(at + 1);
    if (!length) return false;
    at += 3 + *length;
  }
  const auto pcdt_length = clx.Le32(at + 1);
  if (clx.U8(at) != uint8_t{0x02} || !pcdt_length || *pcdt_length < 4) return false;
  const ByteView plc = clx.Sub(at + 5, *pcdt_length);
  if (plc.size() == 0) return false;
  const size_t pieces = (plc.size() - 4) / 12;
  for (size_t i = 0; i < pieces && !sink.Full(); ++i) {
    const uint32_t cp_start = *plc.Le32(4 * i);
    const uint32_t cp_end = std::min(*plc.Le32(4 * (i + 1)), *ccp_text);
    if (cp_start >= cp_end) continue;
    const uint32_t fc_raw = *plc.Le32(4 * (pieces + 1) + 8 * i + 2);
    const bool compressed = (fc_raw & 0x40000000u) != 0;
    const uint32_t fc = fc_raw & 0x3FFFFFFFu;
    const size_t offset = compressed ? fc / 2 : fc;
    const size_t count = cp_end - cp_start;
    const ByteView piece = fib.Sub(offset, compressed ? count : 2 * count);
    if (piece.size() == 0) return false;
    for (size_t k = 0; k < count && !sink.Full(); ++k) {
      sink.Add(compressed ? Cp1252ToCodePoint(*piece.U8(k)) : *piece.Le16(2 * k));
    }
  }
  return true;
}

// word/document.xml of an Office Open XML package, or content.xml of an ODF text.
bool PackageText(const std::string& path, std::string* text) {
  std::map<std::string, std::string> parts;
  if (!ReadPackageParts(
          path,
          [](const std::string& name) {
            return name == "word/document.xml" || name == "content.xml";
          },
          &parts)) {
    return false;
  }
  pugi::xml_document document;
  if (auto word = parts.find("word/document.xml"); word != parts.end()) {
    if (!ParseXml(word->second, &document)) return false;
    const pugi::xml_node body = FindLocal(document, "body");
    if (!body) return false;
    CollectText(body, {"|p|", "|t|", "|tab|", "|br|cr|", "", "|instrText|delText|"}, kLimit, text);
    return true;
  }
  if (auto content = parts.find("content.xml"); content != parts.end()) {
    if (!ParseXml(content->second, &document)) return false;
    const pugi::xml_node body = FindLocal(document, "body");
    if (!body) return false;
    CollectText(body, {"|p|h|", "", "|tab|", "|line-break|", "|s|", "|annotation|note-citation|"},
                kLimit, text);
    return true;
  }
  return false;
}

}  // namespace

int CWord::View(const std::string& path, std::string* text) {
  const bool ok = RunIsolated(
      [&path](std::string* out) {
        bool read = false;
        switch (SniffContainer(path)) {
          case Container::kCompound: read = DocText(path, out); break;
          case Container::kZip: read = PackageText(path, out); break;
          case Container::kRtf: {
            std::string rtf;
            read =
                ReadFileHead(path, ViewerLimits::kMemberBytes, &rtf) && RtfText(rtf, kLimit, out);
            break;
          }
          default: break;
        }
        if (read) *out = FirstCodePoints(*out, kLimit);
        return read;
      },
      ViewerLimits::kViewerTime, text);
  return ok ? kSuccess : kErrInvalidParameter;
}

}  // namespace velmora::preview
