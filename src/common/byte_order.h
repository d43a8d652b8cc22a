// Little-endian encoding and decoding.
//
// Every integer on the wire and in the server list file is little-endian (not network byte
// order). This header is the only code that knows it: the framing, the registration parser, the
// listing reply, the server list file and dirctl all go through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dirserver {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline void putU8(Bytes& out, std::uint8_t value) { out.push_back(value); }

inline void putU16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void putU32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

inline void putU64(Bytes& out, std::uint64_t value) {
  putU32(out, static_cast<std::uint32_t>(value));
  putU32(out, static_cast<std::uint32_t>(value >> 32));
}

inline void putBytes(Bytes& out, ByteView bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// Overwrite two (four) bytes at `at`; the caller guarantees they exist.
inline void storeU16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void storeU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Decode from `at`; the caller guarantees that two (four) bytes are there.
inline std::uint16_t loadU16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline std::uint32_t loadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
         (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

inline std::uint64_t loadU64(const std::uint8_t* at) {
  return static_cast<std::uint64_t>(loadU32(at)) | (static_cast<std::uint64_t>(loadU32(at + 4)) << 32);
}

// Consumes fixed-width values from the front of a byte view. A read that would run past the end
// returns false and consumes nothing, so a caller can never read bytes that are not there.
class ByteReader {
 public:
  explicit ByteReader(ByteView bytes) : bytes_(bytes) {}

  bool readU8(std::uint8_t& value) {
    if (remaining() < 1) return false;
    value = bytes_[offset_++];
    return true;
  }
  bool readU16(std::uint16_t& value) {
    if (remaining() < 2) return false;
    value = loadU16(bytes_.data() + offset_);
    offset_ += 2;
    return true;
  }
  bool readU32(std::uint32_t& value) {
    if (remaining() < 4) return false;
    value = loadU32(bytes_.data() + offset_);
    offset_ += 4;
    return true;
  }
  bool readU64(std::uint64_t& value) {
    if (remaining() < 8) return false;
    value = loadU64(bytes_.data() + offset_);
    offset_ += 8;
    return true;
  }
  // Yields a view of the next `count` bytes (into the reader's own input).
  bool readBytes(std::size_t count, ByteView& bytes) {
    if (remaining() < count) return false;
    bytes = bytes_.subspan(offset_, count);
    offset_ += count;
    return true;
  }

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return bytes_.size() - offset_; }

 private:
  ByteView bytes_;
  std::size_t offset_ = 0;
};

}  // namespace dirserver
