// C++ conveniences over the code-page functions, for the components.
#pragma once

#include <windef.h>

#include <string>
#include <string_view>

namespace velmora::platform {

// Text in `codePage` (CP_ACP, CP_THREAD_ACP, 950, 65001, ...) to UTF-16 and
// back. Bytes that do not convert become U+FFFD (UTF-8) or "?" (others).
VELMORA_EXPORT std::u16string toWide(std::string_view text, UINT codePage);
VELMORA_EXPORT std::string toNarrow(std::u16string_view text, UINT codePage);
VELMORA_EXPORT std::string convertCodePage(std::string_view text, UINT from, UINT to);

// UTF-8 source text in the ANSI code page, and back.
inline std::string ansiFromUtf8(std::string_view utf8) { return convertCodePage(utf8, 65001, 0); }
inline std::string utf8FromAnsi(std::string_view ansi) { return convertCodePage(ansi, 0, 65001); }

// Appends the UTF-8 form of one code point (at most U+10FFFF).
void appendUtf8(std::string& out, char32_t cp);

}  // namespace velmora::platform
