// Self-registration of the components' automation servers, as the
// installer's regsvr32 step does on Windows: pages create "Strabel.CAPI"
// and "Quennet.JCIC" through the classes registered under
// HKEY_CLASSES_ROOT (the user's own Software\Classes).
#pragma once

#include <windef.h>
#include <winerror.h>

#include <string>
#include <vector>

#include "channel/object_table.h"

namespace velmora::host {

// Loads `module` and calls its DllRegisterServer (or DllUnregisterServer).
// The server's answer, or the platform's failure to load it as an HRESULT.
HRESULT runSelfRegistration(const std::string& module, bool unregister);

struct ServerModule {
  std::string path;
  HRESULT result = S_OK;
  bool alreadyRegistered = false;
};

// The program's two components as loaded in this process: each is
// registered unless its registration already names this very file.
std::vector<ServerModule> registerComponentServers();

// The classes pages may create: the components' own automation classes,
// each tied to its module as loaded in this process. A module that is not
// loaded contributes none.
std::vector<velmora::channel::PageClass> componentPageClasses();

}  // namespace velmora::host
