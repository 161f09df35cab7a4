// velmora-regsvr: registers (or with -u unregisters) in-process automation
// servers for this user, as regsvr32 does: it loads each module and calls
// its DllRegisterServer or DllUnregisterServer.
//
//   velmora-regsvr [-u] MODULE...
//
// Exit status 0 when every module answered success, 1 otherwise, 2 for a
// usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/server_registration.h"

int main(int argc, char** argv) {
  bool unregister = false;
  int first = 1;
  if (first < argc && (strcmp(argv[first], "-u") == 0 || strcmp(argv[first], "/u") == 0)) {
    unregister = true;
    ++first;
  }
  if (first >= argc || argv[first][0] == '-') {
    fprintf(stderr, "usage: velmora-regsvr [-u] MODULE...\n");
    return 2;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    const HRESULT hr = velmora::host::runSelfRegistration(argv[i], unregister);
    printf("%s: %s 0x%08X\n", argv[i], SUCCEEDED(hr) ? (unregister ? "unregistered" : "registered") : "failed",
           unsigned(hr));
    if (FAILED(hr)) status = 1;
  }
  return status;
}
