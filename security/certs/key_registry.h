// The key registry: one sub-key of HKEY_CURRENT_USER\Software\KAVO\Strabel
// per generated key container, written when the key is made and read when
// its certificate is installed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace strabel {

inline constexpr const char kKeyRegistryPath[] = "Software\\KAVO\\Strabel";

// 36 characters shaped like a GUID (8-4-4-4-12 upper-case hex digits).
VELMORA_EXPORT std::string MakeContainerName();

// Checks that the user's registry takes writes: writes and deletes a value
// under "Software\KAVO\". False with the registry's error in `error`.
VELMORA_EXPORT bool ProbeWritableRegistry(DWORD& error);

struct KeyRegistryEntry {
  std::string container;
  std::string providerName;
  DWORD providerType = 0;
  DWORD keySpec = 0;
  std::vector<BYTE> publicKey;  // PUBLICKEYBLOB, or the key storage provider's PUBLICBLOB
  std::string dateTime;         // "%4d/%02d/%02d %02d:%02d:%02d", local time
  // CryptoAPI keys have "ProviderType" and "KeySpec"; key storage provider
  // keys do not.
  bool withCspValues = true;
};

// Creates the entry's sub-key and writes its values, in one commit. False
// (with the error) when the sub-key cannot be created or the commit fails;
// the single value writes are not checked.
VELMORA_EXPORT bool WriteKeyRegistryEntry(const KeyRegistryEntry& entry, DWORD& error);

// Removes the entry of `container` again (its key could not be committed).
void DeleteKeyRegistryEntry(const std::string& container);

// A point of key creation where tests make the process die
// (VELMORA_TEST_KILL_AT names it), to show what a crash there leaves.
void KeyCreationPoint(const char* point);

// The local time as the registry's "DateTime" text.
VELMORA_EXPORT std::string KeyRegistryDateTime();

}  // namespace strabel
