#include "net/framing.h"

#include <algorithm>

namespace dirserver {

std::span<std::uint8_t> FrameReader::space() {
  switch (step_) {
    case Step::Size:
    case Step::Id:
    case Step::Type:
      return std::span<std::uint8_t>(headerBytes_).subspan(headerReceived_);
    case Step::Body:
      if (!bodyAllocated_) return {};
      return std::span<std::uint8_t>(body_).subspan(bodyReceived_);
    case Step::Done:
    case Step::Rejected:
      break;
  }
  return {};
}

void FrameReader::allocateBody() {
  if (step_ != Step::Body || bodyAllocated_) return;
  body_.resize(bodyLength());  // keeps a start taken before
  bodyAllocated_ = true;
  if (bodyReceived_ == body_.size()) step_ = Step::Done;
}

std::size_t FrameReader::takeBody(ByteView bytes) {
  if (step_ != Step::Body) return 0;
  const std::size_t taken = std::min<std::size_t>(bytes.size(), bodyLength() - bodyReceived_);
  if (bodyAllocated_) {
    std::copy_n(bytes.begin(), taken, body_.begin() + static_cast<std::ptrdiff_t>(bodyReceived_));
  } else {
    body_.insert(body_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
  }
  bodyReceived_ += taken;
  if (bodyAllocated_ && bodyReceived_ == body_.size()) step_ = Step::Done;
  return taken;
}

std::optional<ConsoleError> FrameReader::received(std::size_t count) {
  if (step_ == Step::Body) {
    bodyReceived_ += count;
    if (bodyReceived_ == body_.size()) step_ = Step::Done;
    return std::nullopt;
  }
  headerReceived_ += count;
  completeHeaderSteps();
  if (step_ == Step::Rejected) return rejection_;
  return std::nullopt;
}

void FrameReader::completeHeaderSteps() {
  if (step_ == Step::Size && headerReceived_ >= 4) {
    header_.size = loadU32(headerBytes_);
    if (header_.size < kHeaderSize || header_.size > kMaxMessageSize) {
      rejection_ = ConsoleError::InvalidSize;
      step_ = Step::Rejected;
      return;
    }
    step_ = Step::Id;
  }
  if (step_ == Step::Id && headerReceived_ >= 8) {
    header_.messageId = loadU32(headerBytes_ + 4);
    if (header_.messageId != kMessageId) {
      rejection_ = ConsoleError::InvalidId;
      step_ = Step::Rejected;
      return;
    }
    step_ = Step::Type;
  }
  if (step_ == Step::Type && headerReceived_ >= 12) {
    header_.messageType = loadU32(headerBytes_ + 8);
    // An empty body is complete as soon as the header is: there is nothing to wait for.
    step_ = bodyLength() == 0 ? Step::Done : Step::Body;
    if (step_ == Step::Done) bodyAllocated_ = true;
  }
}

ConsoleError FrameReader::failure() const {
  switch (step_) {
    case Step::Id:
      return ConsoleError::RecvId;
    case Step::Type:
      return ConsoleError::RecvType;
    case Step::Body:
      return ConsoleError::RecvBody;
    default:
      return ConsoleError::RecvSize;
  }
}

}  // namespace dirserver
