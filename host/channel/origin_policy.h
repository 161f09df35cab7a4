// Which documents get the system's methods: those whose origin is the
// portal's (the home address's scheme, host and port) and those on one of
// the trusted hosts over https. Any other document - a page on another
// host, a cross-origin frame, about:blank, data: - gets nothing of the
// system. Both ends apply it: the web extension installs nothing in such a
// document, and the host refuses calls that name one.
//
// This file has no GLib or WebKit dependency: both ends link it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmora::channel {

struct Origin {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 address keeps its brackets
  int port = -1;       // the scheme's default when the address names none
  bool operator==(const Origin&) const = default;
};

// The origin of an absolute http or https address; false for anything else
// (other schemes, addresses without a host, malformed ports).
bool parseOrigin(std::string_view url, Origin& out);

class OriginPolicy {
 public:
  OriginPolicy() = default;  // allows nothing
  OriginPolicy(const std::string& homeUrl, std::vector<std::string> trustedHosts);

  bool allows(std::string_view documentUrl) const;

  const std::string& homeUrl() const { return home_; }
  const std::vector<std::string>& trustedHosts() const { return trusted_; }

 private:
  std::string home_;
  bool haveHome_ = false;
  Origin portal_;
  std::vector<std::string> trusted_;  // lower case
};

}  // namespace velmora::channel
