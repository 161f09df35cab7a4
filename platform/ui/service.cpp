// The process-wide dialog service and the simple implementations.
#include "ui/dialogs.h"

#include <cstdlib>

namespace velmora::ui {

DialogService::~DialogService() = default;

std::string DialogRequest::text(const std::string& name) const {
  for (const auto& [key, value] : texts)
    if (key == name) return value;
  return {};
}

std::string DialogRequest::option(const std::string& name) const {
  auto it = options.find(name);
  return it == options.end() ? std::string() : it->second;
}

DialogResult NoneDialogService::show(const DialogRequest&) { return DialogResult{}; }

FunctionDialogService::FunctionDialogService(std::function<DialogResult(const DialogRequest&)> fn)
    : fn_(std::move(fn)) {}

DialogResult FunctionDialogService::show(const DialogRequest& request) {
  return fn_ ? fn_(request) : DialogResult{};
}

namespace {

struct State {
  std::mutex mutex;
  std::shared_ptr<DialogService> installed;
  std::shared_ptr<DialogService> fallback;  // chosen from the environment at first use
  // Services replaced while the process runs: kept, so that a reference
  // handed out by dialogService() never dangles.
  std::vector<std::shared_ptr<DialogService>> retired;
};

// Never destroyed: dialogs may still be shown while static objects go away.
State& state() {
  static State* s = new State;
  return *s;
}

std::shared_ptr<DialogService> defaultFromEnvironment() {
  const char* script = std::getenv("VELMORA_DIALOG_SCRIPT");
  const char* log = std::getenv("VELMORA_DIALOG_LOG");
  if ((script && *script) || (log && *log))
    return std::make_shared<ScriptedDialogService>(script ? script : "", log ? log : "");
  return std::make_shared<NoneDialogService>();
}

}  // namespace

std::shared_ptr<DialogService> currentDialogService() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (s.installed) return s.installed;
  if (!s.fallback) s.fallback = defaultFromEnvironment();
  return s.fallback;
}

DialogService& dialogService() { return *currentDialogService(); }

void installDialogService(std::shared_ptr<DialogService> service) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (s.installed) s.retired.push_back(std::move(s.installed));
  s.installed = std::move(service);
}

ScopedDialogService::ScopedDialogService(std::shared_ptr<DialogService> service) {
  State& s = state();
  {
    std::lock_guard lock(s.mutex);
    previous_ = s.installed;
  }
  installDialogService(std::move(service));
}

ScopedDialogService::~ScopedDialogService() { installDialogService(std::move(previous_)); }

}  // namespace velmora::ui
