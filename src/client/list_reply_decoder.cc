#include "client/list_reply_decoder.h"

#include "listing/list_reply.h"

namespace dirserver {
namespace {

// Reads the entries of a reply whose header has been checked. `reply` is the reply cut to the size
// its header gives; offsets in errors count from its first byte. Each failure names the entry and
// the offset of the part that could not be read.
class EntryDecoder {
 public:
  EntryDecoder(ByteView reply, std::string& error) : reader_(reply), error_(error) {
    ByteView header;
    reader_.readBytes(kListReplyHeaderSize, header);
  }

  bool done() const { return reader_.remaining() == 0; }

  bool decodeEntry(std::size_t index, ListedEntry& entry) {
    index_ = index;
    start_ = reader_.offset();
    std::uint8_t tag = 0;
    reader_.readU8(tag);  // done() was false, so there is a byte
    if (tag != kDirectoryTag && tag != kServerTag) {
      return fail(start_, "unknown tag 0x" + hexByte(tag));
    }
    entry.isDirectory = tag == kDirectoryTag;
    const std::size_t textCount = entry.isDirectory ? kEntryLeadingTexts : kServerEntryTexts;
    entry.texts.clear();
    entry.texts.reserve(textCount);
    for (std::size_t i = 0; i < kEntryLeadingTexts; ++i) {
      if (!readText(entry, i)) return false;
    }
    if (!readU32("first u32", entry.first) || !readU32("second u32", entry.second)) return false;
    if (entry.isDirectory) {
      std::uint8_t trailer = 0;
      if (!reader_.readU8(trailer)) return truncated("its trailing u8", 1);
      return true;
    }
    for (std::size_t i = kEntryLeadingTexts; i < kServerEntryTexts; ++i) {
      if (!readText(entry, i)) return false;
    }
    std::uint16_t trailer = 0;
    if (!reader_.readU16(trailer)) return truncated("its trailing u16", 2);
    return true;
  }

 private:
  static std::string hexByte(std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value >> 4], kDigits[value & 15]};
  }

  // A text is its count of code units and count x 2 bytes. The server sends a field stored with an
  // odd byte length L (which only a server list file can hold) the same way: the count L >> 1 and
  // that many code units, without the odd last byte.
  bool readText(ListedEntry& entry, std::size_t i) {
    const std::string what = "text " + std::to_string(i);
    std::uint16_t count = 0;
    if (!reader_.readU16(count)) return truncated("the count of its " + what, 2);
    ByteView text;
    if (!reader_.readBytes(2 * std::size_t{count}, text)) {
      return truncated("its " + what + " of " + std::to_string(count) + " code units",
                       2 * std::size_t{count});
    }
    entry.texts.emplace_back(text.begin(), text.end());
    return true;
  }

  bool readU32(const char* what, std::uint32_t& value) {
    return reader_.readU32(value) || truncated(std::string("its ") + what, 4);
  }

  bool truncated(const std::string& what, std::size_t needed) {
    return fail(reader_.offset(),
                "entry " + std::to_string(index_) + " (at offset " + std::to_string(start_) +
                    ") is cut short in " + what + ": needs " + std::to_string(needed) + " bytes, " +
                    std::to_string(reader_.remaining()) + " left before the end the size gives");
  }

  bool fail(std::size_t offset, const std::string& why) {
    error_ = "offset " + std::to_string(offset) + ": " + why;
    return false;
  }

  ByteReader reader_;
  std::string& error_;
  std::size_t index_ = 0;
  std::size_t start_ = 0;
};

bool headerCutShort(std::size_t size, std::string& error) {
  error = "offset " + std::to_string(size) + ": the reply ends inside its " +
          std::to_string(kListReplyHeaderSize) + "-byte header";
  return false;
}

}  // namespace

bool decodeListReply(ByteView bytes, ListedReply& reply, std::string& error) {
  reply = ListedReply{};
  // Id and type first, as soon as they are there: an answer of another kind is told as such.
  ByteReader header(bytes);
  if (!header.readU32(reply.header.size) || !header.readU32(reply.header.messageId) ||
      !header.readU32(reply.header.messageType)) {
    return headerCutShort(bytes.size(), error);
  }
  if (reply.header.messageId != kMessageId) {
    error = "offset 4: message id " + std::to_string(reply.header.messageId) + ", not " +
            std::to_string(kMessageId);
    return false;
  }
  if (reply.header.messageType != static_cast<std::uint32_t>(MessageType::ListReply)) {
    error = "offset 8: message type " + std::to_string(reply.header.messageType) +
            ", not a list reply (" +
            std::to_string(static_cast<std::uint32_t>(MessageType::ListReply)) + ")";
    return false;
  }
  std::uint16_t reserved = 0;
  if (!header.readU16(reserved) || !header.readU16(reply.entryCount)) {
    return headerCutShort(bytes.size(), error);
  }
  if (reserved != 0) {
    error = "offset 12: the reserved u16 is " + std::to_string(reserved) + ", not 0";
    return false;
  }
  const std::uint32_t size = reply.header.size;
  if (size < kListReplyHeaderSize) {
    error = "offset 0: size " + std::to_string(size) + " is smaller than the header";
    return false;
  }
  if (size > bytes.size()) {
    error = "offset " + std::to_string(bytes.size()) + ": the reply is cut short: its size says " +
            std::to_string(size) + " bytes, only " + std::to_string(bytes.size()) + " came";
    return false;
  }
  if (size < bytes.size()) {
    error = "offset " + std::to_string(size) + ": " + std::to_string(bytes.size() - size) +
            " bytes follow the end that the size gives";
    return false;
  }

  // Entries are appended only once decoded, each from at least kMinDirectoryEntrySize bytes of
  // input, so the vector never grows beyond what the input holds, whatever the entry count says.
  EntryDecoder decoder(bytes.first(size), error);
  for (std::size_t index = 0; !decoder.done(); ++index) {
    ListedEntry entry;
    if (!decoder.decodeEntry(index, entry)) return false;
    reply.entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace dirserver
