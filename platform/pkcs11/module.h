// The one checkpoint between the system and a PKCS#11 module's function
// list: loading and initialising modules (shared by everyone in the process
// who loads the same library), calling through the list, and finding a
// module by name through p11-kit's module configuration.
#pragma once

#include <windef.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pkcs11/cryptoki.h"

// Smart-card codes only the token providers give.
#ifndef SCARD_E_NO_SUCH_CERTIFICATE
#define SCARD_E_NO_SUCH_CERTIFICATE ((DWORD)0x8010002CL)
#endif
#ifndef SCARD_E_COMM_DATA_LOST
#define SCARD_E_COMM_DATA_LOST ((DWORD)0x8010002FL)
#endif
#ifndef SCARD_W_SECURITY_VIOLATION
#define SCARD_W_SECURITY_VIOLATION ((DWORD)0x8010006AL)
#endif

namespace velmora::pkcs11 {

// Answered for an entry the module's function list leaves empty, and for a
// library that cannot be loaded or has no function list (vendor-defined
// values, so they never collide with a module's own answer).
inline constexpr CK_RV kMissingEntry = CKR_VENDOR_DEFINED | 0x1027;
inline constexpr CK_RV kNotLoadable = CKR_VENDOR_DEFINED | 0x1025;

class VELMORA_EXPORT Module {
 public:
  // Loads and initialises the module `nameOrPath` (a path, or a name that
  // the library search path resolves as LoadLibraryA does). Everyone who
  // opens the same library shares one initialisation; the last one to let
  // go finalises and unloads it. Null with the reason in `rv`.
  static std::shared_ptr<Module> open(const std::string& nameOrPath, CK_RV& rv);
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Every call into the module goes through here: a missing entry is
  // answered instead of followed.
  template <typename Fn, typename... Args>
  CK_RV call(Fn CK_FUNCTION_LIST::*entry, Args... args) const {
    Fn fn = list_ ? list_->*entry : nullptr;
    if (!fn) return kMissingEntry;
    return fn(args...);
  }

  const std::string& name() const { return name_; }

 private:
  Module() = default;
  void* library_ = nullptr;
  CK_FUNCTION_LIST* list_ = nullptr;
  bool finalise_ = false;  // we initialised it, so we finalise it
  std::string name_;
};

// ---- p11-kit module configuration ----

struct ModuleConfig {
  std::string name;  // the file's name without ".module"
  std::string file;  // the configuration file
  std::string path;  // the module library, made absolute
};

// The configuration folders, the user's first: ~/.config/pkcs11/modules,
// then /etc/pkcs11/modules and /usr/share/p11-kit/modules.
VELMORA_EXPORT std::vector<std::string> moduleConfigFolders();
// Every configured module with a `module:` line, by name; a name in an
// earlier folder hides the same name in later ones.
VELMORA_EXPORT std::vector<ModuleConfig> configuredModules();
// The library of the configured module `name`, or "" when none is.
VELMORA_EXPORT std::string configuredModulePath(const std::string& name);
// The `module:` value of one configuration file's text, or "".
VELMORA_EXPORT std::string parseModuleLine(const std::string& text);

// A module name as the system names it (a bare name on the library search
// path, or a path), else the library its p11-kit configuration names; ""
// when neither exists.
VELMORA_EXPORT std::string resolveModule(const std::string& name);

// ---- errors ----

// The Windows error a smart-card provider reports for a module's answer.
VELMORA_EXPORT DWORD win32FromCkr(CK_RV rv);

}  // namespace velmora::pkcs11
