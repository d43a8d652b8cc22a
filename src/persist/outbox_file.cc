#include "persist/outbox_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "persist/checksum.h"
#include "persist/server_list_file.h"

namespace dirserver {
namespace {

std::string failure(const char* step, const std::string& path) {
  return std::string(step) + " " + fileNameOf(path) + ": " + std::strerror(errno);
}

Bytes header() {
  Bytes out(kOutboxMagic, kOutboxMagic + kOutboxMagicSize);
  putU32(out, kOutboxVersion);
  return out;
}

bool readWhole(Env& env, const std::string& path, Bytes& bytes, bool& found, std::string& error) {
  found = false;
  const int fd = env.open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    error = failure("open", path);
    return false;
  }
  found = true;
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    const ssize_t got = readFully(env, fd, chunk, sizeof chunk);
    if (got < 0) {
      error = failure("read", path);
      env.close(fd);
      return false;
    }
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (static_cast<std::size_t>(got) < sizeof chunk) break;
  }
  env.close(fd);
  return true;
}

}  // namespace

void applyRecord(OutboxEntries& entries, const OutboxRecord& record) {
  switch (record.kind) {
    case OutboxRecord::Kind::Put:
      entries[record.key] = OutboxEntry{record.revision, record.value};
      break;
    case OutboxRecord::Kind::Drop:
      entries.erase(record.key);
      break;
    case OutboxRecord::Kind::Revise:
      if (const auto found = entries.find(record.key); found != entries.end()) {
        found->second.revision = record.revision;
      }
      break;
  }
}

Bytes encodeOutboxRecord(const OutboxRecord& record) {
  const std::size_t keyBytes = std::min(record.key.size(), kOutboxMaxKeyBytes);
  const bool put = record.kind == OutboxRecord::Kind::Put;
  Bytes out;
  out.reserve(kOutboxRecordFrameBytes + kOutboxBodyFixedBytes + keyBytes +
              (put ? record.value.size() : 0));
  putU32(out, static_cast<std::uint32_t>(kOutboxBodyFixedBytes + keyBytes +
                                         (put ? record.value.size() : 0)));
  putU8(out, static_cast<std::uint8_t>(record.kind));
  putU16(out, static_cast<std::uint16_t>(keyBytes));
  putBytes(out, ByteView(reinterpret_cast<const std::uint8_t*>(record.key.data()), keyBytes));
  putU64(out, record.revision);
  if (put) putBytes(out, record.value);
  putU32(out, crc32c(out));
  return out;
}

OutboxLoad decodeOutbox(ByteView bytes) {
  OutboxLoad load;
  load.found = true;
  if (bytes.size() < kOutboxHeaderBytes ||
      !std::equal(kOutboxMagic, kOutboxMagic + kOutboxMagicSize, bytes.begin()) ||
      loadU32(bytes.data() + kOutboxMagicSize) != kOutboxVersion) {
    load.damage = "not an outbox file of this version";
    return load;
  }
  std::size_t at = kOutboxHeaderBytes;
  while (bytes.size() - at >= kOutboxRecordFrameBytes) {
    const std::uint32_t length = loadU32(bytes.data() + at);
    // A length no record has is a damaged length, not a record still being written: said, so
    // that the entries after it are not lost unnoticed.
    if (length > kOutboxMaxBodyBytes) {
      load.damage = "impossible record length " + std::to_string(length) + " at byte " +
                    std::to_string(at) + ": " + std::to_string(bytes.size() - at) +
                    " bytes ignored";
      return load;
    }
    // Cut short: the append a crash interrupted. Its changes were of the commit in flight, whose
    // requests may have been answered already; the log loses that commit's tail the same way.
    if (bytes.size() - at - kOutboxRecordFrameBytes < length) break;
    const ByteView framed = bytes.subspan(at, 4 + length);
    const std::uint32_t stored = loadU32(bytes.data() + at + 4 + length);
    OutboxRecord record;
    std::uint8_t kind = 0;
    std::uint16_t keyBytes = 0;
    ByteReader body(framed.subspan(4));
    bool valid = crc32c(framed) == stored && body.readU8(kind) && body.readU16(keyBytes) &&
                 kind >= 1 && kind <= 3 && body.remaining() >= keyBytes + std::size_t{8};
    if (valid) {
      const ByteView rest = framed.subspan(4 + 3);
      record.kind = static_cast<OutboxRecord::Kind>(kind);
      record.key.assign(reinterpret_cast<const char*>(rest.data()), keyBytes);
      record.revision = loadU64(rest.data() + keyBytes);
      record.value.assign(rest.begin() + keyBytes + 8, rest.end());
    }
    if (!valid) {
      load.damage = "checksum mismatch at byte " + std::to_string(at) + ": " +
                    std::to_string(bytes.size() - at) + " bytes ignored";
      return load;
    }
    applyRecord(load.entries, record);
    at += kOutboxRecordFrameBytes + length;
  }
  return load;
}

OutboxLoad loadOutbox(Env& env, const std::string& path) {
  Bytes bytes;
  bool found = false;
  std::string error;
  if (!readWhole(env, path, bytes, found, error)) {
    OutboxLoad load;
    load.found = true;
    load.damage = error;
    return load;
  }
  if (!found) return {};
  return decodeOutbox(bytes);
}

OutboxFile::~OutboxFile() { close(); }

void OutboxFile::close() {
  if (fd_ >= 0) env_.close(fd_);
  fd_ = -1;
}

bool OutboxFile::rewrite(const OutboxEntries& entries, std::string& error) {
  close();
  Bytes bytes = header();
  for (const auto& [key, entry] : entries) {
    putBytes(bytes,
             encodeOutboxRecord({OutboxRecord::Kind::Put, key, entry.revision, entry.value}));
  }
  // Only a file whose directory is synced too is one whose appends a power loss keeps.
  if (replaceFile(env_, path_, bytes, error) != SaveOutcome::Saved) return false;
  fd_ = env_.open(path_, O_WRONLY | O_CLOEXEC, 0);
  if (fd_ < 0) {
    error = failure("open", path_);
    return false;
  }
  end_ = bytes.size();
  return true;
}

bool OutboxFile::append(const std::vector<OutboxRecord>& records, std::string& error) {
  if (fd_ < 0) {
    error = "no file open for appends";
    return false;
  }
  Bytes bytes;
  for (const OutboxRecord& record : records) putBytes(bytes, encodeOutboxRecord(record));
  bool ok = writeFullyAt(env_, fd_, bytes, static_cast<off_t>(end_));
  if (!ok) error = failure("write", path_);
  if (ok && env_.fdatasync(fd_) != 0) {
    error = failure("fdatasync", path_);
    ok = false;
  }
  // After a failed write or sync the file's tail cannot be trusted: the next batch rewrites it.
  if (!ok) {
    close();
    return false;
  }
  end_ += bytes.size();
  return true;
}

std::string outboxFileBeside(const std::string& listFile) {
  return fileBeside(listFile, "cluster_outbox");
}

std::string bucketIdFileBeside(const std::string& listFile) {
  return fileBeside(listFile, "cluster_bucket");
}

std::string readBucketId(Env& env, const std::string& path) {
  Bytes bytes;
  bool found = false;
  std::string error;
  if (!readWhole(env, path, bytes, found, error) || !found) return {};
  std::string id(bytes.begin(), bytes.end());
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  return id;
}

bool writeBucketId(Env& env, const std::string& path, const std::string& id, std::string& error) {
  const std::string line = id + "\n";
  return replaceFile(env, path,
                     ByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()),
                     error) == SaveOutcome::Saved;
}

}  // namespace dirserver
