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

// The complete reply for the registry as it stands: 380 bytes for an empty registry, plus
// 25 bytes and its seven field lengths (each rounded down to even) for each host.
Bytes buildListReply(const ServerRegistry& registry);

// Holds the latest reply built, so that list requests between two changes of the registry share
// one copy of it instead of building and holding one each.
class ListReplyCache {
 public:
  // The reply for `registry`, rebuilt only when its records were added or removed since the last
  // call (a refreshed registration time does not show in the listing).
  Answer sendServerList(const ServerRegistry& registry);

  // The reply built last (null before the first).
  const Answer& current() const { return reply_; }

 private:
  Answer reply_;
  const ServerRegistry* builtFor_ = nullptr;
  std::uint64_t builtAtChange_ = 0;
};

}  // namespace dirserver
