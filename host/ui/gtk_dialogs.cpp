#include "ui/gtk_dialogs.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

namespace velmora::host {

using velmora::ui::DialogRequest;
using velmora::ui::DialogResult;
namespace kind = velmora::ui::kind;

std::string gtkMnemonic(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        out.push_back('&');
        ++i;
      } else {
        out.push_back('_');
      }
    } else if (text[i] == '_') {
      out += "__";
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

namespace {

std::string stockLabel(const std::string& id) {
  static const std::pair<const char*, const char*> labels[] = {
      {"ok", "_OK"},         {"cancel", "_Cancel"}, {"yes", "_Yes"},          {"no", "_No"},
      {"abort", "_Abort"},   {"retry", "_Retry"},   {"ignore", "_Ignore"},    {"try-again", "_Try Again"},
      {"continue", "C_ontinue"}, {"browse", "_Browse"}, {"certificate", "_Certificate"}, {"help", "_Help"}};
  // GTK's own translation of the label in the user's language (a Chinese
  // desktop shows 確定 for OK, as Windows message boxes do).
  for (auto& [k, v] : labels)
    if (id == k) return g_dgettext("gtk30", v);
  return id;
}

std::string buttonLabel(const DialogRequest& r, const std::string& id) {
  std::string t = r.text("button." + id);
  return t.empty() ? stockLabel(id) : gtkMnemonic(t);
}

// Texts that are not shown as lines of the dialog itself.
bool hiddenText(const std::string& name) {
  static const std::set<std::string> hidden = {"error-caption", "error-prefix", "error-suffix", "unspecified",
                                               "browse-title"};
  return name.rfind("button.", 0) == 0 || hidden.count(name) > 0;
}

void addFilters(GtkFileChooser* chooser, const std::string& filter) {
  for (const auto& f : velmora::ui::parseFileFilter(filter)) {
    GtkFileFilter* ff = gtk_file_filter_new();
    gtk_file_filter_set_name(ff, f.name.c_str());
    for (const auto& p : f.patterns) gtk_file_filter_add_pattern(ff, p.c_str());
    gtk_file_chooser_add_filter(chooser, ff);
  }
}

// Enables "OK" only while every gated entry holds its minimum of characters.
struct OkGate {
  GtkWidget* ok = nullptr;
  std::vector<std::pair<GtkEntry*, int>> entries;
  void update() {
    bool enough = true;
    for (auto& [entry, min] : entries)
      enough = enough && g_utf8_strlen(gtk_entry_get_text(entry), -1) >= min;
    if (ok) gtk_widget_set_sensitive(ok, enough);
  }
};

struct Built {
  GtkWidget* dialog = nullptr;
  std::vector<std::pair<std::string, GtkWidget*>> fields;  // name -> entry or text view
  GtkWidget* list = nullptr;                                // tree view or combo box
  std::vector<std::string> buttons;                         // response i -> id
};

Built buildDialog(const DialogRequest& r, GtkWindow* parent) {
  Built b;
  b.buttons = r.buttons;
  const std::set<std::string> disabled = [&] {
    std::set<std::string> s;
    std::string list = r.option("disabled-buttons");
    size_t start = 0;
    while (start <= list.size()) {
      size_t comma = list.find(',', start);
      if (comma == std::string::npos) comma = list.size();
      if (comma > start) s.insert(list.substr(start, comma - start));
      start = comma + 1;
    }
    return s;
  }();

  if (r.kind == kind::kMessageBox) {
    const std::string icon = r.option("icon");
    GtkMessageType type = GTK_MESSAGE_OTHER;
    if (icon == "error") type = GTK_MESSAGE_ERROR;
    else if (icon == "question") type = GTK_MESSAGE_QUESTION;
    else if (icon == "warning") type = GTK_MESSAGE_WARNING;
    else if (icon == "information") type = GTK_MESSAGE_INFO;
    b.dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", r.text("message").c_str());
  } else if (r.kind == kind::kOpenFile || r.kind == kind::kFolder) {
    const bool folder = r.kind == kind::kFolder;
    b.dialog = gtk_file_chooser_dialog_new(r.title.c_str(), parent,
                                           folder ? GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER : GTK_FILE_CHOOSER_ACTION_OPEN,
                                           nullptr, nullptr);
    auto* chooser = GTK_FILE_CHOOSER(b.dialog);
    if (!folder) addFilters(chooser, r.option("filter"));
    const std::string initial = r.option("initial-folder");
    if (!initial.empty()) gtk_file_chooser_set_current_folder(chooser, initial.c_str());
    b.fields.emplace_back(folder ? "folder" : "path", b.dialog);
  } else {
    b.dialog = gtk_dialog_new();
    if (parent) gtk_window_set_transient_for(GTK_WINDOW(b.dialog), parent);
    GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(b.dialog));
    gtk_container_set_border_width(GTK_CONTAINER(area), 10);
    gtk_box_set_spacing(GTK_BOX(area), 6);
    if (r.kind == kind::kAbout && parent) {
      if (GdkPixbuf* icon = gtk_window_get_icon(parent)) {
        GtkWidget* image = gtk_image_new_from_pixbuf(icon);
        gtk_box_pack_start(GTK_BOX(area), image, FALSE, FALSE, 0);
      }
    }
    for (const auto& [name, value] : r.texts) {
      if (hiddenText(name) || value.empty()) continue;
      GtkWidget* label = gtk_label_new(value.c_str());
      gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
      gtk_label_set_xalign(GTK_LABEL(label), 0);
      gtk_widget_set_name(label, name.c_str());
      gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
    }
    if (!r.fields.empty()) {
      GtkWidget* grid = gtk_grid_new();
      gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
      gtk_grid_set_column_spacing(GTK_GRID(grid), 8);
      int row = 0;
      for (const auto& f : r.fields) {
        GtkWidget* input;
        if (f.multiline) {
          input = gtk_text_view_new();
          gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(input)), f.value.c_str(), -1);
          gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(input), GTK_WRAP_CHAR);
          gtk_text_view_set_editable(GTK_TEXT_VIEW(input), !f.readOnly);
          gtk_widget_set_size_request(input, 360, 100);
        } else {
          input = gtk_entry_new();
          gtk_entry_set_text(GTK_ENTRY(input), f.value.c_str());
          gtk_entry_set_visibility(GTK_ENTRY(input), !f.password);
          if (f.maxLength > 0) gtk_entry_set_max_length(GTK_ENTRY(input), f.maxLength);
          gtk_entry_set_activates_default(GTK_ENTRY(input), TRUE);
          gtk_widget_set_hexpand(input, TRUE);
        }
        gtk_widget_set_sensitive(input, !f.readOnly);
        gtk_widget_set_name(input, f.name.c_str());
        if (!f.label.empty()) {
          GtkWidget* label = gtk_label_new(f.label.c_str());
          gtk_label_set_xalign(GTK_LABEL(label), 0);
          gtk_grid_attach(GTK_GRID(grid), label, 0, row, 1, 1);
        }
        gtk_grid_attach(GTK_GRID(grid), input, 1, row, 1, 1);
        b.fields.emplace_back(f.name, input);
        ++row;
      }
      gtk_box_pack_start(GTK_BOX(area), grid, FALSE, FALSE, 0);
    }
    if (r.kind == kind::kReaderSelect) {
      GtkWidget* combo = gtk_combo_box_text_new();
      for (const auto& row : r.rows) gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), row.empty() ? "" : row[0].c_str());
      gtk_combo_box_set_active(GTK_COMBO_BOX(combo), r.rows.empty() ? -1 : std::max(0, r.selected));
      gtk_box_pack_start(GTK_BOX(area), combo, FALSE, FALSE, 0);
      b.list = combo;
    } else if (!r.rows.empty() || !r.columns.empty()) {
      const size_t ncol = std::max<size_t>(1, r.columns.size());
      std::vector<GType> types(ncol, G_TYPE_STRING);
      GtkListStore* store = gtk_list_store_newv(gint(ncol), types.data());
      for (const auto& row : r.rows) {
        GtkTreeIter it;
        gtk_list_store_append(store, &it);
        for (size_t c = 0; c < ncol; ++c)
          gtk_list_store_set(store, &it, gint(c), c < row.size() ? row[c].c_str() : "", -1);
      }
      GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
      g_object_unref(store);
      for (size_t c = 0; c < ncol; ++c) {
        GtkTreeViewColumn* col = gtk_tree_view_column_new_with_attributes(
            c < r.columns.size() ? r.columns[c].c_str() : "", gtk_cell_renderer_text_new(), "text", gint(c), nullptr);
        gtk_tree_view_column_set_resizable(col, TRUE);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), col);
      }
      if (r.selected >= 0 && size_t(r.selected) < r.rows.size()) {
        GtkTreePath* path = gtk_tree_path_new_from_indices(r.selected, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)), path);
        gtk_tree_path_free(path);
      }
      GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
      gtk_widget_set_size_request(scroll, 640, 200);
      gtk_container_add(GTK_CONTAINER(scroll), view);
      gtk_box_pack_start(GTK_BOX(area), scroll, TRUE, TRUE, 0);
      b.list = view;
    }
  }
  gtk_window_set_title(GTK_WINDOW(b.dialog), r.title.c_str());
  gtk_window_set_modal(GTK_WINDOW(b.dialog), TRUE);
  if (parent) gtk_window_set_transient_for(GTK_WINDOW(b.dialog), parent);
  gtk_window_set_position(GTK_WINDOW(b.dialog), parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  for (size_t i = 0; i < r.buttons.size(); ++i) {
    GtkWidget* button = gtk_dialog_add_button(GTK_DIALOG(b.dialog), buttonLabel(r, r.buttons[i]).c_str(), gint(i));
    if (disabled.count(r.buttons[i])) gtk_widget_set_sensitive(button, FALSE);
  }
  // "OK" stays disabled while a field is shorter than its minimum, as the
  // Windows dialogs keep it.
  auto okAt = std::find(r.buttons.begin(), r.buttons.end(), "ok");
  if (okAt != r.buttons.end() && !disabled.count("ok")) {
    auto* gate = new OkGate;
    gate->ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(b.dialog), gint(okAt - r.buttons.begin()));
    for (size_t i = 0; i < r.fields.size() && i < b.fields.size(); ++i) {
      const auto& f = r.fields[i];
      if (f.readOnly || f.minLength <= 0 || !GTK_IS_ENTRY(b.fields[i].second)) continue;
      gate->entries.emplace_back(GTK_ENTRY(b.fields[i].second), f.minLength);
    }
    if (gate->entries.empty()) {
      delete gate;
    } else {
      for (auto& [entry, min] : gate->entries)
        g_signal_connect(entry, "changed", G_CALLBACK(+[](GtkEditable*, gpointer p) { static_cast<OkGate*>(p)->update(); }),
                         gate);
      g_object_set_data_full(G_OBJECT(b.dialog), "velmora-ok-gate", gate,
                             [](gpointer p) { delete static_cast<OkGate*>(p); });
      gate->update();
    }
  }
  int def = r.kind == kind::kMessageBox ? r.selected : 0;
  if (def >= 0 && size_t(def) < r.buttons.size()) gtk_dialog_set_default_response(GTK_DIALOG(b.dialog), def);
  gtk_widget_show_all(gtk_dialog_get_content_area(GTK_DIALOG(b.dialog)));
  return b;
}

DialogResult collect(const DialogRequest& r, const Built& b, int response) {
  DialogResult out;
  out.button = response >= 0 && size_t(response) < b.buttons.size() ? b.buttons[size_t(response)] : "cancel";
  for (const auto& [name, widget] : b.fields) {
    std::string value;
    if (GTK_IS_FILE_CHOOSER(widget)) {
      if (gchar* f = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(widget))) {
        value = f;
        g_free(f);
      }
    } else if (GTK_IS_TEXT_VIEW(widget)) {
      GtkTextBuffer* buf = gtk_text_view_get_buffer(GTK_TEXT_VIEW(widget));
      GtkTextIter a, z;
      gtk_text_buffer_get_bounds(buf, &a, &z);
      gchar* t = gtk_text_buffer_get_text(buf, &a, &z, FALSE);
      value = t;
      g_free(t);
    } else {
      value = gtk_entry_get_text(GTK_ENTRY(widget));
    }
    out.fields[name] = value;
  }
  if (b.list && GTK_IS_COMBO_BOX(b.list)) {
    out.row = gtk_combo_box_get_active(GTK_COMBO_BOX(b.list));
  } else if (b.list) {
    GtkTreeModel* model = nullptr;
    GtkTreeIter it;
    if (gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(b.list)), &model, &it)) {
      GtkTreePath* path = gtk_tree_model_get_path(model, &it);
      out.row = gtk_tree_path_get_indices(path)[0];
      gtk_tree_path_free(path);
    }
  }
  return out;
}

}  // namespace

GtkDialogService::GtkDialogService() : windowThread_(g_thread_self()) {}

GtkWidget* GtkDialogService::build(const DialogRequest& request) { return buildDialog(request, parent_).dialog; }

DialogResult GtkDialogService::showHere(const DialogRequest& request) {
  Built b = buildDialog(request, parent_);
  const int response = gtk_dialog_run(GTK_DIALOG(b.dialog));
  DialogResult out = collect(request, b, response);
  gtk_widget_destroy(b.dialog);
  return out;
}

DialogResult GtkDialogService::show(const DialogRequest& request) {
  if (g_thread_self() == windowThread_) return showHere(request);
  // Another thread: the window thread shows it; this one waits.
  struct Job {
    GtkDialogService* self;
    const DialogRequest* request;
    DialogResult result;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  } job{this, &request, {}, {}, {}, false};
  g_main_context_invoke(
      nullptr,
      [](gpointer p) -> gboolean {
        auto* j = static_cast<Job*>(p);
        DialogResult r = j->self->showHere(*j->request);
        std::lock_guard lock(j->mutex);
        j->result = std::move(r);
        j->done = true;
        j->cv.notify_all();
        return G_SOURCE_REMOVE;
      },
      &job);
  std::unique_lock lock(job.mutex);
  job.cv.wait(lock, [&] { return job.done; });
  return job.result;
}

}  // namespace velmora::host
