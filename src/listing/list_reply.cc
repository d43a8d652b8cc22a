#include "listing/list_reply.h"

#include <algorithm>
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

// The four directory entries back to back, and where each type's begins.
struct DirectoryEntries {
  Bytes bytes;
  std::array<std::size_t, kServerTypeCount + 1> typeAt{};  // the last: the end
};

const DirectoryEntries& directoryEntries() {
  static const DirectoryEntries entries = [] {
    DirectoryEntries made;
    putDirectoryEntry(made.bytes, kRootParent, kRootName);
    for (ServerType type : kServerTypes) {
      made.typeAt[index(type)] = made.bytes.size();
      putTypeDirectoryEntry(made.bytes, type);
    }
    made.typeAt[kServerTypeCount] = made.bytes.size();
    return made;
  }();
  return entries;
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

}  // namespace

ListReplyHeader listReplyHeader(std::uint32_t size, std::uint32_t hosts) {
  Bytes bytes;
  bytes.reserve(kListReplyHeaderSize);
  putHeader(bytes, {size, kMessageId, static_cast<std::uint32_t>(MessageType::ListReply)});
  putU16(bytes, 0);
  putU16(bytes, static_cast<std::uint16_t>(hosts + kDirectoryEntryCount));
  ListReplyHeader header{};
  std::copy_n(bytes.begin(), header.size(), header.begin());
  return header;
}

ByteView rootDirectoryEntry() {
  const DirectoryEntries& entries = directoryEntries();
  return ByteView(entries.bytes).first(entries.typeAt[0]);
}

ByteView typeDirectoryEntry(ServerType type) {
  const DirectoryEntries& entries = directoryEntries();
  const std::size_t at = entries.typeAt[index(type)];
  return ByteView(entries.bytes).subspan(at, entries.typeAt[index(type) + 1] - at);
}

void appendServerEntry(Bytes& out, const ServerRecord& record) {
  putU8(out, kServerTag);
  for (std::size_t i = 0; i < 3; ++i) putField(out, record.fields[i]);
  putU32(out, kServerEntryFixed);
  putU32(out, 0);
  for (std::size_t i = 3; i < kFieldCount; ++i) putField(out, record.fields[i]);
  putU16(out, 0);
}

std::size_t serverEntrySize(const ServerRecord& record) {
  std::size_t size = 25;
  for (const ServerField& field : record.fields) size += listedBytes(field).size();
  return size;
}

Bytes buildListReply(const ServerRegistry& registry) {
  std::size_t size = kEmptyListReplySize;
  for (ServerType type : kServerTypes) {
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      size += serverEntrySize(*position->record);
    }
  }
  Bytes out;
  out.reserve(size);
  const ListReplyHeader header =
      listReplyHeader(static_cast<std::uint32_t>(size), registry.totalCount());
  out.insert(out.end(), header.begin(), header.end());
  putBytes(out, rootDirectoryEntry());
  for (ServerType type : kServerTypes) {
    putBytes(out, typeDirectoryEntry(type));
    for (auto position = registry.begin(type); position != registry.end(type); ++position) {
      appendServerEntry(out, *position->record);
    }
  }
  return out;
}

}  // namespace dirserver
