// The listing reply: one message that describes a fixed directory tree, a root directory and one
// directory per game type, with an entry for every registered host below its type's directory.
//
// Layout, all integers little-endian, no alignment; a "text" is a u16 count of UTF-16 code units
// followed by the code units:
//   header (16 bytes)    size u32, messageId u32 = 30, messageType u32 = 3, u16 0,
//                        u16 entry count = hosts + 4, low 16 bits
//   root directory       then for each type: its directory, then its hosts by ascending key
//   directory entry      tag u8 'D', parent text, name text, name text again,
//                        u32 0, u32 kDirectoryStamp, u8 1
//   server entry         tag u8 'S', fields 0-2 as texts, u32 3600, u32 0, fields 3-6 as texts,
//                        u16 0
// A field of `length` bytes is sent as the count length >> 1 followed by count x 2 bytes: the
// last byte of an odd length is not sent.
#pragma once

#include <array>
#include <cstdint>

#include "common/byte_order.h"
#include "protocol/message.h"
#include "registry/server_registry.h"

namespace dirserver {

inline constexpr std::size_t kListReplyHeaderSize = 16;
inline constexpr std::uint8_t kDirectoryTag = 0x44;  // 'D'
inline constexpr std::uint8_t kServerTag = 0x53;     // 'S'
inline constexpr std::uint32_t kDirectoryStamp = 1137814061;
inline constexpr std::uint32_t kServerEntryFixed = 3600;
inline constexpr std::uint32_t kDirectoryEntryCount = 4;
// The root directory's parent and name; each game type's directory is named by its path.
inline constexpr const char* kRootParent = "/";
inline constexpr const char* kRootName = "Aviantorvale";
// The header and the four directory entries: the reply of an empty registry.
inline constexpr std::size_t kEmptyListReplySize = 380;

using ListReplyHeader = std::array<std::uint8_t, kListReplyHeaderSize>;

// The header of a reply of `size` bytes in all that lists `hosts` hosts (the entry count takes the
// low 16 bits of hosts + 4).
ListReplyHeader listReplyHeader(std::uint32_t size, std::uint32_t hosts);

// The root's directory entry, which follows the header, and the directory entry of `type`, which
// its hosts follow. Constant bytes, made once.
ByteView rootDirectoryEntry();
ByteView typeDirectoryEntry(ServerType type);

// Appends the server entry of `record`: 25 bytes and its seven fields' lengths, each rounded down
// to even.
void appendServerEntry(Bytes& out, const ServerRecord& record);
std::size_t serverEntrySize(const ServerRecord& record);

// The complete reply for the registry as it stands, built whole: 380 bytes for an empty registry,
// plus serverEntrySize() for each host. The server sends the same bytes in pieces (see
// listing/snapshot_pieces.h); tools, tests and the benchmark build it whole.
Bytes buildListReply(const ServerRegistry& registry);

}  // namespace dirserver
