#include "app/size_text.h"

#include <cstdio>

namespace velmora::app {

namespace {

std::string WithUnit(double value, const char* unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %s", value, unit);
  return text;
}

// Binary steps; `units` names bytes, then 2^10, 2^20, 2^30 and 2^40 of them.
std::string InBinaryUnits(int64_t bytes, const char* const (&units)[5]) {
  const double value = static_cast<double>(bytes);
  for (int step = 4; step >= 1; --step) {
    const int64_t unit = int64_t{1} << (10 * step);
    if (bytes >= unit) return WithUnit(value / static_cast<double>(unit), units[step]);
  }
  return std::to_string(bytes) + " " + units[0];
}

}  // namespace

std::string FormatSize(int64_t bytes) {
  static const char* const kUnits[5] = {"Bytes", "KB", "MB", "GB", "TB"};
  return InBinaryUnits(bytes, kUnits);
}

std::string FormatSizeIec(int64_t bytes) {
  static const char* const kUnits[5] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
  return InBinaryUnits(bytes, kUnits);
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

}  // namespace velmora::app
