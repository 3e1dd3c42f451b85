#pragma once

#include "signature/signature_row.h"

// Length operations of the formats whose length comes from a header field, a footer
// or the next boundary. The caps are bytes after the first sector for forward scans.
namespace velmora::length {

constexpr uint64_t kMiB = 1024ull * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

// A structurally measured file of `measured` bytes starting at the context's start sector
// ends where the first file-system structure inside it starts (or keeps its length).
// `from_sector`, when given, is the first sector still to look at (those before it are
// known to hold none).
uint64_t CutAtFileSystemStructure(CarveContext& context, uint64_t measured,
                                  uint64_t from_sector = 0);

uint64_t Mpeg(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Mp4(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t RealMedia(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Asf(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Swf(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Riff(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Mp3(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Midi(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Ape(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Gif(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Bmp(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Jpeg(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Png(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Pdf(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t SevenZip(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Rar(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Cab(CarveContext& context, const uint8_t* buffer, size_t length);

// Measured from the file's own structure where it can be trusted, else to the next boundary:
// QuickTime and 3GP (box chain, 4 GiB), Matroska and WebM (EBML segment, 64 GiB).
uint64_t IsoMedia(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t Matroska(CarveContext& context, const uint8_t* buffer, size_t length);

// Forward scans to the next boundary, one per cap.
uint64_t ToBoundary128MiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary256MiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary2GiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary4GiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary6GiB(CarveContext& context, const uint8_t* buffer, size_t length);

}  // namespace velmora::length
