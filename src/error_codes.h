#pragma once

namespace station_center {

// Every code the service writes into its error lines ("ErrorCode: <code>, ..."), in one
// place with what went wrong. Logs are searched by these numbers, so a value keeps its
// meaning; a new kind of fault gets a new value after the last one. Where one code
// covers several faults, its comment names them.

// Connecting to the board failed.
inline constexpr int kTcpConnectFailed = 101900002;
// The report server did not start: its thread did not start or the bind failed.
inline constexpr int kTcpServerStartFailed = 101900003;
// The report server could not listen on its bound socket.
inline constexpr int kTcpListenFailed = 101900004;
// A TCP socket could not be created.
inline constexpr int kSocketCreateFailed = 101900005;
// Sending on a TCP socket failed.
inline constexpr int kSocketSendFailed = 101900006;
// Receiving on a TCP socket failed.
inline constexpr int kSocketRecvFailed = 101900007;
// The peer shut the TCP connection down while reading.
inline constexpr int kSocketPeerClosed = 101900008;
// Setting a socket option (keep-alive, time-out, reuse) failed.
inline constexpr int kSocketOptionFailed = 101900009;
// A task ended in error, or reached a step it has no handler for.
inline constexpr int kTaskError = 101900011;
// A board frame (report or response) did not decode.
inline constexpr int kFrameDecodeFailed = 101900012;
// The broker connection was lost, or handling its loss failed.
inline constexpr int kMqttConnectionLost = 101900013;
// A message arrived on a topic with no handler.
inline constexpr int kMqttTopicUnknown = 101900014;
// A robot request named an unknown check or supply type.
inline constexpr int kUnknownRequestType = 101900016;
// The mqtt client could not be set up at start-up.
inline constexpr int kMqttInitFailed = 101900017;
// A task ran past its time limit.
inline constexpr int kTaskTimeout = 101900019;
// The tank did not report full in time, may be no water.
inline constexpr int kAddWaterTimeout = 101900020;
// Switching the disinfectant motor on failed.
inline constexpr int kDisinfectantMotorOpenFailed = 101900021;
// Opening the drain water switch failed.
inline constexpr int kDrainSwitchOpenFailed = 101900022;
// Closing the drain water switch failed.
inline constexpr int kDrainSwitchCloseFailed = 101900024;
// The tank did not report drained in time.
inline constexpr int kDrainTimeout = 101900025;
// A liquid prepare task was given a type it cannot run.
inline constexpr int kLiquidTaskTypeUnsupported = 101900026;
// Switching the clean or perfume liquid pump on failed.
inline constexpr int kLiquidPumpOpenFailed = 101900027;
// Switching the clean or perfume liquid pump off failed.
inline constexpr int kLiquidPumpCloseFailed = 101900028;
// Switching the disinfectant motor off failed.
inline constexpr int kDisinfectantMotorCloseFailed = 101900029;
// The disinfectant motor ran past its time limit.
inline constexpr int kReleaseTabletsTimeout = 101900030;
// A start request named no task type the station runs.
inline constexpr int kInvalidTaskType = 101900031;
// Opening the water inlet failed.
inline constexpr int kWaterInletFailed = 101900032;
// Closing the water switch failed.
inline constexpr int kWaterSwitchCloseFailed = 101900033;
// A task was refused (unmet conditions, a conflicting task, hand charge refused) or its thread did not start.
inline constexpr int kTaskNotStarted = 101900034;
// Switching the supply tag on failed.
inline constexpr int kSupplyTagOpenFailed = 101900035;
// Switching the supply tag off failed.
inline constexpr int kSupplyTagCloseFailed = 101900036;
// A service request named a command the station does not know.
inline constexpr int kUnsupportedService = 101900037;
// Starting dust collection failed.
inline constexpr int kDustCollectStartFailed = 101900039;
// Stopping dust collection failed.
inline constexpr int kDustCollectStopFailed = 101900040;
// Switching the heat fan on failed.
inline constexpr int kHeatFanOpenFailed = 101900041;
// Switching the heat fan off failed.
inline constexpr int kHeatFanCloseFailed = 101900042;
// Switching the heat wire on failed.
inline constexpr int kHeatWireStartFailed = 101900043;
// Switching the heat wire off failed.
inline constexpr int kHeatWireStopFailed = 101900044;
// Switching charging on failed.
inline constexpr int kChargeStartFailed = 101900045;
// Switching charging off failed.
inline constexpr int kChargeStopFailed = 101900046;
// The charge plate is too hot or the hand charge switch is open: charging stops.
inline constexpr int kChargeUnsafe = 101900047;
// Switching hand charging on failed.
inline constexpr int kHandChargeStartFailed = 101900048;
// Switching hand charging off failed.
inline constexpr int kHandChargeStopFailed = 101900049;
// Switching the UV lamp on failed.
inline constexpr int kUvLampOpenFailed = 101900050;
// Switching the UV lamp off failed.
inline constexpr int kUvLampCloseFailed = 101900051;
// A board request could not be encoded, or there is no link.
inline constexpr int kRequestSerializeFailed = 101900052;
// Sending a board request failed.
inline constexpr int kRequestSendFailed = 101900054;
// Receiving the board's response failed or the link closed.
inline constexpr int kNoResponse = 101900055;
// The board answered that it could not process the request.
inline constexpr int kBoardRefused = 101900056;
// A board request ended without a successful answer.
inline constexpr int kBoardExchangeFailed = 101900057;
// The station reset failed or its thread did not start.
inline constexpr int kResetFailed = 101900058;
// A robot message's JSON did not convert to its message.
inline constexpr int kJsonToMessageFailed = 101900059;
// Setting up the broker link failed: TLS, client, callback, connect or broker watch.
inline constexpr int kMqttConnectFailed = 101900060;
// No reply topic is known for a reply's type.
inline constexpr int kReplyTopicUnknown = 101900061;
// The config file could not be opened.
inline constexpr int kConfigOpenFailed = 101900062;
// The config file's root is not a JSON object, or a value in it is invalid.
inline constexpr int kConfigFormatError = 101900064;
// Switching the self clean pump on failed.
inline constexpr int kSelfCleanPumpOpenFailed = 101900065;
// Switching the self clean pump off failed.
inline constexpr int kSelfCleanPumpCloseFailed = 101900066;
// Switching the sewage drain pump on failed.
inline constexpr int kSewagePumpOpenFailed = 101900067;
// Switching the sewage drain pump off failed.
inline constexpr int kSewagePumpCloseFailed = 101900068;
// The board did not take the LED command.
inline constexpr int kLedRefreshFailed = 101900069;
// No sensor report for too long: the running task is cancelled.
inline constexpr int kSensorReportsStopped = 101900070;
// Publishing a reply, status or availability failed.
inline constexpr int kMqttPublishFailed = 101900071;
// Subscribing a request topic failed.
inline constexpr int kMqttSubscribeFailed = 101900072;
// A robot message was dropped (a retained request) or handling it failed.
inline constexpr int kMessageHandlingFailed = 101900073;
// A safe stop could not switch everything off in time, or a switch-on was refused because the station is stopping.
inline constexpr int kSafeStopFailed = 101900074;
// A report connection came from a host other than the board.
inline constexpr int kReportPeerRefused = 101900075;
// The board still refuses switch-offs; they are retried.
inline constexpr int kSwitchOffRefused = 101900076;

}  // namespace station_center
