#include <algorithm>
#include <string_view>

#include "signature/formats/format.h"
#include "signature/formats/iso_pieces.h"

// ISO base-media files the original rows do not name: still pictures (HEIF, AVIF) and audio.
namespace velmora::formats {

namespace {

constexpr int kHeicType = 75;
constexpr int kAvifType = 76;
constexpr int kM4aType = 77;
constexpr uint64_t kCap = 4 * kGiB;

int IdentifyBrand(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 32 || !b.Matches(4, "ftyp")) return kNoSignatureType;
  // The file type box is small, so its size's first byte is zero.
  const uint32_t box = *b.Be32(0);
  if (box < 16 || box > 256) return kNoSignatureType;
  if (b.Matches(8, "heic") || b.Matches(8, "heix") || b.Matches(8, "mif1") ||
      b.Matches(8, "msf1") || b.Matches(8, "heim") || b.Matches(8, "heis")) {
    // "mif1" names any HEIF picture; AVIF files say so among the compatible brands.
    const std::string_view brands(reinterpret_cast<const char*>(buffer) + 8,
                                  std::min<size_t>(box, length) - 8);
    return brands.find("avif") != std::string_view::npos ? kAvifType : kHeicType;
  }
  if (b.Matches(8, "avif") || b.Matches(8, "avis")) return kAvifType;
  if (b.Matches(8, "M4A ") || b.Matches(8, "M4B ") || b.Matches(8, "M4P ")) return kM4aType;
  return kNoSignatureType;
}

uint64_t MeasureByBoxes(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, IsoBoxChainLength(context, kCap), kCap);
}

}  // namespace

extern const Format kHeic = {"heic", "heif hif", kHeicType,     "photo",       "\0",
                             1,      true,       IdentifyBrand, MeasureByBoxes};
extern const Format kAvif = {"avif", nullptr, kAvifType,     "photo",       "\0",
                             1,      true,    IdentifyBrand, MeasureByBoxes};
extern const Format kM4a = {"m4a", "m4b", kM4aType,      "audio",       "\0",
                            1,     true,  IdentifyBrand, MeasureByBoxes};

}  // namespace velmora::formats
