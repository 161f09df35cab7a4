// The module's argument checks: every C_ function before C_Initialize, and
// null pointers, wrong handles and short buffers after it, answered with the
// standard's code and never a crash.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <set>
#include <string>

#include "p11_fixture.h"

namespace {

using p11test::functions;

struct Call {
  const char* name;
  std::function<CK_RV(CK_FUNCTION_LIST*)> run;
};

// Every function of the list but C_GetFunctionList, with nothing useful given.
std::vector<Call> everyFunction() {
  CK_SESSION_HANDLE s = 1;
  CK_OBJECT_HANDLE o = 1;
  return {
      {"C_Finalize", [](CK_FUNCTION_LIST* f) { return f->C_Finalize(nullptr); }},
      {"C_GetInfo", [](CK_FUNCTION_LIST* f) { return f->C_GetInfo(nullptr); }},
      {"C_GetSlotList", [](CK_FUNCTION_LIST* f) { return f->C_GetSlotList(CK_FALSE, nullptr, nullptr); }},
      {"C_GetSlotInfo", [](CK_FUNCTION_LIST* f) { return f->C_GetSlotInfo(0, nullptr); }},
      {"C_GetTokenInfo", [](CK_FUNCTION_LIST* f) { return f->C_GetTokenInfo(0, nullptr); }},
      {"C_GetMechanismList", [](CK_FUNCTION_LIST* f) { return f->C_GetMechanismList(0, nullptr, nullptr); }},
      {"C_GetMechanismInfo", [](CK_FUNCTION_LIST* f) { return f->C_GetMechanismInfo(0, CKM_RSA_PKCS, nullptr); }},
      {"C_InitToken", [](CK_FUNCTION_LIST* f) { return f->C_InitToken(0, nullptr, 0, nullptr); }},
      {"C_InitPIN", [=](CK_FUNCTION_LIST* f) { return f->C_InitPIN(s, nullptr, 0); }},
      {"C_SetPIN", [=](CK_FUNCTION_LIST* f) { return f->C_SetPIN(s, nullptr, 0, nullptr, 0); }},
      {"C_OpenSession", [](CK_FUNCTION_LIST* f) { return f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr); }},
      {"C_CloseSession", [=](CK_FUNCTION_LIST* f) { return f->C_CloseSession(s); }},
      {"C_CloseAllSessions", [](CK_FUNCTION_LIST* f) { return f->C_CloseAllSessions(0); }},
      {"C_GetSessionInfo", [=](CK_FUNCTION_LIST* f) { return f->C_GetSessionInfo(s, nullptr); }},
      {"C_GetOperationState", [=](CK_FUNCTION_LIST* f) { return f->C_GetOperationState(s, nullptr, nullptr); }},
      {"C_SetOperationState", [=](CK_FUNCTION_LIST* f) { return f->C_SetOperationState(s, nullptr, 0, 0, 0); }},
      {"C_Login", [=](CK_FUNCTION_LIST* f) { return f->C_Login(s, CKU_USER, nullptr, 0); }},
      {"C_Logout", [=](CK_FUNCTION_LIST* f) { return f->C_Logout(s); }},
      {"C_CreateObject", [=](CK_FUNCTION_LIST* f) { return f->C_CreateObject(s, nullptr, 0, nullptr); }},
      {"C_CopyObject", [=](CK_FUNCTION_LIST* f) { return f->C_CopyObject(s, o, nullptr, 0, nullptr); }},
      {"C_DestroyObject", [=](CK_FUNCTION_LIST* f) { return f->C_DestroyObject(s, o); }},
      {"C_GetObjectSize", [=](CK_FUNCTION_LIST* f) { return f->C_GetObjectSize(s, o, nullptr); }},
      {"C_GetAttributeValue", [=](CK_FUNCTION_LIST* f) { return f->C_GetAttributeValue(s, o, nullptr, 1); }},
      {"C_SetAttributeValue", [=](CK_FUNCTION_LIST* f) { return f->C_SetAttributeValue(s, o, nullptr, 1); }},
      {"C_FindObjectsInit", [=](CK_FUNCTION_LIST* f) { return f->C_FindObjectsInit(s, nullptr, 1); }},
      {"C_FindObjects", [=](CK_FUNCTION_LIST* f) { return f->C_FindObjects(s, nullptr, 1, nullptr); }},
      {"C_FindObjectsFinal", [=](CK_FUNCTION_LIST* f) { return f->C_FindObjectsFinal(s); }},
      {"C_EncryptInit", [=](CK_FUNCTION_LIST* f) { return f->C_EncryptInit(s, nullptr, o); }},
      {"C_Encrypt", [=](CK_FUNCTION_LIST* f) { return f->C_Encrypt(s, nullptr, 1, nullptr, nullptr); }},
      {"C_EncryptUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_EncryptUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_EncryptFinal", [=](CK_FUNCTION_LIST* f) { return f->C_EncryptFinal(s, nullptr, nullptr); }},
      {"C_DecryptInit", [=](CK_FUNCTION_LIST* f) { return f->C_DecryptInit(s, nullptr, o); }},
      {"C_Decrypt", [=](CK_FUNCTION_LIST* f) { return f->C_Decrypt(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DecryptUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_DecryptUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DecryptFinal", [=](CK_FUNCTION_LIST* f) { return f->C_DecryptFinal(s, nullptr, nullptr); }},
      {"C_DigestInit", [=](CK_FUNCTION_LIST* f) { return f->C_DigestInit(s, nullptr); }},
      {"C_Digest", [=](CK_FUNCTION_LIST* f) { return f->C_Digest(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DigestUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_DigestUpdate(s, nullptr, 1); }},
      {"C_DigestKey", [=](CK_FUNCTION_LIST* f) { return f->C_DigestKey(s, o); }},
      {"C_DigestFinal", [=](CK_FUNCTION_LIST* f) { return f->C_DigestFinal(s, nullptr, nullptr); }},
      {"C_SignInit", [=](CK_FUNCTION_LIST* f) { return f->C_SignInit(s, nullptr, o); }},
      {"C_Sign", [=](CK_FUNCTION_LIST* f) { return f->C_Sign(s, nullptr, 1, nullptr, nullptr); }},
      {"C_SignUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_SignUpdate(s, nullptr, 1); }},
      {"C_SignFinal", [=](CK_FUNCTION_LIST* f) { return f->C_SignFinal(s, nullptr, nullptr); }},
      {"C_SignRecoverInit", [=](CK_FUNCTION_LIST* f) { return f->C_SignRecoverInit(s, nullptr, o); }},
      {"C_SignRecover", [=](CK_FUNCTION_LIST* f) { return f->C_SignRecover(s, nullptr, 1, nullptr, nullptr); }},
      {"C_VerifyInit", [=](CK_FUNCTION_LIST* f) { return f->C_VerifyInit(s, nullptr, o); }},
      {"C_Verify", [=](CK_FUNCTION_LIST* f) { return f->C_Verify(s, nullptr, 1, nullptr, 1); }},
      {"C_VerifyUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_VerifyUpdate(s, nullptr, 1); }},
      {"C_VerifyFinal", [=](CK_FUNCTION_LIST* f) { return f->C_VerifyFinal(s, nullptr, 1); }},
      {"C_VerifyRecoverInit", [=](CK_FUNCTION_LIST* f) { return f->C_VerifyRecoverInit(s, nullptr, o); }},
      {"C_VerifyRecover", [=](CK_FUNCTION_LIST* f) { return f->C_VerifyRecover(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DigestEncryptUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_DigestEncryptUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DecryptDigestUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_DecryptDigestUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_SignEncryptUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_SignEncryptUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_DecryptVerifyUpdate", [=](CK_FUNCTION_LIST* f) { return f->C_DecryptVerifyUpdate(s, nullptr, 1, nullptr, nullptr); }},
      {"C_GenerateKey", [=](CK_FUNCTION_LIST* f) { return f->C_GenerateKey(s, nullptr, nullptr, 0, nullptr); }},
      {"C_GenerateKeyPair", [=](CK_FUNCTION_LIST* f) { return f->C_GenerateKeyPair(s, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr); }},
      {"C_WrapKey", [=](CK_FUNCTION_LIST* f) { return f->C_WrapKey(s, nullptr, o, o, nullptr, nullptr); }},
      {"C_UnwrapKey", [=](CK_FUNCTION_LIST* f) { return f->C_UnwrapKey(s, nullptr, o, nullptr, 0, nullptr, 0, nullptr); }},
      {"C_DeriveKey", [=](CK_FUNCTION_LIST* f) { return f->C_DeriveKey(s, nullptr, o, nullptr, 0, nullptr); }},
      {"C_SeedRandom", [=](CK_FUNCTION_LIST* f) { return f->C_SeedRandom(s, nullptr, 0); }},
      {"C_GenerateRandom", [=](CK_FUNCTION_LIST* f) { return f->C_GenerateRandom(s, nullptr, 0); }},
      {"C_GetFunctionStatus", [=](CK_FUNCTION_LIST* f) { return f->C_GetFunctionStatus(s); }},
      {"C_CancelFunction", [=](CK_FUNCTION_LIST* f) { return f->C_CancelFunction(s); }},
      {"C_WaitForSlotEvent", [](CK_FUNCTION_LIST* f) { return f->C_WaitForSlotEvent(0, nullptr, nullptr); }},
  };
}

TEST(ModuleArguments, EveryFunctionBeforeInitializeSaysSo) {
  CK_FUNCTION_LIST* f = functions();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->version.major, 2);
  EXPECT_EQ(f->version.minor, 40);
  // The list is complete: no entry left null.
  auto** entries = reinterpret_cast<void**>(&f->C_Initialize);
  const size_t count = (sizeof(CK_FUNCTION_LIST) - offsetof(CK_FUNCTION_LIST, C_Initialize)) / sizeof(void*);
  for (size_t i = 0; i < count; ++i) EXPECT_NE(entries[i], nullptr) << "entry " << i;
  const auto calls = everyFunction();
  EXPECT_EQ(calls.size() + 2, count);  // with C_Initialize and C_GetFunctionList
  for (const auto& c : calls) EXPECT_EQ(c.run(f), CKR_CRYPTOKI_NOT_INITIALIZED) << c.name;
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST(ModuleArguments, WrongSessionHandleInEveryFunctionThatTakesOne) {
  CK_FUNCTION_LIST* f = functions();
  ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
  // No session is open: handle 1 names none.
  const std::set<std::string> sessionless = {"C_Finalize", "C_GetInfo", "C_GetSlotList", "C_GetSlotInfo",
                                             "C_GetTokenInfo", "C_GetMechanismList", "C_GetMechanismInfo",
                                             "C_InitToken", "C_OpenSession", "C_CloseAllSessions",
                                             "C_WaitForSlotEvent"};
  for (const auto& c : everyFunction()) {
    if (sessionless.count(c.name)) continue;
    EXPECT_EQ(c.run(f), CKR_SESSION_HANDLE_INVALID) << c.name;
  }
  // The session-less ones, given null pointers, refuse them.
  const std::set<std::string> noPointers = {"C_Finalize", "C_CloseAllSessions", "C_InitToken"};
  for (const auto& c : everyFunction()) {
    if (!sessionless.count(c.name) || noPointers.count(c.name)) continue;
    EXPECT_EQ(c.run(f), CKR_ARGUMENTS_BAD) << c.name;
  }
  EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
}

TEST(ModuleArguments, InitializeArguments) {
  CK_FUNCTION_LIST* f = functions();
  auto fakeCreate = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_OK; };
  auto fakeOther = [](CK_VOID_PTR) -> CK_RV { return CKR_OK; };
  struct Case {
    const char* what;
    CK_C_INITIALIZE_ARGS args;
    CK_RV expected;
  } cases[] = {
      {"reserved set", {nullptr, nullptr, nullptr, nullptr, 0, reinterpret_cast<void*>(1)}, CKR_ARGUMENTS_BAD},
      {"some mutex functions", {fakeCreate, nullptr, fakeOther, nullptr, CKF_OS_LOCKING_OK, nullptr}, CKR_ARGUMENTS_BAD},
      {"own mutexes only", {fakeCreate, fakeOther, fakeOther, fakeOther, 0, nullptr}, CKR_CANT_LOCK},
      {"own mutexes or the system's", {fakeCreate, fakeOther, fakeOther, fakeOther, CKF_OS_LOCKING_OK, nullptr}, CKR_OK},
      {"the system's", {nullptr, nullptr, nullptr, nullptr, CKF_OS_LOCKING_OK, nullptr}, CKR_OK},
      {"no threads", {nullptr, nullptr, nullptr, nullptr, CKF_LIBRARY_CANT_CREATE_OS_THREADS, nullptr}, CKR_OK},
  };
  for (auto& c : cases) {
    EXPECT_EQ(f->C_Initialize(&c.args), c.expected) << c.what;
    if (c.expected == CKR_OK) {
      EXPECT_EQ(f->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED) << c.what;
      EXPECT_EQ(f->C_Finalize(reinterpret_cast<void*>(1)), CKR_ARGUMENTS_BAD) << c.what;
      EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK) << c.what;
    }
  }
}

// A session on the enrolled profile, for the checks that need real objects.
class ModuleOpenToken : public ::testing::Test {
 protected:
  void SetUp() override {
    p11test::enrolled();
    f = functions();
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    ASSERT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    auto keys = p11test::find(session, CKO_PRIVATE_KEY, CKK_RSA);
    ASSERT_EQ(keys.size(), 1u);
    rsaKey = keys[0];
    auto certs = p11test::find(session, CKO_CERTIFICATE);
    ASSERT_FALSE(certs.empty());
    cert = certs[0];
  }
  void TearDown() override { f->C_Finalize(nullptr); }

  CK_FUNCTION_LIST* f = nullptr;
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE rsaKey = 0, cert = 0;
};

TEST_F(ModuleOpenToken, ShortBuffersGetTheSize) {
  // Slot and mechanism lists: the count with CKR_BUFFER_TOO_SMALL.
  CK_SLOT_ID slots[1];
  CK_ULONG n = 0;
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(f->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
  EXPECT_EQ(slots[0], 0u);
  CK_MECHANISM_TYPE mechs[2];
  n = 2;
  EXPECT_EQ(f->C_GetMechanismList(0, mechs, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 10u);
  n = 0;
  EXPECT_EQ(f->C_GetMechanismList(0, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 10u);

  // Attributes: a short buffer is marked unavailable, the others still answered.
  unsigned char small[4];
  CK_BBOOL token = CK_FALSE;
  CK_ATTRIBUTE t[3] = {{CKA_VALUE, small, sizeof small}, {CKA_TOKEN, &token, sizeof token}, {0x7fff0000UL, small, 4}};
  EXPECT_EQ(f->C_GetAttributeValue(session, cert, t, 2), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(t[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(token, CK_TRUE);
  t[0] = {CKA_VALUE, nullptr, 0};
  EXPECT_EQ(f->C_GetAttributeValue(session, cert, t, 3), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_GT(t[0].ulValueLen, 300u);
  EXPECT_EQ(t[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  // The private parts of a key are sensitive.
  CK_ATTRIBUTE secret = {CKA_PRIVATE_EXPONENT, nullptr, 0};
  EXPECT_EQ(f->C_GetAttributeValue(session, rsaKey, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(secret.ulValueLen, CK_UNAVAILABLE_INFORMATION);

  // Signatures: null asks, short gets the size, both leave the operation on.
  CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(f->C_SignInit(session, &m, rsaKey), CKR_OK);
  unsigned char data[] = "data";
  CK_ULONG len = 0;
  EXPECT_EQ(f->C_Sign(session, data, 4, nullptr, &len), CKR_OK);
  EXPECT_EQ(len, 256u);
  std::vector<unsigned char> sig(255);
  len = 255;
  EXPECT_EQ(f->C_Sign(session, data, 4, sig.data(), &len), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(len, 256u);
  sig.resize(len);
  EXPECT_EQ(f->C_Sign(session, data, 4, sig.data(), &len), CKR_OK);
  EXPECT_EQ(len, 256u);
  EXPECT_EQ(f->C_Sign(session, data, 4, sig.data(), &len), CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(ModuleOpenToken, BadArgumentsAfterInitialize) {
  CK_MECHANISM sha256 = {CKM_SHA256_RSA_PKCS, nullptr, 0};
  CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
  CK_MECHANISM pss = {CKM_AES_CBC, nullptr, 0};
  unsigned char param[8] = {};
  CK_MECHANISM withParam = {CKM_SHA256_RSA_PKCS, param, sizeof param};
  CK_SESSION_HANDLE other = 0;
  CK_ULONG n = 0;
  CK_OBJECT_HANDLE h[2];
  unsigned char buf[8];
  CK_ATTRIBUTE nullValue = {CKA_LABEL, nullptr, 5};
  struct Case {
    const char* what;
    std::function<CK_RV()> run;
    CK_RV expected;
  } cases[] = {
      {"slot info, wrong slot", [&] { CK_SLOT_INFO i; return f->C_GetSlotInfo(7, &i); }, CKR_SLOT_ID_INVALID},
      {"token info, wrong slot", [&] { CK_TOKEN_INFO i; return f->C_GetTokenInfo(7, &i); }, CKR_SLOT_ID_INVALID},
      {"mechanisms, wrong slot", [&] { return f->C_GetMechanismList(7, nullptr, &n); }, CKR_SLOT_ID_INVALID},
      {"unknown mechanism", [&] { CK_MECHANISM_INFO i; return f->C_GetMechanismInfo(0, CKM_AES_CBC, &i); }, CKR_MECHANISM_INVALID},
      {"session without the serial flag", [&] { return f->C_OpenSession(0, 0, nullptr, nullptr, &other); }, CKR_SESSION_PARALLEL_NOT_SUPPORTED},
      {"read-write session", [&] { return f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &other); }, CKR_TOKEN_WRITE_PROTECTED},
      {"session, wrong slot", [&] { return f->C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &other); }, CKR_SLOT_ID_INVALID},
      {"close all, wrong slot", [&] { return f->C_CloseAllSessions(3); }, CKR_SLOT_ID_INVALID},
      {"attributes of no object", [&] { CK_ATTRIBUTE a = {CKA_CLASS, nullptr, 0}; return f->C_GetAttributeValue(session, 9999, &a, 1); }, CKR_OBJECT_HANDLE_INVALID},
      {"object size of no object", [&] { return f->C_GetObjectSize(session, 9999, &n); }, CKR_OBJECT_HANDLE_INVALID},
      {"object size, null", [&] { return f->C_GetObjectSize(session, cert, nullptr); }, CKR_ARGUMENTS_BAD},
      {"find, null template", [&] { return f->C_FindObjectsInit(session, nullptr, 2); }, CKR_ARGUMENTS_BAD},
      {"find, null value with a length", [&] { return f->C_FindObjectsInit(session, &nullValue, 1); }, CKR_ATTRIBUTE_VALUE_INVALID},
      {"find before init", [&] { return f->C_FindObjects(session, h, 2, &n); }, CKR_OPERATION_NOT_INITIALIZED},
      {"find final before init", [&] { return f->C_FindObjectsFinal(session); }, CKR_OPERATION_NOT_INITIALIZED},
      {"sign, no mechanism", [&] { return f->C_SignInit(session, nullptr, rsaKey); }, CKR_ARGUMENTS_BAD},
      {"sign, no key", [&] { return f->C_SignInit(session, &sha256, 9999); }, CKR_KEY_HANDLE_INVALID},
      {"sign with a certificate", [&] { return f->C_SignInit(session, &sha256, cert); }, CKR_KEY_TYPE_INCONSISTENT},
      {"sign, mechanism of another key type", [&] { return f->C_SignInit(session, &ecdsa, rsaKey); }, CKR_KEY_TYPE_INCONSISTENT},
      {"sign, unknown mechanism", [&] { return f->C_SignInit(session, &pss, rsaKey); }, CKR_MECHANISM_INVALID},
      {"sign, unexpected parameter", [&] { return f->C_SignInit(session, &withParam, rsaKey); }, CKR_MECHANISM_PARAM_INVALID},
      {"sign before init", [&] { return f->C_Sign(session, buf, 1, buf, &n); }, CKR_OPERATION_NOT_INITIALIZED},
      {"sign final before init", [&] { return f->C_SignFinal(session, buf, &n); }, CKR_OPERATION_NOT_INITIALIZED},
      {"decrypt before init", [&] { return f->C_Decrypt(session, buf, 1, buf, &n); }, CKR_OPERATION_NOT_INITIALIZED},
      {"decrypt with a signing mechanism", [&] { return f->C_DecryptInit(session, &sha256, rsaKey); }, CKR_MECHANISM_INVALID},
      {"create an object", [&] { return f->C_CreateObject(session, nullptr, 0, h); }, CKR_TOKEN_WRITE_PROTECTED},
      {"destroy an object", [&] { return f->C_DestroyObject(session, cert); }, CKR_TOKEN_WRITE_PROTECTED},
      {"logout before login", [&] { return f->C_Logout(session); }, CKR_USER_NOT_LOGGED_IN},
      {"login, null PIN with a length", [&] { return f->C_Login(session, CKU_USER, nullptr, 4); }, CKR_ARGUMENTS_BAD},
      {"login, unknown user type", [&] { return f->C_Login(session, 77, nullptr, 0); }, CKR_USER_TYPE_INVALID},
  };
  for (auto& c : cases) EXPECT_EQ(c.run(), c.expected) << c.what;

  // Null pointers inside running operations end them with CKR_ARGUMENTS_BAD.
  ASSERT_EQ(f->C_SignInit(session, &sha256, rsaKey), CKR_OK);
  EXPECT_EQ(f->C_SignInit(session, &sha256, rsaKey), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(f->C_Sign(session, nullptr, 4, buf, &n), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(f->C_Sign(session, buf, 4, buf, &n), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(f->C_SignInit(session, &sha256, rsaKey), CKR_OK);
  EXPECT_EQ(f->C_SignFinal(session, buf, nullptr), CKR_ARGUMENTS_BAD);
  ASSERT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
  EXPECT_EQ(f->C_FindObjectsInit(session, nullptr, 0), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(f->C_FindObjects(session, nullptr, 2, &n), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(f->C_FindObjects(session, h, 2, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);

  // A closed session is gone for every function.
  ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
  EXPECT_EQ(f->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(f->C_SignInit(session, &sha256, rsaKey), CKR_SESSION_HANDLE_INVALID);
}

}  // namespace
