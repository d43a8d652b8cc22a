#include "listing/list_reply.h"

#include <string_view>

namespace dirserver {
namespace {

// The fixed directory texts are plain ASCII, one code unit per character.
void putAsciiText(Bytes& out, std::string_view text) {
  putU16(out, static_cast<std::uint16_t>(text.size()));
  for (char c : text) putU16(out, static_cast<std::uint8_t>(c));
}

void putDirectoryEntry(Bytes& out, std::string_view parent, std::string_view name) {
  putU8(out, kDirectoryTag);
  putAsciiText(out, parent);
  putAsciiText(out, name);
  putAsciiText(out, name);
  putU32(out, 0);
  putU32(out, kDirectoryStamp);
  putU8(out, 1);
}

void putTypeDirectoryEntry(Bytes& out, ServerType type) {
  const std::string_view path = kServerTypePaths[index(type)];
  const auto slash = path.rfind('/');
  putDirectoryEntry(out, path.substr(0, slash), path.substr(slash + 1));
}

// The bytes of a field that the listing carries: its whole code units. A field of odd length
// (only the server list file can hold one) loses its last byte here, so that the count and the
// bytes after it agree and every entry after it stays in step for the client.
ByteView listedBytes(const ServerField& field) {
  return field.bytes().first(field.data.size() & ~std::size_t{1});
}

void putField(Bytes& out, const ServerField& field) {
  const ByteView bytes = listedBytes(field);
  putU16(out, static_cast<std::uint16_t>(bytes.size() / 2));
  putBytes(out, bytes);
}

void putServerEntry(Bytes& out, const ServerRecord& record) {
  putU8(out, kServerTag);
  for (std::size_t i = 0; i < 3; ++i) putField(out, record.fields[i]);
  putU32(out, kServerEntryFixed);
  putU32(out, 0);
  for (std::size_t i = 3; i < kFieldCount; ++i) putField(out, record.fields[i]);
  putU16(out, 0);
}

}  // namespace

Bytes buildListReply(const ServerRegistry& registry) {
  std::size_t size = 380;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      size += 25;
      for (const ServerField& field : position->record->fields) size += listedBytes(field).size();
    }
  }
  Bytes out;
  out.reserve(size);
  putHeader(out, {0, kMessageId, static_cast<std::uint32_t>(MessageType::ListReply)});
  putU16(out, 0);
  putU16(out, static_cast<std::uint16_t>(registry.totalCount() + kDirectoryEntryCount));
  putDirectoryEntry(out, kRootParent, kRootName);
  for (ServerType type : kServerTypes) {
    putTypeDirectoryEntry(out, type);
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      putServerEntry(out, *position->record);
    }
  }
  storeU32(out.data(), static_cast<std::uint32_t>(out.size()));
  return out;
}

Answer ListReplyCache::sendServerList(const ServerRegistry& registry) {
  if (reply_ == nullptr || builtFor_ != &registry || builtAtChange_ != registry.changeCount()) {
    reply_ = std::make_shared<const Bytes>(buildListReply(registry));
    builtFor_ = &registry;
    builtAtChange_ = registry.changeCount();
  }
  return reply_;
}

}  // namespace dirserver
