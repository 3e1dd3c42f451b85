#pragma once

#include "signature/signature_row.h"

// Original table rows whose identify and length operations live in this folder.
namespace velmora::formats {

int IdentifyPng(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasurePng(CarveContext& context, const uint8_t* buffer, size_t length);
int IdentifyGif(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureGif(CarveContext& context, const uint8_t* buffer, size_t length);
int IdentifyJpeg(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureJpeg(CarveContext& context, const uint8_t* buffer, size_t length);
int IdentifyPsd(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasurePsd(CarveContext& context, const uint8_t* buffer, size_t length);
// TIFF and the raw formats built on it that say so in their first sector.
int IdentifyTiff(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureTiff(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureSqlite(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureFlv(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureMpeg(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureMp3(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t MeasureGzip(CarveContext& context, const uint8_t* buffer, size_t length);
// The seed footer rule, or a file in two pieces its cross-reference table places.
uint64_t MeasurePdf(CarveContext& context, const uint8_t* buffer, size_t length);

}  // namespace velmora::formats
