// The wide-string (BSTR) side of the operations, shared by the flat exports
// and the automation control so both convert alike.
#pragma once

#include <oleauto.h>

#include <string>

namespace quennet::wide {

// A BSTR as text in `codePage`; a null BSTR is "".
std::string narrow(BSTR text, UINT codePage);
// A new BSTR of a field read in `codePage`; null when out of memory.
BSTR field(const char* text, UINT codePage);

// PINs and the CN go to the process ANSI code page, the certificate and its
// MAC to code page 950; a null BSTR is passed on as no argument.
int login(BSTR pin1, BSTR pin2);
int makePkcs10(int keyType, int keySize, BSTR cn);
int makePkcs10Ecc(int keyType, int keySize, BSTR cn);
int importCert(BSTR base64X509, BSTR mac);
// Signs the string's UTF-16LE code units (no terminator).
int signPkcs7(BSTR data);
// The held PKCS#7 result as a new BSTR; a non-empty result is released, so
// it is handed out once.
BSTR takePkcs7();

}  // namespace quennet::wide
