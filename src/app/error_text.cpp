#include "app/error_text.h"

#include "fat/fat_volume.h"
#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"

namespace velmora::app {

std::string ResultText(int code) {
  switch (code) {
    case ntfs::kNtfsNotRecord: return "the file's MFT record is damaged or no longer a file record";
    case ntfs::kNtfsAttributeMissing:
      return "the file's MFT record no longer holds its data attribute";
    case ntfs::kNtfsRunsIncomplete:
      return "the file's data runs end before its data does (part of it is lost)";
    case ntfs::kNtfsNotNtfs: return "the volume's boot sector is not NTFS any more";
    case kErrClusterOfLiveFile:
      return "a file on the volume now uses the file's clusters (that part is overwritten)";
    default: return DescribeErrorCode(code);
  }
}

std::string ErrorText(int code) {
  switch (code) {
    case kSuccess: return "The operation completed successfully.";
    case kErrFileNotFound: return "The system cannot find the file specified.";
    case kErrPathNotFound: return "The system cannot find the path specified.";
    case kErrAccessDenied: return "Access is denied.";
    case kErrNotEnoughMemory:
      return "Not enough memory resources are available to process this command.";
    case kErrWriteFault: return "The system cannot write to the specified device.";
    case kErrReadFault: return "The system cannot read from the specified device.";
    case kErrSharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case kErrHandleEof: return "Reached the end of the file.";
    case kErrNotSupported: return "The request is not supported.";
    case kErrFileExists: return "The file exists.";
    case kErrInvalidParameter: return "The parameter is incorrect.";
    case kErrDiskFull: return "There is not enough space on the disk.";
    case kErrInsufficientBuffer: return "The data area passed to a system call is too small.";
    case kErrAlreadyExists: return "Cannot create a file when that file already exists.";
    case kErrFilenameTooLong: return "The filename or extension is too long.";
    case kCancelledByUser: return "The operation was canceled by the user.";
    default: break;
  }
  // Engine codes (negative ones included) get the detail sentence.
  std::string text = ResultText(code);
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text + ".";
}

}  // namespace velmora::app
