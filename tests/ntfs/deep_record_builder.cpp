#include "deep_record_builder.h"

#include <cstring>
#include <fstream>

namespace velmora::testing {

namespace {

constexpr size_t kRecordBytes = 1024;
constexpr uint16_t kUpdateSequence = 0x0007;

template <typename T>
void Put(std::vector<uint8_t>* out, size_t offset, T value) {
  if (out->size() < offset + sizeof(T)) out->resize(offset + sizeof(T));
  std::memcpy(out->data() + offset, &value, sizeof(T));
}

void Align8(std::vector<uint8_t>* v) { v->resize((v->size() + 7) & ~size_t{7}); }

std::vector<uint8_t> Resident(uint32_t type, const std::vector<uint8_t>& value, uint16_t id) {
  std::vector<uint8_t> a(24);
  Put<uint32_t>(&a, 0, type);
  Put<uint16_t>(&a, 0x0A, 0x18);
  Put<uint16_t>(&a, 0x0E, id);
  Put<uint32_t>(&a, 0x10, static_cast<uint32_t>(value.size()));
  Put<uint16_t>(&a, 0x14, 0x18);
  a.insert(a.end(), value.begin(), value.end());
  Align8(&a);
  Put<uint32_t>(&a, 4, static_cast<uint32_t>(a.size()));
  return a;
}

std::vector<uint8_t> MappingPairs(const std::vector<SyntheticRun>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const SyntheticRun& run : runs) {
    std::vector<uint8_t> length;
    for (uint64_t v = run.length; v != 0 || length.empty(); v >>= 8) length.push_back(v & 0xFF);
    if (length.back() & 0x80) length.push_back(0);
    std::vector<uint8_t> offset;
    if (run.lcn >= 0) {
      int64_t delta = run.lcn - previous;
      previous = run.lcn;
      for (;;) {
        offset.push_back(static_cast<uint8_t>(delta & 0xFF));
        const bool negative = (offset.back() & 0x80) != 0;
        delta >>= 8;
        if ((delta == 0 && !negative) || (delta == -1 && negative)) break;
      }
    }
    out.push_back(static_cast<uint8_t>(length.size() | (offset.size() << 4)));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), offset.begin(), offset.end());
  }
  out.push_back(0);
  return out;
}

}  // namespace

std::vector<uint8_t> BuildRecord(const SyntheticRecord& shape) {
  std::vector<uint8_t> r(kRecordBytes, 0);
  std::memcpy(r.data(), "FILE", 4);
  Put<uint16_t>(&r, 0x04, 0x30);  // update sequence array
  Put<uint16_t>(&r, 0x06, 3);
  Put<uint16_t>(&r, 0x10, 1);     // sequence
  Put<uint16_t>(&r, 0x12, 1);     // links
  Put<uint16_t>(&r, 0x14, 0x38);  // first attribute
  Put<uint16_t>(&r, 0x16, shape.flags);
  Put<uint32_t>(&r, 0x1C, kRecordBytes);
  Put<uint32_t>(&r, 0x2C, shape.number);
  Put<uint16_t>(&r, 0x30, kUpdateSequence);

  std::vector<uint8_t> attributes;
  if (!shape.name.empty()) {
    std::vector<uint8_t> value(0x42, 0);
    Put<uint64_t>(&value, 0x00, shape.parent | (uint64_t{1} << 48));
    Put<uint64_t>(&value, 0x08, 132000000000000000ull);
    Put<uint64_t>(&value, 0x10, 132000000000000001ull);
    Put<uint64_t>(&value, 0x20, 132000000000000002ull);
    Put<uint64_t>(&value, 0x30, shape.real_size);
    value[0x40] = static_cast<uint8_t>(shape.name.size());
    value[0x41] = 1;
    for (char c : shape.name) {
      value.push_back(static_cast<uint8_t>(c));
      value.push_back(0);
    }
    const auto a = Resident(0x30, value, 2);
    attributes.insert(attributes.end(), a.begin(), a.end());
  }
  if (shape.has_data && shape.runs.empty()) {
    const auto a = Resident(0x80, shape.resident, 3);
    attributes.insert(attributes.end(), a.begin(), a.end());
  } else if (shape.has_data) {
    std::vector<uint8_t> a(0x40, 0);
    uint64_t clusters = 0;
    for (const SyntheticRun& run : shape.runs) clusters += run.length;
    Put<uint32_t>(&a, 0, 0x80);
    a[8] = 1;
    Put<uint16_t>(&a, 0x0A, 0x40);
    Put<uint16_t>(&a, 0x0E, 3);
    Put<uint64_t>(&a, 0x18, clusters - 1);
    Put<uint16_t>(&a, 0x20, 0x40);
    Put<uint64_t>(&a, 0x28, clusters * shape.cluster_bytes);
    Put<uint64_t>(&a, 0x30, shape.real_size);
    Put<uint64_t>(&a, 0x38, shape.real_size);
    const auto pairs = MappingPairs(shape.runs);
    a.insert(a.end(), pairs.begin(), pairs.end());
    Align8(&a);
    Put<uint32_t>(&a, 4, static_cast<uint32_t>(a.size()));
    attributes.insert(attributes.end(), a.begin(), a.end());
  }
  std::memcpy(r.data() + 0x38, attributes.data(), attributes.size());
  const size_t end = 0x38 + attributes.size();
  Put<uint32_t>(&r, end, 0xFFFFFFFF);
  Put<uint32_t>(&r, 0x18, static_cast<uint32_t>(end + 8));
  // Protect each 512-byte block: its last two bytes move to the array.
  for (size_t block = 1; block <= 2; ++block) {
    const size_t tail = block * 512 - 2;
    std::memcpy(r.data() + 0x30 + 2 * block, r.data() + tail, 2);
    Put<uint16_t>(&r, tail, kUpdateSequence);
  }
  return r;
}

void WriteAt(const std::string& image, uint64_t offset, const std::vector<uint8_t>& bytes) {
  { std::ofstream create(image, std::ios::binary | std::ios::app); }
  std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace velmora::testing
