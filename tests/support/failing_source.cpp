#include "support/failing_source.h"

#include <algorithm>
#include <cstring>

#include "storage/error_codes.h"

namespace velmora::testing {
namespace {

class FailingSectorsSource final : public ByteSource {
 public:
  FailingSectorsSource(std::vector<uint8_t> bytes, std::set<uint64_t> bad)
      : bytes_(std::move(bytes)), bad_(std::move(bad)) {}
  uint64_t Size() const override { return bytes_.size(); }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    size_t done = length;
    const auto bad = bad_.lower_bound(offset / 512);
    if (bad != bad_.end() && *bad * 512 < offset + length) {
      done = static_cast<size_t>(std::max<uint64_t>(*bad * 512, offset) - offset);
    }
    if (done != 0) std::memcpy(buffer, bytes_.data() + offset, done);
    if (got) *got = done;
    return done == length ? kSuccess : kErrReadFault;
  }
  std::string KindName() const override { return "memory"; }

 private:
  std::vector<uint8_t> bytes_;
  std::set<uint64_t> bad_;
};

}  // namespace

std::shared_ptr<ByteSource> MakeFailingSectorsSource(std::vector<uint8_t> bytes,
                                                     std::set<uint64_t> bad_sectors) {
  return std::make_shared<FailingSectorsSource>(std::move(bytes), std::move(bad_sectors));
}

}  // namespace velmora::testing
