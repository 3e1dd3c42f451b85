#include "deep_ntfs_images.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "support/test_env.h"

#ifdef VELMORA_HAVE_NTFS3G
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#endif

namespace velmora::testing {

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

namespace {

bool CopyRange(const std::string& from, uint64_t from_offset, const std::string& to,
               uint64_t to_offset, uint64_t bytes) {
  std::ifstream in(from, std::ios::binary);
  std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
  if (!in || !out) return false;
  in.seekg(static_cast<std::streamoff>(from_offset));
  out.seekp(static_cast<std::streamoff>(to_offset));
  std::vector<char> buffer(1 << 20);
  while (bytes > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, buffer.size()));
    if (!in.read(buffer.data(), static_cast<std::streamsize>(n))) return false;
    if (!out.write(buffer.data(), static_cast<std::streamsize>(n))) return false;
    bytes -= n;
  }
  return true;
}

bool EnsureSize(const std::string& path, uint64_t size) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    std::ofstream create(path, std::ios::binary);
    if (!create) return false;
  } else if (static_cast<uint64_t>(st.st_size) >= size) {
    return true;
  }
  return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

#ifdef VELMORA_HAVE_NTFS3G
std::string WriteFiles(const std::string& volume_path, const std::vector<DeepTestFile>& files) {
  ntfs_volume* volume = ntfs_mount(volume_path.c_str(), static_cast<ntfs_mount_flags>(0));
  if (!volume) return "ntfs_mount failed";
  std::string error;
  for (const DeepTestFile& file : files) {
    const size_t slash = file.path.rfind('/');
    const std::string folder = slash == 0 ? "/" : file.path.substr(0, slash);
    const std::string name = file.path.substr(slash + 1);
    ntfs_inode* parent = ntfs_pathname_to_inode(volume, nullptr, folder.c_str());
    if (!parent) {
      error = "no folder " + folder;
      break;
    }
    ntfschar* unicode = nullptr;
    const int length = ntfs_mbstoucs(name.c_str(), &unicode);
    ntfs_inode* inode =
        length > 0 ? ntfs_create(parent, const_cpu_to_le32(0), unicode, static_cast<u8>(length),
                                 file.is_directory ? S_IFDIR : S_IFREG)
                   : nullptr;
    std::free(unicode);
    if (!inode) {
      ntfs_inode_close(parent);
      error = "cannot create " + file.path;
      break;
    }
    if (!file.is_directory && !file.data.empty()) {
      ntfs_attr* data = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0);
      const s64 written =
          data ? ntfs_attr_pwrite(data, 0, static_cast<s64>(file.data.size()), file.data.data())
               : -1;
      if (data) ntfs_attr_close(data);
      if (written != static_cast<s64>(file.data.size())) error = "cannot write " + file.path;
    }
    ntfs_inode_close(inode);
    ntfs_inode_close(parent);
    if (!error.empty()) break;
  }
  if (ntfs_umount(volume, FALSE) != 0 && error.empty()) error = "ntfs_umount failed";
  return error;
}
#endif

}  // namespace

bool NtfsToolsAvailable() {
#ifdef VELMORA_HAVE_NTFS3G
  return ToolAvailable("mkntfs");
#else
  return false;
#endif
}

std::string FormatNtfs(const std::string& image, uint64_t offset, uint64_t bytes,
                       uint32_t cluster_bytes) {
  if (!EnsureSize(image, offset + bytes)) return "cannot size " + image;
  const std::string part = image + ".part";
  std::remove(part.c_str());
  if (!EnsureSize(part, bytes)) return "cannot size " + part;
  if (!CopyRange(image, offset, part, 0, bytes)) return "cannot cut volume";
  const std::string command = "mkntfs -F -Q -q -s 512 -c " + std::to_string(cluster_bytes) +
                              " -p " + std::to_string(offset / 512) + " '" + part + "' 2>&1";
  std::string output;
  if (RunCommand(command, &output) != 0) return "mkntfs: " + output;
  const bool ok = CopyRange(part, 0, image, offset, bytes);
  std::remove(part.c_str());
  return ok ? "" : "cannot put volume back";
}

std::string PopulateNtfs(const std::string& image, uint64_t offset, uint64_t bytes,
                         const std::vector<DeepTestFile>& files) {
#ifdef VELMORA_HAVE_NTFS3G
  const std::string part = image + ".part";
  std::remove(part.c_str());
  if (!EnsureSize(part, bytes) || !CopyRange(image, offset, part, 0, bytes)) {
    return "cannot cut volume";
  }
  std::string error = WriteFiles(part, files);
  if (error.empty() && !CopyRange(part, 0, image, offset, bytes)) error = "cannot put volume back";
  std::remove(part.c_str());
  return error;
#else
  (void)image;
  (void)offset;
  (void)bytes;
  (void)files;
  return "built without libntfs-3g";
#endif
}

}  // namespace velmora::testing
