// Names read from the disk never steer where recovered data goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs_test_helpers.h"
#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

// Rewrites every $FILE_NAME (in MFT records and index entries alike) whose name is `from`:
// the name becomes `to`, its length byte is set to match (never longer than `from`).
int RenameOnDisk(const std::string& image, const std::string& from, const std::string& to) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const std::string needle = Utf16(from);
  int renamed = 0;
  for (size_t pos = bytes.find(needle); pos != std::string::npos;
       pos = bytes.find(needle, pos + 1)) {
    if (pos < 2 || static_cast<uint8_t>(bytes[pos - 2]) != from.size()) continue;
    bytes[pos - 2] = static_cast<char>(to.size());
    const std::string replacement = Utf16(to);
    std::copy(replacement.begin(), replacement.end(), bytes.begin() + pos);
    ++renamed;
  }
  f.seekp(0);
  f.write(bytes.data(), bytes.size());
  return renamed;
}

TEST(HostileNamesTest, NamesFromTheDiskCannotLeaveTheDestination) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g builder not available";
  const std::string dir = MakeTempDir("ntfs-hostile");
  const std::string image = dir + "/volume.img";
  {
    NtfsVolumeBuilder b(image, 32ull << 20);
    b.MakeDirectory("/outer/dotdot_folder_name");
    b.AddFile("/outer/dotdot_folder_name/slash_file_name_0001.txt", RandomText(3000, 1));
    b.AddFile("/outer/dotdot_folder_name/empty_name_file_0002.txt", RandomText(2000, 2));
    b.DeleteTree("/outer");
    b.Finish();
  }
  ASSERT_GE(RenameOnDisk(image, "dotdot_folder_name", ".."), 1);
  ASSERT_GE(RenameOnDisk(image, "slash_file_name_0001.txt", "../../../x/y"), 1);
  ASSERT_GE(RenameOnDisk(image, "empty_name_file_0002.txt", ""), 1);

  ScopedDataDir data;
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'H'), 0);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  ScanRecordList root;
  ASSERT_EQ(engine.GetChildren(nullptr, 0, &root), 0);
  const auto outer = std::find_if(root.begin(), root.end(),
                                  [](const ScanRecord& r) { return RecordName(r) == "outer"; });
  ASSERT_NE(outer, root.end());

  const std::string sandbox = dir + "/sandbox";
  const std::string target = sandbox + "/dest/outer";
  const int base = static_cast<int>(std::count(target.begin(), target.end(), '/')) - 1;
  ASSERT_EQ(engine.RecoverFile(*outer, target, base), 0);

  std::vector<std::string> created;
  for (const auto& entry : fs::recursive_directory_iterator(sandbox)) {
    const std::string path = entry.path().string();
    const bool inside = path.rfind(target + "/", 0) == 0;
    const bool on_the_way = (target + "/").rfind(path + "/", 0) == 0;
    EXPECT_TRUE(inside || on_the_way) << "escaped: " << path;
    if (entry.is_regular_file()) created.push_back(fs::relative(entry.path(), target).string());
  }
  std::sort(created.begin(), created.end());
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[0], "_unnamed../.._.._.._x_y");
  EXPECT_EQ(created[1], "_unnamed../_unnamed");
  EXPECT_EQ(Md5Of(target + "/" + created[0]), Md5Hex(RandomText(3000, 1)));
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
