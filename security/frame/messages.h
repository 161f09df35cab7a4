// The security component's status messages: the main table of
// CCapiCore, the four-row table of CTaiMAC10Core and the fixed table of
// CCertRegCore. Every message is a printf format with one %d, which receives
// the status code (negative codes print as signed decimals).
#pragma once

#include <windef.h>

#include <string>

namespace strabel {

// Texts are UTF-8 here; the caller converts them to the ANSI code page.

// The main table: code page 437 selects English, any other value Chinese.
// A code without a row gives "Undefined(%d) " / "錯誤碼未定義(%d) " (with the
// trailing space).
VELMORA_EXPORT std::string capiMessage(int code, int codePage);

// The smart-card engine's table (0, 1500, 5004); 437 selects English, any
// other value Chinese. Undefined codes give "Undefined(%d)" / "錯誤碼未定義(%d)"
// (without a trailing space).
VELMORA_EXPORT std::string taiMacMessage(int code, int codePage);

// The registration engine's fixed table, whatever the host's language.
VELMORA_EXPORT std::string certRegMessage(int code);

}  // namespace strabel
