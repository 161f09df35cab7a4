#include "app/host_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <cairo.h>
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <unistd.h>
#include <winuser.h>

#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "app/deployment.h"
#include "app/host_log.h"
#include "app/portal_check.h"
#include "app/texts.h"
#include "app/trusted_sites.h"
#include "channel/origin_policy.h"
#include "client_dlg.h"
#include "ui/dialogs.h"
#include "ui/gtk_dialogs.h"

namespace velmora::host {

namespace {

// The folder of the web extension: VELMORA_WEBEXT_DIR, else
// <program folder>/../lib/velmora/webext.
std::string extensionFolder() {
  if (const char* env = getenv("VELMORA_WEBEXT_DIR"); env && *env) return env;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return (exe.parent_path().parent_path() / "lib" / "velmora" / "webext").string();
}

// The documents that get the system's methods: the portal's own and the
// trusted hosts over https.
velmora::channel::OriginPolicy pagePolicy() {
  std::vector<std::string> hosts(std::begin(deployment::kTrustedHosts), std::end(deployment::kTrustedHosts));
  return velmora::channel::OriginPolicy(homeUrl(), std::move(hosts));
}

// What each web process's extension is started with: the socket, the
// secret and the documents it may give the bridge to.
GVariant* initialisationData(const velmora::channel::BridgeServer& server) {
  const auto policy = pagePolicy();
  GVariantBuilder hosts;
  g_variant_builder_init(&hosts, G_VARIANT_TYPE("as"));
  for (const auto& h : policy.trustedHosts()) g_variant_builder_add(&hosts, "s", h.c_str());
  return g_variant_new("(sssas)", server.socketPath().c_str(), server.secret().c_str(), policy.homeUrl().c_str(),
                       &hosts);
}

}  // namespace

HostWindow::HostWindow(CFENROClientDlg& dlg, std::shared_ptr<GtkDialogService> dialogs)
    : dlg_(dlg), dialogs_(std::move(dialogs)) {
  // While the window thread waits for a download its main loop keeps
  // running: the window draws its progress, and a job's dialogs, which
  // come to this thread, are shown and answered. (Calls into a busy
  // component do not wait here: the bridge server parks them.)
  dlg_.m_waitHook = [this](const std::function<bool()>& done) {
    ++nestedWaits_;
    while (!done()) g_main_context_iteration(nullptr, TRUE);
    --nestedWaits_;
    if (closePending_) scheduleProgress();
  };
  dlg_.setActivityListener([this] { scheduleProgress(); });
  dlg_.m_update.started = [](pid_t pid) { bringToFront(pid); };
}

void HostWindow::scheduleProgress() {
  if (progressQueued_.exchange(true)) return;
  g_idle_add(
      [](gpointer self) -> gboolean {
        auto* w = static_cast<HostWindow*>(self);
        w->progressQueued_ = false;
        w->updateProgress();
        return G_SOURCE_REMOVE;
      },
      this);
}

void HostWindow::updateProgress() {
  if (server_) server_->retryParked();
  if (!window_) return;
  const int jobs = dlg_.runningJobs();
  const bool downloading = dlg_.m_downloading;
  if (closePending_ && jobs == 0 && !downloading && nestedWaits_ == 0) {
    hostLog("closing-after-work");
    gtk_widget_destroy(window_);
    return;
  }
  const bool busy = jobs > 0 || downloading;
  if (!busy) {
    gtk_spinner_stop(GTK_SPINNER(spinner_));
    gtk_widget_hide(busyBox_);
    return;
  }
  std::string label;
  if (closePending_) label = std::string(text::kClosingZh) + "  " + text::kClosingEn;
  else if (downloading) label = std::string(text::kBusyDownloadZh) + "  " + text::kBusyDownloadEn;
  else label = std::string(text::kBusyKeyZh) + "  " + text::kBusyKeyEn;
  gtk_label_set_text(GTK_LABEL(busyLabel_), label.c_str());
  gtk_spinner_start(GTK_SPINNER(spinner_));
  if (downloading) {
    const long long now = dlg_.m_downloadNow, total = dlg_.m_downloadTotal;
    if (total > 0) gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(progress_), double(now) / double(total));
    else gtk_progress_bar_pulse(GTK_PROGRESS_BAR(progress_));
    gtk_widget_show(progress_);
  } else {
    gtk_widget_hide(progress_);
  }
  gtk_widget_show(busyBox_);
  gtk_widget_show(spinner_);
  gtk_widget_show(busyLabel_);
  hostLog("progress", {{"jobs", jobs}, {"downloading", downloading}, {"label", label}, {"closing", closePending_}});
}

bool HostWindow::closeRequested() {
  const int jobs = dlg_.runningJobs();
  if (jobs == 0 && !dlg_.m_downloading) return false;
  // A key being made is finished (a token must not be left with half a
  // key); a download is stopped, and nothing of it runs.
  if (dlg_.m_downloading) dlg_.m_cancelDownload = true;
  if (!closePending_) hostLog("close-deferred", {{"jobs", jobs}, {"downloading", bool(dlg_.m_downloading)}});
  closePending_ = true;
  if (view_) gtk_widget_set_sensitive(GTK_WIDGET(view_), FALSE);
  updateProgress();
  return true;
}

namespace {

// The top-level windows of a process, found through the X server's own
// record of which client made each window (X-Resource), so that it works
// for programs that do not set _NET_WM_PID.
std::vector<Window> windowsOfProcess(Display* d, pid_t pid) {
  std::vector<Window> out;
  int ev = 0, er = 0;
  if (!XResQueryExtension(d, &ev, &er)) return out;
  XResClientIdSpec spec{0, XRES_CLIENT_ID_PID_MASK};
  long count = 0;
  XResClientIdValue* ids = nullptr;
  if (XResQueryClientIds(d, 1, &spec, &count, &ids) != Success) return out;
  std::vector<XID> bases;
  for (long i = 0; i < count; ++i)
    if (XResGetClientPid(&ids[i]) == pid) bases.push_back(ids[i].spec.client);
  XResClientIdsDestroy(count, ids);
  if (bases.empty()) return out;
  int nClients = 0;
  XResClient* clients = nullptr;
  XID mask = 0;
  // Unlike XResQueryClientIds, this one answers a Status: nonzero is success.
  if (XResQueryClients(d, &nClients, &clients)) {
    for (int i = 0; i < nClients; ++i)
      if (std::find(bases.begin(), bases.end(), clients[i].resource_base) != bases.end()) mask = clients[i].resource_mask;
  }
  if (clients) XFree(clients);
  if (!mask) return out;
  auto owned = [&](Window w) {
    for (XID b : bases)
      if ((w & ~mask) == b) return true;
    return false;
  };
  Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, root, &root, &parent, &children, &n)) return out;
  for (unsigned i = 0; i < n; ++i) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
    if (owned(children[i])) {
      out.push_back(children[i]);
      continue;
    }
    // Under a window manager the client's window sits inside its frame.
    Window r2, p2, *inner = nullptr;
    unsigned m = 0;
    if (XQueryTree(d, children[i], &r2, &p2, &inner, &m)) {
      for (unsigned k = 0; k < m; ++k)
        if (owned(inner[k])) out.push_back(children[i]);
      if (inner) XFree(inner);
    }
  }
  if (children) XFree(children);
  return out;
}

}  // namespace

void HostWindow::bringToFront(pid_t pid) {
  // Waits (at most 10 s) until the installer has a window on screen, then
  // raises and activates it. A program that ends first, or shows none,
  // is left alone.
  Display* d = XOpenDisplay(nullptr);
  if (!d) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::vector<Window> found;
  while (std::chrono::steady_clock::now() < until) {
    found = windowsOfProcess(d, pid);
    if (!found.empty() || (kill(pid, 0) != 0 && errno == ESRCH)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (!found.empty()) {
    const Window w = found.front();
    XRaiseWindow(d, w);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = w;
    e.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;  // from a pager-like tool: the request is honoured
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
    hostLog("installer-front", {{"pid", int(pid)}, {"window", (unsigned long)w}});
  } else {
    hostLog("installer-front", {{"pid", int(pid)}, {"window", 0}});
  }
  XCloseDisplay(d);
}

HostWindow::~HostWindow() {
  dlg_.setActivityListener(nullptr);
  dlg_.m_waitHook = nullptr;
  dlg_.m_update.started = nullptr;
  while (g_source_remove_by_user_data(this)) {
  }
  if (initHandler_) g_signal_handler_disconnect(webkit_web_context_get_default(), initHandler_);
  if (dialogs_) dialogs_->setParent(nullptr);
  if (window_) gtk_widget_destroy(window_);
  server_.reset();
}

GdkPixbuf* HostWindow::programIcon() {
  // The program icon, drawn once: a blue rounded square with a white "Q".
  static GdkPixbuf* icon = [] {
    const int n = 64;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, n, n);
    cairo_t* cr = cairo_create(s);
    const double r = 12;
    cairo_new_sub_path(cr);
    cairo_arc(cr, n - r, r, r, -M_PI / 2, 0);
    cairo_arc(cr, n - r, n - r, r, 0, M_PI / 2);
    cairo_arc(cr, r, n - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 0.09, 0.36, 0.68);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_set_line_width(cr, 7);
    cairo_arc(cr, n / 2.0, n / 2.0 - 2, 17, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_move_to(cr, n / 2.0 + 6, n / 2.0 + 6);
    cairo_line_to(cr, n / 2.0 + 19, n / 2.0 + 20);
    cairo_stroke(cr);
    cairo_destroy(cr);
    GdkPixbuf* p = gdk_pixbuf_get_from_surface(s, 0, 0, n, n);
    cairo_surface_destroy(s);
    return p;
  }();
  return icon;
}

void HostWindow::showAbout() {
  hostLog("about");
  velmora::ui::AboutParams p;
  p.title = text::kAboutTitle;
  p.lines = {text::kAboutVersion, text::kAboutCopyright};
  p.okLabel = text::kAboutOk;
  velmora::ui::aboutDialog(p);
}

void HostWindow::build() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  // The window's own frame adds nothing around the header bar and the view:
  // they together are the window's whole size.
  gtk_widget_set_name(window_, "velmora-main");
  static GtkCssProvider* frame = [] {
    GtkCssProvider* p = gtk_css_provider_new();
    gtk_css_provider_load_from_data(p,
                                    "window#velmora-main decoration { margin: 0; padding: 0; border: none;"
                                    " border-radius: 0; box-shadow: none; }",
                                    -1, nullptr);
    return p;
  }();
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(frame),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  gtk_window_set_title(GTK_WINDOW(window_), text::kWindowTitle);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                     return static_cast<HostWindow*>(self)->closeRequested();
                   }),
                   this);
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     auto* w = static_cast<HostWindow*>(self);
                     w->window_ = nullptr;
                     w->closed_ = true;
                     if (gtk_main_level() > 0) gtk_main_quit();
                   }),
                   this);

  // The header bar stands in for the Windows title bar: title, the window
  // menu (with the About item of the system menu), minimise and close.
  header_ = gtk_header_bar_new();
  gtk_header_bar_set_title(GTK_HEADER_BAR(header_), text::kWindowTitle);
  gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(header_), TRUE);
  gtk_header_bar_set_decoration_layout(GTK_HEADER_BAR(header_), "icon:minimize,close");
  GtkWidget* menuButton = gtk_menu_button_new();
  gtk_widget_set_name(menuButton, "window-menu");
  gtk_button_set_image(GTK_BUTTON(menuButton), gtk_image_new_from_icon_name("open-menu-symbolic", GTK_ICON_SIZE_BUTTON));
  GtkWidget* menu = gtk_menu_new();
  GtkWidget* minimise = gtk_menu_item_new_with_mnemonic(gtkMnemonic(text::kMenuMinimise).c_str());
  GtkWidget* close = gtk_menu_item_new_with_mnemonic(gtkMnemonic(text::kMenuClose).c_str());
  GtkWidget* about = gtk_menu_item_new_with_mnemonic(gtkMnemonic(text::kMenuAbout).c_str());
  gtk_widget_set_name(about, "about");
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), minimise);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), close);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), about);
  gtk_widget_show_all(menu);
  gtk_menu_button_set_popup(GTK_MENU_BUTTON(menuButton), menu);
  g_signal_connect(minimise, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer w) { gtk_window_iconify(GTK_WINDOW(w)); }),
                   window_);
  g_signal_connect(close, "activate", G_CALLBACK(+[](GtkMenuItem*, gpointer w) { gtk_window_close(GTK_WINDOW(w)); }),
                   window_);
  g_signal_connect(about, "activate",
                   G_CALLBACK(+[](GtkMenuItem*, gpointer self) { static_cast<HostWindow*>(self)->showAbout(); }), this);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header_), menuButton);
  // Work in progress (a key being made, an update downloading): a spinner,
  // what is happening in both languages, and the download's share.
  busyBox_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_widget_set_name(busyBox_, "busy");
  spinner_ = gtk_spinner_new();
  busyLabel_ = gtk_label_new("");
  progress_ = gtk_progress_bar_new();
  gtk_widget_set_valign(progress_, GTK_ALIGN_CENTER);
  // The header bar keeps the window's width: a long text is shortened.
  gtk_label_set_ellipsize(GTK_LABEL(busyLabel_), PANGO_ELLIPSIZE_END);
  gtk_label_set_max_width_chars(GTK_LABEL(busyLabel_), 30);
  gtk_widget_set_size_request(progress_, 90, -1);
  gtk_box_pack_start(GTK_BOX(busyBox_), spinner_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(busyBox_), busyLabel_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(busyBox_), progress_, FALSE, FALSE, 0);
  gtk_widget_set_no_show_all(busyBox_, TRUE);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header_), busyBox_);
  gtk_window_set_titlebar(GTK_WINDOW(window_), header_);

  // On Windows the program switches off the replacement of an unresponsive window
  // by a ghost window, so that long bridge calls leave the real window on
  // screen. The X11 counterpart: the window does not take part in the
  // window manager's ping (_NET_WM_PING), so a desktop never marks it as
  // not responding or offers to end it while a call runs.
  g_signal_connect(window_, "realize", G_CALLBACK(+[](GtkWidget* w, gpointer) {
                     GdkWindow* gw = gtk_widget_get_window(w);
                     if (!gw || !GDK_IS_X11_WINDOW(gw)) return;
                     Display* d = GDK_WINDOW_XDISPLAY(gw);
                     const Atom ping = XInternAtom(d, "_NET_WM_PING", False);
                     Atom* list = nullptr;
                     int n = 0;
                     if (!XGetWMProtocols(d, GDK_WINDOW_XID(gw), &list, &n)) return;
                     std::vector<Atom> keep;
                     for (int i = 0; i < n; ++i)
                       if (list[i] != ping) keep.push_back(list[i]);
                     XFree(list);
                     XSetWMProtocols(d, GDK_WINDOW_XID(gw), keep.data(), int(keep.size()));
                   }),
                   nullptr);

  // Icon 128: the large and the small window icon.
  gtk_window_set_icon(GTK_WINDOW(window_), programIcon());
}

void HostWindow::documentComplete(const std::string& frame) {
  if (!window_) return;
  // Keep the centre, take the fixed size, come to the top and activate.
  int x = 0, y = 0, w = 0, h = 0;
  gtk_window_get_position(GTK_WINDOW(window_), &x, &y);
  gtk_window_get_size(GTK_WINDOW(window_), &w, &h);
  const int left = (x + (x + w)) / 2 - 405;
  const int top = (y + (y + h)) / 2 - 316;
  gtk_window_move(GTK_WINDOW(window_), left, top);
  gtk_window_resize(GTK_WINDOW(window_), kWidth, kHeight);
  gtk_window_present(GTK_WINDOW(window_));
  // The window's size as the user sees it: the header bar (the title bar)
  // and the view below it.
  GtkAllocation a{}, t{};
  gtk_widget_get_allocation(GTK_WIDGET(view_), &a);
  gtk_widget_get_allocation(header_, &t);
  hostLog("document-complete", {{"frame", frame},
                                {"left", left},
                                {"top", top},
                                {"width", a.width},
                                {"height", a.height + t.height},
                                {"viewWidth", a.width},
                                {"viewHeight", a.height}});
}

int HostWindow::run() {
  // 13: the window and the browser control over its client area.
  build();
  WebKitWebContext* context = webkit_web_context_get_default();
  // WebKit asks for the extension's folder and initialisation data right
  // before it starts each web process (the first one starts with the first
  // navigation, after step 17).
  initHandler_ = g_signal_connect(context, "initialize-web-extensions", G_CALLBACK(+[](WebKitWebContext* ctx, gpointer self) {
                     auto* w = static_cast<HostWindow*>(self);
                     if (!w->server_ || w->server_->socketPath().empty()) return;
                     const std::string ext = extensionFolder();
                     webkit_web_context_set_web_extensions_directory(ctx, ext.c_str());
                     webkit_web_context_set_web_extensions_initialization_user_data(
                         ctx, initialisationData(*w->server_));
                   }),
                   this);
  // Web processes run in WebKitGTK's bubblewrap sandbox, which this API
  // version leaves off unless asked. Inside it they see, of ours, only the
  // extension's folder (read-only) and the private folder of the bridge
  // sockets. VELMORA_WEBKIT_SANDBOX=0 leaves it off (a desktop where
  // bubblewrap cannot run); without bubblewrap it stays off, said in the log.
  const char* sandboxSetting = getenv("VELMORA_WEBKIT_SANDBOX");
  const bool sandboxWanted = !(sandboxSetting && std::string(sandboxSetting) == "0");
  if (sandboxWanted) {
    gchar* bwrap = g_find_program_in_path("bwrap");
    if (bwrap) webkit_web_context_set_sandbox_enabled(context, TRUE);
    else hostLog("sandbox-unavailable", {{"reason", "bwrap is not installed"}});
    g_free(bwrap);
  }
  if (webkit_web_context_get_sandbox_enabled(context)) {
    webkit_web_context_add_path_to_sandbox(context, extensionFolder().c_str(), TRUE);
    const std::string sockets = velmora::channel::BridgeServer::baseFolder();
    if (!sockets.empty()) webkit_web_context_add_path_to_sandbox(context, sockets.c_str(), FALSE);
  }
  view_ = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
  WebKitSettings* settings = webkit_web_view_get_settings(view_);
  webkit_settings_set_enable_developer_extras(settings, FALSE);
  // A long bridge call blocks the web process; it is never killed for that.
  g_signal_connect(view_, "web-process-terminated",
                   G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer) {
                     hostLog("web-process-terminated", {{"reason", int(reason)}});
                   }),
                   nullptr);
  g_signal_connect(view_, "load-failed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* e, gpointer) -> gboolean {
                     hostLog("load-failed", {{"uri", uri ? uri : ""}, {"error", e ? e->message : ""}});
                     return FALSE;
                   }),
                   nullptr);
  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));

  // 14: trusted sites, in order.
  for (const char* host : deployment::kTrustedHosts) RegisterTrustedSite(host);
  // 15, 16: the window menu and the icon (built with the window); the
  // dialogs are modal to it from now on.
  if (dialogs_) dialogs_->setParent(GTK_WINDOW(window_));

  // 17: the bridge: the portal's frames and those of the trusted hosts get
  // window.external.
  server_ = std::make_unique<velmora::channel::BridgeServer>(
      static_cast<IDispatch*>(&dlg_), [this](const std::string& frame) { documentComplete(frame); });
  server_->setOriginPolicy(pagePolicy());
  // A call into a component that a job is using is answered when the job
  // has ended (the page's script waits for it as for any call).
  server_->setCallGate(
      [this](int32_t dispid) { return !dlg_.componentBusy(CFENROClientDlg::componentOf(dispid)); });
  std::string error;
  if (!server_->start(&error)) {
    // Without the bridge the portal's pages would find a dead
    // window.external: the user is told, and the program ends.
    hostLog("bridge-failed", {{"error", error}});
    velmora::ui::messageBox(text::kBridgeFailed, text::kApologyCaption, MB_OK | MB_ICONERROR);
    hostLog("quit", {{"reason", "bridge"}});
    return 1;
  }

  // The fixed size: the header bar and the view together are 810 x 633.
  gtk_widget_show_all(header_);
  int headerHeight = 0;
  gtk_widget_get_preferred_height(header_, nullptr, &headerHeight);
  hostLog("layout", {{"headerHeight", headerHeight}});
  gtk_widget_set_size_request(GTK_WIDGET(view_), kWidth, std::max(1, kHeight - headerHeight));
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);

  // 18: the portal check, before the window is first shown.
  const std::string home = homeUrl();
  const PortalCheckResult check = CheckPortalReachable(home);
  hostLog("portal-check", {{"url", home}, {"ok", check.ok}, {"status", check.status}, {"error", check.error}});
  if (!check.ok) {
    velmora::ui::messageBox(text::kApology, text::kApologyCaption, MB_OK | MB_ICONEXCLAMATION);
    hostLog("quit", {{"reason", "portal-check"}});
    return 0;
  }
  // 19, 20: the first navigation; the host flags need nothing here.
  webkit_web_view_load_uri(view_, home.c_str());
  gtk_widget_show_all(window_);

  // SIGTERM and SIGINT close the window as the close box does.
  auto closeWindow = +[](gpointer self) -> gboolean {
    auto* w = static_cast<HostWindow*>(self);
    // As the close box, but also while a prompt holds the window's grab
    // (GTK then drops a delete event).
    if (w->window_ && !w->closeRequested()) gtk_widget_destroy(w->window_);
    return G_SOURCE_CONTINUE;
  };
  const guint term = g_unix_signal_add(SIGTERM, closeWindow, this);
  const guint intr = g_unix_signal_add(SIGINT, closeWindow, this);
  hostLog("running", {{"socket", server_->socketPath()},
                      {"sandbox", bool(webkit_web_context_get_sandbox_enabled(webkit_web_context_get_default()))}});
  gtk_main();
  g_source_remove(term);
  g_source_remove(intr);
  hostLog("closed", {{"calls", server_->calls()}});
  return 0;
}

}  // namespace velmora::host
