#include "engine/log_sums.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "engine/data_folder.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr const char* kSideSuffixes[] = {"_Relation", "_DirInfo", "_Times"};

bool IsSideFile(const std::string& name) {
  return std::any_of(std::begin(kSideSuffixes), std::end(kSideSuffixes),
                     [&](const char* suffix) { return name.ends_with(suffix); });
}

// The record log a file belongs to (itself for a record log).
std::string LogOf(const std::string& name) {
  for (const char* suffix : kSideSuffixes) {
    if (name.ends_with(suffix))
      return name.substr(0, name.size() - std::char_traits<char>::length(suffix));
  }
  return name;
}

std::vector<std::string> LogFilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (IsScanLogFile(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

uint32_t Seed(const std::string& fingerprint, const std::string& name) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  crc = ::crc32(crc, reinterpret_cast<const Bytef*>(fingerprint.data()),
                static_cast<uInt>(fingerprint.size()));
  crc =
      ::crc32(crc, reinterpret_cast<const Bytef*>(name.data()), static_cast<uInt>(name.size() + 1));
  return static_cast<uint32_t>(crc);
}

// CRC of the first `bytes` of the open file `fd`, after `seed`; kErrHandleEof when it is shorter.
int CrcOfPrefix(int fd, uint64_t bytes, uint32_t seed, uint32_t* crc) {
  std::vector<uint8_t> buffer(1 << 20);
  uLong value = seed;
  uint64_t at = 0;
  while (at < bytes) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes - at));
    size_t got = 0;
    const int err = platform::ReadAt(fd, buffer.data(), want, at, &got);
    if (err != kSuccess && got == 0) return err;
    if (got == 0) return kErrHandleEof;
    value = ::crc32(value, buffer.data(), static_cast<uInt>(got));
    at += got;
  }
  *crc = static_cast<uint32_t>(value);
  return kSuccess;
}

}  // namespace

bool IsScanLogFile(const std::string& name) {
  for (const char* prefix : {"Fast_", "Pro_Ntfs_", "Pro_Fat_", "File_Type_"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

int SumFolderLogs(const std::string& folder, const std::string& fingerprint, bool settled,
                  const std::vector<std::string>& still_written, FolderSums* out) {
  out->settled = settled;
  out->logs.clear();
  for (const std::string& name : LogFilesIn(folder)) {
    const bool written =
        std::any_of(still_written.begin(), still_written.end(),
                    [&](const std::string& prefix) { return name.rfind(prefix, 0) == 0; });
    if (!settled && (IsSideFile(name) || written)) continue;
    int err = kErrReadFault;
    const int fd = OpenDataFile(JoinPath(folder, name), O_RDONLY, 0, &err);
    if (fd < 0) return err;
    struct stat st {};
    LogSum sum;
    sum.name = name;
    err = ::fstat(fd, &st) == 0 ? kSuccess : LastError();
    if (err == kSuccess) {
      sum.bytes = static_cast<uint64_t>(st.st_size);
      err = CrcOfPrefix(fd, sum.bytes, Seed(fingerprint, name), &sum.crc);
    }
    ::close(fd);
    if (err != kSuccess) return err;
    out->logs.push_back(std::move(sum));
  }
  return kSuccess;
}

std::string CheckFolderLogs(const std::string& folder, const std::string& fingerprint,
                            const FolderSums& sums) {
  for (const LogSum& sum : sums.logs) {
    const int fd = OpenDataFile(JoinPath(folder, sum.name), O_RDONLY, 0);
    if (fd < 0) return "its log " + sum.name + " is missing";
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const uint64_t bytes = sized ? static_cast<uint64_t>(st.st_size) : 0;
    uint32_t crc = 0;
    const bool read = sized && bytes >= sum.bytes &&
                      CrcOfPrefix(fd, sum.bytes, Seed(fingerprint, sum.name), &crc) == kSuccess;
    ::close(fd);
    if (!sized) return "its log " + sum.name + " cannot be read";
    if (bytes < sum.bytes || (sums.settled && bytes != sum.bytes)) {
      return "its log " + sum.name + " is " + std::to_string(bytes) + " bytes long, not " +
             std::to_string(sum.bytes);
    }
    if (!read) return "its log " + sum.name + " cannot be read";
    if (crc != sum.crc) return "its log " + sum.name + " does not match its checksum";
  }
  if (sums.settled) {
    for (const std::string& name : LogFilesIn(folder)) {
      const bool listed = std::any_of(sums.logs.begin(), sums.logs.end(),
                                      [&](const LogSum& sum) { return sum.name == name; });
      if (!listed) return "it holds a log it was not saved with, " + name;
    }
  } else {
    // The carved files of a stopped pass are what a resume builds on: never left unchecked.
    for (const std::string& name : LogFilesIn(folder)) {
      const bool listed = std::any_of(sums.logs.begin(), sums.logs.end(),
                                      [&](const LogSum& sum) { return sum.name == name; });
      if (!listed && !IsSideFile(name) && name.rfind("File_Type_", 0) == 0) {
        return "its log " + name + " has no checksum";
      }
    }
  }
  return std::string();
}

void RemoveUnvouchedLogs(const std::string& folder, const FolderSums& sums) {
  if (sums.settled) return;
  for (const std::string& name : LogFilesIn(folder)) {
    const std::string log = LogOf(name);
    const bool vouched = std::any_of(sums.logs.begin(), sums.logs.end(),
                                     [&](const LogSum& sum) { return sum.name == log; });
    if (!vouched) ::unlink(JoinPath(folder, name).c_str());
  }
}

std::string FormatSums(const std::vector<std::pair<std::string, FolderSums>>& folders) {
  std::string text = "velmora log sums 1\n";
  char line[64];
  for (const auto& [folder, sums] : folders) {
    text += "F\t" + std::string(sums.settled ? "1" : "0") + "\t" + folder + "\n";
    for (const LogSum& sum : sums.logs) {
      std::snprintf(line, sizeof(line), "L\t%llu\t%08x\t",
                    static_cast<unsigned long long>(sum.bytes), sum.crc);
      text += line + sum.name + "\n";
    }
  }
  return text;
}

std::vector<std::pair<std::string, FolderSums>> ParseSums(const std::string& text) {
  std::vector<std::pair<std::string, FolderSums>> folders;
  std::istringstream in(text);
  std::string line;
  bool in_folder = false;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
      const size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() == 3 && fields[0] == "F" && (fields[1] == "0" || fields[1] == "1") &&
        !fields[2].empty()) {
      folders.emplace_back(fields[2], FolderSums{fields[1] == "1", {}});
      in_folder = true;
      continue;
    }
    const auto is_number = [](const std::string& field, int base, size_t most) {
      return !field.empty() && field.size() <= most &&
             std::all_of(field.begin(), field.end(), [base](char c) {
               return (c >= '0' && c <= '9') || (base == 16 && c >= 'a' && c <= 'f');
             });
    };
    if (fields.size() == 4 && fields[0] == "L" && in_folder && is_number(fields[1], 10, 19) &&
        is_number(fields[2], 16, 8) && IsScanLogFile(fields[3])) {
      LogSum sum;
      sum.bytes = std::stoull(fields[1]);
      sum.crc = static_cast<uint32_t>(std::stoul(fields[2], nullptr, 16));
      sum.name = fields[3];
      folders.back().second.logs.push_back(std::move(sum));
      continue;
    }
    in_folder = false;  // what follows a damaged line is not trusted to belong to its folder
  }
  return folders;
}

}  // namespace velmora
