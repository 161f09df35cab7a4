#include "client_dlg.h"

#include <cstring>
#include <new>

#include <winuser.h>

#include "app/host_log.h"
#include "app/texts.h"
#include "method_table.h"
#include "shell/shell.h"
#include "ui/dialogs.h"

CFENROClientDlg::CFENROClientDlg() {
  m_update.publisherKeyPem = velmora::host::builtInPublisherKey();
  if (const char* ca = getenv("VELMORA_UPDATE_CA_FILE"); ca && *ca) m_update.caFile = ca;
}

CFENROClientDlg::~CFENROClientDlg() {
  // A job still running works in the component objects and stores into
  // this object: both must outlive it, so the end waits for it. (The
  // window does not close while a job runs; this covers every other owner.)
  {
    std::lock_guard lock(m_activityMutex);
    m_activity = nullptr;
  }
  for (;;) {
    std::thread running;
    {
      std::lock_guard lock(m_jobsMutex);
      for (auto& j : m_jobs)
        if (j.thread.joinable()) {
          running = std::move(j.thread);
          break;
        }
    }
    if (!running.joinable()) break;
    running.join();
  }
}

void CFENROClientDlg::setActivityListener(std::function<void()> listener) {
  std::lock_guard lock(m_activityMutex);
  m_activity = std::move(listener);
}

void CFENROClientDlg::notifyActivity() {
  std::lock_guard lock(m_activityMutex);
  if (m_activity) m_activity();
}

void CFENROClientDlg::reapEndedJobs() {
  // Called with m_jobsMutex held. An ended job's thread has nothing left
  // to do but return, so joining it here is short.
  for (auto it = m_jobs.begin(); it != m_jobs.end();) {
    if (it->ended && it->thread.get_id() != std::this_thread::get_id()) {
      if (it->thread.joinable()) it->thread.join();
      it = m_jobs.erase(it);
    } else {
      ++it;
    }
  }
}

void CFENROClientDlg::startJob(Component component, bool reportsState, std::function<int()> work) {
  std::lock_guard lock(m_jobsMutex);
  reapEndedJobs();
  if (reportsState) {
    ++m_stateJobs;
    m_nGenkeyState = -1;
  }
  Job& job = m_jobs.emplace_back();
  job.component = component;
  job.sequence = ++m_jobSequence;
  Job* self = &job;
  try {
    job.thread = std::thread([this, self, reportsState, work = std::move(work)] {
      {
        // Jobs in one component run in the order they were started.
        std::unique_lock wait(m_jobsMutex);
        m_jobsChanged.wait(wait, [&] {
          for (const auto& other : m_jobs)
            if (&other != self && !other.ended && other.component == self->component &&
                other.sequence < self->sequence)
              return false;
          return true;
        });
      }
      const int result = work();
      {
        std::lock_guard done(m_jobsMutex);
        self->ended = true;
        if (reportsState && --m_stateJobs == 0) m_nGenkeyState = result;
      }
      m_jobsChanged.notify_all();
      notifyActivity();
    });
  } catch (const std::system_error&) {
    // No thread: the job never runs and the state stays as the start left
    // it (-1, or no request text).
    job.ended = true;
    if (reportsState) --m_stateJobs;
    return;
  }
  notifyActivity();
}

CFENROClientDlg::Component CFENROClientDlg::componentOf(DISPID id) { return bridge::methodComponent(id); }

bool CFENROClientDlg::componentBusy(Component component) const {
  std::lock_guard lock(m_jobsMutex);
  for (const auto& j : m_jobs)
    if (!j.ended && j.component == component) return true;
  return false;
}

int CFENROClientDlg::runningJobs() const {
  std::lock_guard lock(m_jobsMutex);
  int n = 0;
  for (const auto& j : m_jobs) n += j.ended ? 0 : 1;
  return n;
}

void CFENROClientDlg::waitForComponent(Component component) {
  if (component == Component::Host || !componentBusy(component)) return;
  if (m_waitHook) {
    m_waitHook([&] { return !componentBusy(component); });
    return;
  }
  std::unique_lock lock(m_jobsMutex);
  m_jobsChanged.wait(lock, [&] {
    for (const auto& j : m_jobs)
      if (!j.ended && j.component == component) return false;
    return true;
  });
}

void CFENROClientDlg::waitForJobs() {
  if (m_waitHook) {
    m_waitHook([&] { return runningJobs() == 0; });
    return;
  }
  std::unique_lock lock(m_jobsMutex);
  m_jobsChanged.wait(lock, [&] {
    for (const auto& j : m_jobs)
      if (!j.ended) return false;
    return true;
  });
}

HRESULT CFENROClientDlg::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *ppvObject = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG CFENROClientDlg::AddRef() { return ++m_refs; }
ULONG CFENROClientDlg::Release() { return m_refs > 1 ? --m_refs : 1; }

HRESULT CFENROClientDlg::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;  // no type library: pages call by name
  return S_OK;
}

HRESULT CFENROClientDlg::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT CFENROClientDlg::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) {
  if (!rgszNames || !rgDispId || cNames == 0) return E_INVALIDARG;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < cNames; ++i) {
    const OLECHAR* name = rgszNames[i];
    size_t len = 0;
    while (name && name[len]) ++len;
    // Only the method name is looked up; there are no named arguments.
    rgDispId[i] = i == 0 ? bridge::findMethod(std::u16string_view(name ? name : u"", len)) : DISPID_UNKNOWN;
    if (rgDispId[i] <= 0) {
      rgDispId[i] = DISPID_UNKNOWN;
      hr = DISP_E_UNKNOWNNAME;
    }
  }
  return hr;
}

namespace {

HRESULT raise(EXCEPINFO* info, HRESULT scode, const char16_t* description) {
  if (info) {
    memset(info, 0, sizeof *info);
    info->bstrSource = SysAllocString(u"Velmora");
    info->bstrDescription = SysAllocString(description);
    info->scode = scode;
  }
  return DISP_E_EXCEPTION;
}

}  // namespace

HRESULT CFENROClientDlg::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  const auto& table = bridge::methodTable();
  if (dispIdMember < 1 || size_t(dispIdMember) > table.size()) return DISP_E_MEMBERNOTFOUND;
  if (!(wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  const bridge::Method& method = table[size_t(dispIdMember) - 1];

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const DISPPARAMS& params = pDispParams ? *pDispParams : none;
  if (params.cNamedArgs > 0) return DISP_E_NONAMEDARGS;
  if (params.cArgs != method.params.size()) return DISP_E_BADPARAMCOUNT;

  // Arguments arrive last first. Convert all of them before the handler runs.
  bridge::Args args;
  bool textWithNul = false;
  for (UINT k = 0; k < params.cArgs; ++k) {
    const UINT position = params.cArgs - 1 - k;
    const VARIANT& given = params.rgvarg[position];
    VARIANT converted;
    VariantInit(&converted);
    HRESULT hr = S_OK;
    switch (method.params[k]) {
      case bridge::ParamType::String:
        hr = VariantChangeType(&converted, &given, 0, VT_BSTR);
        if (SUCCEEDED(hr)) {
          BSTR b = converted.bstrVal;
          const std::u16string_view text(b ? b : u"", SysStringLen(b));
          if (text.find(u'\0') != std::u16string_view::npos) textWithNul = true;
          args.text.push_back(velmora::platform::toNarrow(text, CP_ACP));
        }
        break;
      case bridge::ParamType::Int32:
        hr = VariantChangeType(&converted, &given, 0, VT_I4);
        if (SUCCEEDED(hr)) args.int32.push_back(converted.lVal);
        break;
      case bridge::ParamType::Float32:
        hr = VariantChangeType(&converted, &given, 0, VT_R4);
        if (SUCCEEDED(hr)) args.real.push_back(converted.fltVal);
        break;
    }
    VariantClear(&converted);
    if (FAILED(hr)) {
      if (puArgErr) *puArgErr = position;
      return hr;
    }
  }

  // The components take 8-bit texts that end at the first NUL: such a call
  // would run on a shortened argument, so it does not run at all.
  if (textWithNul && !method.refuse)
    return raise(pExcepInfo, E_INVALIDARG, u"A text argument holds a NUL character.");

  // A call into a component that a job is working in waits for the job:
  // the components take no locks and must not run two operations at once.
  waitForComponent(bridge::methodComponent(dispIdMember));

  VARIANT result;
  VariantInit(&result);
  HRESULT hr;
  try {
    hr = (textWithNul ? method.refuse : method.handler)(*this, args, &result);
  } catch (const StrabelComError& e) {
    return raise(pExcepInfo, e.hr, u"The result could not be converted.");
  } catch (const std::bad_alloc&) {
    return raise(pExcepInfo, E_OUTOFMEMORY, u"Out of memory.");
  }
  if (hr == E_OUTOFMEMORY) return raise(pExcepInfo, hr, u"Out of memory.");
  if (FAILED(hr)) return hr;
  if (pVarResult) {
    *pVarResult = result;
  } else {
    VariantClear(&result);
  }
  return S_OK;
}

void CFENROClientDlg::browseWeb(const char* url) { velmora::shell::openWithDefaultHandler(url ? url : ""); }

int CFENROClientDlg::versionCheck(const char* serverVersion, const char* installerUrl) {
  // The host is older only when its version sorts before the portal's, byte
  // by byte (no numeric reading: 1.10.0.0 sorts before 1.8.0.0).
  if (strcmp(kHostVersion, serverVersion ? serverVersion : "") >= 0) return 0;
  return DownloadAndRunInstaller(installerUrl ? installerUrl : "") == 0 ? 0 : -1;
}

int CFENROClientDlg::DownloadAndRunInstaller(const char* url) {
  velmora::host::UpdateOptions options = m_update;
  m_cancelDownload = false;
  m_downloadNow = 0;
  m_downloadTotal = 0;
  options.progress = [this](long long now, long long total) {
    if (now != m_downloadNow || total != m_downloadTotal) {
      m_downloadNow = now;
      m_downloadTotal = total;
      notifyActivity();
    }
    return !m_cancelDownload;
  };
  const std::string address = url ? url : "";
  m_downloading = true;
  notifyActivity();
  velmora::host::UpdateOutcome outcome;
  if (m_waitHook) {
    // The window thread keeps drawing (the progress) while the download
    // runs; the page's call still ends only with the result.
    std::atomic<bool> done{false};
    std::thread worker([&] {
      outcome = velmora::host::DownloadAndRunInstaller(address, options);
      done = true;
      notifyActivity();
    });
    m_waitHook([&] { return done.load(); });
    worker.join();
  } else {
    outcome = velmora::host::DownloadAndRunInstaller(address, options);
  }
  m_downloading = false;
  notifyActivity();
  velmora::host::hostLog("update", {{"url", address},
                                    {"result", outcome.code},
                                    {"detail", outcome.detail},
                                    {"path", outcome.path},
                                    {"pid", int(outcome.pid)}});
  // Nothing unsigned runs: the user learns why nothing was installed.
  if (!outcome.refusal.empty())
    velmora::ui::messageBox(outcome.refusal.c_str(), velmora::host::text::kUpdateCaption, MB_OK | MB_ICONERROR);
  m_lastUpdate = outcome;
  return outcome.code;
}
