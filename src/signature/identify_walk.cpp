#include "signature/identify_walk.h"

#include <array>
#include <vector>

#include "signature/signature_table.h"

namespace velmora {

namespace {

// For each possible first byte, the identify operations that may accept it, in table
// order. Rows sharing one operation are called once: the operation answers the same
// for the same buffer, so the first of them decides.
class FirstByteDispatch {
 public:
  FirstByteDispatch() {
    const SignatureRow* table = SignatureTable();
    for (int byte = 0; byte < 256; ++byte) {
      std::vector<IdentifyOperation>& list = operations_[byte];
      for (size_t i = 0; table[i].type != kNoSignatureType; ++i) {
        const SignatureRow& row = table[i];
        if (!CanStartWith(row, static_cast<uint8_t>(byte))) continue;
        bool seen = false;
        for (IdentifyOperation op : list) seen |= op == row.identify;
        if (!seen) list.push_back(row.identify);
      }
    }
  }

  const std::vector<IdentifyOperation>& For(uint8_t first_byte) const {
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

  std::array<std::vector<IdentifyOperation>, 256> operations_;
};

const FirstByteDispatch& Dispatch() {
  static const FirstByteDispatch dispatch;
  return dispatch;
}

}  // namespace

int IdentifyType(CarveContext& context, const uint8_t* buffer, size_t length, int ignored_type) {
  if (buffer == nullptr || length == 0) return kNoSignatureType;
  for (IdentifyOperation identify : Dispatch().For(buffer[0])) {
    const int type = identify(context, buffer, length);
    if (type != kNoSignatureType && type != ignored_type) return type;
  }
  return kNoSignatureType;
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
