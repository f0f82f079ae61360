#pragma once

// The message Publish and GetTopicName templates of mqtt_client::MqttClient.

#include <cstdio>
#include <exception>
#include <string>

#include <google/protobuf/util/json_util.h>
#include <mqtt/exception.h>

#include "error_codes.h"
#include "logger.h"
#include "mqtt/mqtt_client.h"

namespace mqtt_client {

// The reply's protobuf type name after its last "." routes it to its topic.
template <typename T>
std::string MqttClient::GetTopicName(const T& msg) {
  std::string type_name = msg.GetTypeName();
  const std::string::size_type dot = type_name.rfind('.');
  if (dot != std::string::npos) {
    type_name = type_name.substr(dot + 1);
  }
  const auto found = replyTopics_.find(type_name);
  if (found == replyTopics_.end()) {
    QLOG_ERROR("ErrorCode: {}, Can not find mqtt topic name, publish may be failed",
               station_center::kReplyTopicUnknown);
    return std::string();
  }
  return found->second;
}

template <typename T>
void MqttClient::Publish(const T& msg, int qos) {
  const std::string topic = GetTopicName(msg);

  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = false;
  options.always_print_primitive_fields = true;
  options.always_print_enums_as_ints = true;
  options.preserve_proto_field_names = false;
  std::string json;
  (void)google::protobuf::util::MessageToJsonString(msg, &json, options);

  // The robot team reads the replies on the console; this bypasses the logger on purpose.
  std::fputs(json.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);

  if (topic.empty()) {
    // An empty station id leaves the reply topics empty; the broker would refuse them.
    QLOG_ERROR("ErrorCode: {}, reply not published, no topic for {}", station_center::kMqttPublishFailed,
               msg.GetTypeName());
    return;
  }
  try {
    PublishRaw(json, topic, qos);
  } catch (const mqtt::exception& e) {
    QLOG_ERROR("ErrorCode: {}, publish reply on {} failed: {}", station_center::kMqttPublishFailed, topic, e.what());
  } catch (const std::exception& e) {
    QLOG_ERROR("ErrorCode: {}, publish reply on {} failed: {}", station_center::kMqttPublishFailed, topic, e.what());
  }
}

}  // namespace mqtt_client
