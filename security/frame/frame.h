// What the three engines share: the component's module, its UI resource
// context, the protected-mode probe, version and platform-error texts.
#pragma once

#include <windows.h>

#include <string>

namespace strabel {

// The component's own module (libstrabel.so).
VELMORA_EXPORT HMODULE componentModule();
VELMORA_EXPORT std::string componentModulePath();

// The module dialogs and strings come from: the resource library loaded by
// the last successful SetCodePage, else the component itself.
VELMORA_EXPORT HMODULE resourceModule();
VELMORA_EXPORT void setResourceModule(HMODULE module);
// One string of the current resource module, in the ANSI code page.
VELMORA_EXPORT std::string loadString(unsigned id);

// Switches the calling thread's UI resource context to the component's for
// the life of the guard, and restores the caller's afterwards.
class VELMORA_EXPORT ManageState {
 public:
  ManageState();
  ~ManageState();
  ManageState(const ManageState&) = delete;
  ManageState& operator=(const ManageState&) = delete;

 private:
  const void* saved_;
};
VELMORA_EXPORT bool insideComponent();

// Asks the browser's protected-mode probe; true only when it says so.
VELMORA_EXPORT bool probeProtectedMode();

// "%d.%d.%d.%d" of the component's version record, or false with the
// platform error in `error`.
VELMORA_EXPORT bool readComponentVersion(std::string& version, DWORD& error);

// GetCapiErrorMsg's text: success text for 0, else the platform's text
// followed by "(0x%08X)". `langId` is the language asked of FormatMessageA.
VELMORA_EXPORT std::string capiErrorText(DWORD code, bool english, DWORD langId);

}  // namespace strabel
