#include "preview/rtf_text.h"

#include <cctype>
#include <vector>

#include "preview/text_convert.h"

namespace velmora::preview {

namespace {

constexpr std::string_view kSkippedDestinations =
    "|fonttbl|colortbl|stylesheet|info|pict|object|header|footer|headerl|headerr|headerf|footerl|"
    "footerr|footerf|themedata|colorschememapping|datastore|latentstyles|listtable|"
    "listoverridetable|rsidtbl|generator|xmlnstbl|mmathPr|filetbl|revtbl|fldinst|private|"
    "userprops|xmlopen|bkmkstart|bkmkend|nonshppict|shppict|footnote|";

bool SkippedDestination(std::string_view word) {
  const std::string key = "|" + std::string(word) + "|";
  return kSkippedDestinations.find(key) != std::string_view::npos;
}

struct Group {
  bool skip = false;
  int unicode_skip = 1;  // \ucN: fallback characters after each \u
};

}  // namespace

bool RtfText(std::string_view rtf, size_t limit, std::string* out) {
  if (rtf.substr(0, 5) != "{\\rtf") return false;
  std::vector<Group> stack{Group{}};
  size_t count = 0;
  size_t pending_skip = 0;  // fallback characters still to drop after \u
  auto emit = [&](uint32_t c) {
    if (stack.back().skip) return;
    if (pending_skip > 0) {
      --pending_skip;
      return;
    }
    AppendCodePoint(out, c);
    ++count;
  };
  constexpr size_t kMaxDepth = 1000;
  size_t i = 0;
  while (i < rtf.size() && count < limit) {
    const char c = rtf[i];
    if (c == '{') {
      if (stack.size() >= kMaxDepth) return false;
      stack.push_back(stack.back());
      ++i;
    } else if (c == '}') {
      if (stack.size() > 1) stack.pop_back();
      pending_skip = 0;
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= rtf.size()) break;
      const char next = rtf[i + 1];
      if (std::isalpha(static_cast<unsigned char>(next))) {
        size_t end = i + 1;
        while (end < rtf.size() && end - i < 64 &&
               std::isalpha(static_cast<unsigned char>(rtf[end])))
          ++end;
        const std::string_view word = rtf.substr(i + 1, end - i - 1);
        bool has_number = false;
        long number = 0;
        bool negative = false;
        if (end < rtf.size() && rtf[end] == '-') {
          negative = true;
          ++end;
        }
        size_t digits = 0;
        while (end < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[end]))) {
          if (digits++ < 10) number = number * 10 + (rtf[end] - '0');
          has_number = true;
          ++end;
        }
        if (negative) number = -number;
        if (end < rtf.size() && rtf[end] == ' ') ++end;  // the delimiter belongs to the word
        i = end;
        if (SkippedDestination(word)) {
          stack.back().skip = true;
        } else if (word == "par" || word == "line" || word == "row" || word == "sect" ||
                   word == "page") {
          emit('\n');
        } else if (word == "tab" || word == "cell") {
          emit('\t');
        } else if (word == "uc" && has_number) {
          stack.back().unicode_skip = static_cast<int>(std::max(0L, std::min(number, 8L)));
        } else if (word == "u" && has_number) {
          emit(static_cast<uint32_t>(number < 0 ? number + 65536 : number));
          pending_skip = static_cast<size_t>(stack.back().unicode_skip);
        } else if (word == "emdash") {
          emit(0x2014);
        } else if (word == "endash") {
          emit(0x2013);
        } else if (word == "bullet") {
          emit(0x2022);
        } else if (word == "lquote" || word == "rquote") {
          emit(word == "lquote" ? 0x2018 : 0x2019);
        } else if (word == "ldblquote" || word == "rdblquote") {
          emit(word == "ldblquote" ? 0x201C : 0x201D);
        } else if (word == "bin" && has_number && number > 0) {
          i += std::min(static_cast<size_t>(number), rtf.size() - i);  // binary data
        }
      } else if (next == '\'') {
        if (i + 3 < rtf.size() + 0 && std::isxdigit(static_cast<unsigned char>(rtf[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(rtf[i + 3]))) {
          const uint8_t byte =
              static_cast<uint8_t>(std::stoi(std::string(rtf.substr(i + 2, 2)), nullptr, 16));
          emit(Cp1252ToCodePoint(byte));
          i += 4;
        } else {
          i += 2;
        }
      } else if (next == '*') {
        stack.back().skip = true;
        i += 2;
      } else {
        if (next == '\\' || next == '{' || next == '}')
          emit(static_cast<uint8_t>(next));
        else if (next == '~')
          emit(0xA0);
        else if (next == '_')
          emit('-');
        else if (next == '\n' || next == '\r')
          emit('\n');
        i += 2;
      }
    } else if (c == '\r' || c == '\n') {
      ++i;
    } else {
      const uint8_t byte = static_cast<uint8_t>(c);
      // Plain bytes above 0x7F: the document's code page, taken as Western.
      emit(Cp1252ToCodePoint(byte));
      ++i;
    }
  }
  return true;
}

}  // namespace velmora::preview
