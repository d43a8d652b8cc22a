#include "protocol/control_protocol.h"

namespace dirserver {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

}  // namespace

std::string controlWord(std::string_view text) {
  std::string word;
  word.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '%' || c == '=') {
      word += '%';
      word += kHexDigits[byte >> 4];
      word += kHexDigits[byte & 0x0F];
    } else {
      word += c;
    }
  }
  return word;
}

std::optional<std::string> controlArgument(std::string_view word) {
  if (word.empty()) return std::nullopt;
  std::string text;
  text.reserve(word.size());
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      text += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return std::nullopt;
    const int upper = hexValue(word[i + 1]), lower = hexValue(word[i + 2]);
    if (upper < 0 || lower < 0) return std::nullopt;
    text += static_cast<char>(upper << 4 | lower);
    i += 2;
  }
  return text;
}

std::string controlLine(std::string_view name, const std::vector<std::string>& arguments) {
  std::string line(name);
  for (const std::string& argument : arguments) {
    line += ' ';
    line += controlWord(argument);
  }
  return line;
}

}  // namespace dirserver
