// The host's one way into libcurl: the portal check and the installer
// download both go through httpGet, which checks what it is given, sets
// every option in one place and maps libcurl's outcome.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace velmora::host {

struct HttpRequest {
  std::string url;
  std::vector<std::string> headers;
  std::string userAgent;
  long connectTimeoutMs = 3000;
  long totalTimeoutMs = 100000;
  bool followRedirects = false;
  // Any server certificate (unknown authority, wrong name, expired, no
  // revocation check). Off: the chain and the host name are verified.
  bool acceptAnyCertificate = false;
  // Trust anchors in place of libcurl's bundle (empty: the bundle).
  std::string caFile;
  // The schemes allowed, libcurl's form ("https", "http,https").
  std::string protocols = "http,https";
  bool http11 = false;
  // Bodies larger than this fail the transfer; 0 discards the body.
  size_t maxBody = 0;
  // Told about the progress (bytes so far, expected or 0); false stops
  // the transfer.
  std::function<bool(long long now, long long total)> progress;
};

struct HttpResponse {
  int curlCode = 0;   // CURLcode; 0 when the exchange completed
  long status = 0;    // the HTTP status, 0 when none arrived
  std::string body;   // when maxBody > 0
  std::string error;  // libcurl's reason when the transfer failed
  bool ok() const { return curlCode == 0; }
};

HttpResponse httpGet(const HttpRequest& request);

// libcurl's codes for a proxy or host that could not be resolved and a
// connection that could not be made (5, 6, 7).
bool isConnectFailure(int curlCode);

}  // namespace velmora::host
