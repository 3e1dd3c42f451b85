#include "fat/fat_content_check.h"

#include <cstring>

#include "engine/record_text.h"
#include "signature/signature_catalogue.h"

namespace velmora {

uint32_t FatContentJudgement(const uint8_t* data, size_t length, std::string_view extension,
                             SectorReader* source, uint32_t sector_size, uint64_t absolute_sector) {
  return JudgeContent(data, length, extension, source, static_cast<int32_t>(sector_size),
                      absolute_sector);
}

std::string FatContentAnswers::KeyOf(uint64_t absolute_sector, uint32_t sector_size,
                                     std::string_view extension) {
  std::string key(12, '\0');
  std::memcpy(key.data(), &absolute_sector, 8);
  std::memcpy(key.data() + 8, &sector_size, 4);
  key += AsciiLower(extension);
  return key;
}

int FatContentAnswers::Find(uint64_t absolute_sector, uint32_t sector_size,
                            std::string_view extension) const {
  const std::string key = KeyOf(absolute_sector, sector_size, extension);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = answers_.find(key);
  return it == answers_.end() ? -1 : static_cast<int>(it->second);
}

void FatContentAnswers::Keep(uint64_t absolute_sector, uint32_t sector_size,
                             std::string_view extension, uint32_t judgement) {
  std::string key = KeyOf(absolute_sector, sector_size, extension);
  std::lock_guard<std::mutex> lock(mutex_);
  // Past this many, a volume's answers are worked out again rather than held.
  if (answers_.size() >= kMostAnswers) return;
  answers_.emplace(std::move(key), judgement);
}

}  // namespace velmora
