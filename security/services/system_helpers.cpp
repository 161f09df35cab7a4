// Facts about the machine and the user, and small values in the user hive.
#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/codepage_internal.h"
#include "frame/engines.h"

namespace strabel {

namespace {

enum : int { kGeneralError = 5001, kWrongParameters = 5005, kPermissionDenied = 5906 };

// The distribution's own name: PRETTY_NAME of os-release.
bool distributionName(std::string& name) {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string value = line.substr(12);
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
      if (value.empty()) continue;
      name = value;
      return true;
    }
  }
  return false;
}

// Keys whose values decide what code runs and what is trusted: class
// registrations (which library a ProgID loads), the browser's zone map, the
// certificate stores (a root written here would skip the user's consent)
// and the provider registrations. Pages reach these helpers, so they never
// touch anything below them.
constexpr const char* kProtectedKeys[] = {
    "Software\\Classes",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\ZoneMap",
    "Software\\Microsoft\\SystemCertificates",
    "Software\\Microsoft\\Cryptography",
};

// The path's components as the registry sees them: runs of backslashes
// separate, empty components do not count, case does not matter.
std::vector<std::string> keyComponents(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('\\', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) {
      std::string part = path.substr(i, j - i);
      for (char& c : part)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
      out.push_back(std::move(part));
    }
    i = j + 1;
  }
  return out;
}

bool isProtectedKey(const std::string& keyPath) {
  const auto parts = keyComponents(keyPath);
  for (const char* prefix : kProtectedKeys) {
    const auto guard = keyComponents(prefix);
    if (parts.size() >= guard.size() && std::equal(guard.begin(), guard.end(), parts.begin())) return true;
  }
  return false;
}

// "key\path\value": the last backslash separates the key path from the value
// name. False when there is none, when the text holds a NUL (it would cut
// the name short) or when the key is one the helpers must not touch.
bool splitRegistryName(const std::string& full, std::string& key, std::string& value) {
  auto slash = full.rfind('\\');
  if (full.empty() || slash == std::string::npos || full.find('\0') != std::string::npos) return false;
  key = full.substr(0, slash);
  value = full.substr(slash + 1);
  return !isProtectedKey(key);
}

}  // namespace

WResult CCapiCore::GetOSName() const {
  std::string name;
  if (!distributionName(name)) name = velmora::platform::ansiFromUtf8("Windows 作業系統偵測錯誤!");
  return wideFromAnsi(velmora::platform::ansiFromUtf8(name));
}

WResult CCapiCore::GetMacAddress() {
  if (!begin(true)) return std::u16string();
  std::vector<BYTE> buffer(10240);
  ULONG size = ULONG(buffer.size());
  auto* list = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data());
  if (GetAdaptersInfo(list, &size) != ERROR_SUCCESS) {
    fail(kGeneralError);
    return std::u16string();
  }
  std::string text;
  for (PIP_ADAPTER_INFO a = list; a; a = a->Next) {
    char entry[32];
    snprintf(entry, sizeof entry, "%02X-%02X-%02X-%02X-%02X-%02X", a->Address[0], a->Address[1], a->Address[2],
             a->Address[3], a->Address[4], a->Address[5]);
    if (!text.empty()) text += '\n';
    text += entry;
  }
  return wideFromAnsi(text);
}

WResult CCapiCore::GetUserHomePath() {
  begin(false);
  return wideFromAnsi(m_strProfileDir);
}

WResult CCapiCore::RegReadHKCU(const std::u16string& wideName) {
  begin(false, false);
  std::string keyPath, valueName;
  if (!splitRegistryName(ansiFromWide(wideName), keyPath, valueName)) {
    fail(kWrongParameters);
    return std::u16string();
  }
  if (m_bIEProtectedMode) {
    fail(kProtectedMode);
    return std::u16string();
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    fail(kPermissionDenied);
    return std::u16string();
  }
  std::string result;
  DWORD type = 0;
  if (RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS) {
    if (type == REG_SZ) {
      char data[256] = {0};
      DWORD size = 255;
      if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) ==
          ERROR_SUCCESS)
        result.assign(data, strnlen(data, size));
    } else if (type == REG_DWORD) {
      DWORD value = 0, size = sizeof value;
      if (RegQueryValueExA(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) ==
              ERROR_SUCCESS &&
          size == sizeof value)
        result = std::to_string(static_cast<int32_t>(value));
    }
  }
  RegCloseKey(key);
  return wideFromAnsi(result);
}

namespace {

int writeValue(CCapiCore& core, const std::u16string& wideName, DWORD type, const BYTE* data, DWORD size) {
  core.begin(false, false);
  std::string keyPath, valueName;
  if (!splitRegistryName(ansiFromWide(wideName), keyPath, valueName)) return core.fail(kWrongParameters);
  if (core.m_bIEProtectedMode) return core.fail(kProtectedMode);
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return core.fail(kPermissionDenied);
  LSTATUS rc = RegSetValueExA(key, valueName.c_str(), 0, type, data, size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return core.fail(kPermissionDenied);
  return core.m_nErrorCode;
}

}  // namespace

int CCapiCore::RegWriteHKCUInt(const std::u16string& name, long value) {
  const DWORD dw = static_cast<DWORD>(value);
  return writeValue(*this, name, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw);
}

int CCapiCore::RegWriteHKCUStr(const std::u16string& name, const std::u16string& text) {
  // The text's bytes without a terminating zero.
  const std::string bytes = ansiFromWide(text);
  return writeValue(*this, name, REG_SZ, reinterpret_cast<const BYTE*>(bytes.data()), DWORD(bytes.size()));
}

}  // namespace strabel
