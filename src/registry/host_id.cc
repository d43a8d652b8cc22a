#include "registry/host_id.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace dirserver {

Bytes hostIdBytes(ServerType type, const ServerFields& fields) {
  Bytes out;
  out.reserve(1 + kFieldCount * 2 + kFieldCount * kFieldCapacity / 8);
  putU8(out, static_cast<std::uint8_t>(index(type)));
  for (const ServerField& field : fields) {
    putU16(out, field.length());
    putBytes(out, field.bytes());
  }
  return out;
}

HostId computeHostId(ServerType type, const ServerFields& fields) {
  const Bytes bytes = hostIdBytes(type, fields);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1 ||
      size < kHostIdSize) {
    std::fputs("+error: cannot compute a host's SHA-256\n", stderr);
    std::abort();
  }
  HostId id;
  std::copy(digest, digest + kHostIdSize, id.bytes.begin());
  return id;
}

std::string hostIdText(const HostId& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : id.bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace dirserver
