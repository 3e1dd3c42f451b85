#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "storage/platform_device.h"

namespace velmora {

// Where the bytes of a scanned medium come from: a disk or image file, memory, a sub-range of
// another source, or an evidence container. Every reader, parser and engine reads through one,
// so the same code runs on a failing disk, an .E01 set or a buffer in a test.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Bytes that may be read: [0, Size()).
  virtual uint64_t Size() const = 0;
  // Reads `length` bytes at `offset`; `got` (optional) receives how many arrived before a
  // failure. 0 when all arrived; 87 when the range passes Size() (nothing is read); 30 (or
  // the system's code) on a short read.
  virtual int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) = 0;
  // Reads a small piece on its own after a larger read failed. A device is read past its page
  // cache here, which would otherwise fail every sector sharing a page with a bad one; a piece
  // smaller than the device's sector fails or arrives with the sector holding it.
  virtual int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) {
    return ReadAt(offset, buffer, length, got);
  }
  // Logical sector size of the medium: the device's own for a disk, else 512.
  virtual uint32_t SectorSize() const { return 512; }
  // The open file or device whose bytes these are one to one, for the paths that need a real
  // descriptor (mapping image files, device queries); invalid for every other source.
  virtual platform::FileHandle FileHandle() const { return platform::kInvalidHandle; }
  // "file", "block device", "memory", "window", "EWF".
  virtual std::string KindName() const = 0;

 protected:
  // The bounds rule every implementation applies first.
  bool PassesEnd(uint64_t offset, size_t length) const {
    const uint64_t size = Size();
    return offset > size || length > size - offset;
  }
};

// Opens a file or block device read-only, byte for byte (no container detection).
int OpenFileSource(const std::string& path, std::shared_ptr<ByteSource>* out);

// Opens what `path` names as bytes: a name given by RegisterNamedSource, an EWF evidence set
// (recognised by its signature, whatever the extension; the further segments .E02... are found
// beside it), or else the file or device itself. `error` (optional) says why not.
int OpenByteSource(const std::string& path, std::shared_ptr<ByteSource>* out,
                   std::string* error = nullptr);

// A source over bytes it owns.
std::shared_ptr<ByteSource> MakeMemorySource(std::vector<uint8_t> bytes);
// A source over bytes the caller keeps alive for as long as the source is used.
std::shared_ptr<ByteSource> MakeBorrowedMemorySource(std::span<const uint8_t> bytes);
// [offset, offset + length) of `base`, clipped to its end, as a source of its own.
std::shared_ptr<ByteSource> MakeWindowSource(std::shared_ptr<ByteSource> base, uint64_t offset,
                                             uint64_t length);

// EWF (Expert Witness) segment files start with these eight bytes.
inline constexpr uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
bool HasEwfSignature(std::span<const uint8_t> head);
// Whether the file at `path` starts with the EWF signature.
bool IsEwfFile(const std::string& path);
// Whether this build reads EWF evidence files.
bool EwfSupported();

// Gives a source a name that OpenByteSource (and so OpenImageFile, the engine factory and
// every engine's OpenImage) resolves, so whole engines run on memory. Names look like
// "memory:N" and live until ForgetNamedSource.
std::string RegisterNamedSource(std::shared_ptr<ByteSource> source);
void ForgetNamedSource(const std::string& name);

// Holds a registration for a scope.
class NamedSource {
 public:
  explicit NamedSource(std::shared_ptr<ByteSource> source)
      : name_(RegisterNamedSource(std::move(source))) {}
  ~NamedSource() { ForgetNamedSource(name_); }
  NamedSource(const NamedSource&) = delete;
  NamedSource& operator=(const NamedSource&) = delete;
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};

}  // namespace velmora
