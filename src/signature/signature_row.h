#pragma once

#include <cstddef>
#include <cstdint>

#include "signature/carve_context.h"

namespace velmora {

// Type code of "no type"; also the type of the table's terminator row.
constexpr int kNoSignatureType = 49;

// Returns a type code, or kNoSignatureType when the buffer does not start such a file.
using IdentifyOperation = int (*)(CarveContext& context, const uint8_t* buffer, size_t length);
// Returns the length in bytes of the file whose first sector is `buffer`.
using LengthOperation = uint64_t (*)(CarveContext& context, const uint8_t* buffer, size_t length);

// One row of the signature table.
struct SignatureRow {
  const char* extension;
  int type;
  IdentifyOperation identify;
  LengthOperation length;  // null: the type only ends other files and is never recorded
  // The bytes the identify operation can accept at offset 0; an empty list means any byte.
  // Lets the identify walk skip rows that cannot match without changing its answer.
  const char* first_bytes;
  uint8_t first_byte_count;
  // Whether a scan that found such a file may continue after the file's last sector.
  bool skip_after;
};

}  // namespace velmora
