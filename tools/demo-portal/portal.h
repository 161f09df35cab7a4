// The demo portal's routes: pages, the script library and the enrolment
// endpoint of its demo CA.
#pragma once

#include <functional>
#include <string>

#include "demo_ca.h"
#include "http_server.h"

namespace velmora::demo {

// Largest request body the enrolment endpoint reads.
inline constexpr size_t kMaxEnrolBody = 64 * 1024;

struct PortalConfig {
  DemoCa* ca = nullptr;  // null: enrolment answers 503
  std::string script;    // the script library's text
  // The demo publisher's private test key (PEM) that signs the test
  // installer; empty: the installer is served without a signature.
  std::string publisherKeyPem;
  // Told about each issued certificate (serial, subject, usage).
  std::function<void(const std::string&)> log;
};

// POST /api/enrol with {"request": Base64 PKCS#10, "usage": "signing" |
// "encryption"}: 200 {"pkcs7", "certificate", "subject", "serial", "usage"}
// or an error status with {"error"}.
http::Response handleRequest(const PortalConfig& config, const http::Request& req);

}  // namespace velmora::demo
