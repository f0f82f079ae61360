#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <google/protobuf/message_lite.h>

namespace station_center {

// Reassembles the board's frames (2-byte little-endian body length, then the
// protobuf body) from a TCP stream. One buffer per connection: bytes read are
// appended, every complete frame is taken out in arrival order, and a partial
// frame waits for the next read. A frame never needs more than `capacity`
// bytes, so a prefix announcing a body that cannot fit is a broken stream.
class FrameBuffer {
 public:
  enum class Next {
    kNone,       // no complete frame held (yet)
    kFrame,      // `body` holds the next frame's body
    kOversized,  // the prefix exceeds the buffer: every held byte was dropped
  };

  explicit FrameBuffer(size_t capacity);

  // Room left for the next read; never more than the capacity.
  size_t Room() const { return capacity_ > held_.size() ? capacity_ - held_.size() : 0; }
  size_t Held() const { return held_.size(); }
  size_t Capacity() const { return capacity_; }

  // Appends at most Room() bytes of `data`; returns how many were taken.
  size_t Append(const char* data, size_t len);
  Next Pop(std::string& body);
  void Clear() { held_.clear(); }

 private:
  size_t capacity_;
  std::string held_;
};

// Serialises `message` behind its 2-byte little-endian length. False when the
// message does not serialise or its body exceeds 65535 bytes.
bool EncodeFrame(const google::protobuf::MessageLite& message, std::string& frame);

}  // namespace station_center
