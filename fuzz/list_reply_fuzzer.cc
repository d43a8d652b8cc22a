// What dirctl decodes: a listing reply as received, and a server list file. The input is tried as
// both.
//
// As a reply: a reply that decodes must encode back to exactly the input (nothing skipped, nothing
// invented); one that does not must say why. As a file: ServerListReader must return only records
// whose bytes stand in the input at the offset it gives, in file order, then stop for good; a
// registry made of them must list and decode back into the same records.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "fuzz_support.h"
#include "listing/list_reply.h"
#include "client/list_reply_decoder.h"
#include "registry/server_key.h"
#include "persist/server_list_file.h"

namespace dirserver::fuzz {
namespace {

void putText(Bytes& out, const Bytes& text) {
  putU16(out, static_cast<std::uint16_t>(text.size() / 2));
  putBytes(out, text);
}

Bytes encode(const ListedReply& reply) {
  Bytes out;
  putHeader(out, reply.header);
  putU16(out, 0);
  putU16(out, reply.entryCount);
  for (const ListedEntry& entry : reply.entries) {
    putU8(out, entry.isDirectory ? kDirectoryTag : kServerTag);
    const std::size_t texts = entry.isDirectory ? 3 : kFieldCount;
    FUZZ_REQUIRE(entry.texts.size() == texts);
    for (std::size_t i = 0; i < 3; ++i) putText(out, entry.texts[i]);
    putU32(out, entry.first);
    putU32(out, entry.second);
    for (std::size_t i = 3; i < texts; ++i) putText(out, entry.texts[i]);
    // The trailers are not kept; the encoder always writes them so.
    if (entry.isDirectory) {
      putU8(out, 1);
    } else {
      putU16(out, 0);
    }
  }
  return out;
}

void decodeAsReply(ByteView input) {
  ListedReply reply;
  std::string error;
  if (!decodeListReply(input, reply, error)) {
    FUZZ_REQUIRE(!error.empty());
    return;
  }
  for (const ListedEntry& entry : reply.entries) {
    for (const Bytes& text : entry.texts) FUZZ_REQUIRE(text.size() % 2 == 0);
  }
  Bytes encoded = encode(reply);
  FUZZ_REQUIRE(encoded.size() == input.size());
  // Patch the trailers the decoder does not keep back in from the input before comparing.
  std::size_t at = kListReplyHeaderSize;
  for (const ListedEntry& entry : reply.entries) {
    at += 1 + 8;
    for (const Bytes& text : entry.texts) at += 2 + text.size();
    const std::size_t trailer = entry.isDirectory ? 1 : 2;
    std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(at), trailer,
                encoded.begin() + static_cast<std::ptrdiff_t>(at));
    at += trailer;
  }
  FUZZ_REQUIRE(at == input.size());
  FUZZ_REQUIRE(std::equal(encoded.begin(), encoded.end(), input.begin()));
}

// The record of the file layout that starts at `offset` of `input`.
bool recordStandsAt(ByteView input, const ServerListReader::Entry& entry) {
  if (entry.offset > input.size() || input.size() - entry.offset < kFileRecordSize) return false;
  Bytes stored;
  appendFileRecord(stored, entry.storedKey, entry.record);
  // The bytes after each field's length are not kept; compare what is.
  const std::uint8_t* at = input.data() + entry.offset;
  if (!std::equal(stored.begin(), stored.begin() + 8, at)) return false;
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    const std::size_t field = 8 + i * kFileFieldSize;
    const std::size_t length = entry.record.fields[i].data.size();
    if (!std::equal(stored.begin() + static_cast<std::ptrdiff_t>(field),
                    stored.begin() + static_cast<std::ptrdiff_t>(field + 2 + length), at + field)) {
      return false;
    }
  }
  return true;
}

void readAsFile(ByteView input) {
  const std::string path = freshListFile();
  writeWhole(path, input);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  FUZZ_REQUIRE(fd >= 0);
  ServerListReader reader(systemEnv(), fd, input.size());
  ServerListReader::Entry entry;
  ServerRegistry registry;
  std::uint64_t lastEnd = 0;
  std::size_t lastSection = 0;
  std::size_t records = 0;
  ServerListReader::Result result;
  while ((result = reader.next(entry)) == ServerListReader::Result::Record) {
    // Sections come in order and records one after the other, the counts between them.
    const std::size_t section = index(entry.section);
    FUZZ_REQUIRE(section >= lastSection);
    const std::uint64_t expectedOffset = records == 0
                                             ? kFileCountSize * (section + 1)
                                             : lastEnd + kFileCountSize * (section - lastSection);
    FUZZ_REQUIRE(entry.offset == expectedOffset);
    FUZZ_REQUIRE(recordStandsAt(input, entry));
    lastSection = section;
    lastEnd = entry.offset + kFileRecordSize;
    ++records;
    FUZZ_REQUIRE(records <= input.size() / kFileRecordSize);
    registry.insert(entry.section, computeServerKey(entry.record.fields), entry.record);
  }
  FUZZ_REQUIRE(result == ServerListReader::Result::End ||
               (result == ServerListReader::Result::Damaged && !reader.damage().empty()));
  // Finished for good.
  FUZZ_REQUIRE(reader.next(entry) == result);
  ::close(fd);

  checkRegistry(registry, RecordSource::File);
  checkListing(registry, buildListReply(registry));
}

}  // namespace
}  // namespace dirserver::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const dirserver::ByteView input(data, size);
  dirserver::fuzz::decodeAsReply(input);
  dirserver::fuzz::readAsFile(input);
  return 0;
}
