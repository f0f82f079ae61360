// ThreadSanitizer's suppressions for the fault tests: for this test executable
// (its robot client runs on the Paho libraries) and, through TSAN_OPTIONS, for
// the station processes it starts. The Paho libraries are not instrumented:
// their tokens and messages are released and signalled under the library's own
// locks and atomics, which ThreadSanitizer cannot see (paho.tsan.supp).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern "C" const char* __tsan_default_suppressions() {
  return "race:libpaho-mqttpp3.so\n"
         "race:libpaho-mqtt3as.so\n"
         "deadlock:libpaho-mqttpp3.so\n"
         "deadlock:libpaho-mqtt3as.so\n";
}

namespace station_test {
namespace {

// Children inherit the environment: every station started by a test reads the
// same suppressions (the options of this process were read at its start).
class StationSanitizerOptions : public testing::Environment {
 public:
  void SetUp() override {
    const std::string suppressions = "suppressions=" STATION_SOURCE_DIR "/tests/fault/paho.tsan.supp";
    const char* current = std::getenv("TSAN_OPTIONS");
    std::string options = current != nullptr ? current : "";
    // A runner that names its own suppressions (scripts/test) keeps them.
    if (options.find("suppressions=") == std::string::npos) {
      options += (options.empty() ? "" : ":") + suppressions;
      ::setenv("TSAN_OPTIONS", options.c_str(), 1);
    }
  }
};

testing::Environment* const kStationSanitizerOptions =
    testing::AddGlobalTestEnvironment(new StationSanitizerOptions);

}  // namespace
}  // namespace station_test
