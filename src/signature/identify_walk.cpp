#include "signature/identify_walk.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "signature/byte_search.h"
#include "signature/formats/registry.h"
#include "signature/signature_table.h"

namespace velmora {

namespace {

// The rows that accept any first byte look for their signature further in; each of them is
// only called when one of its anchors holds (which the operation tests itself first), so most
// sectors never reach them. Rows missing here are always called.
enum AnchorBit : uint8_t {
  kFtypAt4 = 1,
  kMoovAt0 = 2,
  kMtsAt8 = 4,
  kLocalHeaderAt0 = 8,
  kContentTypesAt31 = 16,
  kUstarAt257 = 32,
  kAlwaysCall = 0xFF,
};

struct AnchoredOperation {
  IdentifyOperation identify;
  uint8_t anchors;
};

const AnchoredOperation kAnchored[] = {
    {formats::kMp4.identify, kFtypAt4},
    {formats::kThreeGp.identify, kFtypAt4},
    {formats::kQuickTime.identify, kFtypAt4 | kMoovAt0},
    {formats::kMts.identify, kMtsAt8},
    {formats::kWordPackage.identify, kLocalHeaderAt0 | kContentTypesAt31},
    {formats::kAnyOfficePackage.identify, kLocalHeaderAt0 | kContentTypesAt31},
};

// Operations bound to a first byte of zero that accept nothing whose first eight bytes are all
// zero: each needs a byte of one (MPEG pack, icon, font), a box name ("ftyp") or a box size
// there. Zero-filled sectors, common on any volume, then never reach them.
bool NeedsNonZeroHead(IdentifyOperation identify) {
  for (IdentifyOperation known :
       {formats::kMpeg.identify, formats::kIcon.identify, formats::kTrueTypeClassic.identify,
        formats::kHeic.identify, formats::kJp2.identify, formats::kTrueType.identify}) {
    if (identify == known) return true;
  }
  return false;
}

bool ZeroHead(const uint8_t* buffer, size_t length) {
  if (length < 8) return false;
  uint64_t head;
  std::memcpy(&head, buffer, sizeof head);
  return head == 0;
}

uint32_t Word(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

uint32_t Word(const char* text) { return Word(reinterpret_cast<const uint8_t*>(text)); }

// Runs for every sector: whole-word compares first, the full patterns only on a hit.
uint8_t AnchorsOf(const uint8_t* buffer, size_t length) {
  using bytes::At;
  if (length < 8) return 0;
  uint8_t found = 0;
  const uint32_t head = Word(buffer);
  if (Word(buffer + 4) == Word("ftyp")) found |= kFtypAt4;
  if (head == Word("moov")) found |= kMoovAt0;
  if (head == Word("PK\x03\x04")) found |= kLocalHeaderAt0;
  if (length >= 16 && Word(buffer + 8) == Word("\x00\x00\xB0\x11") &&
      At(buffer, length, 8, {"\x00\x00\xB0\x11\x00\x00\xC1\x00", 8})) {
    found |= kMtsAt8;
  }
  if (length >= 262 && Word(buffer + 257) == Word("usta") && At(buffer, length, 257, "ustar")) {
    found |= kUstarAt257;
  }
  if (length >= 35 && Word(buffer + 31) == Word("[Con") &&
      At(buffer, length, 31, "[Content_Types].xml")) {
    found |= kContentTypesAt31;
  }
  return found;
}

struct DispatchEntry {
  IdentifyOperation identify;
  uint8_t anchors;  // kAlwaysCall for rows bound to their first byte
  bool needs_non_zero_head;
};

// For each possible first byte, the identify operations that may accept it, in table
// order. Rows sharing one operation are called once: the operation answers the same
// for the same buffer, so the first of them decides.
class FirstByteDispatch {
 public:
  FirstByteDispatch() {
    const SignatureRow* table = SignatureTable();
    for (int byte = 0; byte < 256; ++byte) {
      std::vector<DispatchEntry>& list = operations_[byte];
      for (size_t i = 0; table[i].type != kNoSignatureType; ++i) {
        const SignatureRow& row = table[i];
        if (!CanStartWith(row, static_cast<uint8_t>(byte))) continue;
        bool seen = false;
        for (const DispatchEntry& entry : list) seen |= entry.identify == row.identify;
        if (!seen) list.push_back({row.identify, AnchorsFor(row), NeedsNonZeroHead(row.identify)});
      }
      for (const DispatchEntry& entry : list) {
        if (entry.anchors != kAlwaysCall) {
          anchor_mask_[byte] = static_cast<uint8_t>(anchor_mask_[byte] | entry.anchors);
        } else if (entry.needs_non_zero_head) {
          always_unless_zero_head_[byte] = true;
        } else {
          always_[byte] = true;
        }
      }
    }
  }

  // Whether some operation for this first byte is called whatever follows it, and the
  // anchors of the others: MayIdentify in two lookups.
  bool Always(uint8_t first_byte) const { return always_[first_byte]; }
  bool AlwaysUnlessZeroHead(uint8_t first_byte) const {
    return always_unless_zero_head_[first_byte];
  }
  uint8_t AnchorMask(uint8_t first_byte) const { return anchor_mask_[first_byte]; }

  const std::vector<DispatchEntry>& For(uint8_t first_byte) const {
    return operations_[first_byte];
  }

 private:
  static bool CanStartWith(const SignatureRow& row, uint8_t byte) {
    if (row.first_byte_count == 0) return true;
    for (uint8_t i = 0; i < row.first_byte_count; ++i) {
      if (static_cast<uint8_t>(row.first_bytes[i]) == byte) return true;
    }
    return false;
  }

  static uint8_t AnchorsFor(const SignatureRow& row) {
    if (row.first_byte_count != 0) return kAlwaysCall;
    for (const AnchoredOperation& anchored : kAnchored) {
      if (anchored.identify == row.identify) return anchored.anchors;
    }
    if (row.identify == formats::kTar.identify) return kUstarAt257;  // "ustar" at 257
    return kAlwaysCall;
  }

  std::array<std::vector<DispatchEntry>, 256> operations_;
  std::array<bool, 256> always_{};
  std::array<bool, 256> always_unless_zero_head_{};
  std::array<uint8_t, 256> anchor_mask_{};
};

const FirstByteDispatch& Dispatch() {
  static const FirstByteDispatch dispatch;
  return dispatch;
}

}  // namespace

int IdentifyType(CarveContext& context, const uint8_t* buffer, size_t length, int ignored_type) {
  if (buffer == nullptr || length == 0) return kNoSignatureType;
  const uint8_t anchors = AnchorsOf(buffer, length);
  const bool zero_head = ZeroHead(buffer, length);
  static const FirstByteDispatch& dispatch = Dispatch();
  for (const DispatchEntry& entry : dispatch.For(buffer[0])) {
    if (entry.anchors != kAlwaysCall && (entry.anchors & anchors) == 0) continue;
    if (zero_head && entry.needs_non_zero_head) continue;
    const int type = entry.identify(context, buffer, length);
    if (type != kNoSignatureType && type != ignored_type) return type;
  }
  return kNoSignatureType;
}

bool MayIdentify(const uint8_t* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return false;
  // Held here: a call per sector to reach the table cost as much as the lookups.
  static const FirstByteDispatch& dispatch = Dispatch();
  if (dispatch.Always(buffer[0])) return true;
  if (dispatch.AlwaysUnlessZeroHead(buffer[0]) && !ZeroHead(buffer, length)) return true;
  const uint8_t mask = dispatch.AnchorMask(buffer[0]);
  return mask != 0 && (AnchorsOf(buffer, length) & mask) != 0;
}

int IdentifyTypeInTableOrder(CarveContext& context, const uint8_t* buffer, size_t length,
                             int ignored_type) {
  if (buffer == nullptr) return kNoSignatureType;
  const SignatureRow* table = SignatureTable();
  for (size_t i = 0; table[i].type != kNoSignatureType; ++i) {
    const int type = table[i].identify(context, buffer, length);
    if (type != kNoSignatureType && type != ignored_type) return type;
  }
  return kNoSignatureType;
}

}  // namespace velmora
