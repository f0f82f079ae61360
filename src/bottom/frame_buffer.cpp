#include "bottom/frame_buffer.h"

namespace station_center {

namespace {
constexpr size_t kPrefixSize = 2;
}  // namespace

FrameBuffer::FrameBuffer(size_t capacity) : capacity_(capacity < kPrefixSize ? kPrefixSize : capacity) {
  held_.reserve(capacity_);
}

size_t FrameBuffer::Append(const char* data, size_t len) {
  const size_t take = len < Room() ? len : Room();
  held_.append(data, take);
  return take;
}

FrameBuffer::Next FrameBuffer::Pop(std::string& body) {
  if (held_.size() < kPrefixSize) {
    return Next::kNone;
  }
  const size_t len = static_cast<uint8_t>(held_[0]) | (static_cast<size_t>(static_cast<uint8_t>(held_[1])) << 8);
  if (len + kPrefixSize > capacity_) {
    held_.clear();
    return Next::kOversized;
  }
  if (held_.size() < len + kPrefixSize) {
    return Next::kNone;
  }
  body.assign(held_, kPrefixSize, len);
  held_.erase(0, len + kPrefixSize);
  return Next::kFrame;
}

bool EncodeFrame(const google::protobuf::MessageLite& message, std::string& frame) {
  const size_t size = message.ByteSizeLong();
  if (size > 0xFFFF) {
    return false;
  }
  frame.assign(size + kPrefixSize, '\0');
  if (!message.SerializeToArray(&frame[kPrefixSize], static_cast<int>(size))) {
    return false;
  }
  // The prefix is written only once the body is known to be good.
  frame[0] = static_cast<char>(size & 0xFF);
  frame[1] = static_cast<char>((size >> 8) & 0xFF);
  return true;
}

}  // namespace station_center
