#pragma once

#include <chrono>
#include <string>

namespace mqtt_client {

// What the station needs to open a TLS connection to the broker.
struct TlsSettings {
  std::string host;
  std::string port;
  std::string ca_file;    // empty: the system's trust store
  std::string cert_file;  // with key_file, or both empty
  std::string key_file;
  bool verify = true;     // the broker's certificate and its name
};

// Splits "ssl://host:port" or "mqtts://host:port" (host may be "[v6]") into
// host and port. False for any other form.
bool SplitTlsAddress(const std::string& address, std::string& host, std::string& port);

// Opens one TLS connection with `settings` and says why it fails: the
// certificate check's verdict, the TLS library's error, or the broker's alert
// (a client certificate it wants or does not accept shows only after the
// handshake, so the probe waits up to `bound` for it). Empty when the
// handshake went through and the broker did not object in that time.
//
// The MQTT library reports every TLS failure with one code; this gives the
// reason for the log after a failed attempt. It sends no MQTT data.
std::string ProbeTls(const TlsSettings& settings, std::chrono::milliseconds bound);

}  // namespace mqtt_client
