#include "board_model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace board_sim {

namespace {

using google::protobuf::FieldDescriptor;

const FieldDescriptor* FindField(const std::string& name) {
  return station::SensorsDataRep::descriptor()->FindFieldByName(name);
}

bool ParseNumber(const std::string& text, double* out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0' && std::isfinite(*out);
}

void CopyField(const FieldDescriptor* field, const station::SensorsDataRep& from, station::SensorsDataRep* to) {
  const auto* r = station::SensorsDataRep::GetReflection();
  switch (field->cpp_type()) {
    case FieldDescriptor::CPPTYPE_UINT32:
      r->SetUInt32(to, field, r->GetUInt32(from, field));
      break;
    case FieldDescriptor::CPPTYPE_INT32:
      r->SetInt32(to, field, r->GetInt32(from, field));
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      r->SetFloat(to, field, r->GetFloat(from, field));
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      r->SetBool(to, field, r->GetBool(from, field));
      break;
    default:
      break;
  }
}

}  // namespace

BoardModel::BoardModel(const ModelParams& params)
    : params_(params), level_(std::clamp(params.level, 0.0, params.capacity)), temp_(params.ambient) {}

bool BoardModel::On(station::EnumSupplyType type) const {
  auto it = actuators_.find(type);
  return it != actuators_.end() && it->second != 0;
}

void BoardModel::Apply(const station::SupplyMaterialReq& req) {
  if (req.has_change_led_()) {
    led_ = req.change_led_().led_cmd_();
  }
  if (req.has_cmd_()) {
    const int type = req.cmd_().supply_type_();
    if (type == station::ENUM_SUPPLY_TAP_WATER_SWITCH && req.cmd_().action_() != 0 &&
        !On(station::ENUM_SUPPLY_TAP_WATER_SWITCH)) {
      flow_ = 0;  // the flow meter counts from the moment the tap opens
    }
    actuators_[type] = req.cmd_().action_();
  }
}

void BoardModel::Advance(double seconds) {
  if (seconds <= 0) {
    return;
  }
  if (On(station::ENUM_SUPPLY_TAP_WATER_SWITCH)) {
    const double in = params_.fill_rate * seconds;
    flow_ += in;
    level_ += in;
  }
  if (On(station::ENUM_SUPPLY_DRAINAGE_SWITCH)) {
    level_ -= params_.drain_rate * seconds;
  }
  if (On(station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH)) {
    level_ -= params_.supply_rate * seconds;
  }
  level_ = std::clamp(level_, 0.0, params_.capacity);
  if (On(station::ENUM_SUPPLY_HEATING_WIRE)) {
    temp_ = std::min(params_.max_temp, temp_ + params_.heat_rate * seconds);
  } else if (temp_ > params_.ambient) {
    temp_ = std::max(params_.ambient, temp_ - params_.cool_rate * seconds);
  }
}

station::SensorsDataRep BoardModel::Report(uint32_t seq) const {
  station::SensorsDataRep r;
  r.set_seq(seq);
  r.set_cleantankuplevel(level_ >= params_.capacity ? 1 : 0);
  r.set_cleantankfootlevel(level_ <= 0 ? 1 : 0);
  r.set_flowmeter(static_cast<uint32_t>(flow_));
  r.set_heatingwiretemp(static_cast<float>(temp_));
  r.set_heatingwiretempback(static_cast<float>(temp_));
  r.set_sewagepump1currentstate(On(station::ENUM_SUPPLY_SEWAGE_PUMP));
  r.set_heatfancurrentstate(On(station::ENUM_SUPPLY_HEATING_FAN));
  r.set_selfcleanpump2currentstate(On(station::ENUM_SUPPLY_SELF_CLEAN_PUMP));
  r.set_cleaningwaterpumpcurrentstate(On(station::ENUM_SUPPLY_CLEANING_LIQUID_PUMP));
  // The plates motor's over-current flag stays false unless a test sets it:
  // a running motor is not an overloaded one.
  r.set_sortermotorcurrentstate(false);
  r.set_initsensorsstate(true);
  r.set_initactuatorsstate(true);
  r.set_selfcheckstate(true);
  for (const std::string& name : fixed_names_) {
    CopyField(FindField(name), fixed_, &r);
  }
  return r;
}

bool BoardModel::Set(const std::string& name, const std::string& value, std::string* error) {
  const FieldDescriptor* field = FindField(name);
  if (field == nullptr || name == "seq") {
    *error = "unknown report field " + name;
    return false;
  }
  const auto* r = station::SensorsDataRep::GetReflection();
  double number = 0;
  if (field->cpp_type() == FieldDescriptor::CPPTYPE_BOOL) {
    if (value == "true" || value == "1") {
      r->SetBool(&fixed_, field, true);
    } else if (value == "false" || value == "0") {
      r->SetBool(&fixed_, field, false);
    } else {
      *error = name + " takes true or false";
      return false;
    }
  } else if (!ParseNumber(value, &number)) {
    *error = name + " takes a number";
    return false;
  } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_UINT32) {
    if (number < 0 || number > 4294967295.0 || number != std::floor(number)) {
      *error = name + " takes an unsigned 32-bit integer";
      return false;
    }
    r->SetUInt32(&fixed_, field, static_cast<uint32_t>(number));
  } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_INT32) {
    if (number < -2147483648.0 || number > 2147483647.0 || number != std::floor(number)) {
      *error = name + " takes a signed 32-bit integer";
      return false;
    }
    r->SetInt32(&fixed_, field, static_cast<int32_t>(number));
  } else {
    r->SetFloat(&fixed_, field, static_cast<float>(number));
  }
  fixed_names_.insert(name);
  return true;
}

bool BoardModel::Unset(const std::string& name, std::string* error) {
  if (fixed_names_.erase(name) == 0) {
    *error = name + " is not set";
    return false;
  }
  return true;
}

void BoardModel::Dock(bool docked) {
  std::string ignored;
  const char* value = docked ? "1" : "0";
  Set("robotDockDetLeft", value, &ignored);
  Set("robotDockDetRight", value, &ignored);
  Set("electrodePlateDet", value, &ignored);
}

void BoardModel::SetLevel(double level) { level_ = std::clamp(level, 0.0, params_.capacity); }

std::string BoardModel::StateJson() const {
  std::ostringstream out;
  out << "{\"level\":" << level_ << ",\"capacity\":" << params_.capacity << ",\"flowMeter\":"
      << static_cast<uint32_t>(flow_) << ",\"heatingWireTemp\":" << temp_ << ",\"led\":" << led_
      << ",\"actuators\":{";
  bool first = true;
  for (const auto& [type, value] : actuators_) {
    out << (first ? "" : ",") << "\"" << SupplyTypeName(type) << "\":" << value;
    first = false;
  }
  out << "},\"fixed\":[";
  first = true;
  for (const std::string& name : fixed_names_) {
    out << (first ? "" : ",") << "\"" << name << "\"";
    first = false;
  }
  out << "]}";
  return out.str();
}

bool ParseSupplyType(const std::string& text, int* type) {
  const auto* e = station::EnumSupplyType_descriptor();
  if (const auto* v = e->FindValueByName(text)) {
    *type = v->number();
    return true;
  }
  if (const auto* v = e->FindValueByName("ENUM_SUPPLY_" + text)) {
    *type = v->number();
    return true;
  }
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (!text.empty() && *end == '\0' && e->FindValueByNumber(static_cast<int>(n)) != nullptr) {
    *type = static_cast<int>(n);
    return true;
  }
  return false;
}

std::string SupplyTypeName(int type) {
  const auto* v = station::EnumSupplyType_descriptor()->FindValueByNumber(type);
  return v != nullptr ? std::string(v->name()) : std::to_string(type);
}

}  // namespace board_sim
