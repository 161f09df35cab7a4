// Trusted-site zone registration: enters a host name or a dotted
// IPv4 address into the current user's zone map with "https" = 2 (Trusted
// sites). WebKitGTK has no security zones, so nothing reads the entries;
// they are written as on Windows for the portal's own tools.
#pragma once

#include <string>

namespace velmora::host {

// True when the text is four groups of decimal digits separated by dots.
bool isIpv4Text(const std::string& host);

// Failures are silent: the start-up goes on whatever happens here.
void RegisterTrustedSite(std::string host);

inline constexpr const char kZoneDomains[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Domains\\";
inline constexpr const char kZoneRanges[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap\\Ranges";

}  // namespace velmora::host
