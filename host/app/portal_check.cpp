#include "app/portal_check.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/deployment.h"
#include "app/http_client.h"
#include "app/texts.h"

namespace velmora::host {

std::string homeUrl() {
  const char* env = std::getenv("VELMORA_PORTAL_URL");
  if (env && *env) return env;
  return deployment::kHomeUrl;
}

PortalCheckResult CheckPortalReachable(const std::string& url, const PortalCheckOptions& options) {
  PortalCheckResult out;
  HttpRequest request;
  request.url = url;
  request.headers = {"Content-Type: application/x-www-form-urlencoded; charset: UTF-8"};
  // Secure exactly when the address starts with "https" (compared with case).
  if (url.compare(0, 5, "https") == 0) request.headers.push_back("Pragma: no-cache");
  request.http11 = true;
  request.userAgent = text::kProgramName;
  request.connectTimeoutMs = options.connectTimeoutMs;
  request.totalTimeoutMs = options.totalTimeoutMs;
  request.followRedirects = true;  // WinINet follows redirects by default
  request.acceptAnyCertificate = true;
  for (int attempt = 0; attempt <= options.connectRetries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.backoffMs));
    const HttpResponse response = httpGet(request);
    out.status = response.status;
    if (response.ok()) {
      out.ok = response.status == 200;
      out.error.clear();
      return out;
    }
    out.error = response.error;
    // A connection that was not made, or that timed out, is tried once more.
    const int c = response.curlCode;
    if (c != 6 && c != 7 && c != 28) return out;
  }
  return out;
}

}  // namespace velmora::host
