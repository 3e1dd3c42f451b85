#include "storage/error_codes.h"

#include <cerrno>

namespace velmora {

int ErrorFromErrno(int err) {
  switch (err) {
    case 0: return kSuccess;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrAccessDenied;
    case ENOMEM: return kErrNotEnoughMemory;
    case EIO: return kErrReadFault;
    case EBUSY: return kErrSharingViolation;
    case ENOSPC: return kErrDiskFull;
    case EEXIST: return kErrAlreadyExists;
    case ENAMETOOLONG: return kErrFilenameTooLong;
    case EINVAL:
    case EFBIG:
    case EOVERFLOW: return kErrInvalidParameter;
    case ENOTSUP: return kErrNotSupported;
    default: return kErrReadFault;
  }
}

int LastError() {
  const int code = ErrorFromErrno(errno);
  return code == kSuccess ? kErrReadFault : code;
}

}  // namespace velmora
