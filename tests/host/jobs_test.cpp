// Key-generation jobs: the job methods return at once and the page polls;
// jobs in one component run one after the other; a page's call into the
// busy component waits with the window's main loop running, so that the
// job's dialogs (carried to the window thread) are answered; the window
// object's end waits for a running job.
#include <glib.h>
#include <oleauto.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/codepage_internal.h"
#include "client_dlg.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

using namespace std::chrono_literals;
using velmora::platform::toNarrow;

struct Result {
  HRESULT hr = E_FAIL;
  VARIANT v{};
  ~Result() { VariantClear(&v); }
};

// A page's call by name, arguments in page order (texts, then numbers as given).
struct Arg {
  std::u16string text;
  LONG number = 0;
  bool isText = false;
};
Arg t(const char16_t* s) { return {s, 0, true}; }
Arg n(LONG v) { return {u"", v, false}; }

void call(CFENROClientDlg& dlg, Result& out, const char16_t* name, const std::vector<Arg>& args = {}) {
  std::u16string nm = name;
  LPOLESTR names[] = {nm.data()};
  DISPID id = 0;
  out.hr = dlg.GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(out.hr)) return;
  std::vector<VARIANT> argv;
  for (auto it = args.rbegin(); it != args.rend(); ++it) {
    VARIANT v;
    VariantInit(&v);
    if (it->isText) {
      v.vt = VT_BSTR;
      v.bstrVal = SysAllocString(it->text.c_str());
    } else {
      v.vt = VT_I4;
      v.lVal = it->number;
    }
    argv.push_back(v);
  }
  DISPPARAMS params{argv.data(), nullptr, UINT(argv.size()), 0};
  VariantInit(&out.v);
  UINT argErr = 0;
  out.hr = dlg.Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &out.v, nullptr, &argErr);
  for (auto& v : argv) VariantClear(&v);
}

int int16(CFENROClientDlg& dlg, const char16_t* name, const std::vector<Arg>& args = {}) {
  Result r;
  call(dlg, r, name, args);
  EXPECT_EQ(r.hr, S_OK);
  EXPECT_EQ(r.v.vt, VT_I2);
  return r.v.iVal;
}

std::string text(CFENROClientDlg& dlg, const char16_t* name, const std::vector<Arg>& args = {}) {
  Result r;
  call(dlg, r, name, args);
  EXPECT_EQ(r.hr, S_OK);
  if (r.v.vt != VT_BSTR) return "<not a string>";
  return toNarrow(std::u16string_view(r.v.bstrVal, SysStringLen(r.v.bstrVal)), CP_UTF8);
}

bool pollUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Holds every key-use prompt until the test opens the gate.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  int prompts = 0, inside = 0, mostInside = 0;
  std::shared_ptr<velmora::ui::DialogService> service() {
    return std::make_shared<velmora::ui::FunctionDialogService>([this](const velmora::ui::DialogRequest&) {
      std::unique_lock lock(m);
      ++prompts;
      mostInside = std::max(mostInside, ++inside);
      cv.notify_all();
      cv.wait(lock, [&] { return open; });
      --inside;
      velmora::ui::DialogResult r;
      r.button = "ok";
      return r;
    });
  }
  void release() {
    std::lock_guard lock(m);
    open = true;
    cv.notify_all();
  }
  bool waitPrompt() {
    std::unique_lock lock(m);
    return cv.wait_for(lock, 60s, [&] { return prompts > 0; });
  }
};

// The subject of a Base64 request as the openssl command reads it, after
// it has checked the request's signature.
std::string verifiedSubject(const std::string& base64) {
  const std::string dir = vtest::makeTempDir("req");
  std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\n";
  for (size_t i = 0; i < base64.size(); i += 64) pem += base64.substr(i, 64) + "\n";
  pem += "-----END CERTIFICATE REQUEST-----\n";
  vtest::writeFile(dir + "/req.pem", pem);
  auto r = vtest::runCommand({"openssl", "req", "-in", dir + "/req.pem", "-noout", "-verify", "-subject", "-nameopt", "utf8"});
  if (r.status != 0 || (r.out + r.err).find("verify OK") == std::string::npos) return "<not verified> " + r.err;
  return r.out;
}

TEST(Jobs, TheJobMethodsReturnAtOnceAndThePagePollsForTheirResults) {
  VTEST_REQUIRE(system("command -v openssl >/dev/null 2>&1") == 0, "openssl");
  Gate gate;
  velmora::ui::ScopedDialogService dialogs(gate.service());
  CFENROClientDlg dlg;
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), -1) << "the state before any job";
  EXPECT_EQ(text(dlg, u"getP10Tmp"), "");

  // A user-protected key: the job waits at its first prompt.
  EXPECT_EQ(int16(dlg, u"capi_CreatePKCS10Pair_2", {t(u"Job Pair"), n(1024), n(2)}), 0);
  ASSERT_TRUE(gate.waitPrompt());
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), -1);
  EXPECT_EQ(dlg.runningJobs(), 1);
  gate.release();
  ASSERT_TRUE(pollUntil([&] { return dlg.m_nGenkeyState != -1; }));
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), 0);
  EXPECT_NE(verifiedSubject(text(dlg, u"capi_GetCsrForSign")).find("Job Pair"), std::string::npos);

  // The request job leaves the state alone and stores its text.
  EXPECT_EQ(text(dlg, u"capi_CreatePKCS10_2", {t(u"Job Request 王"), n(1024), n(1)}), "");
  ASSERT_TRUE(pollUntil([&] { return text(dlg, u"getP10Tmp") != ""; }));
  const std::string request = text(dlg, u"getP10Tmp");
  EXPECT_EQ(text(dlg, u"getP10Tmp"), request) << "read twice, the same text";
  EXPECT_NE(verifiedSubject(request).find("Job Request 王"), std::string::npos) << verifiedSubject(request);
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), 0);

  // A refused request: the job ends, the text stays empty, the page finds
  // the cause with the error getters.
  EXPECT_EQ(text(dlg, u"capi_CreatePKCS10_2", {t(u""), n(1024), n(1)}), "");
  dlg.waitForJobs();
  EXPECT_EQ(text(dlg, u"getP10Tmp"), "");
  EXPECT_EQ(int16(dlg, u"capi_GetErrorCode"), 5005);
}

TEST(Jobs, JobsStartedBackToBackRunInTurnAndTheStateWaitsForTheLast) {
  Gate gate;
  velmora::ui::ScopedDialogService dialogs(gate.service());
  CFENROClientDlg dlg;
  // The token job has no token to work on and ends at once with the
  // component's status; the pair job after it is still held at a prompt.
  const int tokenStatus = int16(dlg, u"MakePKCS10", {n(0), n(1024), t(u"Token Job")});
  EXPECT_EQ(int16(dlg, u"MakePKCS10_2", {n(0), n(1024), t(u"Token Job")}), 0);
  EXPECT_EQ(int16(dlg, u"capi_CreatePKCS10Pair_2", {t(u"First"), n(1024), n(2)}), 0);
  EXPECT_EQ(int16(dlg, u"capi_CreatePKCS10Pair_2", {t(u"Second"), n(1024), n(1)}), 0);
  ASSERT_TRUE(gate.waitPrompt());
  ASSERT_TRUE(pollUntil([&] { return !dlg.componentBusy(CFENROClientDlg::Component::Token); }));
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), -1) << "the token job ended, the pair jobs run";
  EXPECT_EQ(dlg.runningJobs(), 2);
  gate.release();
  ASSERT_TRUE(pollUntil([&] { return dlg.m_nGenkeyState != -1; }));
  EXPECT_EQ(dlg.runningJobs(), 0) << "the state changes only when the last job has ended";
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), 0);
  // The second ran after the first: its requests are the ones kept.
  EXPECT_NE(verifiedSubject(text(dlg, u"capi_GetCsrForSign")).find("Second"), std::string::npos);
  EXPECT_EQ(gate.mostInside, 1);

  // The token job alone: its status as the synchronous call gives it.
  EXPECT_EQ(int16(dlg, u"MakePKCS10_2", {n(0), n(1024), t(u"Token Job")}), 0);
  dlg.waitForJobs();
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), tokenStatus);
  EXPECT_NE(tokenStatus, 0);
}

TEST(Jobs, ACallIntoTheBusyComponentKeepsTheWindowLoopRunningSoTheJobsDialogsAreAnswered) {
  // As the GTK service does: a dialog asked for on another thread is shown
  // on the window thread (this one) and the asking thread waits.
  GMainContext* context = g_main_context_default();
  ASSERT_TRUE(g_main_context_acquire(context));
  const std::thread::id windowThread = std::this_thread::get_id();
  std::atomic<int> answeredHere{0}, answeredElsewhere{0};
  auto carried = std::make_shared<velmora::ui::FunctionDialogService>([&](const velmora::ui::DialogRequest&) {
    struct Wait {
      std::mutex m;
      std::condition_variable cv;
      bool done = false;
    } w;
    auto* self = &w;
    auto* counts = &answeredHere;
    struct Ctx {
      Wait* w;
      std::atomic<int>* here;
      std::thread::id window;
      std::atomic<int>* elsewhere;
    } ctx{self, counts, windowThread, &answeredElsewhere};
    g_main_context_invoke(
        nullptr,
        [](gpointer p) -> gboolean {
          auto* c = static_cast<Ctx*>(p);
          (std::this_thread::get_id() == c->window ? *c->here : *c->elsewhere) += 1;
          std::lock_guard lock(c->w->m);
          c->w->done = true;
          c->w->cv.notify_all();
          return G_SOURCE_REMOVE;
        },
        &ctx);
    std::unique_lock lock(w.m);
    w.cv.wait(lock, [&] { return w.done; });
    velmora::ui::DialogResult r;
    r.button = "ok";
    return r;
  });
  velmora::ui::ScopedDialogService dialogs(carried);
  CFENROClientDlg dlg;
  int pumped = 0;
  dlg.m_waitHook = [&](const std::function<bool()>& done) {
    while (!done()) {
      g_main_context_iteration(context, FALSE);
      ++pumped;
      std::this_thread::sleep_for(1ms);
    }
  };
  EXPECT_EQ(int16(dlg, u"capi_CreatePKCS10Pair_2", {t(u"Prompted"), n(1024), n(2)}), 0);
  // The pollers answer at once while the job runs...
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), -1);
  // ...and a call into the security component waits for the job, serving
  // its prompts meanwhile; the page's calls keep coming.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(int16(dlg, u"capi_GetErrorCode"), 0);
  EXPECT_EQ(dlg.runningJobs(), 0);
  EXPECT_EQ(int16(dlg, u"getGenkeyState"), 0);
  EXPECT_GT(answeredHere.load(), 0);
  EXPECT_EQ(answeredElsewhere.load(), 0);
  EXPECT_GT(pumped, 0);
  EXPECT_NE(text(dlg, u"capi_GetCsrForSign"), "");
  g_main_context_release(context);
}

TEST(Jobs, TheWindowObjectsEndWaitsForARunningJobToFinishItsKey) {
  Gate gate;
  velmora::ui::ScopedDialogService dialogs(gate.service());
  auto dlg = std::make_unique<CFENROClientDlg>();
  EXPECT_EQ(int16(*dlg, u"capi_CreatePKCS10Pair_2", {t(u"Ending"), n(1024), n(2)}), 0);
  ASSERT_TRUE(gate.waitPrompt());
  std::thread user([&] {
    std::this_thread::sleep_for(300ms);
    gate.release();
  });
  dlg.reset();  // returns only when the job has ended
  user.join();
  EXPECT_TRUE(gate.open);
  EXPECT_EQ(gate.inside, 0);
  // The key pair is whole: the component (process-wide) holds its requests.
  CFENROClientDlg next;
  EXPECT_NE(verifiedSubject(text(next, u"capi_GetCsrForSign")).find("Ending"), std::string::npos);
}

}  // namespace
