// The main window object. It owns one object of each component class for
// its whole life and is itself the page's bridge object (window.external):
// its dispatch interface exposes the 138 methods of the bridge table.
// velmora-call builds the same object without a window.
#pragma once

#include <cardtool/cardtool.h>
#include <oleauto.h>
#include <quennet/quennet.h>
#include <strabel/strabel.h>

#include "app/updater.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

class CFENROClientDlg : public IDispatch {
 public:
  CFENROClientDlg();
  virtual ~CFENROClientDlg();
  CFENROClientDlg(const CFENROClientDlg&) = delete;
  CFENROClientDlg& operator=(const CFENROClientDlg&) = delete;

  // IUnknown. The window object owns itself; references do not end it.
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IDispatch
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // Opens an address or file with the desktop's default handler.
  virtual void browseWeb(const char* url);
  // Compares the host's version with the portal's; 0 or -1.
  virtual int versionCheck(const char* serverVersion, const char* installerUrl);
  // Downloads, verifies and starts the installer: 0, 1000 or 1002.
  virtual int DownloadAndRunInstaller(const char* url);

  // ---- key-generation jobs ----
  // The component a job works in. Jobs in one component run one after the
  // other (the components take no locks); a page's call into a component
  // that a job is using waits for the job (see waitUntil).
  enum class Component { Host, Security, Token };
  // Starts `work` on a thread of its own; `reportsState` jobs keep
  // m_nGenkeyState at -1 until every such job has ended, then it holds the
  // result of the one that ended last.
  void startJob(Component component, bool reportsState, std::function<int()> work);
  bool componentBusy(Component component) const;
  // The component a bridge method (by dispatch identifier) works in.
  static Component componentOf(DISPID id);
  // Jobs started and not yet ended.
  int runningJobs() const;
  // Waits until no job uses `component`.
  void waitForComponent(Component component);
  // Waits until every job has ended.
  void waitForJobs();

  // How the window thread waits (for a busy component, a download): the
  // host keeps its main loop running meanwhile, so that a job's dialogs,
  // which are carried to the window thread, are served. Unset: the calling
  // thread blocks.
  std::function<void(const std::function<bool()>& done)> m_waitHook;
  // Called (from any thread) when a job starts or ends, or a download
  // progresses; the host updates its progress indicator.
  void setActivityListener(std::function<void()> listener);
  void notifyActivity();
  // The download's progress: bytes so far and expected (0 when unknown);
  // downloading is true while a download runs.
  std::atomic<bool> m_downloading{false};
  std::atomic<long long> m_downloadNow{0}, m_downloadTotal{0};
  // Set to make a running download stop (the window is closing).
  std::atomic<bool> m_cancelDownload{false};
  // The update's settings: the built-in publisher key, and the trust
  // anchors named by VELMORA_UPDATE_CA_FILE (libcurl's bundle without it).
  // `started` is the host's: it brings the installer's window to the front.
  velmora::host::UpdateOptions m_update;
  // The outcome of the last download (for the host log and tests).
  velmora::host::UpdateOutcome m_lastUpdate;

  // Component objects, constructed in this order and destroyed in reverse.
  CCardToolLib m_cardTool;
  JCICLib m_jcic;
  CCAPILib m_capi;
  CCAPICertRegLib m_certReg;
  CCAPITaiMAC10 m_taiMac;

  // Key-generation job fields.
  std::string m_capiJobCommonName;
  long m_capiJobKeyBits = 0;
  long m_capiJobFlags = 0;
  int m_jcicJobKeyType = 0;
  int m_jcicJobKeySize = 0;
  std::string m_jcicJobCommonName;
  std::atomic<int> m_nGenkeyState{-1};
  std::string m_p10Tmp;
  std::mutex m_jobLock;

  static constexpr const char* kHostVersion = "1.8.0.0";

 private:
  std::atomic<ULONG> m_refs{1};

  struct Job {
    Component component;
    unsigned long sequence;
    std::thread thread;
    bool ended = false;
  };
  unsigned long m_jobSequence = 0;
  mutable std::mutex m_jobsMutex;
  std::condition_variable m_jobsChanged;
  std::list<Job> m_jobs;
  int m_stateJobs = 0;
  std::function<void()> m_activity;
  std::mutex m_activityMutex;
  void reapEndedJobs();
};
