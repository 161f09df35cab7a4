// The Secret Service checkpoint: the per-user wrapping key kept as one
// secret item, and sealing with it. Every call to the service is bounded in
// time, so a session bus without a keyring, a locked keyring nobody unlocks
// or a bus that never answers costs a few seconds once, never a hang.
#include "crypt/protect.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libsecret/secret.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <winerror.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/private_files.h"

namespace velmora::crypt::protect {

namespace {

using velmora::platform::base64Decode;
using velmora::platform::base64Encode;
using velmora::platform::wipeString;

constexpr char kMagic[4] = {'V', 'M', 'K', '1'};
constexpr size_t kKeyBytes = 32, kIdBytes = 8, kIvBytes = 12, kTagBytes = 16;
constexpr size_t kHeader = sizeof kMagic + kIdBytes + kIvBytes + kTagBytes;
// A keyring that answers does so in milliseconds; this much time only passes
// when nothing answers or an unlock prompt waits for the user.
constexpr guint kCallMs = 5000;

const SecretSchema kSchema = {"org.velmora.KeyProtection",
                              SECRET_SCHEMA_NONE,
                              {{"purpose", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                              0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
constexpr char kPurpose[] = "key-wrapping";
constexpr char kLabel[] = "Velmora key protection";

struct WrappingKey {
  bool have = false;
  bool unresponsive = false;  // a call ran out of time: not asked again
  unsigned char key[kKeyBytes];
  unsigned char id[kIdBytes];
};

std::mutex g_mutex;
WrappingKey g_key;

void wipeAtExit() { OPENSSL_cleanse(&g_key, sizeof g_key); }

// ---- Bounded asynchronous calls on a context of our own ----

struct Call {
  bool done = false;
  bool abandoned = false;
  GAsyncResult* result = nullptr;
};

void onDone(GObject*, GAsyncResult* result, gpointer data) {
  auto* call = static_cast<Call*>(data);
  if (call->abandoned) {
    delete call;
    return;
  }
  call->result = G_ASYNC_RESULT(g_object_ref(result));
  call->done = true;
}

gboolean onTimeout(gpointer data) {
  g_cancellable_cancel(static_cast<GCancellable*>(data));
  return G_SOURCE_REMOVE;
}

GMainContext* ownContext() {
  static GMainContext* ctx = g_main_context_new();
  return ctx;
}

// Starts one operation with `start(cancellable, onDone, call)` and waits for
// it at most kCallMs (plus a moment for the cancellation to land). Null when
// it did not finish; `timedOut` then says so.
template <class Start>
GAsyncResult* bounded(Start start, bool& timedOut) {
  GMainContext* ctx = ownContext();
  g_main_context_push_thread_default(ctx);
  GCancellable* cancel = g_cancellable_new();
  auto* call = new Call;
  start(cancel, onDone, call);
  GSource* timer = g_timeout_source_new(kCallMs);
  g_source_set_callback(timer, onTimeout, cancel, nullptr);
  g_source_attach(timer, ctx);
  const gint64 giveUp = g_get_monotonic_time() + gint64(kCallMs + 2000) * 1000;
  while (!call->done && g_get_monotonic_time() < giveUp)
    if (!g_main_context_iteration(ctx, FALSE)) g_usleep(1000);
  g_source_destroy(timer);
  g_source_unref(timer);
  timedOut = g_cancellable_is_cancelled(cancel) || !call->done;
  GAsyncResult* result = nullptr;
  if (call->done) {
    result = call->result;
    delete call;
  } else {
    call->abandoned = true;  // the late answer frees it
  }
  g_object_unref(cancel);
  g_main_context_pop_thread_default(ctx);
  return result;
}

// A session bus is named (by the environment or the user's runtime folder).
// Without one GDBus would try to start a bus of its own: not asked then.
bool busConfigured() {
  const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (!runtime || runtime[0] != '/') return false;
  struct stat st{};
  return stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// Somebody owns the Secret Service name now. Asked first so a bus that
// could start a keyring on demand does not start one that nobody unlocked.
bool serviceRuns(bool& timedOut) {
  timedOut = false;
  if (!busConfigured()) return false;
  GAsyncResult* r = bounded(
      [](GCancellable* c, GAsyncReadyCallback cb, gpointer data) { g_bus_get(G_BUS_TYPE_SESSION, c, cb, data); },
      timedOut);
  if (!r) return false;
  GDBusConnection* bus = g_bus_get_finish(r, nullptr);
  g_object_unref(r);
  if (!bus) return false;
  // The shared connection would end the process when the bus goes away.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  r = bounded(
      [bus](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
                               G_DBUS_CALL_FLAGS_NONE, int(kCallMs), c, cb, data);
      },
      timedOut);
  bool owned = false;
  if (r) {
    if (GVariant* reply = g_dbus_connection_call_finish(bus, r, nullptr)) {
      gboolean b = FALSE;
      g_variant_get(reply, "(b)", &b);
      owned = b;
      g_variant_unref(reply);
    }
    g_object_unref(r);
  }
  g_object_unref(bus);
  return owned;
}

// The stored key's text, or empty (`failed`: the service did not answer).
std::string lookUp(bool& failed, bool& timedOut) {
  failed = false;
  GAsyncResult* r = bounded(
      [](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_password_lookup(&kSchema, c, cb, data, "purpose", kPurpose, nullptr);
      },
      timedOut);
  std::string text;
  if (!r) {
    failed = true;
    return text;
  }
  GError* error = nullptr;
  gchar* secret = secret_password_lookup_nonpageable_finish(r, &error);
  g_object_unref(r);
  if (error) {
    failed = true;
    g_error_free(error);
  }
  if (secret) {
    text = secret;
    secret_password_free(secret);
  }
  return text;
}

bool store(const std::string& text, bool& timedOut) {
  GAsyncResult* r = bounded(
      [&text](GCancellable* c, GAsyncReadyCallback cb, gpointer data) {
        secret_password_store(&kSchema, SECRET_COLLECTION_DEFAULT, kLabel, text.c_str(), c, cb, data, "purpose",
                              kPurpose, nullptr);
      },
      timedOut);
  if (!r) return false;
  GError* error = nullptr;
  const bool ok = secret_password_store_finish(r, &error);
  g_object_unref(r);
  if (error) g_error_free(error);
  return ok;
}

void keyIdOf(const unsigned char* key, unsigned char* id) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  EVP_DigestUpdate(ctx, "velmora key id", 14);
  EVP_DigestUpdate(ctx, key, kKeyBytes);
  EVP_DigestFinal_ex(ctx, md, &n);
  EVP_MD_CTX_free(ctx);
  memcpy(id, md, kIdBytes);
}

bool takeKey(std::string& text) {
  std::string bytes;
  const bool ok = base64Decode(text, bytes) && bytes.size() == kKeyBytes;
  wipeString(text);
  if (ok) {
    memcpy(g_key.key, bytes.data(), kKeyBytes);
    keyIdOf(g_key.key, g_key.id);
    g_key.have = true;
  }
  wipeString(bytes);
  return ok;
}

// Fills g_key from the Secret Service; `create` makes and stores a new key
// when none is kept. Called with g_mutex held.
bool fetch(bool create) {
  if (g_key.have) return true;
  if (g_key.unresponsive) return false;
  static bool registered = false;
  if (!registered) {
    registered = true;
    atexit(wipeAtExit);
  }
  bool timedOut = false, failed = false;
  if (!serviceRuns(timedOut)) {
    g_key.unresponsive = timedOut;
    return false;
  }
  std::string text = lookUp(failed, timedOut);
  if (failed) {
    g_key.unresponsive = timedOut;
    return false;
  }
  if (!text.empty()) return takeKey(text);
  if (!create) return false;

  // Two processes making the first key at once would each store their own
  // and one would lose: one maker at a time, and the kept one wins.
  const std::string folder = velmora::platform::userDataHome() + "/velmora/Crypto";
  if (!velmora::platform::makePrivateFolders(folder)) return false;
  int fd = open((folder + "/.protect.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  flock(fd, LOCK_EX);
  text = lookUp(failed, timedOut);
  if (!failed && text.empty()) {
    unsigned char fresh[kKeyBytes];
    if (RAND_priv_bytes(fresh, sizeof fresh) == 1) {
      std::string raw(reinterpret_cast<char*>(fresh), sizeof fresh);
      std::string encoded = base64Encode(raw);
      if (store(encoded, timedOut)) text = lookUp(failed, timedOut);
      wipeString(encoded);
      wipeString(raw);
    }
    OPENSSL_cleanse(fresh, sizeof fresh);
  }
  close(fd);
  if (timedOut) g_key.unresponsive = true;
  return !text.empty() && takeKey(text);
}

bool gcm(bool encrypt, const unsigned char* iv, const std::string& context, const unsigned char* in, size_t n,
         unsigned char* out, unsigned char* tag) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  bool ok = ctx && EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, int(kIvBytes), nullptr) == 1 &&
            EVP_CipherInit_ex(ctx, nullptr, nullptr, g_key.key, iv, -1) == 1 &&
            EVP_CipherUpdate(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(context.data()),
                             int(context.size())) == 1 &&
            EVP_CipherUpdate(ctx, out, &len, in, int(n)) == 1;
  if (ok && !encrypt) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, int(kTagBytes), tag) == 1;
  if (ok) ok = EVP_CipherFinal_ex(ctx, out + len, &len) == 1;
  if (ok && encrypt) ok = EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, int(kTagBytes), tag) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

bool wellFormed(const std::string& sealed) {
  return sealed.size() > kHeader && memcmp(sealed.data(), kMagic, sizeof kMagic) == 0;
}

}  // namespace

bool available() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return fetch(true);
}

bool seal(const std::string& plain, const std::string& context, std::string& sealed) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!fetch(true)) return false;
  std::string out(kHeader + plain.size(), '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  memcpy(p, kMagic, sizeof kMagic);
  memcpy(p + sizeof kMagic, g_key.id, kIdBytes);
  unsigned char* iv = p + sizeof kMagic + kIdBytes;
  unsigned char* tag = iv + kIvBytes;
  if (RAND_bytes(iv, int(kIvBytes)) != 1 ||
      !gcm(true, iv, context, reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), p + kHeader, tag))
    return false;
  sealed.swap(out);
  return true;
}

DWORD unseal(const std::string& sealed, const std::string& context, std::string& plain) {
  if (!wellFormed(sealed)) return DWORD(NTE_BAD_DATA);
  std::lock_guard<std::mutex> lock(g_mutex);
  // Opening never makes a key: a new one could not open what the old sealed.
  if (!fetch(false) || memcmp(sealed.data() + sizeof kMagic, g_key.id, kIdBytes) != 0)
    return DWORD(NTE_BAD_KEY_STATE);
  const auto* p = reinterpret_cast<const unsigned char*>(sealed.data());
  unsigned char iv[kIvBytes], tag[kTagBytes];
  memcpy(iv, p + sizeof kMagic + kIdBytes, kIvBytes);
  memcpy(tag, p + sizeof kMagic + kIdBytes + kIvBytes, kTagBytes);
  std::string out(sealed.size() - kHeader, '\0');
  if (!gcm(false, iv, context, p + kHeader, out.size(), reinterpret_cast<unsigned char*>(out.data()), tag)) {
    wipeString(out);
    return DWORD(NTE_BAD_DATA);
  }
  plain.swap(out);
  wipeString(out);
  return 0;
}

DWORD canUnseal(const std::string& sealed) {
  if (!wellFormed(sealed)) return DWORD(NTE_BAD_DATA);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!fetch(false) || memcmp(sealed.data() + sizeof kMagic, g_key.id, kIdBytes) != 0)
    return DWORD(NTE_BAD_KEY_STATE);
  return 0;
}

}  // namespace velmora::crypt::protect
