// CZIP: an archive's listing through libarchive.
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "engine/recovery_output.h"
#include "preview/archive_reader.h"
#include "preview/isolated_run.h"
#include "preview/viewers.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr char kSeparator[] = "-------------------";

std::string DateText(const ArchiveMember& member) {
  if (!member.has_time) return std::string(19, ' ');
  const std::time_t time = static_cast<std::time_t>(member.unix_time);
  std::tm local{};
  char buffer[32];
  if (!::localtime_r(&time, &local) ||
      std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return std::string(19, ' ');
  }
  return buffer;
}

// A lone compressed stream carries no member name: the file's own name
// without its compression extension stands for it.
std::string StreamMemberName(const std::string& path) {
  std::string name = LastPathComponent(path);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

bool ListArchive(const std::string& path, std::string* text) {
  ArchiveReader reader(path, ArchiveReader::Formats::kCompressedStream, ViewerLimits::kArchiveTime);
  if (!reader.IsOpen()) return false;
  std::string lines;
  ArchiveMember member;
  size_t count = 0;
  uint64_t total = 0;
  bool stopped = false;
  while (reader.Next(&member)) {
    if (count == 0 && reader.FormatName() == "raw" && reader.FilterCount() == 0) return false;
    if (count == ViewerLimits::kArchiveMembers) {
      stopped = true;
      break;
    }
    ++count;
    std::string size;
    if (reader.FormatName() == "raw") {
      member.name = StreamMemberName(path);
      uint64_t unpacked = 0;
      bool capped = false;
      if (!reader.CountData(ViewerLimits::kUnpackedBytes, &unpacked, &capped)) return false;
      size = std::to_string(unpacked) + (capped ? "+" : "");
      total += unpacked;
    } else if (member.has_size) {
      size = std::to_string(member.size);
      total += member.size;
    }
    char line[64];
    std::snprintf(line, sizeof line, "%s %14s  ", DateText(member).c_str(), size.c_str());
    lines += line;
    lines += member.name;
    lines += '\n';
  }
  if (reader.Failed()) {
    if (count == 0) return false;
    stopped = true;  // damaged or too slow further on: what was read is shown
  }
  std::string format = reader.FormatName();
  if (reader.FilterCount() > 0 && format == "raw") format = "compressed stream";
  *text = "Archive type: " + format + "\n";
  *text += "   Date      Time              Size  Name\n";
  *text += kSeparator;
  *text += '\n';
  *text += lines;
  *text += kSeparator;
  *text += '\n';
  char summary[96];
  std::snprintf(summary, sizeof summary, "%zu members, %" PRIu64 " bytes%s\n", count, total,
                stopped ? ", listing stopped" : "");
  *text += summary;
  return true;
}

}  // namespace

int CZIP::View(const std::string& path, std::string* text) {
  const bool ok = RunIsolated([&path](std::string* out) { return ListArchive(path, out); },
                              ViewerLimits::kViewerTime, text);
  return ok ? kSuccess : kErrInvalidParameter;
}

}  // namespace velmora::preview
