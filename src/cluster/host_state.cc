#include "cluster/host_state.h"

#include <algorithm>

#include "persist/checksum.h"

namespace dirserver {
namespace {

ByteView viewOf(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Bytes encodeHostState(const HostState& state) {
  Bytes out;
  std::size_t fieldBytes = 0;
  for (const ServerField& field : state.record.fields) fieldBytes += 2 + field.data.size();
  out.reserve(kHostStateFixedBytes + state.node.size() + fieldBytes + kHostStateChecksumBytes);
  putU8(out, kHostStateFormat);
  putU8(out, state.removed ? kHostStateRemoved : 0);
  putU8(out, static_cast<std::uint8_t>(state.type));
  putU32(out, static_cast<std::uint32_t>(state.record.registrationTime));
  putU32(out, state.owner);
  putU64(out, static_cast<std::uint64_t>(state.ownerSeenAt));
  putU64(out, static_cast<std::uint64_t>(state.stampMillis));
  const std::size_t nameBytes = std::min(state.node.size(), kMaxNodeNameBytes);
  putU8(out, static_cast<std::uint8_t>(nameBytes));
  putBytes(out, viewOf(state.node).first(nameBytes));
  for (const ServerField& field : state.record.fields) {
    const std::size_t length = std::min(field.data.size(), kFieldCapacity);
    putU16(out, static_cast<std::uint16_t>(length));
    putBytes(out, ByteView(field.data).first(length));
  }
  putU32(out, crc32c(out));
  return out;
}

std::string decodeHostState(ByteView value, HostState& state) {
  // The checksum first: a value damaged anywhere is refused as such, not by whatever field the
  // damage happens to make implausible.
  if (value.size() < kHostStateFixedBytes + kHostStateChecksumBytes) {
    return "truncated at byte " + std::to_string(value.size());
  }
  ByteReader reader(value);
  std::uint8_t format = 0, flags = 0, type = 0, nameBytes = 0;
  std::uint32_t time = 0, owner = 0;
  std::uint64_t seen = 0, stamp = 0;
  reader.readU8(format);
  if (format != kHostStateFormat) return "unknown format " + std::to_string(format);
  reader.readU8(flags);
  reader.readU8(type);
  reader.readU32(time);
  reader.readU32(owner);
  reader.readU64(seen);
  reader.readU64(stamp);
  reader.readU8(nameBytes);
  ByteView name;
  if (!reader.readBytes(nameBytes, name)) return "truncated at byte " + std::to_string(value.size());
  ServerRecord record;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    std::uint16_t length = 0;
    ByteView bytes;
    if (!reader.readU16(length) || !reader.readBytes(length, bytes)) {
      return "truncated at byte " + std::to_string(value.size());
    }
    if (length > kFieldCapacity) {
      return "field " + std::to_string(i) + " holds " + std::to_string(length) + " bytes";
    }
    record.fields[i].data.assign(bytes.begin(), bytes.end());
  }
  std::uint32_t checksum = 0;
  const std::size_t covered = reader.offset();
  if (!reader.readU32(checksum)) return "truncated at byte " + std::to_string(value.size());
  if (crc32c(value.first(covered)) != checksum) return "checksum mismatch";
  if (reader.remaining() != 0) return std::to_string(reader.remaining()) + " bytes after the end";
  if (type >= kServerTypeCount) return "unknown game type " + std::to_string(type);
  record.registrationTime = static_cast<std::int32_t>(time);
  state.type = static_cast<ServerType>(type);
  state.record = std::move(record);
  state.owner = owner;
  state.ownerSeenAt = static_cast<std::int64_t>(seen);
  state.stampMillis = static_cast<std::int64_t>(stamp);
  state.node.assign(name.begin(), name.end());
  state.removed = (flags & kHostStateRemoved) != 0;
  return {};
}

std::string clusterKey(ServerType type, const HostId& id) {
  return std::to_string(static_cast<unsigned>(type)) + "." + hostIdText(id);
}

std::string clusterKey(ServerType type, const ServerFields& fields) {
  return clusterKey(type, computeHostId(type, fields));
}

bool isTombstone(ByteView value) {
  return value.size() > 1 && (value[1] & kHostStateRemoved) != 0;
}

}  // namespace dirserver
