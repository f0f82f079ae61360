#include "mqtt/tls_probe.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace mqtt_client {
namespace {

constexpr const char* kDefaultTlsPort = "8883";

// The newest entry of this thread's TLS error queue in words, and an empty queue.
std::string TakeTlsError(const char* fallback) {
  const unsigned long code = ERR_peek_last_error();
  std::string text = fallback;
  if (code != 0) {
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) {
      text = reason;
    } else {
      char buffer[256];
      ERR_error_string_n(code, buffer, sizeof(buffer));
      text = buffer;
    }
  }
  ERR_clear_error();
  return text;
}

bool IsIpAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// A TCP connection to host:port whose connect, reads and writes each give up
// after `bound`; -1 with `error` set when no address answers.
int ConnectTcp(const TlsSettings& settings, std::chrono::milliseconds bound, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(settings.host.c_str(), settings.port.c_str(), &hints, &found);
  if (rc != 0) {
    error = "cannot resolve " + settings.host + ": " + gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(bound.count() / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((bound.count() % 1000) * 1000);
  error = "no address for " + settings.host;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      error = std::strerror(errno);
      continue;
    }
    // On Linux the send time-out also bounds connect.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      return fd;
    }
    error = "cannot reach " + settings.host + ":" + settings.port + ": " + std::strerror(errno);
    ::close(fd);
  }
  return -1;
}

}  // namespace

bool SplitTlsAddress(const std::string& address, std::string& host, std::string& port) {
  const std::string::size_type scheme_end = address.find("://");
  if (scheme_end == std::string::npos) {
    return false;
  }
  const std::string scheme = address.substr(0, scheme_end);
  if (scheme != "ssl" && scheme != "mqtts") {
    return false;
  }
  std::string rest = address.substr(scheme_end + 3);
  const std::string::size_type path = rest.find('/');
  if (path != std::string::npos) {
    rest.erase(path);
  }
  port = kDefaultTlsPort;
  if (!rest.empty() && rest[0] == '[') {
    const std::string::size_type close = rest.find(']');
    if (close == std::string::npos) {
      return false;
    }
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size() && rest[close + 1] == ':') {
      port = rest.substr(close + 2);
    }
  } else {
    const std::string::size_type colon = rest.rfind(':');
    host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
    }
  }
  return !host.empty() && !port.empty();
}

std::string ProbeTls(const TlsSettings& settings, std::chrono::milliseconds bound) {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!context) {
    return TakeTlsError("cannot set up TLS");
  }
  if (settings.ca_file.empty()) {
    SSL_CTX_set_default_verify_paths(context.get());
  } else if (SSL_CTX_load_verify_locations(context.get(), settings.ca_file.c_str(), nullptr) != 1) {
    return "cannot load mqtt_ca_file: " + TakeTlsError("not a PEM certificate file");
  }
  if (!settings.cert_file.empty()) {
    if (SSL_CTX_use_certificate_chain_file(context.get(), settings.cert_file.c_str()) != 1) {
      return "cannot load mqtt_cert_file: " + TakeTlsError("not a PEM certificate file");
    }
    if (SSL_CTX_use_PrivateKey_file(context.get(), settings.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
      return "cannot load mqtt_key_file: " + TakeTlsError("not a PEM key file");
    }
    if (SSL_CTX_check_private_key(context.get()) != 1) {
      return "mqtt_key_file does not belong to mqtt_cert_file: " + TakeTlsError("key mismatch");
    }
  }
  SSL_CTX_set_verify(context.get(), settings.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);

  std::string error;
  const int fd = ConnectTcp(settings, bound, error);
  if (fd < 0) {
    return error;
  }
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  std::string reason;
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
    reason = TakeTlsError("cannot set up TLS");
  } else {
    const bool ip = IsIpAddress(settings.host);
    if (!ip) {
      SSL_set_tlsext_host_name(ssl.get(), settings.host.c_str());
    }
    if (settings.verify) {
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
      if (ip) {
        X509_VERIFY_PARAM_set1_ip_asc(param, settings.host.c_str());
      } else {
        X509_VERIFY_PARAM_set1_host(param, settings.host.c_str(), 0);
      }
    }
    if (SSL_connect(ssl.get()) != 1) {
      const long verdict = SSL_get_verify_result(ssl.get());
      if (settings.verify && verdict != X509_V_OK) {
        reason = std::string("broker certificate not accepted: ") + X509_verify_cert_error_string(verdict);
        ERR_clear_error();
      } else {
        reason = TakeTlsError("handshake failed");
      }
    } else {
      // With TLS 1.3 the broker judges the client certificate after the
      // handshake; its alert is the first thing to read.
      char byte = 0;
      const int read = SSL_read(ssl.get(), &byte, 1);
      if (read <= 0 && SSL_get_error(ssl.get(), read) == SSL_ERROR_SSL) {
        reason = TakeTlsError("broker ended the connection");
      }
      ERR_clear_error();
    }
  }
  ssl.reset();
  ::close(fd);
  return reason;
}

}  // namespace mqtt_client
