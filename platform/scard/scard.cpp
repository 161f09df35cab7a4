// The one checkpoint between the components and pcsc-lite. pcsc-lite is
// loaded at run time (its function names are the ones this file exports,
// and its DWORD is 64 bits wide), each call's arguments are checked here
// and its codes pass through: pcsc-lite uses the Windows SCARD_* values.
#include <winscard.h>

#include <dlfcn.h>

#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// pcsc-lite's own types on this platform.
using PLong = long;
using PDword = unsigned long;
using PContext = long;
using PHandle = long;
struct PIoRequest {
  PDword dwProtocol;
  PDword cbPciLength;
};
struct PReaderState {
  const char* szReader;
  void* pvUserData;
  PDword dwCurrentState;
  PDword dwEventState;
  PDword cbAtr;
  unsigned char rgbAtr[33];
};
constexpr PDword kPAutoAllocate = PDword(-1);

struct Pcsc {
  bool loaded = false;
  PLong (*establish)(PDword, const void*, const void*, PContext*) = nullptr;
  PLong (*release)(PContext) = nullptr;
  PLong (*isValid)(PContext) = nullptr;
  PLong (*listReaders)(PContext, const char*, char*, PDword*) = nullptr;
  PLong (*freeMemory)(PContext, const void*) = nullptr;
  PLong (*connect)(PContext, const char*, PDword, PDword, PHandle*, PDword*) = nullptr;
  PLong (*disconnect)(PHandle, PDword) = nullptr;
  PLong (*status)(PHandle, char*, PDword*, PDword*, PDword*, unsigned char*, PDword*) = nullptr;
  PLong (*transmit)(PHandle, const PIoRequest*, const unsigned char*, PDword, PIoRequest*, unsigned char*,
                    PDword*) = nullptr;
  PLong (*statusChange)(PContext, PDword, PReaderState*, PDword) = nullptr;
};

template <class F>
bool bind(void* lib, F& fn, const char* name) {
  fn = reinterpret_cast<F>(dlsym(lib, name));
  return fn != nullptr;
}

const Pcsc& pcsc() {
  static Pcsc p;
  static std::once_flag once;
  std::call_once(once, [] {
    void* lib = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    p.loaded = bind(lib, p.establish, "SCardEstablishContext") && bind(lib, p.release, "SCardReleaseContext") &&
               bind(lib, p.isValid, "SCardIsValidContext") && bind(lib, p.listReaders, "SCardListReaders") &&
               bind(lib, p.freeMemory, "SCardFreeMemory") && bind(lib, p.connect, "SCardConnect") &&
               bind(lib, p.disconnect, "SCardDisconnect") && bind(lib, p.status, "SCardStatus") &&
               bind(lib, p.transmit, "SCardTransmit") && bind(lib, p.statusChange, "SCardGetStatusChange");
  });
  return p;
}

LONG code(PLong rv) { return LONG(uint32_t(rv)); }
constexpr LONG kNoService = LONG(SCARD_E_NO_SERVICE);
constexpr LONG kBadParameter = LONG(SCARD_E_INVALID_PARAMETER);
constexpr LONG kBadHandle = LONG(SCARD_E_INVALID_HANDLE);

bool fitsDword(PDword v) { return v <= 0xFFFFFFFFul; }

}  // namespace

extern "C" {

const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2, LPSCARDCONTEXT phContext) {
  if (!phContext) return kBadParameter;
  *phContext = 0;
  if (dwScope > SCARD_SCOPE_SYSTEM) return kBadParameter;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  PContext ctx = 0;
  PLong rv = p.establish(dwScope, nullptr, nullptr, &ctx);
  if (rv == 0) *phContext = SCARDCONTEXT(ctx);
  return code(rv);
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hContext) return kBadHandle;
  return code(p.release(PContext(hContext)));
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hContext) return kBadHandle;
  return code(p.isValid(PContext(hContext)));
}

LONG SCardListReadersA(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders, LPDWORD pcchReaders) {
  if (!pcchReaders || mszGroups) return kBadParameter;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hContext) return kBadHandle;
  if (*pcchReaders == SCARD_AUTOALLOCATE) {
    if (!mszReaders) return kBadParameter;
    *reinterpret_cast<LPSTR*>(mszReaders) = nullptr;
    PDword n = kPAutoAllocate;
    PLong rv = p.listReaders(PContext(hContext), nullptr, mszReaders, &n);
    if (rv == 0 && !fitsDword(n)) {
      p.freeMemory(PContext(hContext), *reinterpret_cast<LPSTR*>(mszReaders));
      *reinterpret_cast<LPSTR*>(mszReaders) = nullptr;
      return LONG(SCARD_E_NO_MEMORY);
    }
    *pcchReaders = DWORD(n);
    return code(rv);
  }
  PDword n = *pcchReaders;
  PLong rv = p.listReaders(PContext(hContext), nullptr, mszReaders, &n);
  *pcchReaders = fitsDword(n) ? DWORD(n) : 0;
  return code(rv);
}

LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem) {
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!pvMem) return SCARD_S_SUCCESS;
  return code(p.freeMemory(PContext(hContext), pvMem));
}

LONG SCardConnectA(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode, DWORD dwPreferredProtocols,
                   LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
  if (!phCard || !pdwActiveProtocol || !szReader || !*szReader) return kBadParameter;
  *phCard = 0;
  *pdwActiveProtocol = SCARD_PROTOCOL_UNDEFINED;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hContext) return kBadHandle;
  PHandle card = 0;
  PDword protocol = 0;
  PLong rv = p.connect(PContext(hContext), szReader, dwShareMode, dwPreferredProtocols, &card, &protocol);
  if (rv == 0) {
    *phCard = SCARDHANDLE(card);
    *pdwActiveProtocol = DWORD(protocol);
  }
  return code(rv);
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hCard) return kBadHandle;
  if (dwDisposition > SCARD_EJECT_CARD) return kBadParameter;
  return code(p.disconnect(PHandle(hCard), dwDisposition));
}

LONG SCardStatusA(SCARDHANDLE hCard, LPSTR szReaderName, LPDWORD pcchReaderLen, LPDWORD pdwState,
                  LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
  if ((szReaderName && !pcchReaderLen) || (pbAtr && !pcbAtrLen)) return kBadParameter;
  if ((pcchReaderLen && *pcchReaderLen == SCARD_AUTOALLOCATE) || (pcbAtrLen && *pcbAtrLen == SCARD_AUTOALLOCATE))
    return kBadParameter;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hCard) return kBadHandle;
  PDword nameLen = pcchReaderLen ? *pcchReaderLen : 0, state = 0, protocol = 0;
  PDword atrLen = pcbAtrLen ? *pcbAtrLen : 0;
  // pcsc-lite refuses an ATR buffer shorter than the ATR it holds.
  unsigned char atr[MAX_ATR_SIZE] = {};
  PDword atrRoom = sizeof atr;
  PLong rv = p.status(PHandle(hCard), szReaderName, pcchReaderLen ? &nameLen : nullptr, &state, &protocol, atr,
                      &atrRoom);
  if (pcchReaderLen) *pcchReaderLen = fitsDword(nameLen) ? DWORD(nameLen) : 0;
  if (rv == 0) {
    if (pdwState) *pdwState = DWORD(state);
    if (pdwProtocol) *pdwProtocol = DWORD(protocol);
    if (pcbAtrLen) {
      if (pbAtr && atrRoom > atrLen) {
        *pcbAtrLen = DWORD(atrRoom);
        return LONG(SCARD_E_INSUFFICIENT_BUFFER);
      }
      if (pbAtr) std::memcpy(pbAtr, atr, atrRoom);
      *pcbAtrLen = DWORD(atrRoom);
    }
  }
  return code(rv);
}

LONG SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer, DWORD cbSendLength,
                   LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
  if (!pioSendPci || !pbSendBuffer || cbSendLength < 4 || !pbRecvBuffer || !pcbRecvLength) return kBadParameter;
  if (*pcbRecvLength == SCARD_AUTOALLOCATE) return kBadParameter;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hCard) return kBadHandle;
  PIoRequest send{pioSendPci->dwProtocol, sizeof(PIoRequest)};
  PDword received = *pcbRecvLength;
  PLong rv = p.transmit(PHandle(hCard), &send, pbSendBuffer, cbSendLength, nullptr, pbRecvBuffer, &received);
  *pcbRecvLength = rv == 0 && fitsDword(received) ? DWORD(received) : 0;
  if (rv == 0 && pioRecvPci) *pioRecvPci = *pioSendPci;
  return code(rv);
}

LONG SCardGetStatusChangeA(SCARDCONTEXT hContext, DWORD dwTimeout, LPSCARD_READERSTATEA rgReaderStates,
                           DWORD cReaders) {
  if (cReaders && !rgReaderStates) return kBadParameter;
  const Pcsc& p = pcsc();
  if (!p.loaded) return kNoService;
  if (!hContext) return kBadHandle;
  std::vector<PReaderState> states(cReaders);
  for (DWORD i = 0; i < cReaders; ++i) {
    if (!rgReaderStates[i].szReader) return kBadParameter;
    states[i].szReader = rgReaderStates[i].szReader;
    states[i].pvUserData = rgReaderStates[i].pvUserData;
    states[i].dwCurrentState = rgReaderStates[i].dwCurrentState;
  }
  PDword timeout = dwTimeout == 0xFFFFFFFFu ? PDword(0xFFFFFFFFu) : dwTimeout;
  PLong rv = p.statusChange(PContext(hContext), timeout, states.data(), cReaders);
  for (DWORD i = 0; i < cReaders; ++i) {
    rgReaderStates[i].dwEventState = DWORD(states[i].dwEventState);
    PDword n = states[i].cbAtr > 33 ? 33 : states[i].cbAtr;
    rgReaderStates[i].cbAtr = DWORD(n);
    std::memcpy(rgReaderStates[i].rgbAtr, states[i].rgbAtr, n);
  }
  return code(rv);
}

}  // extern "C"
