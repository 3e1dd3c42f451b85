#include "tools/sample_sets.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "engine/categories.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"
#include "tools/sample_media.h"

namespace velmora::tools {

namespace {

using Bytes = std::vector<uint8_t>;
using testing::VolumeTruth;

std::string LowerExtension(const std::string& name) {
  const size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Content that looks like a real file of the name's type; other names get random bytes.
Bytes ContentFor(const std::string& name, size_t size, uint64_t seed) {
  const std::string ext = LowerExtension(name);
  if (ext == "mp4" || ext == "m4v") return Mp4Sample(size, seed);
  if (ext == "avi") return AviSample(size & ~size_t{1}, seed);
  if (ext == "wav") return WavSample(size & ~size_t{1}, seed);
  if (ext == "bin" || ext == "dat") return testing::RandomBytes(size, seed);
  return testing::SampleContent(ext, size, seed);
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string Join(const std::string& folder, const std::string& name) {
  return (std::filesystem::path(folder) / name).string();
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Remembers what small files held, so their survival can be judged after a format.
class ContentLog {
 public:
  template <class Builder>
  void Add(Builder& builder, const std::string& path, size_t size, uint64_t seed) {
    Bytes content = ContentFor(FileName(path), size, seed);
    builder.AddFile(path, content);
    if (content.size() <= 4096) small_[path] = std::move(content);
  }
  template <class Builder>
  void AddFragmented(Builder& builder, const std::string& path, size_t size, uint64_t seed,
                     int pieces) {
    builder.AddFragmentedFile(path, ContentFor(FileName(path), size, seed), pieces);
  }
  const std::map<std::string, Bytes>& Small() const { return small_; }

 private:
  std::map<std::string, Bytes> small_;
};

SampleImage ImageFrom(const VolumeTruth& truth, const std::string& file_system,
                      const std::string& description) {
  SampleImage image;
  image.image = std::filesystem::path(truth.image_path).filename().string();
  image.file_system = file_system;
  image.description = description;
  image.files = FilesOf(truth);
  return image;
}

// The mixed office/home volume of the corpus: every category, resident and fragmented
// files, Unicode names, a deleted folder tree and a file partly overwritten by a newer one.
template <class Builder>
void FillHomeVolume(Builder& volume, ContentLog& log, uint64_t seed) {
  for (const char* folder : {"/Documents", "/Pictures/Фото", "/Music", "/Videos", "/Archive",
                             "/Projects/Plan", "/Temp"}) {
    volume.MakeDirectory(folder);
  }
  log.Add(volume, "/Documents/Annual report.pdf", 120000, seed + 1);
  log.Add(volume, "/Documents/Budget 2024.xlsx", 40000, seed + 2);
  log.Add(volume, "/Documents/Meeting notes.docx", 30000, seed + 3);
  log.Add(volume, "/Documents/Old letter.doc", 50176, seed + 4);
  log.Add(volume, "/Documents/todo.txt", 700, seed + 5);
  log.Add(volume, "/Documents/Contract.pdf", 60000, seed + 6);
  log.Add(volume, "/Pictures/Фото/Grüße aus dem Urlaub.jpg", 90000, seed + 7);
  log.Add(volume, "/Pictures/Фото/海辺の夕日.png", 60000, seed + 8);
  log.Add(volume, "/Pictures/logo.gif", 15000, seed + 9);
  log.Add(volume, "/Pictures/scan.bmp", 70000, seed + 10);
  log.Add(volume, "/Music/voice memo.wav", 300000, seed + 11);
  log.AddFragmented(volume, "/Videos/holiday clip.avi", 400000, seed + 12, 3);
  log.Add(volume, "/Videos/trailer.mp4", 250000, seed + 13);
  log.Add(volume, "/Archive/backup.zip", 150000, seed + 14);
  log.Add(volume, "/Archive/slides.pptx", 80000, seed + 15);
  log.Add(volume, "/Projects/Plan/plan.pdf", 40000, seed + 16);
  log.Add(volume, "/Projects/Plan/site photo.jpg", 45000, seed + 17);
  log.Add(volume, "/Projects/readme.txt", 3000, seed + 18);
  log.Add(volume, "/Temp/cache.bin", 100000, seed + 19);

  for (const char* path :
       {"/Documents/Annual report.pdf", "/Documents/Meeting notes.docx",
        "/Documents/Old letter.doc", "/Documents/todo.txt",
        "/Pictures/Фото/Grüße aus dem Urlaub.jpg", "/Pictures/Фото/海辺の夕日.png",
        "/Pictures/logo.gif", "/Music/voice memo.wav", "/Videos/holiday clip.avi",
        "/Videos/trailer.mp4", "/Archive/backup.zip", "/Archive/slides.pptx", "/Temp/cache.bin"}) {
    volume.Delete(path);
  }
  volume.DeleteTree("/Projects");
  // A newer, smaller file written where the deleted cache was: that one is only partly there.
  volume.AddFileOverDeleted("/Temp/cache.bin", "/Temp/session.log",
                            testing::RandomText(30000, seed + 20));
}

SampleImage NtfsHomeVolume(const std::string& path, uint64_t seed, bool quick_format_after) {
  testing::NtfsVolumeBuilder volume(path, 64ull << 20);
  ContentLog log;
  FillHomeVolume(volume, log, seed);
  VolumeTruth truth = volume.Finish();
  if (!quick_format_after) {
    return ImageFrom(truth, "NTFS",
                     "deleted files: resident, fragmented, Unicode names, a deleted "
                     "folder tree, one partly overwritten");
  }
  std::string output;
  if (testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 -L NEW " + testing::ShellQuote(path),
                          &output) != 0) {
    throw std::runtime_error("mkntfs over " + path + " failed: " + output);
  }
  MarkAllLostAfterFormat(&truth, log.Small());
  return ImageFrom(truth, "NTFS",
                   "the deleted-files volume quick-formatted again (mkntfs -Q): "
                   "every file lost");
}

void FormatFatAgain(const std::string& path, int fat_bits, int sectors_per_cluster) {
  std::string output;
  const std::string command = "mkfs.fat -F " + std::to_string(fat_bits) + " -S 512 -s " +
                              std::to_string(sectors_per_cluster) + " -n NEW " +
                              testing::ShellQuote(path);
  if (testing::RunCommand(command, &output) != 0) {
    throw std::runtime_error("mkfs.fat over " + path + " failed: " + output);
  }
}

SampleImage FatHomeVolume(const std::string& path, int fat_bits, uint64_t size,
                          int sectors_per_cluster, uint64_t seed, bool format_after) {
  testing::FatBuildOptions options;
  options.sectors_per_cluster = sectors_per_cluster;
  testing::FatVolumeBuilder volume(path, fat_bits, size, options);
  ContentLog log;
  FillHomeVolume(volume, log, seed);
  VolumeTruth truth = volume.Finish();
  const std::string file_system = "FAT" + std::to_string(fat_bits);
  if (!format_after) {
    return ImageFrom(truth, file_system,
                     "deleted files: fragmented, Unicode long names, a deleted "
                     "folder tree, one partly overwritten");
  }
  FormatFatAgain(path, fat_bits, sectors_per_cluster);
  MarkAllLostAfterFormat(&truth, log.Small());
  return ImageFrom(truth, file_system,
                   "the deleted-files volume formatted again (mkfs.fat): every file lost");
}

// A memory card after the camera re-formatted it: photos, a video and documents in folders,
// some deleted before the format.
SampleImage CameraCard(const std::string& path) {
  testing::FatBuildOptions options;
  options.sectors_per_cluster = 1;
  options.label = "CAMERA";
  testing::FatVolumeBuilder card(path, 32, 64ull << 20, options);
  ContentLog log;
  card.SetClock(1717236000);  // 2024-06-01 10:00 UTC
  card.MakeDirectory("/DCIM/100CAMERA");
  card.MakeDirectory("/Documents/Trip");
  for (int i = 1; i <= 10; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/DCIM/100CAMERA/IMG_%04d.JPG", i);
    log.Add(card, name, 150000 + 23000 * i, 100 + i);
  }
  log.Add(card, "/DCIM/100CAMERA/MOV_0011.MP4", 2400000, 111);
  log.Add(card, "/DCIM/100CAMERA/MOV_0012.AVI", 900000, 112);
  log.Add(card, "/Documents/Trip/Booking confirmation.pdf", 85000, 113);
  log.Add(card, "/Documents/Trip/Packing list.docx", 24000, 114);
  log.Add(card, "/Documents/Trip/Itinéraire été.pdf", 52000, 115);
  log.Add(card, "/Documents/Expenses.xlsx", 18000, 116);
  for (const char* deleted :
       {"/DCIM/100CAMERA/IMG_0003.JPG", "/DCIM/100CAMERA/IMG_0007.JPG",
        "/DCIM/100CAMERA/MOV_0012.AVI", "/Documents/Trip/Packing list.docx"}) {
    card.Delete(deleted);
  }
  VolumeTruth truth = card.Finish();
  FormatFatAgain(path, 32, 1);
  MarkAllLostAfterFormat(&truth, log.Small());
  return ImageFrom(truth, "FAT32",
                   "camera card: photos, videos and documents, some deleted, then "
                   "the card was formatted again");
}

SampleImage DemoNtfsVolume(const std::string& path) {
  testing::NtfsVolumeBuilder volume(path, 32ull << 20);
  volume.SetClock(1709290800);  // 2024-03-01 11:00 UTC
  ContentLog log;
  for (const char* folder :
       {"/Users/Anna/Pictures/Holiday 2024", "/Users/Anna/Documents", "/Users/Anna/Videos",
        "/Users/Anna/Фото", "/Users/Anna/Old projects/Garden"}) {
    volume.MakeDirectory(folder);
  }
  log.Add(volume, "/Users/Anna/Pictures/Holiday 2024/beach.jpg", 210000, 201);
  log.Add(volume, "/Users/Anna/Pictures/Holiday 2024/sunset.png", 95000, 202);
  log.Add(volume, "/Users/Anna/Documents/Report Q3.docx", 42000, 203);
  log.Add(volume, "/Users/Anna/Documents/Budget.xlsx", 26000, 204);
  log.Add(volume, "/Users/Anna/Documents/notes.txt", 600, 205);  // resident in its MFT record
  log.Add(volume, "/Users/Anna/Documents/Grüße an Oma.pdf", 64000, 206);
  log.Add(volume, "/Users/Anna/Documents/日本語メモ.txt", 5000, 207);
  log.AddFragmented(volume, "/Users/Anna/Videos/birthday.avi", 600000, 208, 3);
  log.Add(volume, "/Users/Anna/Фото/Отпуск.jpg", 130000, 209);
  log.Add(volume, "/Users/Anna/Old projects/Garden/plan.pdf", 38000, 210);
  log.Add(volume, "/Users/Anna/Old projects/Garden/sketch.png", 52000, 211);
  log.Add(volume, "/Users/Anna/Old projects/photos.zip", 120000, 212);
  for (const char* deleted :
       {"/Users/Anna/Pictures/Holiday 2024/beach.jpg", "/Users/Anna/Documents/Report Q3.docx",
        "/Users/Anna/Documents/notes.txt", "/Users/Anna/Documents/Grüße an Oma.pdf",
        "/Users/Anna/Documents/日本語メモ.txt", "/Users/Anna/Videos/birthday.avi",
        "/Users/Anna/Фото/Отпуск.jpg"}) {
    volume.Delete(deleted);
  }
  volume.DeleteTree("/Users/Anna/Old projects");
  VolumeTruth truth = volume.Finish();
  return ImageFrom(truth, "NTFS",
                   "deleted files in folders: a resident file, a fragmented video, "
                   "Unicode names, a deleted folder tree");
}

struct PlantedFile {
  std::string name;
  Bytes content;
};

// Real files of every catalogue family from the shared test data, when it is there.
std::vector<PlantedFile> SharedSampleFiles(const std::string& testdata) {
  std::vector<PlantedFile> files;
  if (testdata.empty()) return files;
  const std::pair<const char*, const char*> fixtures[] = {
      {"file-type-fixtures/fixture.jpg", "fixture.jpg"},
      {"file-type-fixtures/fixture.png", "fixture.png"},
      {"file-type-fixtures/fixture.gif", "fixture.gif"},
      {"file-type-fixtures/fixture.bmp", "fixture.bmp"},
      {"file-type-fixtures/fixture-bali.tif", "fixture-bali.tif"},
      {"file-type-fixtures/fixture.psd", "fixture.psd"},
      {"file-type-fixtures/fixture.ico", "fixture.ico"},
      {"file-type-fixtures/fixture.pdf", "fixture.pdf"},
      {"file-type-fixtures/fixture.doc.cfb", "fixture.doc"},
      {"file-type-fixtures/fixture.xls.cfb", "fixture.xls"},
      {"file-type-fixtures/fixture.ppt.cfb", "fixture.ppt"},
      {"file-type-fixtures/fixture.docx", "fixture.docx"},
      {"file-type-fixtures/fixture.xlsx", "fixture.xlsx"},
      {"file-type-fixtures/fixture.pptx", "fixture.pptx"},
      {"file-type-fixtures/fixture.zip", "fixture.zip"},
      {"file-type-fixtures/fixture.7z", "fixture.7z"},
      {"file-type-fixtures/fixture.rar", "fixture.rar"},
      {"file-type-fixtures/fixture.tar.gz", "fixture.tar.gz"},
      {"file-type-fixtures/fixture.cab", "fixture.cab"},
      {"file-type-fixtures/fixture.mp3", "fixture.mp3"},
      {"file-type-fixtures/fixture.wav", "fixture.wav"},
      {"file-type-fixtures/fixture.mid", "fixture.mid"},
      {"file-type-fixtures/fixture.wma.asf", "fixture.wma"},
      {"file-type-fixtures/fixture.avi", "fixture.avi"},
      {"file-type-fixtures/fixture.mov", "fixture.mov"},
      {"file-type-fixtures/fixture-imovie.mp4", "fixture-imovie.mp4"},
      {"file-type-fixtures/fixture.3gp", "fixture.3gp"},
      {"file-type-fixtures/fixture.mkv", "fixture.mkv"},
      {"file-type-fixtures/fixture.flv", "fixture.flv"},
      {"file-type-fixtures/fixture.swf", "fixture.swf"},
      {"file-type-fixtures/fixture.wmv.asf", "fixture.wmv"},
      {"file-type-fixtures/fixture.exe", "fixture.exe"},
      {"file-type-fixtures/fixture.sqlite", "fixture.db"},
      {"file-type-fixtures/fixture-sample.pst", "fixture-sample.pst"},
      {"file-type-fixtures/fixture.ttf", "fixture.ttf"},
      {"small-files/jpeg.jpg", "jpeg.jpg"},
      {"small-files/png-transparent.png", "png-transparent.png"},
      {"small-files/gif.gif", "gif.gif"},
      {"small-files/AudioVideoInterleave.avi", "AudioVideoInterleave.avi"},
      {"small-files/FlashVideo.flv", "FlashVideo.flv"},
      {"small-files/mp4-with-audio.mp4", "mp4-with-audio.mp4"},
      {"small-files/pdf.pdf", "pdf.pdf"},
      {"small-files/rar5.rar", "rar5.rar"},
      {"small-files/zip.zip", "zip.zip"},
      {"small-files/wav.wav", "wav.wav"},
      {"small-files/portableexecutable.exe", "portableexecutable.exe"},
  };
  for (const auto& [relative, name] : fixtures) {
    const std::string path = Join(testdata, relative);
    if (!std::filesystem::is_regular_file(path)) continue;
    files.push_back({name, ReadWholeFile(path)});
  }
  return files;
}

std::vector<PlantedFile> GeneratedSampleFiles() {
  std::vector<PlantedFile> files;
  const std::pair<const char*, size_t> kinds[] = {
      {"photo.jpg", 80000},  {"picture.png", 50000}, {"anim.gif", 20000},   {"scan.bmp", 60000},
      {"paper.pdf", 90000},  {"letter.doc", 40960},  {"sheet.xls", 30720},  {"report.docx", 30000},
      {"table.xlsx", 20000}, {"deck.pptx", 60000},   {"bundle.zip", 70000}, {"clip.mp4", 300000},
      {"movie.avi", 200000}, {"sound.wav", 150000},
  };
  uint64_t seed = 700;
  for (const auto& [name, size] : kinds) files.push_back({name, ContentFor(name, size, ++seed)});
  return files;
}

// Files at sector-aligned places among random bytes, with no file system.
SampleImage CarvingImage(const std::string& path, std::vector<PlantedFile> files) {
  constexpr uint64_t kSector = 512;
  uint64_t seed = 9000;
  Bytes image;
  SampleImage result;
  result.image = std::filesystem::path(path).filename().string();
  result.file_system = "none";
  result.description = "carving: " + std::to_string(files.size()) +
                       " real files of the catalogue's families among random bytes, no file system";
  for (auto& file : files) {
    const uint64_t gap_sectors = 4 + (seed * 2654435761u) % 60;
    const Bytes gap = testing::RandomBytes(gap_sectors * kSector, ++seed);
    image.insert(image.end(), gap.begin(), gap.end());
    SampleFile truth;
    truth.path = "/" + file.name;
    truth.name = file.name;
    truth.size = file.content.size();
    truth.md5 = testing::Md5Hex(file.content);
    truth.deleted = true;
    truth.data_intact = true;
    truth.category = CategoryOfName(file.name);
    result.files.push_back(truth);
    image.insert(image.end(), file.content.begin(), file.content.end());
    // Zeros up to the end of the file's last sector, as file systems write it; the sectors
    // between files hold old random data.
    image.resize(image.size() + (kSector - image.size() % kSector) % kSector, 0);
  }
  const Bytes tail = testing::RandomBytes(256 * kSector, ++seed);
  image.insert(image.end(), tail.begin(), tail.end());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return result;
}

void Finish(const SampleSet& set, const std::string& folder) {
  WriteSampleSet(set, Join(folder, "truth.json"));
}

}  // namespace

SampleSet BuildDemoSet(const std::string& folder) {
  SampleSet set;
  set.name = "demo";
  set.images.push_back(CameraCard(Join(folder, "camera-card.img")));
  set.images.push_back(DemoNtfsVolume(Join(folder, "ntfs-volume.img")));
  Finish(set, folder);
  return set;
}

SampleSet BuildCorpus(const std::string& folder, const std::string& testdata) {
  SampleSet set;
  set.name = "corpus";
  set.images.push_back(NtfsHomeVolume(Join(folder, "ntfs-deleted.img"), 1000, false));
  set.images.push_back(
      FatHomeVolume(Join(folder, "fat16-deleted.img"), 16, 32ull << 20, 4, 2000, false));
  set.images.push_back(
      FatHomeVolume(Join(folder, "fat32-deleted.img"), 32, 64ull << 20, 1, 3000, false));
  set.images.push_back(NtfsHomeVolume(Join(folder, "ntfs-quick-formatted.img"), 4000, true));
  set.images.push_back(
      FatHomeVolume(Join(folder, "fat16-reformatted.img"), 16, 32ull << 20, 4, 5000, true));
  set.images.push_back(
      FatHomeVolume(Join(folder, "fat32-reformatted.img"), 32, 64ull << 20, 1, 6000, true));
  std::vector<PlantedFile> planted = SharedSampleFiles(testdata);
  if (planted.empty()) planted = GeneratedSampleFiles();
  set.images.push_back(CarvingImage(Join(folder, "carving.img"), std::move(planted)));
  Finish(set, folder);
  return set;
}

SampleSet BuildSmokeSet(const std::string& folder) {
  SampleSet set;
  set.name = "smoke";
  {
    testing::FatVolumeBuilder fat(Join(folder, "fat16.img"), 16, 16ull << 20);
    ContentLog log;
    fat.MakeDirectory("/Фото");
    log.Add(fat, "/Фото/one.jpg", 20000, 1);
    log.Add(fat, "/two.pdf", 9000, 2);
    fat.Delete("/Фото/one.jpg");
    set.images.push_back(ImageFrom(fat.Finish(), "FAT16", "smoke"));
  }
  {
    testing::NtfsVolumeBuilder ntfs(Join(folder, "ntfs.img"), 8ull << 20);
    ContentLog log;
    log.Add(ntfs, "/small.txt", 300, 3);
    log.Add(ntfs, "/clip.mp4", 40000, 4);
    ntfs.Delete("/small.txt");
    ntfs.Delete("/clip.mp4");
    VolumeTruth truth = ntfs.Finish();
    std::string output;
    if (testing::RunCommand(
            "mkntfs -F -Q -q -s 512 -c 4096 " + testing::ShellQuote(truth.image_path), &output) !=
        0) {
      throw std::runtime_error("mkntfs failed: " + output);
    }
    MarkAllLostAfterFormat(&truth, log.Small());
    set.images.push_back(ImageFrom(truth, "NTFS", "smoke, quick-formatted"));
  }
  set.images.push_back(CarvingImage(Join(folder, "carving.img"), GeneratedSampleFiles()));
  Finish(set, folder);
  return set;
}

}  // namespace velmora::tools
