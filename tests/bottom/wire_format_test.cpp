// The board's frames written out byte by byte, so that a fault shared by the
// station's encoder and decoder cannot hide.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bottom/frame_buffer.h"
#include "station/cmd.pb.h"
#include "station/station_report.pb.h"

namespace station_center {
namespace {

std::string Bytes(std::vector<unsigned> values) {
  std::string out;
  for (unsigned v : values) {
    out.push_back(static_cast<char>(v));
  }
  return out;
}

TEST(WireFormatTest, SensorReportAsTheBoardSendsItDecodesToItsFields) {
  const std::string body = Bytes({
      0x08, 0x07,                          // 1 seq = 7
      0x10, 0x01,                          // 2 cleanTankUpLevel = 1
      0x40, 0x01,                          // 8 robotDockDetLeft = 1
      0x6D, 0x00, 0x00, 0x2A, 0x42,        // 13 heatingWireTemp = 42.5f
      0x78, 0xAC, 0x02,                    // 15 flowMeter = 300
      0x88, 0x01, 0xFB, 0xFF, 0xFF, 0xFF,  // 17 negativePressure = -5 (ten-byte varint)
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01,  //
      0xBD, 0x01, 0x00, 0x00, 0x44, 0x41,  // 23 chargerVoltage = 12.25f
      0xD8, 0x01, 0x01,                    // 27 initSensorsState = true
      0xE8, 0x01, 0x01,                    // 29 selfCheckState = true
      0x80, 0x02, 0x01,                    // 32 perfumeLiquidDet = true
  });
  std::string stream = Bytes({static_cast<unsigned>(body.size()), 0x00}) + body;

  FrameBuffer frames(4096);
  ASSERT_EQ(frames.Append(stream.data(), stream.size()), stream.size());
  std::string got;
  ASSERT_EQ(frames.Pop(got), FrameBuffer::Next::kFrame);
  EXPECT_EQ(frames.Held(), 0u);

  station::SensorsDataRep report;
  ASSERT_TRUE(report.ParseFromString(got));
  EXPECT_EQ(report.seq(), 7u);
  EXPECT_EQ(report.cleantankuplevel(), 1u);
  EXPECT_EQ(report.cleantankfootlevel(), 0u);
  EXPECT_EQ(report.robotdockdetleft(), 1u);
  EXPECT_FLOAT_EQ(report.heatingwiretemp(), 42.5f);
  EXPECT_EQ(report.flowmeter(), 300u);
  EXPECT_EQ(report.negativepressure(), -5);
  EXPECT_FLOAT_EQ(report.chargervoltage(), 12.25f);
  EXPECT_TRUE(report.initsensorsstate());
  EXPECT_FALSE(report.initactuatorsstate());
  EXPECT_TRUE(report.selfcheckstate());
  EXPECT_TRUE(report.perfumeliquiddet());
}

struct RequestCase {
  const char* name;
  station::SupplyMaterialReq req;
  std::string frame;
};

std::vector<RequestCase> RequestCases() {
  std::vector<RequestCase> cases;
  {
    station::SupplyMaterialReq req;
    req.set_seq_(1700000000);
    req.mutable_cmd_()->set_action_(1);
    req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_TAP_WATER_SWITCH);
    cases.push_back({"TapOn", req,
                     Bytes({0x0C, 0x00,                              // length 12
                            0x08, 0x80, 0xE2, 0xCF, 0xAA, 0x06,      // 1 seq_
                            0x12, 0x04, 0x08, 0x01, 0x10, 0x01})});  // 2 cmd_ {action_ 1, supply_type_ 1}
  }
  {
    station::SupplyMaterialReq req;
    req.set_seq_(5);
    req.mutable_cmd_()->set_action_(0);  // proto3 leaves the zero out
    req.mutable_cmd_()->set_supply_type_(station::ENUM_SUPPLY_DRAINAGE_SWITCH);
    cases.push_back({"DrainageOff", req, Bytes({0x06, 0x00, 0x08, 0x05, 0x12, 0x02, 0x10, 0x0D})});
  }
  {
    station::SupplyMaterialReq req;
    req.set_seq_(5);
    req.mutable_change_led_()->set_led_cmd_(station::LED_SUPPLYING);
    cases.push_back({"LedSupplying", req, Bytes({0x06, 0x00, 0x08, 0x05, 0x1A, 0x02, 0x08, 0x09})});
  }
  return cases;
}

TEST(WireFormatTest, RequestsSerialiseToTheExpectedFrames) {
  for (const RequestCase& c : RequestCases()) {
    std::string frame;
    ASSERT_TRUE(EncodeFrame(c.req, frame)) << c.name;
    EXPECT_EQ(frame, c.frame) << c.name;
  }
}

TEST(WireFormatTest, ZeroLengthReplyDecodesToDefaults) {
  FrameBuffer frames(4096);
  const std::string stream = Bytes({0x00, 0x00});
  frames.Append(stream.data(), stream.size());
  std::string body = "x";
  ASSERT_EQ(frames.Pop(body), FrameBuffer::Next::kFrame);
  station::SupplyMaterialRsp rsp;
  ASSERT_TRUE(rsp.ParseFromString(body));
  EXPECT_EQ(rsp.seq_(), 0);
  EXPECT_EQ(rsp.err_code_(), station::ENUM_SUCCESS);
}

TEST(WireFormatTest, FrameBufferHoldsPartialFramesAndNeverReadsPastThem) {
  const std::string stream = Bytes({0x04, 0x00, 0x08, 0x01, 0x10, 0x02, 0x02, 0x00, 0x08});
  FrameBuffer frames(16);
  std::string body;
  frames.Append(stream.data(), 3);
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kNone);
  frames.Append(stream.data() + 3, stream.size() - 3);
  ASSERT_EQ(frames.Pop(body), FrameBuffer::Next::kFrame);
  EXPECT_EQ(body, Bytes({0x08, 0x01, 0x10, 0x02}));
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kNone) << "second frame lacks a byte";
  EXPECT_EQ(frames.Held(), 3u);
}

TEST(WireFormatTest, PrefixThatCannotFitTheBufferDropsEverythingHeld) {
  FrameBuffer frames(16);
  const std::string stream = Bytes({0x0F, 0x00, 0x08, 0x01});  // 15 + 2 > 16
  frames.Append(stream.data(), stream.size());
  std::string body;
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kOversized);
  EXPECT_EQ(frames.Held(), 0u);
  const std::string fits = Bytes({0x0E, 0x00});  // 14 + 2 == 16 waits for its body
  frames.Append(fits.data(), fits.size());
  EXPECT_EQ(frames.Pop(body), FrameBuffer::Next::kNone);
}

}  // namespace
}  // namespace station_center
