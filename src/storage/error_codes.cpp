#include "storage/error_codes.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace velmora {

int ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kSuccess;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM: return kErrAccessDenied;
    case EROFS: return kErrWriteProtect;
    case ELOOP: return kErrCantResolveFilename;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM: return kErrNotReady;
    case EXDEV: return kErrNotSameDevice;
    case EISDIR: return kErrDirectory;
    case ENOTEMPTY: return kErrDirNotEmpty;
    case EDQUOT: return kErrDiskQuotaExceeded;
    case ENOMEM: return kErrNotEnoughMemory;
    // What drivers answer for a medium error.
    case EIO:
    case EREMOTEIO:
    case EBADMSG:
    case ENODATA:
    case ETIMEDOUT: return kErrReadFault;
    case EBUSY: return kErrSharingViolation;
    case ENOSPC: return kErrDiskFull;
    case EEXIST: return kErrAlreadyExists;
    case ENAMETOOLONG: return kErrFilenameTooLong;
    case EINVAL:
    case EFBIG:
    case EOVERFLOW: return kErrInvalidParameter;
    case ENOTSUP: return kErrNotSupported;
    default: return err > 0 && err < kErrSystemBase ? kErrSystemBase | err : kErrReadFault;
  }
}

int LastError() {
  const int code = ErrorFromErrno(errno);
  return code == kSuccess ? kErrReadFault : code;
}

std::string DescribeErrorCode(int code) {
  switch (code) {
    case kSuccess: return "success";
    case kErrFileNotFound: return "file not found";
    case kErrPathNotFound: return "path not found";
    case kErrAccessDenied: return "permission denied";
    case kErrNotEnoughMemory: return "not enough memory";
    case kErrWriteFault: return "cannot write to the destination";
    case kErrReadFault:
      return "the source could not be read (read fault; the medium may be failing)";
    case kErrSharingViolation: return "the device is busy (in use by another program)";
    case kErrHandleEof: return "the data ends before the file does";
    case kErrNotSupported: return "not supported for this file";
    case kErrInvalidParameter: return "the file's metadata or data location is invalid";
    case kErrDiskFull: return "the destination disk is full";
    case kErrFileExists:
    case kErrAlreadyExists: return "the destination already exists";
    case kErrInsufficientBuffer: return "the data is larger than the space for it";
    case kErrFilenameTooLong: return "file name too long";
    case kErrLinkInDataFolder:
      return "an entry of the scan-log folder is a symbolic link, which is never followed; "
             "remove the link";
    case kErrFileCorrupt: return "the evidence file is damaged, incomplete or misses a segment";
    case kErrTooManyOpenFiles: return "too many files are open";
    case kErrNotSameDevice: return "the file cannot be moved to another file system";
    case kErrWriteProtect: return "the medium is read-only (write-protected or mounted read-only)";
    case kErrNotReady: return "the device is not ready (removed, or no medium in it)";
    case kErrDirNotEmpty: return "the folder is not empty";
    case kErrDirectory: return "a folder is in the way where a file was expected";
    case kErrCantResolveFilename:
      return "a symbolic link is in the way (or links loop), and links are not followed here";
    case kErrDiskQuotaExceeded: return "the disk quota of this user is used up";
    case kCancelledByUser: return "cancelled";
    case kErrBeyondSourceEnd:
      return "the file's data lies past the end of the source (the image or disk is shorter "
             "than the volume; that part was never copied into it)";
    default: break;
  }
  if ((code & kErrSystemBase) != 0 && code > kErrSystemBase) {
    const int err = code & ~kErrSystemBase;
    return std::string(std::strerror(err)) + " (errno " + std::to_string(err) + ")";
  }
  return "unexpected failure (code " + std::to_string(code) + ")";
}

std::string AccessAdvice(const std::string& path) {
  struct stat st {};
  const bool device =
      ::stat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
  if (!device) {
    return "permission denied; this user may not read the file (ask its owner for read "
           "access, or run velmora with pkexec)";
  }
  // The node's own owner and group, as `ls -l` shows them: no group is assumed.
  const struct passwd* user = ::getpwuid(st.st_uid);
  const struct group* owners = ::getgrgid(st.st_gid);
  const std::string owner = user && user->pw_name ? user->pw_name : std::to_string(st.st_uid);
  const std::string group = owners && owners->gr_name ? owners->gr_name : std::to_string(st.st_gid);
  std::string mode = S_ISBLK(st.st_mode) ? "b" : "c";
  const char* const kLetters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) mode += (st.st_mode & (0400u >> bit)) ? kLetters[bit] : '-';
  std::string text = "permission denied; " + path + " belongs to user '" + owner + "' and group '" +
                     group + "' (" + mode +
                     "): run velmora with sudo or pkexec (pkexec velmora ...)";
  // Joining the group helps only where the group may read, and the superuser's group is no
  // group to hand out.
  if ((st.st_mode & S_IRGRP) != 0 && st.st_gid != 0) {
    text += ", or join the group '" + group + "' (sudo usermod -aG " + group +
            " $USER, then log in again)";
  }
  return text;
}

}  // namespace velmora
