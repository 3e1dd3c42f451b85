#include "ntfs/mft_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace velmora::ntfs {
namespace {

template <typename T>
void Put(std::vector<uint8_t>* b, size_t at, T v) {
  std::memcpy(b->data() + at, &v, sizeof(T));
}

std::vector<uint8_t> FileNameValue(const std::u16string& name, uint8_t space, uint64_t parent) {
  std::vector<uint8_t> v(0x42 + name.size() * 2, 0);
  Put<uint64_t>(&v, 0, parent);
  Put<uint64_t>(&v, 0x30, 1234);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = space;
  std::memcpy(v.data() + 0x42, name.data(), name.size() * 2);
  return v;
}

// A 1024-byte record with resident attributes, written before the fix-up is applied.
class RecordBuilder {
 public:
  RecordBuilder() : bytes_(1024, 0) {
    std::memcpy(bytes_.data(), "FILE", 4);
    Put<uint16_t>(&bytes_, 4, 0x30);  // update sequence array
    Put<uint16_t>(&bytes_, 6, 3);
    Put<uint16_t>(&bytes_, 0x10, 7);  // sequence
    Put<uint16_t>(&bytes_, 0x14, 0x38);
    Put<uint32_t>(&bytes_, 0x1C, 1024);
    offset_ = 0x38;
  }
  RecordBuilder& Resident(uint32_t type, const std::vector<uint8_t>& value,
                          const std::u16string& name = u"") {
    const size_t name_at = 0x18;
    const size_t value_at = (name_at + name.size() * 2 + 7) & ~size_t{7};
    const size_t length = (value_at + value.size() + 7) & ~size_t{7};
    Put<uint32_t>(&bytes_, offset_, type);
    Put<uint32_t>(&bytes_, offset_ + 4, static_cast<uint32_t>(length));
    bytes_[offset_ + 9] = static_cast<uint8_t>(name.size());
    Put<uint16_t>(&bytes_, offset_ + 0x0A, static_cast<uint16_t>(name_at));
    Put<uint32_t>(&bytes_, offset_ + 0x10, static_cast<uint32_t>(value.size()));
    Put<uint16_t>(&bytes_, offset_ + 0x14, static_cast<uint16_t>(value_at));
    std::memcpy(bytes_.data() + offset_ + name_at, name.data(), name.size() * 2);
    std::memcpy(bytes_.data() + offset_ + value_at, value.data(), value.size());
    last_ = offset_;
    offset_ += length;
    return *this;
  }
  // Ends the chain and writes the update sequence: tails of both blocks saved, USN 0x0042 written.
  std::vector<uint8_t> Finish() {
    Put<uint32_t>(&bytes_, offset_, kAttrEnd);
    Put<uint32_t>(&bytes_, 0x18, static_cast<uint32_t>(offset_ + 8));
    Put<uint16_t>(&bytes_, 0x30, 0x0042);
    for (int i = 1; i <= 2; ++i) {
      bytes_[0x30 + 2 * i] = bytes_[i * 512 - 2];
      bytes_[0x31 + 2 * i] = bytes_[i * 512 - 1];
      Put<uint16_t>(&bytes_, i * 512 - 2, 0x0042);
    }
    return bytes_;
  }
  size_t LastAttribute() const { return last_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t offset_;
  size_t last_ = 0;
};

TEST(MftRecordTest, FixupRestoresBlockTailsAndNoticesTornWrites) {
  RecordBuilder builder;
  builder.Resident(kAttrData, std::vector<uint8_t>(600, 0xAB));  // crosses the first block tail
  std::vector<uint8_t> record = builder.Finish();
  std::vector<uint8_t> torn = record;
  EXPECT_EQ(ApplyFixup(record), FixupResult::kApplied);
  MftRecord parsed;
  ASSERT_EQ(ParseMftRecord(record, &parsed), MftRecordVerdict::kValid);
  const MftAttribute* data = parsed.Find(kAttrData);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(data->value.begin(), data->value.end()),
            std::vector<uint8_t>(600, 0xAB));

  torn[1022] = 0x99;  // second block written by an older generation
  EXPECT_EQ(ApplyFixup(torn), FixupResult::kTorn);

  std::vector<uint8_t> bad = builder.Finish();
  Put<uint16_t>(&bad, 6, 9);  // eight blocks claimed in a 1024-byte record
  EXPECT_EQ(ApplyFixup(bad), FixupResult::kBadArray);
  Put<uint16_t>(&bad, 6, 3);
  Put<uint16_t>(&bad, 4, 0x3FE);  // array past the first block
  EXPECT_EQ(ApplyFixup(bad), FixupResult::kBadArray);
}

TEST(MftRecordTest, LoadTellsNoRecordBrokenFixupAndAFixedUpRecordApart) {
  RecordBuilder builder;
  builder.Resident(kAttrData, std::vector<uint8_t>(600, 0xAB));
  std::vector<uint8_t> record = builder.Finish();
  Put<uint16_t>(&record, 0x16, kRecordInUse | kRecordIsDirectory);
  std::vector<uint8_t> broken = record;
  MftRecord loaded;
  ASSERT_EQ(LoadMftRecord(record, &loaded), MftRecordVerdict::kValid);
  ASSERT_NE(loaded.Find(kAttrData), nullptr);
  EXPECT_EQ(loaded.Find(kAttrData)->value.size(), 600u);
  EXPECT_EQ(record[510], 0xAB);  // the fix-up was applied in place

  // A broken array leaves the bytes as read, yet the header still names a folder.
  Put<uint16_t>(&broken, 6, 9);
  const std::vector<uint8_t> as_read = broken;
  EXPECT_EQ(LoadMftRecord(broken, &loaded), MftRecordVerdict::kBadFixup);
  EXPECT_TRUE(loaded.header.IsDirectory());
  EXPECT_TRUE(loaded.attributes.empty());
  EXPECT_EQ(broken, as_read);

  broken[0] = 'B';
  EXPECT_EQ(LoadMftRecord(broken, &loaded), MftRecordVerdict::kNotRecord);
  EXPECT_EQ(LoadMftRecord(std::span<uint8_t>(record.data(), 0x2F), &loaded),
            MftRecordVerdict::kNotRecord);
}

// The update sequence array may end at the first block's tail (byte 510) but not cover it,
// and may claim exactly as many blocks as the record holds but not one more.
TEST(MftRecordTest, FixupArrayEndingAtItsLimitIsAppliedOnePastIsRefused) {
  RecordBuilder builder;
  const std::vector<uint8_t> record = builder.Finish();
  auto with_array_at = [&](uint16_t offset, uint16_t count) {
    std::vector<uint8_t> moved = record;
    Put<uint16_t>(&moved, 4, offset);
    Put<uint16_t>(&moved, 6, count);
    for (uint16_t i = 0; i < count && offset + 2u * i + 1 < 512; ++i) {
      moved[offset + 2 * i] = 0x42;  // every entry 0x0042: the tails already match
      moved[offset + 2 * i + 1] = 0x00;
    }
    return moved;
  };
  std::vector<uint8_t> at_limit = with_array_at(510 - 2 * 3, 3);
  EXPECT_EQ(ApplyFixup(at_limit), FixupResult::kApplied);
  std::vector<uint8_t> past_limit = with_array_at(512 - 2 * 3, 3);
  EXPECT_EQ(ApplyFixup(past_limit), FixupResult::kBadArray);
  std::vector<uint8_t> one_block_more = with_array_at(0x30, 4);  // three blocks in 1024 bytes
  EXPECT_EQ(ApplyFixup(one_block_more), FixupResult::kBadArray);
}

TEST(MftRecordTest, LongNameWinsOverTheShortNameWhateverTheOrder) {
  RecordBuilder builder;
  builder.Resident(kAttrFileName, FileNameValue(u"REPORT~1.DOC", kNameDos, 5))
      .Resident(kAttrFileName,
                FileNameValue(u"Report für 2026.docx", kNameWin32, 0x0003000000000040ull));
  std::vector<uint8_t> record = builder.Finish();
  ApplyFixup(record);
  MftRecord parsed;
  ASSERT_EQ(ParseMftRecord(record, &parsed), MftRecordVerdict::kValid);
  FileNameAttribute name;
  ASSERT_TRUE(PreferredFileName(parsed, &name));
  EXPECT_EQ(name.name, "Report für 2026.docx");
  EXPECT_EQ(name.parent_record, 0x40u);
  EXPECT_EQ(name.parent_sequence, 3);
  EXPECT_EQ(name.real_size, 1234u);
}

TEST(MftRecordTest, AttributesPointingOutsideTheRecordEndTheWalk) {
  RecordBuilder builder;
  builder.Resident(kAttrFileName, FileNameValue(u"a.txt", kNameWin32, 5))
      .Resident(kAttrData, std::vector<uint8_t>(16, 1), u"ads");
  const size_t data_at = builder.LastAttribute();
  const std::vector<uint8_t> good = builder.Finish();

  // Attributes point into the buffer, which therefore outlives each parse.
  std::vector<uint8_t> record;
  auto parse = [&record](const std::vector<uint8_t>& bytes, MftRecord* out) {
    record = bytes;
    ApplyFixup(record);
    return ParseMftRecord(record, out);
  };
  MftRecord parsed;
  ASSERT_EQ(parse(good, &parsed), MftRecordVerdict::kValid);
  ASSERT_EQ(parsed.attributes.size(), 2u);
  EXPECT_EQ(parsed.attributes[1].NameUtf8(), "ads");
  EXPECT_EQ(parsed.Find(kAttrData, true), nullptr);  // the only data is named

  std::vector<uint8_t> bad = good;
  Put<uint32_t>(&bad, data_at + 0x10, 5000);  // value length past the record
  EXPECT_EQ(parse(bad, &parsed), MftRecordVerdict::kDamaged);
  EXPECT_EQ(parsed.attributes.size(), 1u);  // the file name before the fault is kept

  bad = good;
  Put<uint32_t>(&bad, data_at + 4, 0x7FFFFFF8);  // attribute length
  EXPECT_EQ(parse(bad, &parsed), MftRecordVerdict::kDamaged);

  bad = good;
  Put<uint16_t>(&bad, data_at + 0x0A, 1020);  // name outside the attribute
  EXPECT_EQ(parse(bad, &parsed), MftRecordVerdict::kDamaged);

  bad = good;
  Put<uint16_t>(&bad, 0x14, 2000);  // first attribute offset
  EXPECT_EQ(parse(bad, &parsed), MftRecordVerdict::kDamaged);

  bad = good;
  bad[0] = 'B';
  EXPECT_EQ(ParseMftRecord(bad, &parsed), MftRecordVerdict::kNotRecord);

  FileNameAttribute name;
  std::vector<uint8_t> short_name = FileNameValue(u"abcdef", kNameWin32, 5);
  short_name.resize(0x42 + 4);  // claims 6 characters, holds 2
  EXPECT_FALSE(ParseFileName(short_name, &name));
}

}  // namespace
}  // namespace velmora::ntfs
