// velmora identify FILE [--offset BYTES] [--json]: which carved type starts at a sector
// of a source, and how long the file measured from there is.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora::cli {

namespace {

constexpr int32_t kSectorSize = 512;

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
  std::string source;
  uint64_t offset = 0;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--offset") {
      if (i + 1 >= args.size() || !ParseByteOffset(args[i + 1], &offset)) {
        std::fprintf(stderr, "velmora identify: --offset needs a byte count\n");
        return kExitUsage;
      }
      ++i;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "velmora identify: unknown option '%s'\n", arg.c_str());
      return kExitUsage;
    } else if (source.empty()) {
      source = arg;
    } else {
      std::fprintf(stderr, "velmora identify: more than one file given\n");
      return kExitUsage;
    }
  }
  if (source.empty()) {
    std::fprintf(stderr, "usage: velmora identify FILE [--offset BYTES] [--json]\n");
    return kExitUsage;
  }
  if (offset % kSectorSize != 0) {
    std::fprintf(stderr, "velmora identify: the offset must be a multiple of %d\n", kSectorSize);
    return kExitUsage;
  }

  SectorReader reader;
  if (OpenImageFile(&reader, source) != kSuccess) {
    std::fprintf(stderr, "velmora identify: cannot open '%s': %s\n", source.c_str(),
                 std::strerror(errno));
    return kExitUsage;
  }
  uint64_t size = 0;
  platform::QuerySourceSize(reader.handle, &size);
  // A file that ends inside its last sector is examined with that sector padded by zeros.
  std::vector<uint8_t> sector(kSectorSize, 0);
  size_t got = 0;
  platform::ReadAt(reader.handle, sector.data(), sector.size(), offset, &got);
  if (offset >= size || got == 0) {
    std::fprintf(stderr, "velmora identify: nothing to read at offset %llu of '%s'\n",
                 static_cast<unsigned long long>(offset), source.c_str());
    return kExitUsage;
  }

  CarveContext context = CarveContext::ForMeasuring();
  CarveResult result;
  const int err = IdentifyAndMeasure(context, kSectorSize, &reader, sector.data(), sector.size(),
                                     offset / kSectorSize, CarveProgress{}, &result);
  if (err != kSuccess && result.type == kNoSignatureType) {
    if (json) {
      std::printf("%s\n", nlohmann::json{{"type", nullptr}, {"ext", "none"}, {"length", nullptr}}
                               .dump(2)
                               .c_str());
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
