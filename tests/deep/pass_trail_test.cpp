// The metadata trail a resumed deep scan goes by, and the trails it must not trust.
#include "deep/pass_trail.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

class PassTrailTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("trail"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string Path() const { return dir_ + "/" + PassTrail::kFileName; }
  void Append(const std::string& bytes) {
    std::ofstream(Path(), std::ios::binary | std::ios::app) << bytes;
  }
  std::string dir_;
};

const PassTrailEntry kRecord{100, 1024, PassTrailEntry::kNtfsRecord};
const PassTrailEntry kStart{300, 512, PassTrailEntry::kFatDirectoryStart};
const PassTrailEntry kSector{301, 512, PassTrailEntry::kFatDirectorySector};

TEST_F(PassTrailTest, ResumeTakesTheEntriesBeforeItsCheckpointAndDropsWhatFollows) {
  PassTrail trail;
  trail.Start(dir_);
  trail.Note(kRecord);
  ASSERT_TRUE(trail.Checkpoint(200, 0));
  trail.Note(kStart);
  trail.Note(kSector);
  ASSERT_TRUE(trail.Checkpoint(400, 0));
  trail.Note({500, 512, PassTrailEntry::kFatDirectorySector});
  ASSERT_TRUE(trail.Checkpoint(600, 0));  // saved after the position the index kept

  PassTrail resumed;
  std::vector<PassTrailEntry> entries;
  ASSERT_TRUE(resumed.Resume(dir_, 400, 10000, &entries));
  EXPECT_EQ(entries, (std::vector<PassTrailEntry>{kRecord, kStart, kSector}));
  EXPECT_EQ(fs::file_size(Path()), 5u * 16) << "cut back to the checkpoint at 400";
  // Noting goes on from there: a second resume sees the old entries and the new ones.
  resumed.Note({450, 512, PassTrailEntry::kFatDirectorySector});
  ASSERT_TRUE(resumed.Checkpoint(480, 0));
  PassTrail again;
  ASSERT_TRUE(again.Resume(dir_, 480, 10000, &entries));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries.back().sector, 450u);
}

TEST_F(PassTrailTest, ATrailThatDoesNotCheckOutIsEmptiedForAWalkToRebuild) {
  auto make = [&] {
    PassTrail trail;
    trail.Start(dir_);
    trail.Note(kRecord);
    trail.Note(kStart);
    ASSERT_TRUE(trail.Checkpoint(400, 0));
  };
  std::vector<PassTrailEntry> entries;
  PassTrail trail;
  make();
  EXPECT_FALSE(trail.Resume(dir_, 399, 10000, &entries)) << "no checkpoint at that position";
  EXPECT_EQ(fs::file_size(Path()), 0u);
  make();
  EXPECT_FALSE(trail.Resume(dir_, 400, 300, &entries)) << "an entry past the source's end";
  make();
  Append("torn");  // a write cut short by a killed process
  EXPECT_FALSE(trail.Resume(dir_, 400, 10000, &entries));
  make();
  Append(std::string(16, '\x07'));  // an entry of no known kind
  EXPECT_FALSE(trail.Resume(dir_, 400, 10000, &entries));
  EXPECT_TRUE(entries.empty());
  fs::remove(Path());
  EXPECT_FALSE(trail.Resume(dir_, 400, 10000, &entries)) << "an older scan without a trail";
  // Bounds of an entry's size: a 4096-byte NTFS record is one, 4097 bytes is none.
  for (const uint32_t bytes : {4096u, 4097u}) {
    PassTrail sized;
    sized.Start(dir_);
    sized.Note({100, bytes, PassTrailEntry::kNtfsRecord});
    ASSERT_TRUE(sized.Checkpoint(400, 0));
    EXPECT_EQ(trail.Resume(dir_, 400, 10000, &entries), bytes == 4096u) << bytes;
  }
}

TEST_F(PassTrailTest, ALinkPlantedUnderItsNameIsNeitherFollowedNorTruncated) {
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "keep";
  fs::create_symlink(victim, Path());
  PassTrail trail;
  trail.Start(dir_);
  trail.Note(kRecord);
  EXPECT_FALSE(trail.Checkpoint(400, 0));
  std::vector<PassTrailEntry> entries;
  EXPECT_FALSE(trail.Resume(dir_, 400, 10000, &entries));
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
}

}  // namespace
}  // namespace velmora
