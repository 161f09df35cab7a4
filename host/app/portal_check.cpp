#include "app/portal_check.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "app/deployment.h"
#include "app/texts.h"

namespace velmora::host {

namespace {

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

bool connectFailure(CURLcode rc) {
  return rc == CURLE_COULDNT_CONNECT || rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_COULDNT_RESOLVE_HOST;
}

}  // namespace

std::string homeUrl() {
  const char* env = std::getenv("VELMORA_PORTAL_URL");
  if (env && *env) return env;
  return deployment::kHomeUrl;
}

PortalCheckResult CheckPortalReachable(const std::string& url, const PortalCheckOptions& options) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  PortalCheckResult out;
  // Secure exactly when the address starts with "https" (compared with case).
  const bool secure = url.compare(0, 5, "https") == 0;
  for (int attempt = 0; attempt <= options.connectRetries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.backoffMs));
    CURL* curl = curl_easy_init();
    if (!curl) {
      out.error = "curl_easy_init failed";
      return out;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded; charset: UTF-8");
    if (secure) headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, text::kProgramName);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options.totalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);  // WinINet follows redirects by default
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    // Any server certificate: unknown authority, wrong name, wrong usage,
    // expired or not yet valid, revocation not checked.
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
    const CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    out.status = status;
    if (rc == CURLE_OK) {
      out.ok = status == 200;
      out.error.clear();
      return out;
    }
    out.error = curl_easy_strerror(rc);
    if (!connectFailure(rc)) return out;
  }
  return out;
}

}  // namespace velmora::host
