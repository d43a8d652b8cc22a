#include "registry/server_key.h"

namespace dirserver {

ServerKey computeServerKey(const ServerFields& fields, std::FILE* trace) {
  ServerKey sum = 0;
  if (trace != nullptr) std::fprintf(trace, ">> computing checksum: \n");
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const ByteView bytes = fields[i].bytes();
    if (trace != nullptr) std::fprintf(trace, "%i: ", static_cast<int>(i));
    std::size_t offset = 0;
    for (; offset + 4 <= bytes.size(); offset += 4) {
      const std::uint32_t word = loadU32(bytes.data() + offset);
      sum += word;
      if (trace != nullptr) std::fprintf(trace, "%u ", word);
    }
    if (offset < bytes.size()) {
      std::uint32_t word = 0;
      for (std::size_t k = offset; k < bytes.size(); ++k) {
        word |= static_cast<std::uint32_t>(bytes[k]) << (8 * (k - offset));
      }
      sum += word;
      if (trace != nullptr) std::fprintf(trace, "%u[padding] ", word);
    }
    if (trace != nullptr) std::fprintf(trace, "\n");
  }
  return sum;
}

}  // namespace dirserver
