#include "app/http_client.h"

#include <curl/curl.h>

#include <mutex>

namespace velmora::host {

namespace {

struct Transfer {
  const HttpRequest* request;
  HttpResponse* response;
  bool tooLarge = false;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->request->maxBody == 0) return n;
  if (t->response->body.size() + n > t->request->maxBody) {
    t->tooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  t->response->body.append(data, n);
  return n;
}

int onProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->request->progress(now, total) ? 0 : 1;
}

}  // namespace

bool isConnectFailure(int code) {
  return code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT;
}

HttpResponse httpGet(const HttpRequest& r) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  HttpResponse out;
  if (r.url.empty() || r.url.find('\0') != std::string::npos) {
    out.curlCode = CURLE_URL_MALFORMAT;
    out.error = curl_easy_strerror(CURLE_URL_MALFORMAT);
    return out;
  }
  CURL* curl = curl_easy_init();
  if (!curl) {
    out.curlCode = CURLE_FAILED_INIT;
    out.error = "curl_easy_init failed";
    return out;
  }
  curl_slist* headers = nullptr;
  for (const auto& h : r.headers) headers = curl_slist_append(headers, h.c_str());
  Transfer t{&r, &out};
  curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, r.protocols.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  if (r.http11) curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
  if (headers) curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (!r.userAgent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, r.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, r.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, r.totalTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, r.followRedirects ? 1L : 0L);
  if (r.followRedirects) curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, r.protocols.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  if (r.progress) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  if (r.acceptAnyCertificate) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_PROXY_SSL_VERIFYHOST, 0L);
  } else {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!r.caFile.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, r.caFile.c_str());
  }
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  out.curlCode = rc;
  if (rc != CURLE_OK) {
    out.error = t.tooLarge ? "the body is larger than allowed" : curl_easy_strerror(rc);
    out.body.clear();
  }
  return out;
}

}  // namespace velmora::host
