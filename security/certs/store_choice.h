// The store candidate matching of signer selection, for the operations
// that export a certificate of "MY" (as a PFX file or in the mobile form).
#pragma once

#include <windows.h>

#include <string>

struct _CERT_CONTEXT;

namespace strabel {

class CCapiCore;

// How several candidates are chosen from.
enum class StoreChoice {
  ListWhenSeveral,  // one is taken directly, several go to the list dialog
  SignerListMode,   // as the store medium: list mode 1 always asks, mode 2 keeps the best
};

// Matches the certificates of `store` against the filter, flags and key
// usage and chooses one. 0 with `chosen` (a new reference the caller
// frees), else the status: the matching's reason, 5010, or 5070.
VELMORA_EXPORT int ChooseStoreCertificate(CCapiCore& core, void* store, const std::string& filter, long flags,
                                          long keyUsage, StoreChoice rule, const _CERT_CONTEXT** chosen);

}  // namespace strabel
