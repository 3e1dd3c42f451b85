#include "app/image_destination.h"

#include <algorithm>
#include <vector>

#include "app/size_text.h"
#include "storage/error_codes.h"
#include "storage/platform_disks.h"

namespace velmora::app {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int CheckImageDestination(const std::string& source_path, uint64_t bytes_needed,
                          const std::string& destination, bool replace, std::string* message) {
  const std::string folder = FolderOf(destination);
  const platform::FileIdentity folder_id = platform::IdentifyFile(folder);
  if (!folder_id.exists) {
    *message = "the folder '" + folder + "' does not exist";
    return kErrPathNotFound;
  }
  const platform::FileIdentity source_id = platform::IdentifyFile(source_path);
  const platform::FileIdentity target_id = platform::IdentifyFile(destination);
  if (target_id.exists) {
    if (target_id.is_block_device) {
      *message = "'" + destination + "' is a device; images are written to files only";
      return kErrAccessDenied;
    }
    if (source_id.exists && !source_id.is_block_device &&
        source_id.fs_device == target_id.fs_device && source_id.inode == target_id.inode) {
      *message = "the destination is the source itself";
      return kErrInvalidParameter;
    }
    if (!replace) {
      *message = "'" + destination + "' already exists (use --force to replace it)";
      return kErrAlreadyExists;
    }
  }
  if (source_id.is_block_device) {
    const std::vector<std::string> source_disks = platform::DisksBeneathDevice(source_path);
    for (const auto& disk : platform::DisksBeneathPath(folder)) {
      if (std::find(source_disks.begin(), source_disks.end(), disk) != source_disks.end()) {
        *message = "the destination lies on /dev/" + disk +
                   ", the disk being imaged; choose a folder on another disk";
        return kErrInvalidParameter;
      }
    }
  }
  platform::SpaceInfo space;
  if (platform::QueryFileSystemSpace(folder, &space) == kSuccess) {
    // A replaced file gives its blocks back.
    const uint64_t reclaimable =
        target_id.exists && replace ? platform::FileAllocatedBytes(destination) : 0;
    if (space.available + reclaimable < bytes_needed) {
      *message = "not enough free space in '" + folder + "': the image needs " +
                 FormatSizeIec(static_cast<int64_t>(bytes_needed)) + ", " +
                 FormatSizeIec(static_cast<int64_t>(space.available + reclaimable)) + " are free";
      return kErrDiskFull;
    }
  }
  return kSuccess;
}

}  // namespace velmora::app
