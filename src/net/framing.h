// Reading one request frame, byte by byte as they arrive.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "common/byte_order.h"
#include "protocol/message.h"
#include "protocol/outcome.h"

namespace dirserver {

// Assembles one request from bytes handed in as they arrive, in four steps: the size word, the id
// word, the type word and the body. The size is checked as soon as its word is complete
// (kHeaderSize to kMaxMessageSize), the id as soon as its word is. It never takes a byte beyond
// the announced size. Holds no socket and no clock: the event loop reads into space(), reports
// what it read with received(), and applies each step's deadline.
class FrameReader {
 public:
  enum class Step : std::uint8_t { Size, Id, Type, Body, Done, Rejected };

  Step step() const { return step_; }

  // Where the next bytes go: the rest of the header, or the rest of the body once allocateBody()
  // has been called. Empty in the Body step before that, and after Done or Rejected.
  std::span<std::uint8_t> space();

  // Records that `count` bytes (at most space().size()) were written to space(). Completes as many
  // steps as the bytes finish. Returns the fault of a failed check (InvalidSize, InvalidId),
  // leaving the reader Rejected, else nothing.
  std::optional<ConsoleError> received(std::size_t count);

  // In the Body step: the announced body length, and the allocation of a buffer of exactly that
  // many bytes, which the caller may delay (to keep within a memory budget).
  std::uint32_t bodyLength() const { return header_.size - kHeaderSize; }
  void allocateBody();

  // In the Body step: takes from the front of `bytes`, received along with the header, what the
  // body still lacks, and returns how many it took; the rest lie beyond the announced size and
  // are the caller's to drop. Before allocateBody() they are kept as the body's start (the caller
  // bounds how many), after it they go into space(). Done once the body is whole.
  std::size_t takeBody(ByteView bytes);

  // The fault of a read that fails in the current step, one of the header steps or the body: the
  // peer closed its side, the receive failed, or the step's deadline passed.
  ConsoleError failure() const;

  // Once Done: the request.
  const MessageHeader& header() const { return header_; }
  ByteView body() const { return body_; }

 private:
  void completeHeaderSteps();

  Step step_ = Step::Size;
  std::uint8_t headerBytes_[kHeaderSize] = {};
  std::size_t headerReceived_ = 0;
  MessageHeader header_;
  Bytes body_;
  std::size_t bodyReceived_ = 0;
  bool bodyAllocated_ = false;
  ConsoleError rejection_ = ConsoleError::InvalidSize;
};

}  // namespace dirserver
