// libvelmora-pkcs11: the current user's certificate stores as a PKCS#11
// token, for browsers, mail clients and command-line tools.
//
// This file is the module's one checkpoint: every C_ function checks its
// arguments here, in the same order (library initialised, session, object,
// pointers, lengths), under one lock, and catches everything before it
// reaches the caller. token.cpp does the work with arguments known good.
#include "pkcs11_types.h"
#include "token.h"

#include <openssl/crypto.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>
#include <set>

#define P11_EXPORT extern "C" __attribute__((visibility("default")))

using velmora::p11::Bytes;
using velmora::p11::Object;
using velmora::p11::Token;

namespace {

struct Operation {
  bool active = false;
  CK_MECHANISM_TYPE mechanism = 0;
  CK_OBJECT_HANDLE key = 0;
  Bytes data;

  void end() {
    OPENSSL_cleanse(data.data(), data.size());
    *this = Operation{};
  }
};

struct Session {
  CK_FLAGS flags = 0;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t next = 0;
  Operation sign, decrypt;
};

struct State {
  std::mutex lock;
  bool initialized = false;
  pid_t pid = 0;
  Token token;
  std::map<CK_SESSION_HANDLE, Session> sessions;
  CK_SESSION_HANDLE nextSession = 1;
  bool loggedIn = false;
};

// Never destroyed: a host may call in while the process exits.
State& state() {
  static State* s = new State;
  return *s;
}

constexpr CK_SLOT_ID kSlot = 0;

void pad(CK_UTF8CHAR* field, size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

// Runs `body` with the library's lock held, after the initialisation check;
// nothing thrown crosses into the caller.
template <class F>
CK_RV call(F&& body) {
  try {
    State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    // A child after fork must initialise again, as the standard says.
    if (!s.initialized || s.pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return body(s);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// As call(), with the session checked too.
template <class F>
CK_RV withSession(CK_SESSION_HANDLE h, F&& body) {
  return call([&](State& s) -> CK_RV {
    auto it = s.sessions.find(h);
    if (it == s.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
    return body(s, it->second);
  });
}

bool sensitive(const Object& o, CK_ATTRIBUTE_TYPE t) {
  if (o.cls != CKO_PRIVATE_KEY) return false;
  switch (t) {
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
    case CKA_VALUE:
      return true;
    default:
      return false;
  }
}

bool matches(const Object& o, const std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>& want) {
  for (const auto& [type, value] : want) {
    auto it = o.attrs.find(type);
    if (it == o.attrs.end() || it->second != value) return false;
  }
  return true;
}

// Copies `n` items into a caller's buffer of *count items, PKCS#11 style:
// null buffer asks for the count; a short one gets it and CKR_BUFFER_TOO_SMALL.
template <class T>
CK_RV listOut(const std::vector<T>& items, T* out, CK_ULONG* count) {
  const CK_ULONG n = CK_ULONG(items.size());
  if (!out) {
    *count = n;
    return CKR_OK;
  }
  if (*count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  std::copy(items.begin(), items.end(), out);
  *count = n;
  return CKR_OK;
}

// Writes `result` to a caller's buffer in the same way, in bytes.
CK_RV bytesOut(const Bytes& result, CK_BYTE* out, CK_ULONG* len) {
  if (!out) {
    *len = CK_ULONG(result.size());
    return CKR_OK;
  }
  if (*len < result.size()) {
    *len = CK_ULONG(result.size());
    return CKR_BUFFER_TOO_SMALL;
  }
  std::memcpy(out, result.data(), result.size());
  *len = CK_ULONG(result.size());
  return CKR_OK;
}

// The key of a new operation: an object of this token that is a private key
// fit for `mech`.
CK_RV operationKey(State& s, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key, CK_FLAGS use, const Object*& out) {
  const Object* o = s.token.find(key);
  if (!o) return CKR_KEY_HANDLE_INVALID;
  const velmora::p11::Mechanism* m = velmora::p11::findMechanism(mech->mechanism);
  if (!m || !(m->flags & use)) return CKR_MECHANISM_INVALID;
  if (mech->pParameter || mech->ulParameterLen) return CKR_MECHANISM_PARAM_INVALID;
  if (o->cls != CKO_PRIVATE_KEY || o->keyType != m->keyType) return CKR_KEY_TYPE_INCONSISTENT;
  if (use == CKF_SIGN ? !o->canSign : !o->canDecrypt) return CKR_KEY_FUNCTION_NOT_PERMITTED;
  out = o;
  return CKR_OK;
}

CK_RV sessionNotSupported(CK_SESSION_HANDLE h) {
  return withSession(h, [](State&, Session&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}
// The stores change through the platform's own functions, not through here.
CK_RV writeProtected(CK_SESSION_HANDLE h) {
  return withSession(h, [](State&, Session&) { return CKR_TOKEN_WRITE_PROTECTED; });
}

}  // namespace

// ---- general ---------------------------------------------------------------

P11_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  try {
    if (pInitArgs) {
      auto* args = static_cast<CK_C_INITIALIZE_ARGS*>(pInitArgs);
      if (args->pReserved) return CKR_ARGUMENTS_BAD;
      const int given = !!args->CreateMutex + !!args->DestroyMutex + !!args->LockMutex + !!args->UnlockMutex;
      if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
      // Only the system's own locking is used; it must be allowed.
      if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.initialized && s.pid == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    s.sessions.clear();
    s.nextSession = 1;
    s.loggedIn = false;
    s.token.reload();
    s.pid = getpid();
    s.initialized = true;
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

P11_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  return call([&](State& s) -> CK_RV {
    if (pReserved) return CKR_ARGUMENTS_BAD;
    for (auto& [h, session] : s.sessions) {
      session.sign.end();
      session.decrypt.end();
    }
    s.sessions.clear();
    s.loggedIn = false;
    s.initialized = false;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  return call([&](State&) -> CK_RV {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    std::memset(pInfo, 0, sizeof *pInfo);
    pInfo->cryptokiVersion = {2, 40};
    pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Velmora");
    pad(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Velmora certificate stores");
    pInfo->libraryVersion = {1, 8};
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList);

// ---- slots and tokens -------------------------------------------------------

P11_EXPORT CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return call([&](State&) -> CK_RV {
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    return listOut(std::vector<CK_SLOT_ID>{kSlot}, pSlotList, pulCount);
  });
}

P11_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  return call([&](State&) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    std::memset(pInfo, 0, sizeof *pInfo);
    pad(pInfo->slotDescription, sizeof pInfo->slotDescription, "Velmora certificate stores of this user");
    pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Velmora");
    pInfo->flags = CKF_TOKEN_PRESENT;
    pInfo->hardwareVersion = {1, 0};
    pInfo->firmwareVersion = {1, 8};
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  return call([&](State& s) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    std::memset(pInfo, 0, sizeof *pInfo);
    pad(pInfo->label, sizeof pInfo->label, "Velmora personal certificates");
    pad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Velmora");
    pad(pInfo->model, sizeof pInfo->model, "MY store");
    char serial[17];
    snprintf(serial, sizeof serial, "%u", unsigned(getuid()));
    pad(pInfo->serialNumber, sizeof pInfo->serialNumber, serial);
    // No PIN: keys that need the user's consent ask for it at each use.
    pInfo->flags = CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED | CKF_USER_PIN_INITIALIZED;
    CK_ULONG rw = 0;
    for (const auto& [h, session] : s.sessions) rw += (session.flags & CKF_RW_SESSION) ? 1 : 0;
    pInfo->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    pInfo->ulSessionCount = CK_ULONG(s.sessions.size());
    pInfo->ulMaxRwSessionCount = 0;
    pInfo->ulRwSessionCount = rw;
    pInfo->ulMaxPinLen = 0;
    pInfo->ulMinPinLen = 0;
    pInfo->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    pInfo->hardwareVersion = {1, 0};
    pInfo->firmwareVersion = {1, 8};
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  return call([&](State&) -> CK_RV {
    if (!pSlot || pReserved) return CKR_ARGUMENTS_BAD;
    return CKR_FUNCTION_NOT_SUPPORTED;
  });
}

P11_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  return call([&](State&) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    if (!pulCount) return CKR_ARGUMENTS_BAD;
    std::vector<CK_MECHANISM_TYPE> types;
    for (const auto& m : velmora::p11::mechanisms()) types.push_back(m.type);
    return listOut(types, pMechanismList, pulCount);
  });
}

P11_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return call([&](State&) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    const velmora::p11::Mechanism* m = velmora::p11::findMechanism(type);
    if (!m) return CKR_MECHANISM_INVALID;
    pInfo->ulMinKeySize = m->minBits;
    pInfo->ulMaxKeySize = m->maxBits;
    pInfo->flags = m->flags;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
  return call([&](State&) -> CK_RV { return slotID != kSlot ? CKR_SLOT_ID_INVALID : CKR_FUNCTION_NOT_SUPPORTED; });
}
P11_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR, CK_ULONG) { return sessionNotSupported(h); }
P11_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
  return sessionNotSupported(h);
}

// ---- sessions ---------------------------------------------------------------

P11_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                               CK_SESSION_HANDLE_PTR phSession) {
  return call([&](State& s) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (!phSession) return CKR_ARGUMENTS_BAD;
    if (flags & CKF_RW_SESSION) return CKR_TOKEN_WRITE_PROTECTED;
    const CK_SESSION_HANDLE h = s.nextSession++;
    s.sessions[h].flags = flags;
    *phSession = h;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  return withSession(hSession, [&](State& s, Session& session) -> CK_RV {
    session.sign.end();
    session.decrypt.end();
    s.sessions.erase(hSession);
    if (s.sessions.empty()) s.loggedIn = false;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  return call([&](State& s) -> CK_RV {
    if (slotID != kSlot) return CKR_SLOT_ID_INVALID;
    for (auto& [h, session] : s.sessions) {
      session.sign.end();
      session.decrypt.end();
    }
    s.sessions.clear();
    s.loggedIn = false;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  return withSession(hSession, [&](State& s, Session& session) -> CK_RV {
    if (!pInfo) return CKR_ARGUMENTS_BAD;
    pInfo->slotID = kSlot;
    pInfo->state = s.loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    pInfo->flags = session.flags;
    pInfo->ulDeviceError = 0;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR pulLen) {
  return withSession(h, [&](State&, Session&) -> CK_RV {
    if (!pulLen) return CKR_ARGUMENTS_BAD;
    return CKR_FUNCTION_NOT_SUPPORTED;
  });
}
P11_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE h, CK_BYTE_PTR pState, CK_ULONG, CK_OBJECT_HANDLE,
                                     CK_OBJECT_HANDLE) {
  return withSession(h, [&](State&, Session&) -> CK_RV {
    if (!pState) return CKR_ARGUMENTS_BAD;
    return CKR_FUNCTION_NOT_SUPPORTED;
  });
}

// The token has no PIN (CKF_LOGIN_REQUIRED is not set); a login is taken
// as the application asks, and whatever PIN it gives is not looked at.
P11_EXPORT CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return withSession(h, [&](State& s, Session&) -> CK_RV {
    if (!pPin && ulPinLen) return CKR_ARGUMENTS_BAD;
    if (userType == CKU_SO) return CKR_SESSION_READ_ONLY_EXISTS;
    if (userType != CKU_USER && userType != CKU_CONTEXT_SPECIFIC) return CKR_USER_TYPE_INVALID;
    if (userType == CKU_USER && s.loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
    if (userType == CKU_USER) s.loggedIn = true;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE h) {
  return withSession(h, [&](State& s, Session&) -> CK_RV {
    if (!s.loggedIn) return CKR_USER_NOT_LOGGED_IN;
    s.loggedIn = false;
    return CKR_OK;
  });
}

// ---- objects ----------------------------------------------------------------

P11_EXPORT CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                              CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) { return writeProtected(h); }
P11_EXPORT CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
  return writeProtected(h);
}

P11_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  return withSession(h, [&](State& s, Session&) -> CK_RV {
    const Object* o = s.token.find(hObject);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!pulSize) return CKR_ARGUMENTS_BAD;
    CK_ULONG size = 0;
    for (const auto& [type, value] : o->attrs) size += CK_ULONG(value.size());
    *pulSize = size;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                     CK_ULONG ulCount) {
  return withSession(h, [&](State& s, Session&) -> CK_RV {
    const Object* o = s.token.find(hObject);
    if (!o) return CKR_OBJECT_HANDLE_INVALID;
    if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
    // Every attribute is answered; the result names the last problem met.
    CK_RV rv = CKR_OK;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      CK_ATTRIBUTE& a = pTemplate[i];
      auto it = o->attrs.find(a.type);
      if (sensitive(*o, a.type)) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_SENSITIVE;
      } else if (it == o->attrs.end()) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_ATTRIBUTE_TYPE_INVALID;
      } else if (!a.pValue) {
        a.ulValueLen = CK_ULONG(it->second.size());
      } else if (a.ulValueLen < it->second.size()) {
        a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
        rv = CKR_BUFFER_TOO_SMALL;
      } else {
        if (!it->second.empty()) std::memcpy(a.pValue, it->second.data(), it->second.size());
        a.ulValueLen = CK_ULONG(it->second.size());
      }
    }
    return rv;
  });
}

P11_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (session.finding) return CKR_OPERATION_ACTIVE;
    if (!pTemplate && ulCount) return CKR_ARGUMENTS_BAD;
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> want;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      const CK_ATTRIBUTE& a = pTemplate[i];
      if (!a.pValue && a.ulValueLen) return CKR_ATTRIBUTE_VALUE_INVALID;
      const auto* p = static_cast<const unsigned char*>(a.pValue);
      want.emplace_back(a.type, p ? Bytes(p, p + a.ulValueLen) : Bytes{});
    }
    // Another process may have changed the stores since the last search.
    s.token.reload();
    session.found.clear();
    for (CK_OBJECT_HANDLE o : s.token.handles())
      if (matches(*s.token.find(o), want)) session.found.push_back(o);
    session.next = 0;
    session.finding = true;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                               CK_ULONG_PTR pulObjectCount) {
  return withSession(h, [&](State&, Session& session) -> CK_RV {
    if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulObjectCount || (!phObject && ulMaxObjectCount)) return CKR_ARGUMENTS_BAD;
    CK_ULONG n = 0;
    while (n < ulMaxObjectCount && session.next < session.found.size()) phObject[n++] = session.found[session.next++];
    *pulObjectCount = n;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
  return withSession(h, [&](State&, Session& session) -> CK_RV {
    if (!session.finding) return CKR_OPERATION_NOT_INITIALIZED;
    session.finding = false;
    session.found.clear();
    return CKR_OK;
  });
}

// ---- signing ----------------------------------------------------------------

P11_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (session.sign.active) return CKR_OPERATION_ACTIVE;
    if (!pMechanism) return CKR_ARGUMENTS_BAD;
    const Object* key = nullptr;
    if (CK_RV rv = operationKey(s, pMechanism, hKey, CKF_SIGN, key)) return rv;
    session.sign.active = true;
    session.sign.mechanism = pMechanism->mechanism;
    session.sign.key = hKey;
    return CKR_OK;
  });
}

namespace {

// Ends a signature: the size for a null or short buffer (the operation goes
// on), otherwise the signature, and the operation ends.
CK_RV finishSign(State& s, Session& session, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
  const Object* key = s.token.find(session.sign.key);
  if (!key) {
    session.sign.end();
    return CKR_KEY_HANDLE_INVALID;
  }
  if (!out || *outLen < key->signatureSize) {
    const bool query = !out;
    *outLen = key->signatureSize;
    return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  }
  CK_RV rv = velmora::p11::checkSignInput(*key, session.sign.mechanism, session.sign.data);
  Bytes signature;
  if (rv == CKR_OK) rv = velmora::p11::sign(*key, session.sign.mechanism, session.sign.data, signature);
  session.sign.end();
  if (rv != CKR_OK) return rv;
  return bytesOut(signature, out, outLen);
}

}  // namespace

P11_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                        CK_ULONG_PTR pulSignatureLen) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (!session.sign.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((!pData && ulDataLen) || !pulSignatureLen) {
      session.sign.end();
      return CKR_ARGUMENTS_BAD;
    }
    // A size query followed by the real call passes the same data twice.
    session.sign.data.assign(pData, pData + ulDataLen);
    return finishSign(s, session, pSignature, pulSignatureLen);
  });
}

P11_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return withSession(h, [&](State&, Session& session) -> CK_RV {
    if (!session.sign.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pPart && ulPartLen) {
      session.sign.end();
      return CKR_ARGUMENTS_BAD;
    }
    // The raw mechanisms take their input in one piece.
    if (session.sign.mechanism == CKM_RSA_PKCS || session.sign.mechanism == CKM_ECDSA) {
      session.sign.end();
      return CKR_FUNCTION_NOT_SUPPORTED;
    }
    session.sign.data.insert(session.sign.data.end(), pPart, pPart + ulPartLen);
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (!session.sign.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulSignatureLen) {
      session.sign.end();
      return CKR_ARGUMENTS_BAD;
    }
    return finishSign(s, session, pSignature, pulSignatureLen);
  });
}

P11_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return sessionNotSupported(h);
}
P11_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}

// ---- decryption -------------------------------------------------------------

P11_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (session.decrypt.active) return CKR_OPERATION_ACTIVE;
    if (!pMechanism) return CKR_ARGUMENTS_BAD;
    const Object* key = nullptr;
    if (CK_RV rv = operationKey(s, pMechanism, hKey, CKF_DECRYPT, key)) return rv;
    session.decrypt.active = true;
    session.decrypt.mechanism = pMechanism->mechanism;
    session.decrypt.key = hKey;
    return CKR_OK;
  });
}

namespace {

// Ends a decryption of the data gathered so far, as finishSign does.
CK_RV finishDecrypt(State& s, Session& session, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
  const Object* key = s.token.find(session.decrypt.key);
  if (!key) {
    session.decrypt.end();
    return CKR_KEY_HANDLE_INVALID;
  }
  // The plain text is never longer than the modulus less the padding.
  const CK_ULONG most = key->signatureSize - 11;
  if (!out || *outLen < most) {
    const bool query = !out;
    *outLen = most;
    return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
  }
  Bytes plain;
  CK_RV rv = velmora::p11::decrypt(*key, session.decrypt.data, plain);
  session.decrypt.end();
  if (rv == CKR_OK) rv = bytesOut(plain, out, outLen);
  OPENSSL_cleanse(plain.data(), plain.size());
  return rv;
}

}  // namespace

P11_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                           CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (!session.decrypt.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((!pEncryptedData && ulEncryptedDataLen) || !pulDataLen) {
      session.decrypt.end();
      return CKR_ARGUMENTS_BAD;
    }
    session.decrypt.data.assign(pEncryptedData, pEncryptedData + ulEncryptedDataLen);
    return finishDecrypt(s, session, pData, pulDataLen);
  });
}

// In pieces: the cipher text is gathered, and all of the plain text comes
// out of C_DecryptFinal.
P11_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen,
                                 CK_BYTE_PTR, CK_ULONG_PTR pulPartLen) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (!session.decrypt.active) return CKR_OPERATION_NOT_INITIALIZED;
    if ((!pEncryptedPart && ulEncryptedPartLen) || !pulPartLen) {
      session.decrypt.end();
      return CKR_ARGUMENTS_BAD;
    }
    const Object* key = s.token.find(session.decrypt.key);
    if (!key || session.decrypt.data.size() + ulEncryptedPartLen > key->signatureSize) {
      session.decrypt.end();
      return key ? CKR_ENCRYPTED_DATA_LEN_RANGE : CKR_KEY_HANDLE_INVALID;
    }
    session.decrypt.data.insert(session.decrypt.data.end(), pEncryptedPart, pEncryptedPart + ulEncryptedPartLen);
    *pulPartLen = 0;
    return CKR_OK;
  });
}

P11_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
  return withSession(h, [&](State& s, Session& session) -> CK_RV {
    if (!session.decrypt.active) return CKR_OPERATION_NOT_INITIALIZED;
    if (!pulLastPartLen) {
      session.decrypt.end();
      return CKR_ARGUMENTS_BAD;
    }
    return finishDecrypt(s, session, pLastPart, pulLastPartLen);
  });
}

// ---- what this token does not do ---------------------------------------------
// Public-key operations (encrypting, verifying, digests) are the caller's
// own; no key is made, wrapped or derived here.

P11_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return sessionNotSupported(h); }
P11_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR) { return sessionNotSupported(h); }
P11_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return sessionNotSupported(h); }
P11_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
  return sessionNotSupported(h);
}
P11_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return withSession(h, [](State&, Session&) { return CKR_OPERATION_NOT_INITIALIZED; });
}
P11_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                               CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                                   CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                           CK_ULONG_PTR) {
  return sessionNotSupported(h);
}
P11_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                             CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                             CK_OBJECT_HANDLE_PTR) {
  return writeProtected(h);
}
P11_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_RANDOM_SEED_NOT_SUPPORTED; });
}
P11_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR, CK_ULONG) {
  return withSession(h, [](State&, Session&) { return CKR_RANDOM_NO_RNG; });
}
P11_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE h) {
  return withSession(h, [](State&, Session&) { return CKR_FUNCTION_NOT_PARALLEL; });
}
P11_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE h) {
  return withSession(h, [](State&, Session&) { return CKR_FUNCTION_NOT_PARALLEL; });
}

// ---- the function list --------------------------------------------------------

namespace {
CK_FUNCTION_LIST functionList = {
    {2, 40},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
    C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
    C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
    C_CancelFunction, C_WaitForSlotEvent,
};
}  // namespace

P11_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  if (!ppFunctionList) return CKR_ARGUMENTS_BAD;
  *ppFunctionList = &functionList;
  return CKR_OK;
}
