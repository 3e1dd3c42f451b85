#pragma once

#include <cstddef>
#include <cstdint>

#include "signature/signature_row.h"

namespace velmora {

// The identify walk: the type code of the first table row whose identify operation
// accepts the buffer, or kNoSignatureType. Rows that return `ignored_type` are passed
// over. Rows that cannot accept the buffer's first byte are never called.
int IdentifyType(CarveContext& context, const uint8_t* buffer, size_t length,
                 int ignored_type = kNoSignatureType);

// False when the walk would call no identify operation for this buffer (so IdentifyType
// gives kNoSignatureType whatever the context): a test without side effects, safe on any
// thread.
bool MayIdentify(const uint8_t* buffer, size_t length);

// The same walk calling every row in table order; the reference the fast walk must equal.
int IdentifyTypeInTableOrder(CarveContext& context, const uint8_t* buffer, size_t length,
                             int ignored_type = kNoSignatureType);

}  // namespace velmora
