#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "storage/sector_reader.h"

namespace velmora {

// The content check of a file's first sector for a record (JudgeContent of the signature
// catalogue, which may read on from `absolute_sector` for structured formats). Bit 0 is set
// when the extension has no known signature, so unknown types are never hidden.
uint32_t FatContentJudgement(const uint8_t* data, size_t length, std::string_view extension,
                             SectorReader* source, uint32_t sector_size, uint64_t absolute_sector);

// Answers of that test shared by engines that look at the same source at once: the quick
// walk and the deep directory parse both judge the first cluster of every file they meet
// (and every guess at a lost high word), each with a read of its own. An answer depends
// only on the source's bytes there and on the extension without case.
class FatContentAnswers {
 public:
  static constexpr size_t kMostAnswers = size_t{1} << 18;

  // The judgement when an engine has judged that sector for that extension, -1 when not yet.
  int Find(uint64_t absolute_sector, uint32_t sector_size, std::string_view extension) const;
  void Keep(uint64_t absolute_sector, uint32_t sector_size, std::string_view extension,
            uint32_t judgement);

 private:
  static std::string KeyOf(uint64_t absolute_sector, uint32_t sector_size,
                           std::string_view extension);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, uint32_t> answers_;
};

// Offered by an engine whose walk can take its content answers from, and give them to, another
// engine reading the same source at the same time; the combined deep scan hands both the same.
class IContentAnswerSharing {
 public:
  virtual ~IContentAnswerSharing() = default;
  virtual void ShareContentAnswers(std::shared_ptr<FatContentAnswers> answers) = 0;
};

// Judges the sector `read` fills, unless `answers` (may be null) already know: -1 when it
// cannot be read (nothing is kept then), else the judgement (bit 0: the content agrees).
template <typename ReadSector>
int JudgeFirstSector(FatContentAnswers* answers, uint64_t absolute_sector, uint32_t sector_size,
                     std::string_view extension, SectorReader* source, ReadSector&& read) {
  if (answers != nullptr) {
    const int known = answers->Find(absolute_sector, sector_size, extension);
    if (known >= 0) return known;
  }
  const uint8_t* data = nullptr;
  size_t length = 0;
  if (!read(&data, &length)) return -1;
  const uint32_t judgement =
      FatContentJudgement(data, length, extension, source, sector_size, absolute_sector);
  if (answers != nullptr) answers->Keep(absolute_sector, sector_size, extension, judgement);
  return static_cast<int>(judgement);
}

}  // namespace velmora
