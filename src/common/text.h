// Text conversion between the UTF-16LE that hosts send and the UTF-8 that the console shows.
#pragma once

#include <string>
#include <string_view>

#include "common/byte_order.h"

namespace dirserver {

// The display form of a host's string: its UTF-16LE code units converted to UTF-8. Reads
// bytes.size() / 2 code units (an odd last byte is not part of any code unit). An unpaired
// surrogate becomes U+FFFD; U+0000 becomes a zero byte, so the text "ends" there for anything that
// treats it as a C string (the game type match and the console). Any code unit yields at least one
// byte, so the result is empty exactly when there is no code unit at all.
std::string toDisplayText(ByteView utf16le);

// What may go to the operator's console of a display text: the text up to its first zero byte,
// with every control character (U+0001-U+001F, U+007F-U+009F) shown as '?', so that a host can
// neither forge console lines nor send terminal escape sequences. `displayText` must be UTF-8 as
// toDisplayText makes it.
std::string consoleText(std::string_view displayText);

// The bytes as upper-case hexadecimal pairs separated by blanks ("0E 00 1E"), for messages and
// tests that show raw bytes.
std::string hexText(ByteView bytes);

// UTF-8 to UTF-16LE code units, for tools and tests that build requests from ordinary strings.
// A malformed UTF-8 sequence becomes U+FFFD.
Bytes toUtf16le(std::string_view utf8);

}  // namespace dirserver
