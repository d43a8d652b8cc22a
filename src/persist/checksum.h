// The checksums of the files persistence writes: CRC-32C over the log's entries and the owners
// file, and the 64-bit fingerprint that ties a log and an owners file to the server list they
// follow.
#pragma once

#include <cstdint>

#include "common/byte_order.h"

namespace dirserver {

// CRC-32C (Castagnoli, the polynomial 0x1EDC6F41 reflected), of `bytes` continuing from `crc`
// (0 to start). crc32c of "123456789" is 0xE3069283.
std::uint32_t crc32c(ByteView bytes, std::uint32_t crc = 0);

// FNV-1a, 64 bits, fed piece by piece: the fingerprint of a server list's contents (see
// fingerprintListCount and fingerprintListRecord), which both the loader and the writer compute.
class Fingerprint {
 public:
  void add(ByteView bytes) {
    for (const std::uint8_t byte : bytes) {
      hash_ ^= byte;
      hash_ *= 0x100000001B3ULL;
    }
  }
  std::uint64_t value() const { return hash_; }

 private:
  std::uint64_t hash_ = 0xCBF29CE484222325ULL;
};

}  // namespace dirserver
