// The control socket's protocol: text lines over a local stream socket, between the server and its
// operator's client (dirctl).
//
// A command is one line of at most kControlLineMax bytes, its "\n" included: words separated by
// one blank, the first the command's name, the others its arguments. An argument is
// percent-encoded (controlWord), so that it never holds a blank, a line end or an '='; a word
// that holds a raw '=' is an option, NAME=VALUE.
//
// The answer is one or more lines, each ending in "\n": any number of data lines, each a blank
// followed by text for the operator, then one status line, "ok", "ok TEXT" or "error TEXT". A
// connection may carry several commands, one after the other, each answered before the next is
// read.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dirserver {

// The socket's name in the server's working directory, unless --control names another path.
inline constexpr const char* kControlSocketName = "dirserver.sock";
// The longest command line, "\n" included, and the longest answer line the server sends.
inline constexpr std::size_t kControlLineMax = 64 * 1024;
inline constexpr char kControlOk[] = "ok";
inline constexpr char kControlError[] = "error";

// `text` percent-encoded as an argument: every byte up to 0x20, 0x7F, '%' and '=' as "%XX"
// (upper-case hexadecimal), the rest as it is. Arguments are never empty: an empty word is no
// word at all.
std::string controlWord(std::string_view text);

// The argument a word encodes; nullopt when the word is empty or holds a '%' that is not followed
// by two hexadecimal digits.
std::optional<std::string> controlArgument(std::string_view word);

// A command line without its "\n": `name`, then each of `arguments` encoded.
std::string controlLine(std::string_view name, const std::vector<std::string>& arguments);

}  // namespace dirserver
