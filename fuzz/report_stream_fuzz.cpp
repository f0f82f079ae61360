// The report connection: any bytes from the board are framed and decoded
// without reading past what arrived; a decoded report survives a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/stream_fuzz.h"
#include "station/station_report.pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::FeedStream(data, size, [](const std::string& body) {
    station::SensorsDataRep report;
    if (!report.ParseFromString(body)) {
      return;
    }
    std::string again;
    if (!station_center::EncodeFrame(report, again)) {
      std::abort();  // a report that decoded always encodes again
    }
  });
  return 0;
}
