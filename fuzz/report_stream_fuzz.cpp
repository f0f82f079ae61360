// The report connection: any bytes from the board are framed and decoded
// without reading past what arrived; a decoded report always encodes again.
#include "fuzz/fuzz_support.h"
#include "station/station_report.pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::FeedStream(data, size, [](const std::string& body) {
    station::SensorsDataRep report;
    std::string again;
    if (report.ParseFromString(body) && !station_center::EncodeFrame(report, again)) std::abort();
  });
  return 0;
}
