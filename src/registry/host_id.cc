#include "registry/host_id.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

namespace {

[[noreturn]] void digestFailed() {
  std::fputs("+error: cannot compute a host's SHA-256\n", stderr);
  std::abort();
}

// SHA-256 as the crypto library provides it, looked up once for the process: a lookup by name on
// every digest costs more than the digest of an ordinary host.
const EVP_MD* sha256() {
  static const EVP_MD* const md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (fetched == nullptr) digestFailed();
    return fetched;
  }();
  return md;
}

// One digest context per thread, reset for each digest rather than made afresh.
EVP_MD_CTX* digestContext() {
  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  thread_local const std::unique_ptr<EVP_MD_CTX, Free> context{EVP_MD_CTX_new()};
  if (context == nullptr) digestFailed();
  return context.get();
}

}  // namespace

HostId computeHostId(ServerType type, const ServerFields& fields) {
  // The bytes of hostIdBytes, fed to the digest where they lie instead of copied together first.
  EVP_MD_CTX* context = digestContext();
  const std::uint8_t typeByte = static_cast<std::uint8_t>(index(type));
  bool ok = EVP_DigestInit_ex(context, sha256(), nullptr) == 1 &&
            EVP_DigestUpdate(context, &typeByte, 1) == 1;
  for (const ServerField& field : fields) {
    if (!ok) break;
    std::uint8_t lengthBytes[2];
    storeU16(lengthBytes, field.length());
    ok = EVP_DigestUpdate(context, lengthBytes, sizeof lengthBytes) == 1 &&
         EVP_DigestUpdate(context, field.data.data(), field.data.size()) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!ok || EVP_DigestFinal_ex(context, digest, &size) != 1 || size < kHostIdSize) digestFailed();
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
