#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bottom/frame_buffer.h"

namespace station_fuzz {

// Feeds `data` through a FrameBuffer the way a connection reads a stream: the
// first byte picks the buffer size, the second the size of each read, the rest
// is the stream. Every complete frame is handed to `on_body`. Checks what the
// readers rely on: the buffer never holds more than its capacity, and a body
// never exceeds what the buffer can hold.
template <typename OnBody>
void FeedStream(const uint8_t* data, size_t size, OnBody on_body) {
  if (size < 2) {
    return;
  }
  const size_t capacity = 2 + static_cast<size_t>(data[0]) * 16;
  const size_t chunk = 1 + data[1] % 64;
  data += 2;
  size -= 2;
  station_center::FrameBuffer frames(capacity);
  std::string body;
  size_t offset = 0;
  while (offset < size) {
    size_t want = chunk < size - offset ? chunk : size - offset;
    const size_t room = frames.Room();
    if (room == 0) {
      std::abort();  // a full buffer must always hold a complete or an oversized frame
    }
    if (want > room) {
      want = room;
    }
    offset += frames.Append(reinterpret_cast<const char*>(data + offset), want);
    for (;;) {
      const auto next = frames.Pop(body);
      if (next == station_center::FrameBuffer::Next::kNone) {
        break;
      }
      if (next == station_center::FrameBuffer::Next::kFrame) {
        if (body.size() + 2 > capacity) {
          std::abort();
        }
        on_body(body);
      }
    }
    if (frames.Held() > frames.Capacity()) {
      std::abort();
    }
  }
}

}  // namespace station_fuzz
