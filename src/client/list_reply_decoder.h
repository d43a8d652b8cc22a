// Decoding of the listing reply that buildListReply (listing/list_reply.h) encodes, for clients and
// tools that read what the server sends. It shares the encoder's constants and layout.
//
// A reply is the 16-byte header followed by entries up to the header's size, each one:
//   'D'  tag u8, 3 texts (parent, name, second name), u32 first, u32 second, u8 trailer
//   'S'  tag u8, 3 texts (fields 0-2), u32 first, u32 second, 4 texts (fields 3-6), u16 trailer
// where a text is a u16 count of UTF-16 code units followed by count x 2 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "protocol/message.h"

namespace dirserver {

// The three texts of a directory entry and those a server entry carries before its two u32s.
inline constexpr std::size_t kEntryLeadingTexts = 3;
// A server entry's texts in all: the host's seven fields.
inline constexpr std::size_t kServerEntryTexts = 7;
// The smallest entries: every text empty.
inline constexpr std::size_t kMinDirectoryEntrySize = 1 + 3 * 2 + 4 + 4 + 1;  // 16
inline constexpr std::size_t kMinServerEntrySize = 1 + 7 * 2 + 4 + 4 + 2;     // 25

// One entry of a listing, as sent.
struct ListedEntry {
  bool isDirectory = false;  // tag 'D' (true) or 'S' (false)
  // A directory: parent, name, second name. A server: its seven fields in field order. Each is
  // the text's UTF-16LE bytes, count x 2 of them.
  std::vector<Bytes> texts;
  std::uint32_t first = 0, second = 0;  // the two u32 values after the third text
};

// A whole listing, as sent.
struct ListedReply {
  MessageHeader header;
  // As the header has it: the low 16 bits of the true number of entries.
  std::uint16_t entryCount = 0;
  std::vector<ListedEntry> entries;
};

// Decodes one whole listing reply, `bytes` being exactly the bytes the server sent. Checks the
// header (id kMessageId, type ListReply, the reserved u16 0, a size equal to bytes.size()) and
// decodes every entry up to that size; the values inside entries (the u32s and trailers) are taken
// as they come. The entry count is not checked against the entries, since it holds only the low
// 16 bits of their number.
//
// Returns true with `reply` filled in. Returns false, with `error` saying at which byte offset and
// why, on a truncated reply, a header that is not a list reply's, a size field that disagrees with
// the bytes, an unknown tag or an entry that runs past the size; `reply` is then unspecified.
// Never reads past `bytes`; allocates only for texts and entries that are actually there.
bool decodeListReply(ByteView bytes, ListedReply& reply, std::string& error);

}  // namespace dirserver
