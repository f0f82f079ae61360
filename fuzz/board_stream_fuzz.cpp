// Any bytes from the board, framed and decoded as a command reply and as a report,
// never read past what arrived; a decoded report always encodes again.
#include "fuzz/fuzz_support.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station_fuzz::FeedStream(data, size, [](const std::string& body) {
    station::SupplyMaterialRsp reply;
    station::SensorsDataRep report;
    std::string again;
    if (report.ParseFromString(body) && !station_center::EncodeFrame(report, again)) std::abort();
    return reply.ParseFromString(body);
  });
  return 0;
}
