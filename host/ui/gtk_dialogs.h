// The GTK implementation of the dialog service (platform/ui/dialogs.h),
// installed by the host at start. Every dialog is modal to the main window;
// a call from another thread is carried to the window thread (the default
// main context) and waits there for the answer.
#pragma once

#include <gtk/gtk.h>

#include "ui/dialogs.h"

namespace velmora::host {

class GtkDialogService : public velmora::ui::DialogService {
 public:
  // Call on the window thread, after gtk_init.
  GtkDialogService();
  velmora::ui::DialogResult show(const velmora::ui::DialogRequest& request) override;
  // The window the dialogs are modal to (null before it exists).
  void setParent(GtkWindow* parent) { parent_ = parent; }

  // Builds the dialog of a request without running it (for tests that only
  // look at what would be shown). The caller destroys the widget.
  GtkWidget* build(const velmora::ui::DialogRequest& request);

 private:
  velmora::ui::DialogResult showHere(const velmora::ui::DialogRequest& request);
  GtkWindow* parent_ = nullptr;
  GThread* windowThread_;
};

// GTK's mnemonic form of a Windows menu or button text: "&A" becomes "_A",
// "&&" a plain "&", and "_" is doubled.
std::string gtkMnemonic(const std::string& windowsText);

}  // namespace velmora::host
