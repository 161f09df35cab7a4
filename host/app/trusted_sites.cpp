#include "app/trusted_sites.h"

#include <windows.h>
#include <winreg.h>

#include <cstdio>
#include <cstring>
#include <regex>

namespace velmora::host {

bool isIpv4Text(const std::string& host) {
  static const std::regex pattern("^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$");
  return std::regex_match(host, pattern);
}

namespace {

constexpr REGSAM kCreateAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

void setHttps(HKEY key) {
  const DWORD two = 2;
  RegSetValueExA(key, "https", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&two), sizeof two);
}

// The ":Range" value of a range key; empty unless it is a string that fits
// into 1024 bytes with its terminating zero.
std::string rangeValue(HKEY key) {
  char buf[1024];
  DWORD type = 0, size = sizeof buf;
  if (RegQueryValueExA(key, ":Range", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
    return {};
  if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
  if (size == 0) return {};
  buf[std::min<DWORD>(size, sizeof buf - 1)] = 0;
  return std::string(buf, strnlen(buf, size));
}

void registerRange(const std::string& host) {
  HKEY ranges = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kZoneRanges, 0, KEY_ALL_ACCESS, &ranges) != ERROR_SUCCESS) return;
  std::string target;
  for (DWORD i = 0;; ++i) {
    char name[260];
    DWORD len = sizeof name;
    const LSTATUS st = RegEnumKeyExA(ranges, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st != ERROR_SUCCESS) continue;
    HKEY sub = nullptr;
    if (RegOpenKeyExA(ranges, name, 0, KEY_ALL_ACCESS, &sub) != ERROR_SUCCESS) continue;
    const bool same = rangeValue(sub) == host;
    RegCloseKey(sub);
    if (same) {
      target = name;
      break;
    }
  }
  if (target.empty()) {
    for (int i = 1; i <= 999; ++i) {
      char name[32];
      snprintf(name, sizeof name, "Range%d", i);
      HKEY sub = nullptr;
      if (RegOpenKeyExA(ranges, name, 0, KEY_ALL_ACCESS, &sub) == ERROR_SUCCESS) {
        RegCloseKey(sub);
        continue;
      }
      HKEY created = nullptr;
      if (RegCreateKeyExA(ranges, name, 0, nullptr, REG_OPTION_NON_VOLATILE, kCreateAccess, nullptr, &created,
                          nullptr) == ERROR_SUCCESS) {
        RegCloseKey(created);
        target = name;
      }
      break;
    }
  }
  if (!target.empty()) {
    HKEY sub = nullptr;
    if (RegOpenKeyExA(ranges, target.c_str(), 0, KEY_ALL_ACCESS, &sub) == ERROR_SUCCESS) {
      RegSetValueExA(sub, ":Range", 0, REG_SZ, reinterpret_cast<const BYTE*>(host.c_str()), DWORD(host.size() + 1));
      setHttps(sub);
      RegCloseKey(sub);
    }
  }
  RegCloseKey(ranges);
}

}  // namespace

void RegisterTrustedSite(std::string host) {
  if (isIpv4Text(host)) {
    registerRange(host);
    return;
  }
  const std::string path = std::string(kZoneDomains) + host;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, kCreateAccess, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return;
  setHttps(key);
  RegCloseKey(key);
}

}  // namespace velmora::host
