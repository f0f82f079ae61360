#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bottom/frame_buffer.h"

namespace station_fuzz {

// A configuration folder of the fuzzer's own, named through
// STATION_CENTER_CONFIG_DIR, into which each input is written as a file.
struct ConfigFolder {
  ConfigFolder() {
    char pattern[] = "/tmp/station_fuzz_XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    setenv("STATION_CENTER_CONFIG_DIR", path_.c_str(), 1);
    // The service logs every key it reads; keep the fuzzer's output readable.
    setenv("SPDLOG_STDOUT", "false", 1), setenv("SPDLOG_SYSTEMD", "false", 1), setenv("SPDLOG_LEVEL", "info", 1);
  }
  void Write(const char* name, const void* data, size_t size) const {
    std::ofstream(path_ + "/" + name, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(size));
  }
  std::string path_;
};

// Feeds `data` through a FrameBuffer the way a connection reads a stream: the
// first byte picks the buffer size, the second the size of each read, the rest
// is the stream. Every complete frame is handed to `on_body`. Checks what the
// readers rely on: the buffer never holds more than its capacity, and a body
// never exceeds what the buffer can hold.
template <typename OnBody>
void FeedStream(const uint8_t* data, size_t size, OnBody on_body) {
  using Next = station_center::FrameBuffer::Next;
  if (size < 2) return;
  const size_t capacity = 2 + static_cast<size_t>(data[0]) * 16, chunk = 1 + data[1] % 64;
  station_center::FrameBuffer frames(capacity);
  std::string body;
  for (size_t offset = 2; offset < size;) {
    if (frames.Room() == 0) std::abort();  // a full buffer must always hold a complete or an oversized frame
    const size_t want = std::min({chunk, size - offset, frames.Room()});
    offset += frames.Append(reinterpret_cast<const char*>(data + offset), want);
    for (Next next; (next = frames.Pop(body)) != Next::kNone;) {
      if (next == Next::kFrame && body.size() + 2 > capacity) std::abort();
      if (next == Next::kFrame) on_body(body);
    }
    if (frames.Held() > frames.Capacity()) std::abort();
  }
}

}  // namespace station_fuzz
