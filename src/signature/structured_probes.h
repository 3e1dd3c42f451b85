#pragma once

#include "signature/signature_row.h"

// Formats recognised or measured by walking their own structures.
namespace velmora::probe {

// Compound files (types 0, 2, 3, 5).
int CompoundFile(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t CompoundFileLength(CarveContext& context, const uint8_t* buffer, size_t length);

// Zip packages (types 1, 4, 6), any office package (type 7) and plain zip (35).
int ZipPackage(CarveContext& context, const uint8_t* buffer, size_t length);
int OfficePackage(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ZipPackageLength(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t PlainZipLength(CarveContext& context, const uint8_t* buffer, size_t length);

// Transport streams (type 20).
int TransportStream(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t TransportStreamLength(CarveContext& context, const uint8_t* buffer, size_t length);

// Icons (46) and TrueType fonts (45).
int Icon(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t IconLength(CarveContext& context, const uint8_t* buffer, size_t length);
int TrueTypeFont(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t TrueTypeFontLength(CarveContext& context, const uint8_t* buffer, size_t length);

}  // namespace velmora::probe
