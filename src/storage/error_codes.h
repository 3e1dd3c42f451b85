#pragma once

// Results travel as Win32-style codes in an int; engines add negative codes of their own.
#include <string>

namespace velmora {

constexpr int kSuccess = 0;
constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;
constexpr int kErrAccessDenied = 5;
constexpr int kErrNotEnoughMemory = 8;
constexpr int kErrTooManyOpenFiles = 4;
constexpr int kErrNotSameDevice = 17;
constexpr int kErrWriteProtect = 19;
constexpr int kErrNotReady = 21;
constexpr int kErrWriteFault = 29;
constexpr int kErrReadFault = 30;
constexpr int kErrSharingViolation = 32;
constexpr int kErrHandleEof = 38;
constexpr int kErrNotSupported = 50;
constexpr int kErrFileExists = 80;
constexpr int kErrInvalidParameter = 87;
constexpr int kErrDiskFull = 112;
constexpr int kErrInsufficientBuffer = 122;
constexpr int kErrAlreadyExists = 183;
constexpr int kErrFilenameTooLong = 206;
// A container file (an EWF evidence set) that is damaged, incomplete or missing segments.
constexpr int kErrFileCorrupt = 1392;
constexpr int kErrDirNotEmpty = 145;
constexpr int kErrDirectory = 267;
constexpr int kErrCantResolveFilename = 1921;
constexpr int kErrDiskQuotaExceeded = 1295;
// Any other errno, kept as it is in the bits below the application-code bit, so that its
// own text is told rather than a read fault's.
constexpr int kErrSystemBase = 0x20000000;
// A symbolic link stands where the scan-log folder keeps its own files and folders; it is
// never followed.
constexpr int kErrLinkInDataFolder = 681;

// The data lies past the end of the source: the image or device is shorter than the volume
// it holds (an image cut short), so those bytes were never copied.
constexpr int kErrBeyondSourceEnd = -110;

// Returned by a progress callback when the user cancels; every operation passes it back unchanged.
constexpr int kCancelledByUser = -9527;

// Maps a POSIX errno to the code family above.
int ErrorFromErrno(int err);

// ErrorFromErrno(errno), never 0 (falls back to the read fault).
int LastError();

// A sentence for any of the codes above; the engines' own codes are told by the app layer.
std::string DescribeErrorCode(int code);

// Why `path` cannot be opened for reading and how to get access: a disk needs root
// rights (pkexec) or membership of the group that owns the device.
std::string AccessAdvice(const std::string& path);

}  // namespace velmora
