#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The one place that talks to the operating system about devices and files.
// Sources (disks, partitions, images) are only ever opened read-only.
namespace velmora::platform {

using FileHandle = int;
constexpr FileHandle kInvalidHandle = -1;

// Opens a block device or an image file for reading only.
int OpenSourceReadOnly(const std::string& path, FileHandle* out);
void CloseHandle(FileHandle* handle);

bool IsBlockDevice(FileHandle handle);
// Byte length of an image file or a block device (BLKGETSIZE64).
int QuerySourceSize(FileHandle handle, uint64_t* bytes);
// Logical sector size of a block device (BLKSSZGET); 512 for ordinary files.
int QueryLogicalSectorSize(FileHandle handle, int* bytes);

// Reads up to `length` bytes at `offset`, retrying short reads; `got` is what arrived.
// Returns 0 when everything arrived, 30 (or the mapped errno) otherwise.
int ReadAt(FileHandle handle, void* buffer, size_t length, uint64_t offset, size_t* got);

// Creates (or, with `replace`, truncates) a file for writing an image; never a device.
int CreateImageFile(const std::string& path, bool replace, FileHandle* out);
// Writes all bytes at the current position, retrying partial writes; 112 when the disk is full.
int WriteAll(FileHandle handle, const void* data, size_t length);
// The same at `offset`, leaving the file position alone.
int WriteAllAt(FileHandle handle, const void* data, size_t length, uint64_t offset);
// Makes the written data durable.
int SyncFile(FileHandle handle);

// Opens a block device read-only bypassing the page cache, so that one unreadable
// sector does not fail the whole cached page around it. Files are refused.
int OpenDeviceUncached(const std::string& path, FileHandle* out);
// Reads through an uncached handle; offset and length must be multiples of `alignment`.
int ReadAtUncached(FileHandle handle, void* buffer, size_t length, uint64_t offset,
                   size_t alignment, size_t* got);

// Asks the kernel to write cached data of a mounted device before raw reads (BLKFLSBUF).
void FlushDevice(const std::string& device_path);

// Last-write time of a file as a FILETIME value (100 ns ticks since 1601).
int FileLastWriteTime(const std::string& path, uint64_t* filetime);

// Whole disks of this machine in the order the disk enumeration numbers them:
// /sys/block names (loop devices only with a backing file), internal buses first,
// loop devices last, natural order within a kind (loop2 before loop10).
std::vector<std::string> ListWholeDiskNames();
std::vector<std::string> ListWholeDiskPaths();
// Device path of physical drive `number`; an explicitly registered path wins
// (images with a partition table are scanned as numbered drives this way).
std::string PhysicalDrivePath(int number);
void RegisterPhysicalDrive(int number, const std::string& path);
void ForgetPhysicalDrive(int number);
// Registers image `path` under a number from `first_number` up that is the same for the same
// file in every run (saved results are keyed by it), unless another file holds it already.
// Registering a file twice gives the same number; each registration is dropped by its own
// ForgetPhysicalDrive.
int RegisterImageDrive(const std::string& path, int first_number);

}  // namespace velmora::platform
