#include "channel/origin_policy.h"

#include <algorithm>
#include <cctype>

namespace velmora::channel {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

bool parseOrigin(std::string_view url, Origin& out) {
  const size_t colon = url.find("://");
  if (colon == std::string_view::npos) return false;
  const std::string scheme = lower(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") return false;
  std::string_view rest = url.substr(colon + 3);
  // The authority ends at the first of "/", "?" or "#".
  const size_t end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, end);
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
  std::string_view host = authority, port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else if (const size_t c = authority.rfind(':'); c != std::string_view::npos) {
    host = authority.substr(0, c);
    port = authority.substr(c + 1);
  }
  if (host.empty()) return false;
  int number = scheme == "https" ? 443 : 80;
  if (!port.empty()) {
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
      return false;
    number = std::stoi(std::string(port));
    if (number < 1 || number > 65535) return false;
  }
  out.scheme = scheme;
  out.host = lower(host);
  out.port = number;
  return true;
}

OriginPolicy::OriginPolicy(const std::string& homeUrl, std::vector<std::string> trustedHosts)
    : home_(homeUrl) {
  haveHome_ = parseOrigin(homeUrl, portal_);
  for (const auto& h : trustedHosts)
    if (!h.empty()) trusted_.push_back(lower(h));
}

bool OriginPolicy::allows(std::string_view documentUrl) const {
  Origin o;
  if (!parseOrigin(documentUrl, o)) return false;
  if (haveHome_ && o == portal_) return true;
  return o.scheme == "https" && std::find(trusted_.begin(), trusted_.end(), o.host) != trusted_.end();
}

}  // namespace velmora::channel
