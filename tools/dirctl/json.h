// Writing JSON strings.
#pragma once

#include <string>
#include <string_view>

namespace dirserver::dirctl {

// `text` as a JSON string literal, quotes included. '"' and '\' are escaped, control characters
// below U+0020 are written as \b \f \n \r \t or \u00XX (U+0000 included, so nothing is cut), and
// everything else that is well-formed UTF-8 is copied as it is. A byte that does not begin a
// well-formed UTF-8 sequence (also an overlong form, a surrogate or a code point above U+10FFFF)
// becomes \ufffd, so the result is always valid JSON in valid UTF-8.
std::string jsonString(std::string_view text);

}  // namespace dirserver::dirctl
