#include "mqtt/mqtt_callback.h"

#include <exception>
#include <utility>

#include <google/protobuf/util/json_util.h>

#include "error_codes.h"
#include "logger.h"
#include "mqtt/mqtt_client.h"
#include "robot/base_station_common.pb.h"
#include "robot/base_station_mqtt.pb.h"

namespace mqtt_callback {
namespace {

namespace common = quorvane_base_station_common;
namespace robot = quorvane_base_station_mqtt;
using station_center::StationSrvReq;
using station_center::StationSrvRsp;

constexpr int kReplyQos = 1;

// The whole payload must parse: an undeclared member makes the request unparsable.
template <typename T>
bool ParseRequest(const std::string& payload, T* request) {
  try {
    google::protobuf::util::JsonParseOptions options;
    options.ignore_unknown_fields = false;
    options.case_insensitive_enum_parsing = false;
    return google::protobuf::util::JsonStringToMessage(payload, request, options).ok();
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, json parser raised: {}", station_center::kJsonToMessageFailed, e.what());
    return false;
  }
}

// Answers an unparsable request: no identifiers can be copied back.
template <typename R>
void ReplyUnparsable(R* reply) {
  QLOG_ERROR("ErrorCode: {}, json to message failed", station_center::kJsonToMessageFailed);
  reply->mutable_rsp_header()->set_err_code(common::ENUM_DESERIALIZE_DATA_FAILED);
  reply->mutable_rsp_header()->set_err_msg("req data convert to message failed");
  mqtt_client::MqttClient::getInstance().Publish(*reply, kReplyQos);
}

// The robot pairs replies with requests by these identifiers; a missing header
// copies as empty identifiers, which still appear in the reply.
void CopyIdentifiers(const common::RequestHeader& request, common::ResponseHeader* reply) {
  *reply->mutable_robot_id() = request.robot_id();
  *reply->mutable_msg_id() = request.msg_id();
}

bool IsAcceptedResult(int32_t result) {
  return result == station_center::SRV_RESULT_OK || result == station_center::SRV_RESULT_TASK_UPDATED ||
         result == station_center::SRV_RESULT_NO_TASK_TO_CANCEL;
}

// The robot's supply type to the task that provides it; INVALID for the types
// the robot may not ask for here (disinfectant goes through preWaterRequest).
station_center::TaskType TaskForSupply(int supply_type) {
  switch (supply_type) {
    case robot::ENUM_SUPPLY_CHARGING:
      return station_center::TASK_TYPE_AUTO_CHARGE;
    case robot::ENUM_SUPPLY_WATERING:
      return station_center::TASK_TYPE_ADD_WATER;
    case robot::ENUM_SUPPLY_SEWAGE_PUMP:
      return station_center::TASK_TYPE_SEWAGE_DRAIN_PUMP;
    case robot::ENUM_SUPPLY_HEATING_WIRE:
      return station_center::TASK_TYPE_HEAT_WIRE;
    case robot::ENUM_SUPPLY_HEATING_FAN:
      return station_center::TASK_TYPE_DRY;
    case robot::ENUM_SUPPLY_COLLECT_DUST:
      return station_center::TASK_TYPE_DUST_COLLECT;
    case robot::ENUM_SUPPLY_CLEAN_PUMP:
      return station_center::TASK_TYPE_WATER_SPRAY;
    case robot::ENUM_SUPPLY_UV_LAMP:
      return station_center::TASK_TYPE_UV;
    default:
      return station_center::TASK_TYPE_INVALID;
  }
}

}  // namespace

MqttCallback::MqttCallback(std::shared_ptr<station_center::StationCenter> station_center)
    : stationCenter_(std::move(station_center)) {
  topicHandlers_["checkStation"] = [this](const std::string& payload) { dealCheckStation(payload); };
  topicHandlers_["dockState"] = [this](const std::string& payload) { dealDockState(payload); };
  topicHandlers_["preWaterRequest"] = [this](const std::string& payload) { dealPreWaterRequest(payload); };
  topicHandlers_["supplyMaterialRequest"] = [this](const std::string& payload) {
    dealSupplyMaterialRequest(payload);
  };
}

void MqttCallback::connected(const std::string& /*cause*/) {
  try {
    QLOG_INFO("connect broker");
    // Called on the first connection and on every automatic reconnect.
    mqtt_client::MqttClient::getInstance().OnConnected();
    mqtt_client::MqttClient::getInstance().AnnounceOnline();
  } catch (...) {
    QLOG_ERROR("ErrorCode: {}, resubscribe after connect failed", station_center::kMqttSubscribeFailed);
  }
}

void MqttCallback::connection_lost(const std::string& cause) {
  try {
    QLOG_ERROR("ErrorCode: {}, Connection lost for {}, will reset station", station_center::kMqttConnectionLost, cause);
    mqtt_client::MqttClient::getInstance().OnConnectionLost();
    StationSrvReq request;
    request.service_type = station_center::SRV_CONNECTION_LOST;
    if (stationCenter_) {
      (void)stationCenter_->HandleService(request);
    }
  } catch (...) {
    QLOG_ERROR("ErrorCode: {}, handling the lost connection failed", station_center::kMqttConnectionLost);
  }
}

void MqttCallback::delivery_complete(mqtt::delivery_token_ptr tok) {
  try {
    QLOG_DEBUG("Delivery complete");
    if (tok) {
      QLOG_DEBUG("token->get_message_id(): {}", tok->get_message_id());
    }
  } catch (...) {
    // Only diagnostics are lost.
  }
}

void MqttCallback::message_arrived(mqtt::const_message_ptr msg) {
  try {
    if (!msg) {
      return;
    }
    QLOG_INFO("Message arrived");
    const std::string& topic = msg->get_topic();
    const std::string::size_type slash = topic.rfind('/');
    const std::string topic_name = slash == std::string::npos ? topic : topic.substr(slash + 1);
    const std::string payload = msg->to_string();
    QLOG_INFO("Topic: {}", topic_name);
    QLOG_INFO("msg->to_string(): {}", payload);
    if (msg->is_retained() && topicHandlers_.count(topic_name) != 0) {
      // A retained request is an old command replayed by the broker, not the robot asking now.
      QLOG_ERROR("ErrorCode: {}, retained request on {} dropped", station_center::kMessageHandlingFailed, topic);
      return;
    }
    onMessageArrived(payload, topic_name);
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, handling a message failed: {}", station_center::kMessageHandlingFailed, e.what());
  } catch (...) {
    QLOG_ERROR("ErrorCode: {}, handling a message failed", station_center::kMessageHandlingFailed);
  }
}

void MqttCallback::onMessageArrived(const std::string& payload, const std::string& topic_name) {
  const auto handler = topicHandlers_.find(topic_name);
  if (handler == topicHandlers_.end()) {
    QLOG_ERROR("ErrorCode: {}, Topic: {} not found", station_center::kMqttTopicUnknown, topic_name);
    return;
  }
  handler->second(payload);
}

void MqttCallback::dealCheckStation(const std::string& payload) {
  robot::StationCheckReq request;
  robot::StationCheckRsp reply;
  if (!ParseRequest(payload, &request)) {
    ReplyUnparsable(&reply);
    return;
  }
  CopyIdentifiers(request.req_header(), reply.mutable_rsp_header());

  int32_t service = 0;
  int32_t ready_result = 0;
  switch (request.check_type()) {
    case robot::ENUM_IN_POSE:
      service = station_center::SRV_CHECK_ROBOT_IN_POSE;
      ready_result = station_center::SRV_RESULT_ROBOT_IN_POSE;
      break;
    case robot::ENUM_WATER_READY:
      service = station_center::SRV_CHECK_WATER_READY;
      ready_result = station_center::SRV_RESULT_WATER_READY;
      break;
    case robot::ENUM_WATER_FINISH:
      service = station_center::SRV_CHECK_WATER_FINISH;
      ready_result = station_center::SRV_RESULT_WATER_FINISHED;
      break;
    default:
      QLOG_ERROR("ErrorCode: {}, Unknown check type", station_center::kUnknownRequestType);
      reply.mutable_rsp_header()->set_err_code(common::ENUM_ERROR_UNKNOW);
      reply.mutable_rsp_header()->set_err_msg("Unknown check type");
      mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
      return;
  }
  reply.set_check_type(request.check_type());

  StationSrvReq service_request;
  service_request.service_type = service;
  service_request.station_check_req = request;
  const StationSrvRsp response = stationCenter_->HandleService(service_request);
  reply.set_robot_check(response.result == ready_result ? robot::ENUM_READY : robot::ENUM_NOT_READY);
  mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
}

void MqttCallback::dealDockState(const std::string& payload) {
  robot::PositionConfirmReq request;
  robot::PositionConfirmRsp reply;
  if (!ParseRequest(payload, &request)) {
    ReplyUnparsable(&reply);
    return;
  }
  QLOG_INFO("dealDockState");
  CopyIdentifiers(request.req_header(), reply.mutable_rsp_header());

  StationSrvReq pose_request;
  pose_request.service_type = station_center::SRV_CHECK_ROBOT_IN_POSE;
  pose_request.position_confirm_req = request;
  const StationSrvRsp pose = stationCenter_->HandleService(pose_request);

  // The robot may leave unless the station still works for it.
  auto leave = [&]() {
    StationSrvReq leave_request;
    leave_request.service_type = station_center::SRV_ROBOT_LEAVE_STATION;
    leave_request.position_confirm_req = request;
    const StationSrvRsp left = stationCenter_->HandleService(leave_request);
    return left.result == station_center::SRV_RESULT_STATION_BUSY ? robot::ENUM_ROBOT_DESIRE_STAY_IN
                                                                   : robot::ENUM_ROBOT_DESIRE_GO_OUT;
  };

  const int desire = request.robot_desire();
  if (pose.result == station_center::SRV_RESULT_ROBOT_IN_POSE) {
    reply.set_robot_state(robot::ENUM_IN_STATION);
    if (desire == robot::ENUM_ROBOT_DESIRE_STAY_IN) {
      reply.set_robot_desire(robot::ENUM_ROBOT_DESIRE_STAY_IN);
    } else if (desire == robot::ENUM_ROBOT_DESIRE_GO_OUT) {
      reply.set_robot_desire(leave());
    }
  } else if (pose.result == station_center::SRV_RESULT_ROBOT_NOT_IN_POSE) {
    reply.set_robot_state(robot::ENUM_OUT_STATION);
    if (desire == robot::ENUM_ROBOT_DESIRE_STAY_IN) {
      // A robot outside cannot stay in; the station is not told of a leave it never saw.
      reply.set_robot_desire(robot::ENUM_ROBOT_DESIRE_GO_OUT);
    } else if (desire == robot::ENUM_ROBOT_DESIRE_GO_OUT) {
      reply.set_robot_desire(leave());
    }
  } else {
    reply.set_robot_state(robot::ENUM_INVALID_STATE);
    reply.set_robot_desire(robot::ENUM_INVALID_DESIRE);
  }
  mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
}

namespace {

// The reply to a task request (pre-water or supply): the station's refusal
// texts, or its own text. Only the pre-water reply names the reset state; a
// supply request in reset gets the station's text or "unknow error".
void MapTaskResult(const StationSrvRsp& response, bool reset_has_own_text, common::ResponseHeader* header) {
  if (response.result == station_center::SRV_RESULT_INVALID_TASK_TYPE) {
    header->set_err_code(common::ENUM_ERROR_UNKNOW);
    header->set_err_msg("station don't support pre water request");
  } else if (response.result == station_center::SRV_RESULT_STATION_ERROR) {
    header->set_err_code(common::ENUM_ERROR_UNKNOW);
    header->set_err_msg("station happen error");
  } else if (reset_has_own_text && response.result == station_center::SRV_RESULT_STATION_IN_RESET) {
    header->set_err_code(common::ENUM_ERROR_UNKNOW);
    header->set_err_msg("station in reset");
  } else if (IsAcceptedResult(response.result)) {
    header->set_err_code(common::ENUM_SUCCESS);
    header->set_err_msg(response.err_msg);
  } else {
    header->set_err_code(common::ENUM_ERROR_UNKNOW);
    header->set_err_msg(response.err_msg.empty() ? "unknow error" : response.err_msg);
  }
}

}  // namespace

void MqttCallback::dealPreWaterRequest(const std::string& payload) {
  robot::PrepareDisinfectantReq request;
  robot::PrepareDisinfectantRsp reply;
  if (!ParseRequest(payload, &request)) {
    ReplyUnparsable(&reply);
    return;
  }
  QLOG_INFO("dealPreWaterRequest");
  CopyIdentifiers(request.req_header(), reply.mutable_rsp_header());

  StationSrvReq service_request;
  service_request.service_type = station_center::SRV_RECEIVE_TASK;
  service_request.task_type = station_center::TASK_TYPE_DISINFECTANT_PREPARE;
  service_request.prepare_disinfectant_req = request;
  const StationSrvRsp response = stationCenter_->HandleService(service_request);

  MapTaskResult(response, /*reset_has_own_text=*/true, reply.mutable_rsp_header());
  mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
}

void MqttCallback::dealSupplyMaterialRequest(const std::string& payload) {
  robot::SupplyMaterialReq request;
  robot::SupplyMaterialRsp reply;
  if (!ParseRequest(payload, &request)) {
    ReplyUnparsable(&reply);
    return;
  }
  QLOG_INFO("dealSupplyMaterialRequest");
  CopyIdentifiers(request.req_header(), reply.mutable_rsp_header());
  common::ResponseHeader* header = reply.mutable_rsp_header();

  const station_center::TaskType task_type = TaskForSupply(request.cmd().supply_type());
  if (task_type == station_center::TASK_TYPE_INVALID) {
    QLOG_ERROR("ErrorCode: {}, Unknown supply type", station_center::kUnknownRequestType);
    header->set_err_code(common::ENUM_ERROR_UNKNOW);
    header->set_err_msg("Unknown supply type");
    mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
    return;
  }

  StationSrvReq service_request;
  service_request.service_type = station_center::SRV_RECEIVE_TASK;
  service_request.task_type = task_type;
  service_request.supply_material_req = request;
  const StationSrvRsp response = stationCenter_->HandleService(service_request);

  MapTaskResult(response, /*reset_has_own_text=*/false, header);
  mqtt_client::MqttClient::getInstance().Publish(reply, kReplyQos);
}

}  // namespace mqtt_callback
