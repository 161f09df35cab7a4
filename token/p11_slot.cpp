// Slots, tokens, the session and the two-PIN login.
#include <openssl/crypto.h>

#include <cstring>

#include "p11_layer.h"

namespace quennet {

namespace {

// Reads the token of a slot whose token is present. False on a failure
// other than "no token" (reported); `slot.token` stays empty without one.
bool checkToken(PKCS11_SLOT& slot) {
  CK_TOKEN_INFO info;
  memset(&info, 0, sizeof info);
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_GetTokenInfo, slot.id, &info);
  if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED) return true;
  if (rv != CKR_OK) {
    pushError(F_CHECK_TOKEN, rv);
    return false;
  }
  auto token = std::make_unique<PKCS11_TOKEN>();
  token->slot = &slot;
  token->label = trimBlanks(info.label, sizeof info.label);
  token->manufacturer = trimBlanks(info.manufacturerID, sizeof info.manufacturerID);
  token->model = trimBlanks(info.model, sizeof info.model);
  token->serialnr = trimBlanks(info.serialNumber, sizeof info.serialNumber);
  token->initialized = info.flags & CKF_TOKEN_INITIALIZED;
  token->loginRequired = info.flags & CKF_LOGIN_REQUIRED;
  token->secureLogin = info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
  token->userPinSet = info.flags & CKF_USER_PIN_INITIALIZED;
  token->readOnly = info.flags & CKF_WRITE_PROTECTED;
  slot.token = std::move(token);
  return true;
}

void releaseSlots(SlotList& slots) {
  for (auto& slot : slots) p11Call(slot->ctx.get(), &CK_FUNCTION_LIST::C_CloseAllSessions, slot->id);
  slots.clear();
}

}  // namespace

int PKCS11_enum_slots(const std::shared_ptr<PKCS11_CTX>& ctx, SlotList& slots) {
  slots.clear();
  CK_ULONG count = 0;
  CK_RV rv = p11Call(ctx.get(), &CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_FALSE), nullptr, &count);
  if (rv != CKR_OK) {
    pushError(F_ENUM_SLOTS, rv);
    return -1;
  }
  std::vector<CK_SLOT_ID> ids(count + 1);
  rv = p11Call(ctx.get(), &CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_FALSE), ids.data(), &count);
  if (rv != CKR_OK) {
    pushError(F_ENUM_SLOTS, rv);
    return -1;
  }
  ids.resize(count < ids.size() ? count : ids.size());
  for (CK_SLOT_ID id : ids) {
    auto slot = std::make_shared<PKCS11_SLOT>();
    slot->ctx = ctx;
    slot->id = id;
    CK_SLOT_INFO info;
    memset(&info, 0, sizeof info);
    rv = p11Call(ctx.get(), &CK_FUNCTION_LIST::C_GetSlotInfo, id, &info);
    if (rv != CKR_OK) {
      pushError(F_ENUM_SLOTS, rv);
      releaseSlots(slots);
      return -1;
    }
    slot->description = trimBlanks(info.slotDescription, sizeof info.slotDescription);
    slot->manufacturer = trimBlanks(info.manufacturerID, sizeof info.manufacturerID);
    slot->removable = info.flags & CKF_REMOVABLE_DEVICE;
    if ((info.flags & CKF_TOKEN_PRESENT) && !checkToken(*slot)) {
      releaseSlots(slots);
      return -1;
    }
    slots.push_back(std::move(slot));
  }
  return 0;
}

std::shared_ptr<PKCS11_SLOT> PKCS11_find_token(const SlotList& slots, const std::string& label) {
  std::shared_ptr<PKCS11_SLOT> found;
  for (const auto& slot : slots)
    if (slot->token && slot->token->label == label) found = slot;  // the last one wins
  if (!found) pushError(F_FIND_TOKEN, R_NO_TOKEN);
  return found;
}

int openSession(PKCS11_SLOT& slot) {
  if (slot.haveSession) return 0;
  static char application[] = "Application";
  CK_SESSION_HANDLE session = 0;
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_OpenSession, slot.id,
                     CK_FLAGS(CKF_SERIAL_SESSION | CKF_RW_SESSION), static_cast<CK_VOID_PTR>(application),
                     CK_NOTIFY(nullptr), &session);
  if (rv != CKR_OK) {
    pushError(F_OPEN_SESSION, rv);
    return -1;
  }
  slot.session = session;
  slot.haveSession = true;
  return 0;
}

int PKCS11_login(PKCS11_SLOT& slot, const std::string& userPin, const std::string& secondPin, bool secondLogin) {
  if (slot.token && slot.token->keysEnumerated) releaseKeys(*slot.token);
  if (slot.loggedIn && PKCS11_logout(slot) != 0) return -1;
  if (openSession(slot) != 0) return -1;

  auto present = [&](CK_USER_TYPE user, const std::string& pin) {
    std::vector<CK_UTF8CHAR> buf(pin.begin(), pin.end());
    CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_Login, slot.session, user,
                       buf.empty() ? nullptr : buf.data(), CK_ULONG(buf.size()));
    // The PIN copy does not outlive the call.
    if (!buf.empty()) OPENSSL_cleanse(buf.data(), buf.size());
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
      pushError(F_LOGIN, rv);
      return false;
    }
    return true;
  };
  if (!present(CKU_USER, userPin)) return -2;
  if (secondLogin && !present(CKU_SO, secondPin)) return -3;
  slot.loggedIn = true;
  return 0;
}

int PKCS11_logout(PKCS11_SLOT& slot) {
  if (slot.token) releaseKeys(*slot.token);
  if (!slot.haveSession) {
    pushError(F_LOGOUT, R_NO_SESSION);
    return -1;
  }
  CK_RV rv = p11Call(slot.ctx.get(), &CK_FUNCTION_LIST::C_Logout, slot.session);
  if (rv != CKR_OK) {
    pushError(F_LOGOUT, rv);
    return -1;
  }
  slot.loggedIn = false;
  return 0;
}

}  // namespace quennet
