// The portal check: a GET of the home address that succeeds only
// on status 200. Any server certificate is accepted for this check.
#pragma once

#include <string>

namespace velmora::host {

struct PortalCheckResult {
  bool ok = false;
  long status = 0;    // the HTTP status, 0 when none arrived
  std::string error;  // libcurl's reason when the request failed
};

struct PortalCheckOptions {
  long connectTimeoutMs = 20000;
  long backoffMs = 1000;  // pause before the one retry of a failed connection
  int connectRetries = 1;
  // Not one of the check's own constants (WinINet's receive time-outs bound
  // it on Windows): the whole exchange may take this long.
  long totalTimeoutMs = 120000;
};

PortalCheckResult CheckPortalReachable(const std::string& url, const PortalCheckOptions& options = {});

// The home address: VELMORA_PORTAL_URL when set and not empty, else the
// deployment value chosen at build time.
std::string homeUrl();

}  // namespace velmora::host
