#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "signature/signature_row.h"

namespace velmora {

// Rows of the formats the catalogue started with (those below type 49), first in the table.
constexpr size_t kSignatureRowCount = 87;

// The ordered rows followed by the terminator row (type kNoSignatureType).
// The first row that accepts a buffer decides its type; the first row of a type gives
// the type's extension and length operation.
const SignatureRow* SignatureTable();

// First row carrying `type`, or nullptr.
const SignatureRow* FirstRowOfType(int type);
// First row whose extension equals `extension` ignoring case, or nullptr.
const SignatureRow* FindRowByExtension(std::string_view extension);
// Every row whose extension equals `extension` ignoring case, in table order: an extension
// may be known to rows of several types (gz to the original gzip row and the any-level one).
const std::vector<const SignatureRow*>& RowsWithExtension(std::string_view extension);

}  // namespace velmora
