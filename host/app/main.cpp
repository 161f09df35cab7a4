// velmora: the program. Single instance per user session, the window
// object with its component objects, the window, the portal.
#include <gtk/gtk.h>
#include <winuser.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/host_log.h"
#include "app/lsan_suppressions.h"
#include "app/host_window.h"
#include "app/server_registration.h"
#include "app/single_instance.h"
#include "app/texts.h"
#include "client_dlg.h"
#include "ui/dialogs.h"
#include "ui/gtk_dialogs.h"

int main(int argc, char** argv) {
  using namespace velmora::host;
  if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    printf("usage: velmora\n"
           "Shows the certification authority's portal in a window; its pages enrol, install and use\n"
           "your certificates. VELMORA_PORTAL_URL sets another portal address. The program keeps its\n"
           "data in ${XDG_DATA_HOME:-~/.local/share}/velmora/. See velmora(1).\n");
    return 0;
  }
  // The command line is otherwise ignored (GTK takes its own options).
  gtk_init(&argc, &argv);
  // The GTK dialogs, unless the environment asks for the scripted service
  // (VELMORA_DIALOG_SCRIPT / VELMORA_DIALOG_LOG).
  auto dialogs = std::make_shared<GtkDialogService>();
  const char* script = getenv("VELMORA_DIALOG_SCRIPT");
  const char* log = getenv("VELMORA_DIALOG_LOG");
  if (!(script && *script) && !(log && *log)) velmora::ui::installDialogService(dialogs);

  // 1, 2: the single-instance guard.
  std::unique_ptr<SingleInstance> guard;
  std::string error;
  if (SingleInstance::acquire("Velmora", guard, &error) != SingleInstance::Outcome::Acquired) {
    hostLog("already-running", {{"error", error}});
    velmora::ui::messageBox(text::kAlreadyRunning, "", MB_OK);
    return 0;
  }
  hostLog("start");
  // Pages create the components' automation objects through their
  // registration, which the program keeps naming its own modules.
  for (const auto& server : registerComponentServers()) {
    char code[16];
    snprintf(code, sizeof code, "0x%08X", unsigned(server.result));
    hostLog("server-registration",
            {{"module", server.path}, {"already", server.alreadyRegistered}, {"result", code}});
  }
  velmora::channel::setPageClasses(componentPageClasses());
  int status;
  {
    // 10-12: the window object and its component objects (card tool, then
    // the token component); destroyed in reverse after the window.
    auto dlg = std::make_unique<CFENROClientDlg>();
    {
      HostWindow window(*dlg, dialogs);
      status = window.run();
    }
    dlg.reset();
  }
  velmora::ui::installDialogService(nullptr);
  hostLog("end");
  return status;
}
