#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace station_fuzz {

// A configuration folder of the fuzzer's own, named through
// STATION_CENTER_CONFIG_DIR, into which each input is written as a file.
class ConfigFolder {
 public:
  ConfigFolder() {
    char pattern[] = "/tmp/station_fuzz_XXXXXX";
    const char* dir = mkdtemp(pattern);
    path_ = dir != nullptr ? dir : "/tmp";
    setenv("STATION_CENTER_CONFIG_DIR", path_.c_str(), 1);
    // The service logs every key it reads; keep the fuzzer's output readable.
    setenv("SPDLOG_STDOUT", "false", 1), setenv("SPDLOG_SYSTEMD", "false", 1), setenv("SPDLOG_LEVEL", "info", 1);
  }
  void Write(const char* name, const void* data, size_t size) const {
    std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc)
        .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

 private:
  std::string path_;
};

}  // namespace station_fuzz
