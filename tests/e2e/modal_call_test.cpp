// The host's end of the page bridge on a real GTK main loop under Xvfb: a
// call whose handler runs a modal dialog does not deadlock, another web
// process is served meanwhile, and only authenticated peers are served.
// The GTK dialog service carries a worker thread's dialog to the window
// thread.
#include <gtk/gtk.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "channel/bridge_server.h"
#include "channel/wire.h"
#include "e2e_support.h"
#include "test_support.h"
#include "ui/gtk_dialogs.h"

namespace {

using namespace velmora::channel;
using Clock = std::chrono::steady_clock;

// Answers every dialog shortly after it has opened (with its first button),
// once `ready` says so (or after ten seconds, so a test never hangs).
void answerDialogsSoon(std::function<bool()> ready = {}) {
  struct Pending {
    std::function<bool()> ready;
    Clock::time_point giveUp;
  };
  auto* pending = new Pending{std::move(ready), Clock::now() + std::chrono::seconds(10)};
  g_timeout_add(300, [](gpointer data) -> gboolean {
    auto* p = static_cast<Pending*>(data);
    if (p->ready && !p->ready() && Clock::now() < p->giveUp) return G_SOURCE_CONTINUE;
    bool answered = false;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next)
      if (GTK_IS_DIALOG(l->data) && gtk_widget_get_visible(GTK_WIDGET(l->data))) {
        gtk_dialog_response(GTK_DIALOG(l->data), 0);
        answered = true;
      }
    g_list_free(tops);
    if (!answered) return G_SOURCE_CONTINUE;
    delete p;
    return G_SOURCE_REMOVE;
  }, pending);
}

class ModalDispatch : public IDispatch {
 public:
  explicit ModalDispatch(velmora::host::GtkDialogService& dialogs) : dialogs_(dialogs) {}
  HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT GetTypeInfoCount(UINT* n) override { *n = 0; return S_OK; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID* id) override { *id = 1; return S_OK; }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
    VariantInit(result);
    result->vt = VT_I2;
    if (id == 1) {
      inModal = true;
      // The dialog stays open until the other peer has been served, however
      // slow this machine is.
      answerDialogsSoon([this] { return bool(servedDuringModal); });
      velmora::ui::DialogRequest r;
      r.kind = velmora::ui::kind::kMessageBox;
      r.title = "modal";
      r.texts.emplace_back("message", "a handler's dialog");
      r.buttons = {"ok", "cancel"};
      const auto answer = dialogs_.show(r);
      inModal = false;
      result->iVal = answer.button == "ok" ? 1 : 2;
    } else {
      result->iVal = 7;
      if (inModal) servedDuringModal = true;
    }
    return S_OK;
  }
  std::atomic<bool> inModal{false}, servedDuringModal{false};

 private:
  velmora::host::GtkDialogService& dialogs_;
};

int connectTo(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool ask(int fd, const std::string& payload, Message& reply) {
  std::string answer;
  return writeAll(fd, frame(payload)) && readFrame(fd, answer) && decode(answer, reply);
}

class ModalCall : public ::testing::Test {
 protected:
  // GTK connects once per process: one display for the whole suite.
  static void SetUpTestSuite() {
    if (!e2e::haveXvfb()) return;
    display_ = new e2e::Display;
    if (!display_->start()) return;
    setenv("DISPLAY", display_->name().c_str(), 1);
    ready_ = gtk_init_check(nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    delete display_;
    display_ = nullptr;
  }
  void SetUp() override {
    VTEST_REQUIRE(e2e::haveXvfb(), "Xvfb");
    ASSERT_TRUE(ready_) << "no display for GTK";
  }
  // Runs the main loop until `done` or the time is up.
  static void loopUntil(const std::function<bool()>& done, int ms = 20000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done() && Clock::now() < end) g_main_context_iteration(nullptr, FALSE), usleep(1000);
  }
  static e2e::Display* display_;
  static bool ready_;
};
e2e::Display* ModalCall::display_ = nullptr;
bool ModalCall::ready_ = false;

TEST_F(ModalCall, AModalDialogInAHandlerDoesNotDeadlockAndOthersAreServed) {
  velmora::host::GtkDialogService dialogs;
  ModalDispatch dispatch(dialogs);
  BridgeServer server(&dispatch, nullptr);
  // "a" is the portal; "b" a trusted host, served over https only.
  server.setOriginPolicy(OriginPolicy("https://a/", {"b"}));
  ASSERT_TRUE(server.start());

  std::atomic<int> modalAnswer{-1}, quickAnswer{-1};
  std::atomic<bool> badRefused{false}, foreignRefused{false};
  std::thread webA([&] {
    int fd = connectTo(server.socketPath());
    Message m;
    if (fd >= 0 && ask(fd, encodeHello(server.secret()), m) && m.kind == Kind::Ok &&
        ask(fd, encodeCall(1, "https://a/", {}), m) && m.kind == Kind::Result)
      modalAnswer = m.value.integer;
    close(fd);
  });
  std::thread webB([&] {
    while (!dispatch.inModal) usleep(1000);
    int fd = connectTo(server.socketPath());
    Message m;
    if (fd >= 0 && ask(fd, encodeHello(server.secret()), m) && m.kind == Kind::Ok &&
        ask(fd, encodeCall(2, "https://b/", {}), m) && m.kind == Kind::Result)
      quickAnswer = m.value.integer;
    // Documents of other origins are refused without running anything.
    bool refused = fd >= 0;
    for (const char* foreign : {"http://b/", "https://a:8443/", "https://evil.example/", "about:blank"})
      refused = refused && ask(fd, encodeCall(2, foreign, {}), m) && m.kind == Kind::Fault &&
                m.code == int32_t(0x800A0046);
    foreignRefused = refused;
    close(fd);
    // A peer without the secret is refused: the connection closes.
    fd = connectTo(server.socketPath());
    badRefused = fd >= 0 && !ask(fd, encodeHello("wrong"), m);
    close(fd);
  });
  loopUntil([&] { return modalAnswer >= 0 && quickAnswer >= 0 && badRefused; });
  webA.join();
  webB.join();
  EXPECT_EQ(modalAnswer, 1);
  EXPECT_EQ(quickAnswer, 7);
  EXPECT_TRUE(dispatch.servedDuringModal);
  EXPECT_TRUE(badRefused);
  EXPECT_TRUE(foreignRefused);
  EXPECT_EQ(server.calls(), 2u);
}

// A peer that connects and says nothing is closed after the hello time;
// one that says hello in time stays.
TEST_F(ModalCall, ConnectionsWithoutAHelloAreClosed) {
  velmora::host::GtkDialogService dialogs;
  ModalDispatch dispatch(dialogs);
  BridgeServer server(&dispatch, nullptr);
  server.setHelloTimeout(300);
  ASSERT_TRUE(server.start());
  const int silent = connectTo(server.socketPath());
  const int greeted = connectTo(server.socketPath());
  ASSERT_GE(silent, 0);
  ASSERT_GE(greeted, 0);
  loopUntil([&] { return server.connections() == 2; }, 2000);
  Message m;
  std::atomic<bool> helloDone{false}, helloOk{false};
  std::thread hello([&] {
    helloOk = ask(greeted, encodeHello(server.secret()), m) && m.kind == Kind::Ok;
    helloDone = true;
  });
  loopUntil([&] { return helloDone.load(); }, 2000);
  hello.join();
  EXPECT_TRUE(helloOk);
  loopUntil([&] { return server.connections() == 1; }, 5000);
  EXPECT_EQ(server.connections(), 1u);
  char byte = 0;
  EXPECT_EQ(recv(silent, &byte, 1, MSG_DONTWAIT), 0) << "the silent peer's connection is still open";
  close(silent);
  close(greeted);
}

TEST_F(ModalCall, AWorkerThreadsDialogRunsOnTheWindowThread) {
  velmora::host::GtkDialogService dialogs;
  std::atomic<bool> done{false};
  std::string button;
  answerDialogsSoon();
  std::thread worker([&] {
    velmora::ui::DialogRequest r;
    r.kind = velmora::ui::kind::kPassword;
    r.title = "worker";
    velmora::ui::DialogField f;
    f.name = "password";
    f.value = "secret";
    f.password = true;
    r.fields.push_back(f);
    r.buttons = {"ok", "cancel"};
    auto result = dialogs.show(r);
    button = result.button + ":" + result.fields["password"];
    done = true;
  });
  loopUntil([&] { return done.load(); });
  worker.join();
  EXPECT_EQ(button, "ok:secret");
}

}  // namespace

namespace {

// Every label text of a widget tree.
void collectLabels(GtkWidget* w, std::vector<std::string>& out) {
  if (GTK_IS_LABEL(w)) out.emplace_back(gtk_label_get_text(GTK_LABEL(w)));
  if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w))) out.emplace_back(gtk_button_get_label(GTK_BUTTON(w)));
  if (GTK_IS_CONTAINER(w)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* l = children; l; l = l->next) collectLabels(GTK_WIDGET(l->data), out);
    g_list_free(children);
  }
}

bool has(const std::vector<std::string>& v, const std::string& s) {
  return std::find(v.begin(), v.end(), s) != v.end();
}

TEST_F(ModalCall, TheGtkRendererDrawsEachKindFromItsRequest) {
  velmora::host::GtkDialogService dialogs;
  {
    velmora::ui::DialogRequest r;
    r.kind = velmora::ui::kind::kAbout;
    r.title = "關於 KAVOQuillet";
    r.texts = {{"line.1", "KAVOQuillet, 1.8.0.0 版"}, {"line.2", "Copyright (C) KAVO"}, {"button.ok", "確定"}};
    r.buttons = {"ok"};
    GtkWidget* d = dialogs.build(r);
    std::vector<std::string> labels;
    collectLabels(d, labels);
    EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(d))), "關於 KAVOQuillet");
    EXPECT_TRUE(has(labels, "KAVOQuillet, 1.8.0.0 版"));
    EXPECT_TRUE(has(labels, "Copyright (C) KAVO"));
    EXPECT_TRUE(has(labels, "確定"));
    gtk_widget_destroy(d);
  }
  {
    velmora::ui::DialogRequest r;
    r.kind = velmora::ui::kind::kSignerList;
    r.title = "Select one for Signed Data";
    r.columns = {"Common Name", "Serial"};
    r.rows = {{"Alice", "01"}, {"Bob", "02"}};
    r.selected = 1;
    r.buttons = {"ok", "cancel", "certificate"};
    r.texts = {{"button.certificate", "Certificate"}};
    r.options["disabled-buttons"] = "certificate";
    answerDialogsSoon();
    const auto result = dialogs.show(r);
    EXPECT_EQ(result.button, "ok");
    EXPECT_EQ(result.row, 1);
  }
}

TEST_F(ModalCall, OkWaitsForTheMinimumPasswordLengthAndLockedFieldsAreDisabled) {
  velmora::host::GtkDialogService dialogs;
  velmora::ui::DialogRequest r;
  r.kind = velmora::ui::kind::kExportFile;
  r.title = "Enter PFX File information";
  velmora::ui::DialogField locked, confirm;
  locked.name = "password";
  locked.value = "given";
  locked.password = locked.readOnly = true;
  confirm.name = "confirm";
  confirm.password = true;
  confirm.minLength = 4;
  confirm.maxLength = 16;
  r.fields = {locked, confirm};
  r.buttons = {"browse", "ok", "cancel"};
  GtkWidget* d = dialogs.build(r);
  GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(d), 1);
  ASSERT_NE(ok, nullptr);
  std::vector<GtkWidget*> entries(2, nullptr);  // by field name
  std::function<void(GtkWidget*)> walk = [&](GtkWidget* w) {
    if (GTK_IS_ENTRY(w)) entries[std::string(gtk_widget_get_name(w)) == "password" ? 0 : 1] = w;
    if (GTK_IS_CONTAINER(w)) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(w));
      for (GList* c = children; c; c = c->next) walk(GTK_WIDGET(c->data));
      g_list_free(children);
    }
  };
  walk(d);
  ASSERT_TRUE(entries[0] && entries[1]);
  EXPECT_FALSE(gtk_widget_get_sensitive(entries[0]));  // pre-filled: locked
  EXPECT_FALSE(gtk_widget_get_sensitive(ok));
  gtk_entry_set_text(GTK_ENTRY(entries[1]), "abc");
  EXPECT_FALSE(gtk_widget_get_sensitive(ok));
  gtk_entry_set_text(GTK_ENTRY(entries[1]), "abcd");
  EXPECT_TRUE(gtk_widget_get_sensitive(ok));
  EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(entries[1])), 16);
  gtk_widget_destroy(d);
}

}  // namespace
