#include <openssl/rand.h>

#include "certs/key_registry.h"

#include "registry/hive.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace strabel {

std::string MakeContainerName() {
  // Random bytes from the system's generator: names made in the same
  // millisecond (both keys of a pair, two processes) must not collide.
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    FILE* f = fopen("/dev/urandom", "rb");
    size_t got = f ? fread(bytes, 1, sizeof bytes, f) : 0;
    if (f) fclose(f);
    if (got != sizeof bytes) return std::string();
  }
  char name[37];
  snprintf(name, sizeof name, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
           bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
           bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return name;
}

bool ProbeWritableRegistry(DWORD& error) {
  error = 0;
  // The test write is made in a batch that is never committed: it shows the
  // hive takes writes without costing a sync or leaving anything behind.
  velmora::platform::HiveBatch probe;
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\KAVO\\", 0, nullptr, REG_OPTION_NON_VOLATILE,
                               KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc == ERROR_SUCCESS) {
    const std::string name = MakeContainerName();
    const DWORD one = 1;
    rc = RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    if (rc == ERROR_SUCCESS) rc = RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
  }
  // The registry functions return their error rather than setting the last error.
  error = DWORD(rc);
  return rc == ERROR_SUCCESS;
}

void DeleteKeyRegistryEntry(const std::string& container) {
  const std::string path = std::string(kKeyRegistryPath) + "\\" + container;
  RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
}

void KeyCreationPoint(const char* point) {
  const char* at = getenv("VELMORA_TEST_KILL_AT");
  if (at && strcmp(at, point) == 0) raise(SIGKILL);
}

std::string KeyRegistryDateTime() {
  time_t now = time(nullptr);
  struct tm local{};
  localtime_r(&now, &local);
  char text[80];
  snprintf(text, sizeof text, "%4d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
           local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

bool WriteKeyRegistryEntry(const KeyRegistryEntry& entry, DWORD& error) {
  const std::string path = std::string(kKeyRegistryPath) + "\\" + entry.container;
  // The sub-key and its values are one commit: all of the entry or none.
  velmora::platform::HiveBatch batch;
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    error = DWORD(rc);
    return false;
  }
  auto text = [&](const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data()), DWORD(value.size()));
  };
  auto number = [&](const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  };
  text("ProviderName", entry.providerName);
  if (entry.withCspValues) {
    number("ProviderType", entry.providerType);
    number("KeySpec", entry.keySpec);
  }
  RegSetValueExA(key, "PublicKey", 0, REG_BINARY, entry.publicKey.data(), DWORD(entry.publicKey.size()));
  KeyCreationPoint("key-entry-half-written");
  text("DateTime", entry.dateTime);
  RegCloseKey(key);
  rc = batch.commit();
  if (rc != ERROR_SUCCESS) {
    error = DWORD(rc);
    return false;
  }
  return true;
}

}  // namespace strabel
