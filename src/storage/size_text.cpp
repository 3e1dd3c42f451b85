#include "storage/size_text.h"

#include <cstdio>

namespace velmora {

namespace {

std::string WithUnit(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %s", value, unit);
  return text;
}

}  // namespace

std::string FormatSize(int64_t bytes) {
  constexpr int64_t kKilo = 1024;
  constexpr int64_t kMega = kKilo * 1024;
  constexpr int64_t kGiga = kMega * 1024;
  constexpr int64_t kTera = kGiga * 1024;
  const double value = static_cast<double>(bytes);
  if (bytes >= kTera) return WithUnit(value / static_cast<double>(kTera), "TB");
  if (bytes >= kGiga) return WithUnit(value / static_cast<double>(kGiga), "GB");
  if (bytes >= kMega) return WithUnit(value / static_cast<double>(kMega), "MB");
  if (bytes >= kKilo) return WithUnit(value / static_cast<double>(kKilo), "KB");
  return std::to_string(bytes) + " Bytes";
}

std::string FormatDuration(int64_t seconds) {
  if (seconds >= 3600) {
    return std::to_string(seconds / 3600) + " Hour " + std::to_string(seconds % 3600 / 60) + " Min";
  }
  if (seconds >= 60) {
    return std::to_string(seconds / 60) + " Min " + std::to_string(seconds % 60) + " Sec";
  }
  return std::to_string(seconds) + " Sec";
}

}  // namespace velmora
