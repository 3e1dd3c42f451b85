#include <gtest/gtest.h>

#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

TEST(NtfsVolumeBuilderTest, Smoke) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs/libntfs-3g missing";
  const std::string dir = MakeTempDir("ntfsb");
  NtfsVolumeBuilder ntfs(dir + "/ntfs.img", 32 << 20);
  ntfs.MakeDirectory("/a/b");
  ntfs.AddFile("/a/b/x.jpg", SampleContent("jpg", 50000, 1));
  ntfs.AddFile("/a/small.txt", RandomText(300, 2));
  ntfs.AddFile("/a/small.txt:meta", RandomBytes(100, 3));
  ntfs.AddFragmentedFile("/a/frag.bin", RandomBytes(200000, 4), 3);
  ntfs.AddCompressedFile("/a/comp.txt", RandomText(100000, 9));
  ntfs.Delete("/a/b/x.jpg");
  ntfs.Delete("/a/small.txt");
  ntfs.DeleteTree("/a/b");
  ntfs.AddFileReusingRecord("/a/b", "/reuse.txt", RandomText(200, 5));
  VolumeTruth truth = ntfs.Finish();
  for (const auto& e : truth.entries) {
    std::printf("%-22s parent=%-6s dir=%d size=%6lu del=%d intact=%d res=%d comp=%d rec=%ld reused=%d ext=", e.path.c_str(), e.parent.c_str(), e.is_dir,
                (unsigned long)e.size, e.deleted, e.data_intact, e.resident, e.compressed, (long)e.mft_record, e.record_reused);
    for (auto& x : e.extents) std::printf("[%lu+%lu%s]", (unsigned long)x.offset, (unsigned long)x.length, x.hole ? "H" : "");
    std::printf("\n");
  }
  std::string out;
  RunCommand("fls -r -d " + ShellQuote(truth.image_path) + "; ntfsfix -n " + ShellQuote(truth.image_path), &out);
  std::printf("%s\n", out.c_str());
}

}  // namespace
}  // namespace velmora::testing

#include "support/fat_volume_builder.h"
namespace velmora::testing {
namespace {
TEST(FatVolumeBuilderTest, Smoke) {
  for (int bits : {12, 16, 32}) {
  const std::string dir = MakeTempDir("fatb");
  FatVolumeBuilder fat(dir + "/fat.img", bits, bits == 12 ? (4 << 20) : bits == 16 ? (32 << 20) : (64 << 20));
  fat.MakeDirectory("/Фото/2024");
  fat.AddFile("/Фото/2024/Grüße aus dem Urlaub.jpg", SampleContent("jpg", 30000, 1));
  fat.AddFragmentedFile("/big.bin", RandomBytes(100000, 2), 3);
  fat.Delete("/big.bin");
  fat.AddFile("/old.txt", RandomText(20000, 3));
  fat.Delete("/old.txt");
  fat.AddFileOverDeleted("/old.txt", "/new.txt", RandomText(5000, 4));
  fat.DeleteTree("/Фото");
  VolumeTruth truth = fat.Finish();
  for (const auto& e : truth.entries) {
    std::printf("%-40s parent=%-12s dir=%d size=%6lu del=%d intact=%d fc=%u ext=", e.path.c_str(), e.parent.c_str(), e.is_dir,
                (unsigned long)e.size, e.deleted, e.data_intact, e.first_cluster);
    for (auto& x : e.extents) std::printf("[%lu+%lu]", (unsigned long)x.offset, (unsigned long)x.length);
    std::printf("\n");
  }
  std::string out;
  RunCommand("fls -r -d " + ShellQuote(truth.image_path) + "; fsck.fat -n " + ShellQuote(truth.image_path), &out);
  std::printf("%s\n", out.c_str());
  }
}
}  // namespace
}  // namespace velmora::testing
