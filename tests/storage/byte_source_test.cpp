// Byte sources: the bounds rule of every kind, windows, and readers over memory.
#include "storage/byte_source.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <vector>

#include "storage/error_codes.h"
#include "storage/sector_reader.h"
#include "support/test_env.h"

namespace velmora {
namespace {

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  return bytes;
}

// The same boundary pairs for every kind of source over the same 5000 bytes.
void CheckBounds(ByteSource& source, const std::vector<uint8_t>& expected) {
  SCOPED_TRACE(source.KindName());
  ASSERT_EQ(source.Size(), expected.size());
  std::vector<uint8_t> buffer(200, 0xEE);
  size_t got = 99;
  ASSERT_EQ(source.ReadAt(expected.size() - 100, buffer.data(), 100, &got), kSuccess)
      << "a read ending exactly at the end is allowed";
  EXPECT_EQ(got, 100u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, expected.end() - 100));
  got = 99;
  EXPECT_EQ(source.ReadAt(expected.size() - 100, buffer.data(), 101, &got), kErrInvalidParameter)
      << "one byte past the end is refused whole";
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(source.ReadAt(expected.size(), buffer.data(), 0, &got), kSuccess);
  EXPECT_EQ(source.ReadAt(expected.size() + 1, buffer.data(), 0, &got), kErrInvalidParameter);
  EXPECT_EQ(source.ReadAt(UINT64_MAX, buffer.data(), 2, &got), kErrInvalidParameter)
      << "offset + length must not wrap around";
}

TEST(ByteSourceTest, FileMemoryAndWindowSourcesShareOneBoundsRule) {
  const std::string dir = testing::MakeTempDir("bytes");
  const std::vector<uint8_t> bytes = Pattern(5000);
  std::ofstream(dir + "/f.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));

  std::shared_ptr<ByteSource> file;
  ASSERT_EQ(OpenByteSource(dir + "/f.bin", &file), kSuccess);
  EXPECT_EQ(file->KindName(), "file");
  EXPECT_NE(file->FileHandle(), platform::kInvalidHandle);
  CheckBounds(*file, bytes);

  auto memory = MakeMemorySource(bytes);
  EXPECT_EQ(memory->FileHandle(), platform::kInvalidHandle)
      << "memory must never be mapped as a file";
  CheckBounds(*memory, bytes);
  CheckBounds(*MakeBorrowedMemorySource(bytes), bytes);

  // A window of the middle of a larger source is a source of its own.
  const std::vector<uint8_t> larger = Pattern(6000);
  const std::vector<uint8_t> middle(larger.begin() + 300, larger.begin() + 5300);
  auto window = MakeWindowSource(MakeMemorySource(larger), 300, 5000);
  CheckBounds(*window, middle);
  // Windows are clipped to their base: asking for more than is there gives what is there.
  EXPECT_EQ(MakeWindowSource(MakeMemorySource(larger), 5500, 10000)->Size(), 500u);
  EXPECT_EQ(MakeWindowSource(MakeMemorySource(larger), 99999, 10)->Size(), 0u);
  testing::RemoveTree(dir);
}

TEST(ByteSourceTest, ReaderOverMemoryKeepsTheSectorRules) {
  const std::vector<uint8_t> bytes = Pattern(1000000);
  SectorReader reader;
  ASSERT_EQ(OpenMemorySource(&reader, bytes), kSuccess);
  EXPECT_EQ(reader.total_sectors, 1953u) << "a trailing partial sector is never readable";
  EXPECT_EQ(reader.FileHandle(), platform::kInvalidHandle);

  std::vector<uint8_t> buffer(4 * 4096);
  uint32_t read = 99;
  ASSERT_EQ(ReadSectors(&reader, 1, buffer.data(), 1952, 512, &read), kSuccess);
  EXPECT_EQ(read, 1u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, bytes.begin() + 1952 * 512));
  read = 99;
  EXPECT_EQ(ReadSectors(&reader, 2, buffer.data(), 1952, 512, &read), kErrInvalidParameter);
  EXPECT_EQ(read, 99u);
  // Larger sectors pass the 512-unit bound but run past the end: a short read.
  EXPECT_EQ(ReadSectors(&reader, 4, buffer.data(), 242, 4096, &read), kErrReadFault);
  EXPECT_EQ(read, (1000000u - 242u * 4096u) / 4096u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + read * 4096, bytes.begin() + 242 * 4096));
}

TEST(ByteSourceTest, NamedSourcesOpenLikeFilesUntilForgotten) {
  std::string name;
  {
    NamedSource named(MakeMemorySource(Pattern(4096)));
    name = named.Name();
    SectorReader reader;
    ASSERT_EQ(OpenImageFile(&reader, name), kSuccess);
    EXPECT_EQ(reader.total_sectors, 8u);
    SectorReader second;
    ASSERT_EQ(OpenImageFile(&second, name), kSuccess);
    EXPECT_EQ(second.source, reader.source) << "readers of one name share its bytes";
  }
  SectorReader reader;
  EXPECT_NE(OpenImageFile(&reader, name), kSuccess);
}

}  // namespace
}  // namespace velmora
