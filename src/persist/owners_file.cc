#include "persist/owners_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry/server_registry.h"

namespace dirserver {
namespace {

constexpr char kMagic[kOwnersMagicSize + 1] = "DSOWNERS";

}  // namespace

void putAddress(Bytes& out, PeerAddress address) {
  std::uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);  // PeerAddress is in network order already
  putBytes(out, bytes);
}

PeerAddress loadAddress(const std::uint8_t* at) {
  PeerAddress address = 0;
  std::memcpy(&address, at, sizeof address);
  return address;
}

Bytes encodeOwnersFile(const std::vector<OwnerTable>& tables) {
  Bytes out(kMagic, kMagic + kOwnersMagicSize);
  putU32(out, kOwnersVersion);
  putU32(out, static_cast<std::uint32_t>(tables.size()));
  for (const OwnerTable& table : tables) {
    putU64(out, table.fingerprint);
    putU32(out, static_cast<std::uint32_t>(table.owners.size()));
    for (const PeerAddress owner : table.owners) putAddress(out, owner);
  }
  putU32(out, crc32c(out));
  return out;
}

bool decodeOwnersFile(ByteView bytes, std::vector<OwnerTable>& tables, std::string& why) {
  tables.clear();
  if (bytes.size() < kOwnersMagicSize + 12 ||
      std::memcmp(bytes.data(), kMagic, kOwnersMagicSize) != 0) {
    why = "not an owners file";
    return false;
  }
  const ByteView body = bytes.first(bytes.size() - 4);
  if (crc32c(body) != loadU32(bytes.data() + body.size())) {
    why = "its checksum does not match";
    return false;
  }
  ByteReader reader(body.subspan(kOwnersMagicSize));
  std::uint32_t version = 0, count = 0;
  reader.readU32(version);
  reader.readU32(count);
  if (version != kOwnersVersion) {
    why = "version " + std::to_string(version) + " is not known";
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    OwnerTable table;
    std::uint32_t hosts = 0;
    ByteView owners;
    if (!reader.readU64(table.fingerprint) || !reader.readU32(hosts) ||
        !reader.readBytes(std::size_t{hosts} * 4, owners)) {
      why = "it ends inside table " + std::to_string(i);
      return false;
    }
    for (std::size_t at = 0; at < owners.size(); at += 4) {
      table.owners.push_back(loadAddress(owners.data() + at));
    }
    tables.push_back(std::move(table));
  }
  if (reader.remaining() != 0) {
    why = std::to_string(reader.remaining()) + " bytes follow its tables";
    return false;
  }
  return true;
}

std::vector<PeerAddress> readOwners(Env& env, const std::string& path, std::uint64_t fingerprint,
                                    std::uint32_t hosts, std::string& why) {
  why.clear();
  const int fd = env.open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) {
    if (errno != ENOENT) why = std::strerror(errno);
    return {};
  }
  // Two tables of the most hosts a registry holds, and the headers; a larger file is not ours.
  constexpr std::size_t kMostBytes = kOwnersMagicSize + 12 + 2 * (12 + 4 * std::size_t{kMaxServers});
  struct stat status {};
  Bytes bytes;
  if (env.fstat(fd, &status) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode) || static_cast<std::size_t>(status.st_size) > kMostBytes) {
    why = "not an owners file";
  } else {
    bytes.resize(static_cast<std::size_t>(status.st_size));
    const ssize_t got = readFully(env, fd, bytes.data(), bytes.size());
    if (got < 0) why = std::strerror(errno);
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  }
  env.close(fd);
  std::vector<OwnerTable> tables;
  if (!why.empty() || !decodeOwnersFile(bytes, tables, why)) return {};
  for (OwnerTable& table : tables) {
    if (table.fingerprint == fingerprint && table.owners.size() == hosts) {
      return std::move(table.owners);
    }
  }
  return {};
}

}  // namespace dirserver
