#pragma once

#include "signature/signature_row.h"

// Identify operations that decide from the bytes of the first sector alone.
namespace velmora::identify {

int Mpeg(CarveContext& context, const uint8_t* buffer, size_t length);
int Mp4(CarveContext& context, const uint8_t* buffer, size_t length);
int RealMedia(CarveContext& context, const uint8_t* buffer, size_t length);
int Asf(CarveContext& context, const uint8_t* buffer, size_t length);
int Swf(CarveContext& context, const uint8_t* buffer, size_t length);
int Avi(CarveContext& context, const uint8_t* buffer, size_t length);
int Flv(CarveContext& context, const uint8_t* buffer, size_t length);
int ThreeGp(CarveContext& context, const uint8_t* buffer, size_t length);
int Matroska(CarveContext& context, const uint8_t* buffer, size_t length);
int Mts(CarveContext& context, const uint8_t* buffer, size_t length);
int Mxf(CarveContext& context, const uint8_t* buffer, size_t length);
int Mp3(CarveContext& context, const uint8_t* buffer, size_t length);
int Midi(CarveContext& context, const uint8_t* buffer, size_t length);
int Ape(CarveContext& context, const uint8_t* buffer, size_t length);
int Wav(CarveContext& context, const uint8_t* buffer, size_t length);
int QuickTime(CarveContext& context, const uint8_t* buffer, size_t length);
int Mp2(CarveContext& context, const uint8_t* buffer, size_t length);
int Mmf(CarveContext& context, const uint8_t* buffer, size_t length);
int Fla(CarveContext& context, const uint8_t* buffer, size_t length);

int Bmp(CarveContext& context, const uint8_t* buffer, size_t length);

int Pdf(CarveContext& context, const uint8_t* buffer, size_t length);
int Gzip(CarveContext& context, const uint8_t* buffer, size_t length);
int SevenZip(CarveContext& context, const uint8_t* buffer, size_t length);
int PlainZip(CarveContext& context, const uint8_t* buffer, size_t length);
int Rar(CarveContext& context, const uint8_t* buffer, size_t length);
int Cab(CarveContext& context, const uint8_t* buffer, size_t length);
int Exe(CarveContext& context, const uint8_t* buffer, size_t length);
int Dll(CarveContext& context, const uint8_t* buffer, size_t length);
int Sys(CarveContext& context, const uint8_t* buffer, size_t length);
int Ghost(CarveContext& context, const uint8_t* buffer, size_t length);
int Sqlite(CarveContext& context, const uint8_t* buffer, size_t length);
int Dbx(CarveContext& context, const uint8_t* buffer, size_t length);
int Pst(CarveContext& context, const uint8_t* buffer, size_t length);

}  // namespace velmora::identify
