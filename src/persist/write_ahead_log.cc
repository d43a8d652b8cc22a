#include "persist/write_ahead_log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "persist/checksum.h"
#include "persist/owners_file.h"

namespace dirserver {
namespace {

constexpr std::uint8_t kMagic[kLogMagicSize] = {'D', 'S', 'W', 'A', 'L', '\r', '\n', 0x1A};
constexpr std::size_t kBlock = 1 << 20;

}  // namespace

Bytes encodeLogHeader(const LogHeader& header) {
  Bytes out(std::begin(kMagic), std::end(kMagic));
  putU32(out, header.version);
  putU64(out, header.seq);
  putU64(out, header.baseFingerprint);
  putU64(out, header.baseChange);
  putU64(out, header.firstChange);
  putU32(out, crc32c(out));
  return out;
}

LogHeaderFault decodeLogHeader(ByteView bytes, LogHeader& header, std::string& why) {
  if (bytes.size() < kLogHeaderSize || !std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin())) {
    why = "not a log of this server";
    return LogHeaderFault::NotOurs;
  }
  if (crc32c(bytes.first(kLogHeaderSize - 4)) != loadU32(bytes.data() + kLogHeaderSize - 4)) {
    why = "its header's checksum does not match";
    return LogHeaderFault::Checksum;
  }
  ByteReader reader(bytes.subspan(kLogMagicSize));
  std::uint32_t version = 0;
  reader.readU32(version);
  if (version < kLogOldestVersion || version > kLogVersion) {
    why = "log version " + std::to_string(version) + " is not known";
    return LogHeaderFault::UnknownVersion;
  }
  reader.readU64(header.seq);
  reader.readU64(header.baseFingerprint);
  reader.readU64(header.baseChange);
  reader.readU64(header.firstChange);
  header.version = version;
  return LogHeaderFault::None;
}

void appendLogEntry(Bytes& out, const LogEntry& entry) {
  const std::size_t start = out.size();
  putU32(out, 0);  // checksum and length, filled in below
  putU32(out, 0);
  putU8(out, static_cast<std::uint8_t>(entry.operation));
  putU8(out, static_cast<std::uint8_t>(index(entry.type)));
  putU32(out, static_cast<std::uint32_t>(entry.record.registrationTime));
  putAddress(out, entry.owner);
  if (entry.operation == LogOperation::Refresh) {
    putU32(out, entry.key);
    putBytes(out, entry.id.bytes);
  } else {
    for (const ServerField& field : entry.record.fields) {
      putU16(out, field.length());
      putBytes(out, field.bytes());
    }
  }
  const auto length = static_cast<std::uint32_t>(out.size() - start - kLogEntryHeaderSize);
  storeU32(out.data() + start + 4, length);
  storeU32(out.data() + start,
           crc32c(ByteView(out).subspan(start + 4, length + 4)));
}

LogEntry logEntryOf(const HostChange& change) {
  LogEntry entry;
  entry.type = change.type;
  entry.owner = change.entry.from;
  switch (change.kind) {
    case HostChange::Kind::Added:
      entry.operation = LogOperation::Set;
      entry.record = *change.entry.record;
      break;
    case HostChange::Kind::Refreshed:
      entry.operation = LogOperation::Refresh;
      entry.record.registrationTime = change.entry.record->registrationTime;
      entry.key = change.entry.key;
      entry.id = change.entry.id;
      break;
    case HostChange::Kind::Removed:
      entry.operation = LogOperation::Remove;
      entry.record = *change.entry.record;
      break;
  }
  return entry;
}

void appendLogEntry(Bytes& out, const HostChange& change) { appendLogEntry(out, logEntryOf(change)); }

LogReader::LogReader(Env& env, int fd, std::uint64_t fileSize)
    : env_(env), fd_(fd), fileSize_(fileSize) {}

bool LogReader::fill(std::size_t wanted) {
  if (buffer_.size() - position_ >= wanted) return true;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
  position_ = 0;
  while (buffer_.size() < wanted) {
    const std::size_t have = buffer_.size();
    buffer_.resize(have + std::max(kBlock, wanted - have));
    const ssize_t got = readFully(env_, fd_, buffer_.data() + have, buffer_.size() - have);
    if (got < 0) {
      readError_ = std::strerror(errno);
      buffer_.resize(have);
      return false;
    }
    buffer_.resize(have + static_cast<std::size_t>(got));
    if (got == 0) return false;
  }
  return true;
}

LogReader::Result LogReader::fail(std::string why) {
  finished_ = true;
  finalResult_ = readError_.empty() ? Result::Damaged : Result::ReadError;
  why_ = std::move(why);
  return finalResult_;
}

bool LogReader::readHeader(LogHeader& header) {
  if (!fill(kLogHeaderSize)) {
    why_ = readError_.empty() ? "shorter than a log's header" : readError_;
    headerFault_ = LogHeaderFault::Short;
    return false;
  }
  headerFault_ = decodeLogHeader(ByteView(buffer_).first(kLogHeaderSize), header, why_);
  if (headerFault_ != LogHeaderFault::None) return false;
  version_ = header.version;
  position_ += kLogHeaderSize;
  offset_ = kLogHeaderSize;
  return true;
}

bool LogReader::holdsNothing() {
  if (!readError_.empty()) return false;
  if (fileSize_ < kLogHeaderSize) return true;
  return restIsZero();
}

bool LogReader::headerDamaged() const {
  if (buffer_.size() < kLogHeaderSize) return false;
  const ByteView head = ByteView(buffer_).first(kLogHeaderSize);
  return std::equal(std::begin(kMagic), std::end(kMagic), head.begin()) ||
         std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0; });
}

// An entry that fails at offset_ and claims `extent` bytes (its header and payload, as far as its
// length can be believed): it was cut short by a kill when nothing but zeros, or the end of the
// file, follows that extent, since the log's room ahead is zeros and a write goes in order.
LogReader::Result LogReader::failEntry(std::string why, std::uint64_t extent) {
  if (readError_.empty()) {
    fill(static_cast<std::size_t>(extent));
    if (readError_.empty()) {
      const std::size_t have = std::min<std::size_t>(buffer_.size() - position_, extent);
      const ByteView part = ByteView(buffer_).subspan(position_, have);
      const auto last = std::find_if(part.rbegin(), part.rend(), [](std::uint8_t b) { return b != 0; });
      const std::uint64_t written = static_cast<std::uint64_t>(part.rend() - last);
      position_ += have;
      if (restIsZero()) {
        cutShort_ = true;
        cutBytes_ = written;
        why = "the last commit was cut short";
      }
    }
  }
  return fail(std::move(why));
}

bool LogReader::restIsZero() {
  for (;;) {
    const ByteView rest = ByteView(buffer_).subspan(position_);
    if (std::any_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b != 0; })) return false;
    position_ = buffer_.size();
    if (!fill(1)) return readError_.empty();
  }
}

LogReader::Result LogReader::next(LogEntry& entry) {
  if (finished_) return finalResult_;
  const std::string at = " at offset " + std::to_string(offset_);
  if (!fill(kLogEntryHeaderSize)) {
    if (!readError_.empty()) return fail(readError_);
    if (restIsZero()) {
      finished_ = true;
      return Result::End;
    }
    return failEntry("it ends inside the header of an entry" + at, kLogEntryHeaderSize);
  }
  const std::uint8_t* head = buffer_.data() + position_;
  const std::uint32_t checksum = loadU32(head);
  const std::uint32_t length = loadU32(head + 4);
  if (checksum == 0 && length == 0) {
    if (!restIsZero()) {
      return readError_.empty() ? fail("bytes other than zeros follow its zeroed end" + at)
                                : fail(readError_);
    }
    finished_ = true;
    return Result::End;
  }
  if (length < std::min(kLogPayloadMin, kLogRefreshPayload) || length > kLogPayloadMax) {
    return failEntry("an entry" + at + " claims a length of " + std::to_string(length),
                     kLogEntryHeaderSize);
  }
  if (!fill(kLogEntryHeaderSize + length)) {
    return readError_.empty() ? failEntry("it ends inside the entry" + at, kLogEntryHeaderSize + length)
                              : fail(readError_);
  }
  head = buffer_.data() + position_;
  if (crc32c(ByteView(head + 4, length + 4)) != checksum) {
    return failEntry("the checksum of the entry" + at + " does not match",
                     kLogEntryHeaderSize + length);
  }
  ByteReader reader(ByteView(head + kLogEntryHeaderSize, length));
  std::uint8_t operation = 0, type = 0;
  std::uint32_t time = 0;
  ByteView owner;
  reader.readU8(operation);
  reader.readU8(type);
  reader.readU32(time);
  reader.readBytes(4, owner);
  const bool refresh = operation == static_cast<std::uint8_t>(LogOperation::Refresh) && version_ >= 2;
  bool sound = (refresh || operation == static_cast<std::uint8_t>(LogOperation::Set) ||
                operation == static_cast<std::uint8_t>(LogOperation::Remove)) &&
               type < kServerTypeCount;
  entry.record = ServerRecord();
  entry.key = 0;
  entry.id = HostId();
  if (refresh) {
    ByteView id;
    sound = sound && reader.readU32(entry.key) && reader.readBytes(kHostIdSize, id);
    if (sound) std::copy(id.begin(), id.end(), entry.id.bytes.begin());
  }
  for (std::size_t i = 0; sound && !refresh && i < kFieldCount; ++i) {
    std::uint16_t fieldLength = 0;
    ByteView bytes;
    sound = reader.readU16(fieldLength) && fieldLength <= kFieldCapacity &&
            reader.readBytes(fieldLength, bytes);
    if (sound) entry.record.fields[i].data.assign(bytes.begin(), bytes.end());
  }
  if (!sound || reader.remaining() != 0) {
    return fail("the entry" + at + " does not hold a change");
  }
  entry.operation = static_cast<LogOperation>(operation);
  entry.type = kServerTypes[type];
  entry.record.registrationTime = static_cast<std::int32_t>(time);
  entry.owner = loadAddress(owner.data());
  position_ += kLogEntryHeaderSize + length;
  offset_ += kLogEntryHeaderSize + length;
  ++entries_;
  lastChecksum_ = checksum;
  return Result::Entry;
}

}  // namespace dirserver
