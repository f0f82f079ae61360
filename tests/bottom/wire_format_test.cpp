// The board's frames written out byte by byte, so that a fault shared by the
// station's encoder and decoder cannot hide.
#include <gtest/gtest.h>

#include "bottom/frame_buffer.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {
namespace {

std::string Bytes(std::initializer_list<unsigned> values) { return std::string(values.begin(), values.end()); }

TEST(WireFormat, SensorReportAsTheBoardSendsItDecodesToItsFields) {
  const std::string stream = Bytes({
      33, 0x00,                                                                // length
      0x08, 0x07, 0x10, 0x01,                                                  // 1 seq = 7, 2 cleanTankUpLevel = 1
      0x6D, 0x00, 0x00, 0x2A, 0x42,                                            // 13 heatingWireTemp = 42.5f
      0x78, 0xAC, 0x02,                                                        // 15 flowMeter = 300
      0x88, 0x01, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,  // 17 negativePressure = -5
      0xBD, 0x01, 0x00, 0x00, 0x44, 0x41,                                      // 23 chargerVoltage = 12.25f
      0x80, 0x02, 0x01,                                                        // 32 perfumeLiquidDet = true
  });
  FrameBuffer frames(4096);
  std::string body;
  station::SensorsDataRep r;
  ASSERT_EQ(frames.Append(stream.data(), stream.size()), stream.size());
  ASSERT_TRUE(frames.Pop(body) == FrameBuffer::Next::kFrame && r.ParseFromString(body));
  EXPECT_EQ(frames.Held(), 0u);
  EXPECT_TRUE(r.seq() == 7 && r.cleantankuplevel() == 1 && r.cleantankfootlevel() == 0 && r.flowmeter() == 300);
  EXPECT_TRUE(r.heatingwiretemp() == 42.5f && r.chargervoltage() == 12.25f);
  EXPECT_TRUE(r.negativepressure() == -5 && r.perfumeliquiddet());
}

TEST(WireFormat, RequestsSerialiseToTheExpectedFrames) {
  station::SupplyMaterialReq tap_on, drain_off, led;
  tap_on.set_seq_(1700000000), tap_on.mutable_cmd_()->set_action_(1);
  tap_on.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_TAP_WATER_SWITCH);
  drain_off.set_seq_(5), drain_off.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_DRAINAGE_SWITCH);  // action 0 left out
  led.set_seq_(5), led.mutable_change_led_()->set_led_cmd_(station::LED_SUPPLYING);
  for (const auto& [req, expected] : std::vector<std::pair<station::SupplyMaterialReq, std::string>>{
           {tap_on, Bytes({0x0C, 0x00, 0x08, 0x80, 0xE2, 0xCF, 0xAA, 0x06, 0x12, 0x04, 0x08, 0x01, 0x10, 0x01})},
           {drain_off, Bytes({0x06, 0x00, 0x08, 0x05, 0x12, 0x02, 0x10, 0x0D})},
           {led, Bytes({0x06, 0x00, 0x08, 0x05, 0x1A, 0x02, 0x08, 0x09})}}) {
    std::string frame;
    EXPECT_TRUE(EncodeFrame(req, frame) && frame == expected) << req.ShortDebugString();
  }
}

TEST(WireFormat, FrameBufferHoldsPartsNeverReadsPastThemAndDropsAPrefixThatCannotFit) {
  const std::string stream = Bytes({0x00, 0x00, 0x04, 0x00, 0x08, 0x01, 0x10, 0x02, 0x02, 0x00, 0x08});
  FrameBuffer frames(16), small(16);
  std::string body = "x";
  station::SupplyMaterialRsp rsp;
  frames.Append(stream.data(), 5);
  ASSERT_EQ(frames.Pop(body), FrameBuffer::Next::kFrame);  // a zero-length reply: every field at its default
  EXPECT_TRUE(body.empty() && rsp.ParseFromString(body) && rsp.seq_() == 0 && rsp.err_code_() == station::ENUM_SUCCESS);
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kNone);
  frames.Append(stream.data() + 5, stream.size() - 5);
  ASSERT_EQ(frames.Pop(body), FrameBuffer::Next::kFrame);
  EXPECT_EQ(body, Bytes({0x08, 0x01, 0x10, 0x02}));
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kNone) << "the second frame lacks a byte";
  EXPECT_EQ(frames.Held(), 3u);
  const std::string oversized = Bytes({0x0F, 0x00, 0x08, 0x01}), fits = Bytes({0x0E, 0x00});  // 15 + 2 > 16; 14 + 2
  small.Append(oversized.data(), oversized.size());
  EXPECT_TRUE(small.Pop(body) == FrameBuffer::Next::kOversized && small.Held() == 0u);
  small.Append(fits.data(), fits.size());
  EXPECT_EQ(small.Pop(body), FrameBuffer::Next::kNone);
}

}  // namespace
}  // namespace station_center
