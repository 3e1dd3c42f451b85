#include "app/message_text.h"

#include <cctype>

namespace velmora::app {

std::string Lookup(const TextTable& table, const std::string& key) {
  const auto it = table.find(key);
  return it == table.end() ? std::string() : it->second;
}

namespace {

// Length of the conversion at `format[at]` ('%' included), 0 when it is none we fill.
size_t ConversionLength(std::string_view format, size_t at) {
  size_t i = at + 1;
  while (i < format.size() && (std::isdigit(static_cast<unsigned char>(format[i])) ||
                               format[i] == '-' || format[i] == '.' || format[i] == ' ')) {
    ++i;
  }
  for (std::string_view size : {"I64", "ll", "l", "h"}) {
    if (format.substr(i, size.size()) == size) {
      i += size.size();
      break;
    }
  }
  if (i >= format.size()) return 0;
  switch (format[i]) {
    case 's':
    case 'S':
    case 'd':
    case 'i':
    case 'u':
    case 'c':
    case 'C':
    case 'x':
    case 'X': return i + 1 - at;
    default: return 0;
  }
}

}  // namespace

std::string FormatText(std::string_view format, std::initializer_list<std::string> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      out.push_back(format[i++]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    const size_t length = ConversionLength(format, i);
    if (length == 0) {
      out.push_back(format[i++]);
      continue;
    }
    if (next != args.end()) out += *next++;
    i += length;
  }
  return out;
}

}  // namespace velmora::app
