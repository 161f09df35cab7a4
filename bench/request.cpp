// One certificate request per run, as a user's program makes it, for
// scripts/bench.sh to time beside `openssl req` (both pay their process
// start and write their key):
//
//   bench_request rsa     CreatePKCS10, RSA-2048, in the Microsoft provider
//   bench_request ec      CreateEccPKCS10, P-256, in the key storage provider
//
// The profile is the caller's (HOME / XDG_DATA_HOME), so the script can
// point it at a throw-away folder. Exits 1 when no request was made.
#include <strabel/strabel.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  const bool ec = argc > 1 && strcmp(argv[1], "ec") == 0;
  CCAPILib capi;
  char* csr = ec ? capi.CreateEccPKCS10("Bench Request", 0x100) : capi.CreatePKCS10("Bench Request", 2048, 1);
  const bool ok = csr && *csr;
  if (!ok) fprintf(stderr, "bench_request: no request (status %d)\n", capi.GetErrorCode());
  delete[] csr;
  return ok ? 0 : 1;
}
