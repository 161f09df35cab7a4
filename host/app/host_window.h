// The one window of the program (Parts 1.2 and 1.3): a GTK window with a
// header bar (title, the window menu with the About item, minimise and
// close) and a WebKitGTK view filling the rest, at the fixed size 810 x 633.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <string>

#include "channel/bridge_server.h"

class CFENROClientDlg;

namespace velmora::host {

class GtkDialogService;

class HostWindow {
 public:
  HostWindow(CFENROClientDlg& dlg, std::shared_ptr<GtkDialogService> dialogs);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  // Window initialisation (steps 13 to 20) and the run until the window
  // closes or the apology's quit arrives. Returns the exit status.
  int run();

  static constexpr int kWidth = 810;
  static constexpr int kHeight = 633;

 private:
  void build();
  void documentComplete(const std::string& frame);
  void showAbout();
  // The header bar's progress indicator, from the jobs and the download.
  void updateProgress();
  // Closing: waits for running jobs (the window stays and says so), stops
  // a running download.
  bool closeRequested();
  static void bringToFront(pid_t pid);
  static GdkPixbuf* programIcon();

  CFENROClientDlg& dlg_;
  std::shared_ptr<GtkDialogService> dialogs_;
  std::unique_ptr<velmora::channel::BridgeServer> server_;
  GtkWidget* window_ = nullptr;
  GtkWidget* header_ = nullptr;
  WebKitWebView* view_ = nullptr;
  bool closed_ = false;
  bool closePending_ = false;
  int nestedWaits_ = 0;
  std::atomic<bool> progressQueued_{false};
  void scheduleProgress();
  GtkWidget* busyBox_ = nullptr;
  GtkWidget* spinner_ = nullptr;
  GtkWidget* busyLabel_ = nullptr;
  GtkWidget* progress_ = nullptr;
  gulong initHandler_ = 0;
};

}  // namespace velmora::host
