#include "common/text.h"

#include <cstdint>

namespace dirserver {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool isHighSurrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf16le(Bytes& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    putU16(out, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
    putU16(out, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    putU16(out, static_cast<std::uint16_t>(cp));
  }
}

}  // namespace

std::string toDisplayText(ByteView utf16le) {
  const std::size_t units = utf16le.size() / 2;
  std::string out;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t unit = loadU16(utf16le.data() + 2 * i);
    if (isHighSurrogate(unit) && i + 1 < units) {
      const std::uint16_t next = loadU16(utf16le.data() + 2 * (i + 1));
      if (isLowSurrogate(next)) {
        appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::string consoleText(std::string_view displayText) {
  std::string out;
  out.reserve(displayText.size());
  for (std::size_t i = 0; i < displayText.size(); ++i) {
    const auto byte = static_cast<unsigned char>(displayText[i]);
    if (byte == 0) break;
    if (byte < 0x20 || byte == 0x7F) {
      out.push_back('?');
    } else if (byte == 0xC2 && i + 1 < displayText.size() &&
               static_cast<unsigned char>(displayText[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(displayText[i + 1]) <= 0x9F) {
      // U+0080-U+009F, the C1 controls, are two bytes in UTF-8.
      out.push_back('?');
      ++i;
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

std::string hexText(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out.push_back(' ');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 15]);
  }
  return out;
}

Bytes toUtf16le(std::string_view utf8) {
  Bytes out;
  out.reserve(utf8.size() * 2);
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      appendUtf16le(out, kReplacement);
      ++i;
      continue;
    }
    bool valid = i + static_cast<std::size_t>(extra) < utf8.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(utf8[i + k]);
      if ((cont & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (cont & 0x3F);
      }
    }
    static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (!valid || cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      appendUtf16le(out, kReplacement);
      ++i;
      continue;
    }
    appendUtf16le(out, cp);
    i += 1 + static_cast<std::size_t>(extra);
  }
  return out;
}

}  // namespace dirserver
