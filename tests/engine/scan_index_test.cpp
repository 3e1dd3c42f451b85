#include "engine/scan_index.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

class ScanIndexTest : public ::testing::Test {
 protected:
  testing::ScopedDataDir data_;
  std::string Dir() const { return data_.Path() + "/ScanLog"; }
};

TEST_F(ScanIndexTest, DirectoryFollowsTheDataDirVariable) {
  EXPECT_EQ(ScanLogDirectory(), Dir());
  EXPECT_EQ(ScanIndex::Instance().Directory(), Dir());
}

TEST_F(ScanIndexTest, ConsecutiveScansGetNewFoldersAndAFailedDeepScanGivesItsNumberBack) {
  ScanIndex& index = ScanIndex::Instance();
  EXPECT_EQ(index.NewScanFolder(), Dir() + "/1/");
  EXPECT_EQ(index.NewScanFolder(), Dir() + "/2/");
  EXPECT_EQ(index.CurrentFolder(), Dir() + "/2/");
  fs::create_directories(Dir() + "/3");
  std::ofstream(Dir() + "/3/leftover") << "old";
  EXPECT_EQ(index.NewScanFolder(), Dir() + "/3/");
  EXPECT_FALSE(fs::exists(Dir() + "/3/leftover")) << "a reused number starts empty";
  index.DropLastNumber();
  EXPECT_EQ(index.NewScanFolder(), Dir() + "/3/");
}

TEST_F(ScanIndexTest, ImageRecordsSurviveARestartAndGoStaleWhenTheImageChanges) {
  const std::string image = data_.Path() + "/disk.img";
  std::ofstream(image) << "image bytes";
  const uint64_t resume[5] = {1, 2, 3, 4, 5};
  {
    ScanIndex& index = ScanIndex::Instance();
    const std::string folder = index.NewScanFolder();
    fs::create_directories(folder);
    ASSERT_EQ(index.AddOrUpdate("", 128, 0, 0, resume, folder, image), 0);
    ASSERT_EQ(index.Records().size(), 1u);
    EXPECT_EQ(index.Records()[0].disk_number, 128) << "images keep the disk index they are given";
  }
  ScanIndex::ResetInstance();
  ScanIndexRecord record{};
  ASSERT_TRUE(ScanIndex::Instance().FindForImage(image, &record));
  EXPECT_EQ(record.resume[4], 5u);
  EXPECT_EQ(ScanIndex::Instance().CurrentFolder(), Dir() + "/1/");
  EXPECT_EQ(ScanIndex::Instance().LastNumber(), 1u);

  // Touch the image: its last-write time changes, so the saved scan is dropped with its folder.
  struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, image.c_str(), times, 0), 0);
  EXPECT_FALSE(ScanIndex::Instance().FindForImage(image, &record));
  EXPECT_FALSE(fs::exists(Dir() + "/1"));
  EXPECT_TRUE(ScanIndex::Instance().Records().empty());
}

TEST_F(ScanIndexTest, PartitionWithoutMountPointMatchesOnZeroFreeBytes) {
  ScanIndex& index = ScanIndex::Instance();
  const uint64_t resume[5] = {9, 0, 0, 0, 0};
  const std::string folder = index.NewScanFolder();
  ASSERT_EQ(index.AddOrUpdate("", 2, 2048, 100000, resume, folder, ""), 0);
  ScanIndexRecord record{};
  EXPECT_TRUE(index.FindForPartition(2, 2048, 100000, "", &record));
  EXPECT_EQ(record.resume[0], 9u);
  EXPECT_FALSE(index.FindForPartition(2, 2048, 99999, "", &record));
  // Updating keeps one record.
  const uint64_t later[5] = {10, 0, 0, 0, 0};
  ASSERT_EQ(index.AddOrUpdate("", 2, 2048, 100000, later, folder, ""), 0);
  EXPECT_EQ(index.Records().size(), 1u);
  EXPECT_EQ(index.Records()[0].resume[0], 10u);
}

TEST_F(ScanIndexTest, InterruptedSaveIsAdoptedFromTheTemporaryFile) {
  const uint64_t resume[5] = {};
  {
    ScanIndex& index = ScanIndex::Instance();
    const std::string folder = index.NewScanFolder();
    ASSERT_EQ(index.AddOrUpdate("", 1, 63, 1000, resume, folder, ""), 0);
  }
  // A crash after config.tmp was written but before the rename.
  fs::rename(Dir() + "/config", Dir() + "/config.tmp");
  ScanIndex::ResetInstance();
  EXPECT_EQ(ScanIndex::Instance().LastNumber(), 1u);
  EXPECT_EQ(ScanIndex::Instance().Records().size(), 1u);
  EXPECT_TRUE(fs::exists(Dir() + "/config"));
  EXPECT_FALSE(fs::exists(Dir() + "/config.tmp"));
}

TEST_F(ScanIndexTest, TruncatedOrHostileIndexIsReadSafely) {
  fs::create_directories(Dir());
  {
    std::ofstream out(Dir() + "/config", std::ios::binary);
    const uint64_t number = 4;
    out.write(reinterpret_cast<const char*>(&number), 8);
    ScanIndexRecord record{};
    std::fill(std::begin(record.scan_folder), std::end(record.scan_folder), u'A');  // no terminator
    for (int i = 0; i < 8; ++i) record.image_path[i] = u"/../../x"[i];
    out.write(reinterpret_cast<const char*>(&record), sizeof(record));
    out.write("partial", 7);
  }
  ScanIndex::ResetInstance();
  ScanIndex& index = ScanIndex::Instance();
  EXPECT_EQ(index.LastNumber(), 4u);
  EXPECT_TRUE(index.Records().empty()) << "a folder outside the scan-log directory is dropped";
  // A folder outside the scan-log directory is never deleted.
  fs::create_directories(data_.Path() + "/precious");
  EXPECT_NE(index.Remove(data_.Path() + "/precious/"), 0);
  EXPECT_TRUE(fs::exists(data_.Path() + "/precious"));
}

TEST_F(ScanIndexTest, OnlyNumberedFoldersOfTheScanLogDirectoryAreKept) {
  const auto with_folder = [](const std::string& folder) {
    ScanIndexRecord record{};
    for (size_t i = 0; i < folder.size(); ++i) record.scan_folder[i] = folder[i];
    return record;
  };
  {
    ScanIndex index(Dir());
    const std::string folders[] = {Dir() + "/7/", Dir() + "/7/../../elsewhere/", Dir() + "/x/",
                                   Dir() + "/",   data_.Path() + "/8/",          Dir() + "/12"};
    char16_t image = u'a';
    for (const std::string& folder : folders) {
      ScanIndexRecord record = with_folder(folder);
      record.image_path[0] = image++;  // one source each
      ASSERT_EQ(index.PutQuickResult(record), kSuccess);
    }
  }
  ScanIndex reloaded(Dir());
  ASSERT_EQ(reloaded.Records().size(), 1u);
  EXPECT_EQ(reloaded.Records()[0].scan_folder[Dir().size() + 1], u'7');
}

TEST_F(ScanIndexTest, FindLogFileSkipsSideFiles) {
  const std::string folder = Dir() + "/5";
  fs::create_directories(folder);
  for (const char* name : {"Pro_Ntfs_0_2026127 9_Relation", "Pro_Ntfs_0_2026127 9",
                           "Pro_Ntfs_0_2026127 9_DirInfo", "File_Type_0_2026127 9"}) {
    std::ofstream(folder + "/" + name) << "";
  }
  std::string name;
  ASSERT_TRUE(ScanIndex::Instance().FindLogFile(folder, "Pro_Ntfs_", &name));
  EXPECT_EQ(name, "Pro_Ntfs_0_2026127 9");
  EXPECT_FALSE(ScanIndex::Instance().FindLogFile(folder, "Pro_Fat_", &name));
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Runs `child` in `count` forked processes at once and waits for them all.
template <typename Child>
void InProcesses(int count, Child child) {
  std::vector<pid_t> pids;
  for (int i = 0; i < count; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      child(i);
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (const pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST(ScanIndexProcessesTest, ScansInSeveralProcessesGetTheirOwnFoldersAndEntries) {
  testing::ScopedDataDir data;
  const std::string dir = data.Path() + "/ScanLog";
  constexpr int kProcesses = 4;
  constexpr int kScansEach = 10;
  InProcesses(kProcesses, [&](int process) {
    ScanIndex index(dir);
    for (int i = 0; i < kScansEach; ++i) {
      const std::string folder = index.NewScanFolder();
      std::ofstream(data.Path() + "/claims", std::ios::app) << folder << "\n";
      ScanIndexRecord record{};
      const std::string image = "/images/" + std::to_string(process) + "-" + std::to_string(i);
      for (size_t k = 0; k < image.size(); ++k) record.image_path[k] = image[k];
      for (size_t k = 0; k < folder.size(); ++k) record.scan_folder[k] = folder[k];
      if (index.PutQuickResult(record) != 0) ::_exit(1);
    }
  });
  std::ifstream claims(data.Path() + "/claims");
  std::set<std::string> folders;
  for (std::string line; std::getline(claims, line);) folders.insert(line);
  EXPECT_EQ(folders.size(), static_cast<size_t>(kProcesses * kScansEach)) << "no folder twice";
  ScanIndex after(dir);
  EXPECT_EQ(after.Records().size(), static_cast<size_t>(kProcesses * kScansEach))
      << "no entry lost";
  EXPECT_EQ(after.LastNumber(), static_cast<uint64_t>(kProcesses * kScansEach));
}

TEST(ScanIndexProcessesTest, AFailedScanGivesItsNumberBackOnlyWhileNoLaterScanTookOne) {
  testing::ScopedDataDir data;
  const std::string dir = data.Path() + "/ScanLog";
  ScanIndex first(dir);
  ScanIndex second(dir);
  EXPECT_EQ(first.NewScanFolder(), dir + "/1/");
  EXPECT_EQ(second.NewScanFolder(), dir + "/2/");
  first.DropLastNumber();  // 2 is taken: 1 stays used
  EXPECT_EQ(ScanIndex(dir).LastNumber(), 2u);
  second.DropLastNumber();
  EXPECT_EQ(ScanIndex(dir).LastNumber(), 1u);
}

// A child process takes the lock of "image:/a.img" in `dir` (alone or shared) and holds it
// while `while_held` runs here; `child_gets` is whether it should get it.
void HoldInChild(const std::string& dir, bool exclusive, bool child_gets,
                 const std::function<void()>& while_held) {
  int ready[2];
  int finish[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(finish), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    SourceScanLock lock;
    const int got =
        exclusive ? lock.Acquire(dir, "image:/a.img") : lock.AcquireShared(dir, "image:/a.img");
    const char status = got == 0 ? 'y' : 'n';
    (void)!::write(ready[1], &status, 1);
    char done = 0;
    (void)!::read(finish[0], &done, 1);
    ::_exit(0);
  }
  char status = 0;
  ASSERT_EQ(::read(ready[0], &status, 1), 1);
  EXPECT_EQ(status, child_gets ? 'y' : 'n');
  while_held();
  (void)!::write(finish[1], "x", 1);
  ::waitpid(pid, nullptr, 0);
  for (int fd : {ready[0], ready[1], finish[0], finish[1]}) ::close(fd);
}

TEST(SourceScanLockTest, ASecondProcessIsRefusedUntilTheFirstEnds) {
  testing::ScopedDataDir data;
  const std::string dir = data.Path() + "/ScanLog";
  HoldInChild(dir, true, true, [&] {
    SourceScanLock same;
    EXPECT_EQ(same.Acquire(dir, "image:/a.img"), kErrSharingViolation);
    SourceScanLock other;
    EXPECT_EQ(other.Acquire(dir, "image:/b.img"), 0) << "another source scans at once";
    SourceScanLock again;
    EXPECT_EQ(again.Acquire(dir, "image:/b.img"), 0) << "scans within one process share it";
  });
  SourceScanLock after;
  EXPECT_EQ(after.Acquire(dir, "image:/a.img"), 0);
}

// A process reading a result shares the lock with other readers; a scan in another process is
// refused while any reads, and readers while a scan runs. One process turns its read into a
// scan and back.
TEST(SourceScanLockTest, ReadersShareItAndAScanElsewhereWaitsForThem) {
  testing::ScopedDataDir data;
  const std::string dir = data.Path() + "/ScanLog";
  HoldInChild(dir, false, true, [&] {
    SourceScanLock scan;
    EXPECT_EQ(scan.Acquire(dir, "image:/a.img"), kErrSharingViolation) << "a reader elsewhere";
    SourceScanLock reader;
    EXPECT_EQ(reader.AcquireShared(dir, "image:/a.img"), 0) << "readers share it";
    SourceScanLock upgrade;
    EXPECT_EQ(upgrade.Acquire(dir, "image:/a.img"), kErrSharingViolation)
        << "this process's read cannot become a scan while another process reads";
  });
  HoldInChild(dir, true, true, [&] {
    SourceScanLock reader;
    EXPECT_EQ(reader.AcquireShared(dir, "image:/a.img"), kErrSharingViolation)
        << "a scan elsewhere";
  });
  // A process that reads starts a scan and goes back to reading when it ends; another
  // process sees the scan and then the reading.
  int step[2];
  int go[2];
  ASSERT_EQ(::pipe(step), 0);
  ASSERT_EQ(::pipe(go), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char unused = 0;
    SourceScanLock reader;
    const bool read = reader.AcquireShared(dir, "image:/a.img") == 0;
    auto scan = std::make_unique<SourceScanLock>();
    const char scanning = read && scan->Acquire(dir, "image:/a.img") == 0 ? 'a' : 'f';
    (void)!::write(step[1], &scanning, 1);
    (void)!::read(go[0], &unused, 1);
    scan.reset();
    (void)!::write(step[1], "b", 1);
    (void)!::read(go[0], &unused, 1);
    ::_exit(0);
  }
  char seen = 0;
  ASSERT_EQ(::read(step[0], &seen, 1), 1);
  EXPECT_EQ(seen, 'a');
  {
    SourceScanLock reader;
    EXPECT_EQ(reader.AcquireShared(dir, "image:/a.img"), kErrSharingViolation) << "it scans";
  }
  (void)!::write(go[1], "x", 1);
  ASSERT_EQ(::read(step[0], &seen, 1), 1);
  {
    SourceScanLock reader;
    EXPECT_EQ(reader.AcquireShared(dir, "image:/a.img"), 0) << "it reads again";
  }
  {
    SourceScanLock scan;
    EXPECT_EQ(scan.Acquire(dir, "image:/a.img"), kErrSharingViolation) << "it still reads";
  }
  (void)!::write(go[1], "x", 1);
  ::waitpid(pid, nullptr, 0);
  for (int fd : {step[0], step[1], go[0], go[1]}) ::close(fd);
}

}  // namespace
}  // namespace velmora
