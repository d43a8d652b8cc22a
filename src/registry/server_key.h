// The key that identifies a host: a plain 32-bit sum over the bytes of its seven fields.
#pragma once

#include <cstdio>

#include "registry/server_record.h"

namespace dirserver {

// Sums, with 32-bit wrap-around, each field's bytes read as little-endian 32-bit words; a field's
// last one to three bytes form one more word padded with zero high bytes. Only the first
// `length` bytes of each field count, and a field contributes the same wherever it stands, so the
// same strings in another order give the same key. Cannot fail.
//
// When `trace` is not null, writes the words to it as eight lines: ">> computing checksum: ",
// then one line per field, "i: " followed by "w " for each whole word and "w[padding] " for a
// padded one.
ServerKey computeServerKey(const ServerFields& fields, std::FILE* trace = nullptr);

}  // namespace dirserver
