#include "persist/checksum.h"

#include <array>

namespace dirserver {
namespace {

// Eight tables of 256 words: each step takes eight bytes at once.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables() {
  Tables tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    tables[0][i] = crc;
  }
  for (std::size_t t = 1; t < 8; ++t) {
    for (std::size_t i = 0; i < 256; ++i) {
      tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFF];
    }
  }
  return tables;
}

constexpr Tables kTables = makeTables();

}  // namespace

std::uint32_t crc32c(ByteView bytes, std::uint32_t crc) {
  crc = ~crc;
  const std::uint8_t* at = bytes.data();
  std::size_t left = bytes.size();
  while (left >= 8) {
    const std::uint32_t low = crc ^ loadU32(at);
    const std::uint32_t high = loadU32(at + 4);
    crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
          kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
          kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
    at += 8;
    left -= 8;
  }
  while (left-- > 0) crc = (crc >> 8) ^ kTables[0][(crc ^ *at++) & 0xFF];
  return ~crc;
}

}  // namespace dirserver
