// velmora identify FILE [--offset BYTES] [--json]: which carved type starts at a sector
// of a source, and how long the file measured from there is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/error_text.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "deep/structure_classifier.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"
#include "storage/platform_disks.h"
#include "storage/sector_reader.h"
#include "storage/text_codec.h"

namespace velmora::cli {

namespace {

constexpr int32_t kSectorSize = 512;
constexpr uint64_t kLargestPaddedCopy = 256ull * 1024 * 1024;

// A temporary copy of a file, zero-padded to whole sectors. It never has a name in the
// temporary folder (or only until it is opened), so a stopped or killed run leaves
// nothing behind; it is read through /proc/self/fd.
class PaddedCopy {
 public:
  PaddedCopy() = default;
  PaddedCopy(const PaddedCopy&) = delete;
  PaddedCopy& operator=(const PaddedCopy&) = delete;
  ~PaddedCopy() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Make(const std::string& source, uint64_t size) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec) return false;
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      // File systems without unnamed files: the name goes as soon as the file is open.
      std::string name = (dir / "velmora-identify-XXXXXX").string();
      fd_ = ::mkstemp(name.data());
      if (fd_ < 0) return false;
      ::unlink(name.c_str());
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) return false;
    std::vector<char> chunk(1 << 20);
    while (in) {
      in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      const auto got = static_cast<size_t>(in.gcount());
      if (got > 0 && platform::WriteAll(fd_, chunk.data(), got) != kSuccess) return false;
    }
    const uint64_t padding = (kSectorSize - size % kSectorSize) % kSectorSize;
    const std::string zeros(padding, '\0');
    if (!zeros.empty() && platform::WriteAll(fd_, zeros.data(), zeros.size()) != kSuccess)
      return false;
    path_ = "/proc/self/fd/" + std::to_string(fd_);
    return true;
  }
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

bool ParseByteOffset(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

}  // namespace

int RunIdentify(const Args& args) {
  const ParsedArgs parsed(args, {"--json"}, {"--offset"});
  if (const std::string reason = CheckArguments(parsed, {"FILE"}); !reason.empty()) {
    return UsageError("identify", reason);
  }
  const std::string source = parsed.Positionals()[0];
  const bool json = parsed.Has("--json");
  uint64_t offset = 0;
  if (!parsed.Values("--offset").empty() && !ParseByteOffset(parsed.Value("--offset"), &offset)) {
    return UsageError("identify", "--offset needs a byte count");
  }
  if (offset % kSectorSize != 0) {
    return UsageError("identify",
                      "the offset must be a multiple of " + std::to_string(kSectorSize));
  }

  SectorReader reader;
  if (const int err = OpenImageFile(&reader, source); err != kSuccess) {
    const platform::FileIdentity identity = platform::IdentifyFile(source);
    const std::string why =
        *identity.special_kind != '\0'
            ? std::string("it is ") + identity.special_kind + ", not a file or disk"
        : err == kErrAccessDenied ? AccessAdvice(source)
                                  : app::ResultText(err);
    std::fprintf(stderr, "velmora identify: cannot open '%s': %s\n", EscapeControl(source).c_str(),
                 why.c_str());
    return kExitUsage;
  }
  const uint64_t size = reader.source->Size();
  // A file that ends inside its last sector is examined with that sector padded by zeros.
  std::vector<uint8_t> sector(kSectorSize, 0);
  size_t got = 0;
  if (offset < size) {
    reader.source->ReadAt(offset, sector.data(),
                          static_cast<size_t>(std::min<uint64_t>(sector.size(), size - offset)),
                          &got);
  }
  if (offset >= size || got == 0) {
    std::fprintf(stderr, "velmora identify: nothing to read at offset %llu of '%s'\n",
                 static_cast<unsigned long long>(offset), source.c_str());
    return kExitUsage;
  }

  // Sectors are whole: the bytes of a partial last sector are readable only from a copy
  // padded with zeros. Small files get one, so a lone file is measured to its end.
  PaddedCopy padded;
  if (size % kSectorSize != 0 && size <= kLargestPaddedCopy && padded.Make(source, size)) {
    reader.Close();
    if (OpenImageFile(&reader, padded.Path()) != kSuccess) {
      std::fprintf(stderr, "velmora identify: cannot read a copy of '%s'\n",
                   EscapeControl(source).c_str());
      return kExitUsage;
    }
  }

  CarveContext context = CarveContext::ForMeasuring();
  context.structure_tests = FileSystemStructureTests();
  CarveResult result;
  const int err = IdentifyAndMeasure(context, kSectorSize, &reader, sector.data(), sector.size(),
                                     offset / kSectorSize, CarveProgress{}, &result);
  if (err != kSuccess && result.type == kNoSignatureType) {
    if (json) {
      std::printf(
          "%s\n",
          nlohmann::json{{"type", nullptr}, {"ext", "none"}, {"length", nullptr}}.dump(2).c_str());
    } else {
      std::printf("none\n");
    }
    return kExitPartial;
  }
  const char* extension = ExtensionOfType(result.type);
  // Types that only end other files (programs, disk images) have no length of their own.
  const bool measured = err == kSuccess;
  // The source's partial last sector cannot be read as a sector, but its bytes count.
  const uint64_t length = std::min<uint64_t>(result.uncut_length, size - offset);
  if (json) {
    nlohmann::json out = {{"type", result.type}, {"ext", extension}, {"length", nullptr}};
    if (measured) out["length"] = length;
    std::printf("%s\n", out.dump(2).c_str());
  } else if (measured) {
    std::printf("type:   %d\next:    %s\nlength: %llu\n", result.type, extension,
                static_cast<unsigned long long>(length));
  } else {
    std::printf("type:   %d\next:    %s\nlength: none (ends other files, never carved)\n",
                result.type, extension);
  }
  return measured ? kExitOk : kExitPartial;
}

}  // namespace velmora::cli
