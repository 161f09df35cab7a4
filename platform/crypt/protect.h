// Keys at rest, in the role DPAPI has on Windows: private keys in the key
// files are sealed (AES-256-GCM) under a per-user wrapping key that the
// desktop's Secret Service keeps. protect.cpp is the only code that talks to
// the Secret Service. Without one (no session bus, nobody owning
// org.freedesktop.secrets, no answer in time) nothing is sealed and the key
// files are protected by their 0600 mode alone.
//
// Not exported: both the platform library and the key storage provider
// compile it in, so no exported function hands out an unsealed key.
#pragma once

#include <windef.h>

#include <string>

namespace velmora::crypt::protect {

// True when a Secret Service answers and a wrapping key is at hand: the one
// kept there, or a new one made and stored on this first need.
bool available();

// Seals `plain` under the wrapping key, bound to `context` (what the key
// belongs to, so a sealed key cannot be moved to another entry). False when
// no wrapping key is at hand.
bool seal(const std::string& plain, const std::string& context, std::string& sealed);

// 0 with the key in `plain`; NTE_BAD_KEY_STATE when the wrapping key that
// sealed it is not at hand (no Secret Service now, or its item is gone);
// NTE_BAD_DATA when `sealed` is not a sealed key or was altered.
DWORD unseal(const std::string& sealed, const std::string& context, std::string& plain);

// 0 when unseal() could open `sealed` now (its wrapping key is at hand),
// else NTE_BAD_KEY_STATE, without opening it.
DWORD canUnseal(const std::string& sealed);

}  // namespace velmora::crypt::protect
