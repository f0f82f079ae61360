// The command connection: replies from the board, stale or broken, are framed
// and decoded without reading past what arrived.
#include "fuzz/fuzz_support.h"
#include "station/cmd.pb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  station::SupplyMaterialRsp reply;
  station_fuzz::FeedStream(data, size, [&reply](const std::string& body) { return reply.ParseFromString(body); });
  return 0;
}
