// The dialog service: the "none" and scripted services, the log, the
// process-wide service, and the typed helpers' requests and result mapping.
#include <windows.h>
#include <winuser.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "ui/dialogs.h"

namespace {

namespace ui = velmora::ui;
using nlohmann::json;

class Dialogs : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = vtest::makeTempDir("dialogs");
    script_ = dir_ + "/script.jsonl";
    log_ = dir_ + "/log.jsonl";
  }

  void writeScript(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    vtest::writeFile(script_, text);
  }

  // A fresh scripted service over this test's files, installed for the test.
  std::shared_ptr<ui::ScriptedDialogService> scripted(const std::vector<std::string>& lines) {
    writeScript(lines);
    auto service = std::make_shared<ui::ScriptedDialogService>(script_, log_);
    scope_ = std::make_unique<ui::ScopedDialogService>(service);
    return service;
  }

  std::vector<json> logLines() {
    std::vector<json> out;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) out.push_back(json::parse(line));  // every line must parse
    return out;
  }

  std::string logText() { return std::filesystem::exists(log_) ? vtest::readFile(log_) : std::string(); }

  std::string dir_, script_, log_;
  std::unique_ptr<ui::ScopedDialogService> scope_;
};

ui::DialogField field(const std::string& name, const std::string& value, bool password = false,
                      bool readOnly = false) {
  ui::DialogField f;
  f.name = name;
  f.value = value;
  f.password = password;
  f.readOnly = readOnly;
  return f;
}

ui::DialogRequest simpleRequest(const std::string& kind, const std::string& title = "T") {
  ui::DialogRequest r;
  r.kind = kind;
  r.title = title;
  r.buttons = {"ok", "cancel"};
  return r;
}

// --- none -------------------------------------------------------------------

TEST_F(Dialogs, NoneServiceCancelsEveryDialog) {
  ui::NoneDialogService none;
  auto r = simpleRequest("password");
  r.fields.push_back(field("password", "x", true));
  EXPECT_EQ(none.show(r).button, "cancel");

  ui::ScopedDialogService scope(std::make_shared<ui::NoneDialogService>());
  EXPECT_EQ(ui::messageBox("m", "c", MB_OK), IDOK);
  EXPECT_EQ(ui::messageBox("m", "c", MB_OKCANCEL), IDCANCEL);
  EXPECT_EQ(ui::messageBox("m", "c", MB_YESNOCANCEL), IDCANCEL);
  EXPECT_EQ(ui::messageBox("m", "c", MB_YESNO), IDNO);
  EXPECT_EQ(ui::messageBox("m", "c", MB_ABORTRETRYIGNORE), IDABORT);
  EXPECT_EQ(ui::messageBox("m", "c", MB_RETRYCANCEL), IDCANCEL);
  EXPECT_EQ(ui::messageBox("m", "c", MB_CANCELTRYCONTINUE), IDCANCEL);
  EXPECT_FALSE(ui::openFileDialog({}));
  EXPECT_FALSE(ui::chooseFolder("t"));
  EXPECT_FALSE(ui::pfxFileDialog({}));
  EXPECT_FALSE(ui::exportFileDialog({}));
  EXPECT_FALSE(ui::changePasswordDialog({}));
  EXPECT_FALSE(ui::passwordDialog({}));
  ui::SignerListParams list;
  list.rows = {{"a", "1", "2020/01/01", "2030/01/01", "CA"}};
  EXPECT_FALSE(ui::signerListDialog(list));
  EXPECT_FALSE(ui::signConfirmDialog({}));
  EXPECT_FALSE(ui::readerSelectDialog({.readers = {"A", "B"}}));
  EXPECT_FALSE(ui::keyUseDialog({}));
  EXPECT_FALSE(ui::pinDialog({}));
  EXPECT_FALSE(ui::rootInstallDialog({}));
  ui::aboutDialog({});  // returns
}

// --- scripted: order, log, masking ---------------------------------------------

TEST_F(Dialogs, ScriptedAnswersInOrderAndLogsEveryDialog) {
  auto service = scripted({
      R"({"dialog": "folder", "button": "ok", "folder": "/tmp/x"})",
      "",
      "   ",
      R"({"button": "OK", "row": 1})",
      R"({"button": "cancel"})",
  });
  ui::DialogRequest folder = simpleRequest("folder", "Pick");
  folder.fields.push_back(field("folder", "/start"));
  folder.options["initial-folder"] = "/start";
  auto r1 = service->show(folder);
  EXPECT_EQ(r1.button, "ok");
  EXPECT_EQ(r1.fields.at("folder"), "/tmp/x");

  ui::DialogRequest list = simpleRequest("signer-list", "List");
  list.columns = {"Common Name", "Serial"};
  list.rows = {{"alice", "01"}, {"bob", "02"}};
  list.selected = 0;
  list.texts = {{"button.ok", "確定"}};
  auto r2 = service->show(list);
  EXPECT_EQ(r2.button, "ok");  // lower-cased
  EXPECT_EQ(r2.row, 1);

  auto r3 = service->show(simpleRequest("password"));
  EXPECT_EQ(r3.button, "cancel");
  EXPECT_EQ(service->answersUsed(), 3);

  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["seq"], 1);
  EXPECT_EQ(log[0]["kind"], "folder");
  EXPECT_EQ(log[0]["title"], "Pick");
  EXPECT_EQ(log[0]["fields"][0]["value"], "/start");
  EXPECT_EQ(log[0]["options"]["initial-folder"], "/start");
  EXPECT_EQ(log[0]["answer"]["button"], "ok");
  EXPECT_EQ(log[0]["answer"]["fields"]["folder"], "/tmp/x");
  EXPECT_EQ(log[0]["source"], "script");
  EXPECT_EQ(log[0]["line"], 1);
  EXPECT_EQ(log[1]["kind"], "signer-list");
  EXPECT_EQ(log[1]["columns"], json({"Common Name", "Serial"}));
  EXPECT_EQ(log[1]["rows"][1], json({"bob", "02"}));
  EXPECT_EQ(log[1]["texts"]["button.ok"], "確定");
  EXPECT_EQ(log[1]["buttons"], json({"ok", "cancel"}));
  EXPECT_EQ(log[1]["answer"]["row"], 1);
  EXPECT_EQ(log[1]["line"], 4);  // blank lines skipped, physical line numbers kept
  EXPECT_EQ(log[2]["seq"], 3);
  EXPECT_EQ(log[2]["answer"]["button"], "cancel");
  EXPECT_EQ(log[2]["pid"], long(getpid()));
}

TEST_F(Dialogs, ScriptedLogNeverHoldsPasswords) {
  auto service = scripted({R"({"button": "ok", "password": "answerSecret42", "name": "a.pfx"})",
                           R"({"button": "ok"})"});
  ui::DialogRequest r = simpleRequest("pfx-file");
  r.fields.push_back(field("name", "x.pfx"));
  r.fields.push_back(field("password", "initialSecret17", true));
  auto res = service->show(r);
  EXPECT_EQ(res.fields.at("password"), "answerSecret42");  // the caller gets it
  EXPECT_EQ(res.fields.at("name"), "a.pfx");

  r.fields[1].value = "";  // an empty password shows as empty, not masked
  res = service->show(r);
  EXPECT_EQ(res.fields.at("password"), "");

  const std::string text = logText();
  EXPECT_EQ(text.find("answerSecret42"), std::string::npos);
  EXPECT_EQ(text.find("initialSecret17"), std::string::npos);
  auto log = logLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["fields"][1]["value"], "***");
  EXPECT_EQ(log[0]["fields"][1]["password"], true);
  EXPECT_EQ(log[0]["answer"]["fields"]["password"], "***");
  EXPECT_EQ(log[0]["answer"]["fields"]["name"], "a.pfx");
  EXPECT_EQ(log[1]["fields"][1]["value"], "");
}

TEST_F(Dialogs, ScriptedFieldValuesComeFromTopLevelKeys) {
  auto service = scripted({R"({"button": "ok", "password": 1234, "other": "ignored"})"});
  ui::DialogRequest r = simpleRequest("export-file");
  r.fields.push_back(field("folder", "/keep"));
  r.fields.push_back(field("password", "", true));
  auto res = service->show(r);
  EXPECT_EQ(res.fields.at("folder"), "/keep");  // not answered: the initial value
  EXPECT_EQ(res.fields.at("password"), "1234");  // a number as typed
  EXPECT_EQ(res.fields.count("other"), 0u);
}

// --- scripted: mismatch, exhausted, missing, malformed, invalid ---------------

TEST_F(Dialogs, ScriptedKindMismatchCancelsAndIsLogged) {
  auto service = scripted({R"({"dialog": "pfx-file", "button": "ok", "password": "pw1"})",
                           R"({"dialog": "password", "button": "ok", "password": "pw2"})"});
  ui::DialogRequest r = simpleRequest("password");
  r.fields.push_back(field("password", "", true));
  auto first = service->show(r);
  EXPECT_EQ(first.button, "cancel");
  EXPECT_EQ(first.fields.at("password"), "");
  auto second = service->show(r);  // the mismatched line was consumed
  EXPECT_EQ(second.button, "ok");
  EXPECT_EQ(second.fields.at("password"), "pw2");

  auto log = logLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["source"], "mismatch");
  EXPECT_EQ(log[0]["answer"]["button"], "cancel");
  const std::string error = log[0]["error"];
  EXPECT_NE(error.find("pfx-file"), std::string::npos);
  EXPECT_NE(error.find("password"), std::string::npos);
  EXPECT_EQ(log[1]["source"], "script");
}

TEST_F(Dialogs, ExhaustedOrMissingScriptCancels) {
  auto service = scripted({R"({"button": "ok"})"});
  EXPECT_EQ(service->show(simpleRequest("sign-confirm")).button, "ok");
  EXPECT_EQ(service->show(simpleRequest("sign-confirm")).button, "cancel");
  EXPECT_EQ(service->show(simpleRequest("sign-confirm")).button, "cancel");

  ui::ScriptedDialogService missing(dir_ + "/no-such-script", log_);
  EXPECT_EQ(missing.show(simpleRequest("key-use")).button, "cancel");
  ui::ScriptedDialogService noScript("", log_);
  EXPECT_EQ(noScript.show(simpleRequest("root-install")).button, "cancel");
  ui::ScriptedDialogService noLog(script_, "");  // answers without logging
  EXPECT_EQ(noLog.show(simpleRequest("sign-confirm")).button, "ok");

  auto log = logLines();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[1]["source"], "exhausted");
  EXPECT_EQ(log[2]["source"], "exhausted");
  EXPECT_EQ(log[3]["source"], "missing");
  EXPECT_EQ(log[4]["source"], "missing");
  EXPECT_EQ(log[4]["kind"], "root-install");
}

TEST_F(Dialogs, ScriptReadingPositionPersistsAndSeesAppendedLines) {
  auto service = scripted({});
  EXPECT_EQ(service->show(simpleRequest("password")).button, "cancel");
  std::ofstream(script_, std::ios::app) << R"({"button": "ok"})" << "\n" << R"({"button": "cancel"})";
  EXPECT_EQ(service->show(simpleRequest("password")).button, "ok");
  EXPECT_EQ(service->show(simpleRequest("password")).button, "cancel");  // last line without newline
  EXPECT_EQ(service->show(simpleRequest("password")).button, "cancel");
  auto log = logLines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1]["line"], 1);
  EXPECT_EQ(log[2]["line"], 2);
  EXPECT_EQ(log[3]["source"], "exhausted");
}

TEST_F(Dialogs, MalformedScriptLinesCancelAndAreRecorded) {
  auto service = scripted({
      "not json at all",
      "[1, 2, 3]",
      R"({"button": 5})",
      R"({"button": "ok", "row": "first"})",
      R"({"button": "ok", "password": "hunter2" "oops"})",
      R"({"button": "ok", "password": "hunt)",
      "\"just a string\"",
      R"({"button": "ok", "password": "good"})",
  });
  ui::DialogRequest r = simpleRequest("password");
  r.fields.push_back(field("password", "", true));
  r.rows = {{"a"}};
  for (int i = 0; i < 7; ++i) {
    auto res = service->show(r);
    EXPECT_EQ(res.button, "cancel") << "line " << i + 1;
    EXPECT_EQ(res.fields.at("password"), "");
  }
  auto good = service->show(r);
  EXPECT_EQ(good.button, "ok");
  EXPECT_EQ(good.fields.at("password"), "good");

  const std::string text = logText();
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
  EXPECT_EQ(text.find("hunt"), std::string::npos);
  auto log = logLines();
  ASSERT_EQ(log.size(), 8u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(log[i]["source"], "malformed") << i;
    EXPECT_EQ(log[i]["line"], i + 1);
    EXPECT_FALSE(log[i]["error"].get<std::string>().empty());
    EXPECT_EQ(log[i]["answer"]["button"], "cancel");
  }
  EXPECT_EQ(log[7]["source"], "script");
}

TEST_F(Dialogs, AnswersTheDialogCannotGiveCancel) {
  auto service = scripted({
      R"({"button": "yes"})",
      R"({"button": "ok", "row": 5})",
      R"({"button": "ok", "row": -1})",
      R"({"button": "browse"})",
      R"({"button": "ok"})",
  });
  ui::DialogRequest r = simpleRequest("signer-list");
  r.rows = {{"a"}, {"b"}};
  r.selected = 1;
  r.buttons = {"browse", "ok", "cancel"};
  r.options["disabled-buttons"] = "browse";
  EXPECT_EQ(service->show(r).button, "cancel");  // no such button
  EXPECT_EQ(service->show(r).button, "cancel");  // no such row
  EXPECT_EQ(service->show(r).button, "cancel");
  EXPECT_EQ(service->show(r).button, "cancel");  // disabled
  auto res = service->show(r);
  EXPECT_EQ(res.button, "ok");
  EXPECT_EQ(res.row, 1);  // no row given: the preselected one
  auto log = logLines();
  ASSERT_EQ(log.size(), 5u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(log[i]["source"], "invalid") << i;
}

TEST_F(Dialogs, LogFileIsCreatedWithMode0600) {
  const mode_t old = umask(0);
  auto service = scripted({});
  service->show(simpleRequest("password"));
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat(log_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Dialogs, ScriptedServiceIsThreadSafe) {
  constexpr int kThreads = 8, kEach = 25;
  std::vector<std::string> lines;
  for (int i = 0; i < kThreads * kEach; ++i) lines.push_back(R"({"button": "ok", "row": )" + std::to_string(i) + "}");
  auto service = scripted(lines);
  ui::DialogRequest r = simpleRequest("reader-select");
  for (int i = 0; i < kThreads * kEach; ++i) r.rows.push_back({"reader " + std::to_string(i)});
  std::vector<std::thread> threads;
  std::vector<std::vector<int>> rows(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) rows[t].push_back(service->show(r).row);
    });
  for (auto& th : threads) th.join();
  std::set<int> seen;
  for (const auto& v : rows) seen.insert(v.begin(), v.end());
  EXPECT_EQ(seen.size(), size_t(kThreads * kEach));  // every answer used exactly once
  auto log = logLines();
  ASSERT_EQ(log.size(), size_t(kThreads * kEach));
  std::set<int> seqs;
  for (const auto& l : log) seqs.insert(l["seq"].get<int>());
  EXPECT_EQ(seqs.size(), log.size());
}

// --- process-wide service ------------------------------------------------------

// Runs `body` in a forked child (a fresh choice of the default service);
// returns its exit status.
int inChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 100;
    try {
      rc = body();
    } catch (...) {
    }
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Dialogs, DefaultServiceFollowsTheEnvironmentAtFirstUse) {
  writeScript({R"({"button": "yes"})", R"({"button": "ok"})"});
  EXPECT_EQ(inChild([&] {
              setenv("VELMORA_DIALOG_SCRIPT", script_.c_str(), 1);
              setenv("VELMORA_DIALOG_LOG", log_.c_str(), 1);
              ui::DialogService& service = ui::dialogService();
              if (!dynamic_cast<ui::ScriptedDialogService*>(&service)) return 1;
              if (ui::messageBox("q", "c", MB_YESNO) != IDYES) return 2;
              // An installed service wins; taking it away goes back to the
              // same scripted default, which keeps its position.
              ui::installDialogService(std::make_shared<ui::NoneDialogService>());
              if (ui::messageBox("q", "c", MB_OKCANCEL) != IDCANCEL) return 3;
              if (!dynamic_cast<ui::NoneDialogService*>(&ui::dialogService())) return 4;
              ui::installDialogService(nullptr);
              if (&ui::dialogService() != &service) return 5;
              if (ui::messageBox("q", "c", MB_OKCANCEL) != IDOK) return 6;
              return 0;
            }),
            0);
  EXPECT_EQ(logLines().size(), 2u);  // the none service logs nothing

  EXPECT_EQ(inChild([&] {
              unsetenv("VELMORA_DIALOG_SCRIPT");
              unsetenv("VELMORA_DIALOG_LOG");
              if (!dynamic_cast<ui::NoneDialogService*>(&ui::dialogService())) return 1;
              return ui::messageBox("q", "c", MB_YESNO) == IDNO ? 0 : 2;
            }),
            0);

  // A log alone: every dialog cancels and is logged.
  const std::string log2 = dir_ + "/only-log.jsonl";
  EXPECT_EQ(inChild([&] {
              unsetenv("VELMORA_DIALOG_SCRIPT");
              setenv("VELMORA_DIALOG_LOG", log2.c_str(), 1);
              return ui::passwordDialog({}) ? 1 : 0;
            }),
            0);
  EXPECT_NE(vtest::readFile(log2).find("\"source\":\"missing\""), std::string::npos);
}

TEST_F(Dialogs, ScopedServiceRestoresThePreviousOne) {
  auto outer = std::make_shared<ui::FunctionDialogService>([](const ui::DialogRequest&) {
    ui::DialogResult r;
    r.button = "yes";
    return r;
  });
  auto base = std::make_shared<ui::NoneDialogService>();
  ui::ScopedDialogService bottom(base);
  {
    ui::ScopedDialogService a(outer);
    {
      ui::ScopedDialogService b(std::make_shared<ui::NoneDialogService>());
      EXPECT_EQ(ui::messageBox("q", "c", MB_YESNO), IDNO);
    }
    EXPECT_EQ(ui::currentDialogService(), outer);
    EXPECT_EQ(ui::messageBox("q", "c", MB_YESNO), IDYES);
  }
  EXPECT_EQ(ui::currentDialogService(), base);
}

// --- showDialog normalisation ----------------------------------------------------

TEST_F(Dialogs, ShowDialogNormalisesWhatARendererReturns) {
  ui::DialogRequest r = simpleRequest("password");
  r.fields.push_back(field("keep", "initial"));
  r.fields.push_back(field("fixed", "readonly", false, true));
  ui::DialogField limited = field("limited", "", true);
  limited.maxLength = 4;
  r.fields.push_back(limited);
  r.rows = {{"a"}};

  ui::DialogResult canned;
  canned.button = "ok";
  canned.fields = {{"fixed", "changed"}, {"limited", "密碼1234"}, {"stray", "x"}};
  canned.row = 7;
  ui::ScopedDialogService scope(
      std::make_shared<ui::FunctionDialogService>([&](const ui::DialogRequest&) { return canned; }));
  auto res = ui::showDialog(r);
  EXPECT_EQ(res.button, "ok");
  EXPECT_EQ(res.fields.at("keep"), "initial");
  EXPECT_EQ(res.fields.at("fixed"), "readonly");
  EXPECT_EQ(res.fields.at("limited"), "密碼12");  // four characters
  EXPECT_EQ(res.fields.count("stray"), 0u);
  EXPECT_EQ(res.row, -1);

  canned.button = "explode";
  EXPECT_EQ(ui::showDialog(r).button, "cancel");

  ui::ScopedDialogService throwing(std::make_shared<ui::FunctionDialogService>(
      [](const ui::DialogRequest&) -> ui::DialogResult { throw std::runtime_error("no display"); }));
  EXPECT_EQ(ui::showDialog(r).button, "cancel");
}

// --- message boxes ------------------------------------------------------------------

TEST_F(Dialogs, MessageBoxMapsButtonsToIds) {
  struct Case {
    unsigned type;
    const char* answer;
    int expected;
  };
  const Case cases[] = {
      {MB_OK, "ok", IDOK},
      {MB_OK, "cancel", IDOK},
      {MB_OKCANCEL, "ok", IDOK},
      {MB_OKCANCEL, "cancel", IDCANCEL},
      {MB_ABORTRETRYIGNORE, "abort", IDABORT},
      {MB_ABORTRETRYIGNORE, "retry", IDRETRY},
      {MB_ABORTRETRYIGNORE, "ignore", IDIGNORE},
      {MB_ABORTRETRYIGNORE, "cancel", IDABORT},
      {MB_YESNOCANCEL, "yes", IDYES},
      {MB_YESNOCANCEL, "no", IDNO},
      {MB_YESNOCANCEL, "cancel", IDCANCEL},
      {MB_YESNO, "yes", IDYES},
      {MB_YESNO, "no", IDNO},
      {MB_YESNO, "cancel", IDNO},
      {MB_YESNO, "ok", IDNO},  // not a button of the box
      {MB_RETRYCANCEL, "retry", IDRETRY},
      {MB_RETRYCANCEL, "cancel", IDCANCEL},
      {MB_CANCELTRYCONTINUE, "try-again", IDTRYAGAIN},
      {MB_CANCELTRYCONTINUE, "continue", IDCONTINUE},
      {MB_CANCELTRYCONTINUE, "cancel", IDCANCEL},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(std::string(R"({"dialog": "message-box", "button": ")") + c.answer + "\"}");
  scripted(lines);
  for (const auto& c : cases)
    EXPECT_EQ(ui::messageBox("text", "caption", c.type), c.expected) << c.type << " " << c.answer;
}

TEST_F(Dialogs, MessageBoxRequestCarriesTextsIconAndDefaultButton) {
  scripted({R"({"button": "no"})", R"({"button": "ok"})", R"({"button": "ok"})", R"({"button": "ok"})"});
  EXPECT_EQ(MessageBoxA(nullptr, "抱歉! 好像出現誤會，請重新開啟Quillet", "KAVOQuillet",
                        MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2),
            IDNO);
  EXPECT_EQ(MessageBoxA(nullptr, "Quillet(測試)執行中", "", MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(nullptr, nullptr, nullptr, MB_OK | MB_ICONERROR), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"寬字元", u"W", MB_OK | MB_ICONINFORMATION), IDOK);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 7), 0);
  EXPECT_EQ(GetLastError(), 1158u);

  auto log = logLines();
  ASSERT_EQ(log.size(), 4u);  // the invalid style shows nothing
  EXPECT_EQ(log[0]["kind"], "message-box");
  EXPECT_EQ(log[0]["title"], "KAVOQuillet");
  EXPECT_EQ(log[0]["texts"]["message"], "抱歉! 好像出現誤會，請重新開啟Quillet");
  EXPECT_EQ(log[0]["buttons"], json({"yes", "no"}));
  EXPECT_EQ(log[0]["selected"], 1);
  EXPECT_EQ(log[0]["options"]["icon"], "warning");
  EXPECT_EQ(log[0]["options"]["type"], "0x00000134");
  EXPECT_EQ(log[1]["title"], "");
  EXPECT_EQ(log[1]["texts"]["message"], "Quillet(測試)執行中");
  EXPECT_EQ(log[1]["options"].count("icon"), 0u);
  EXPECT_EQ(log[2]["title"], "Error");
  EXPECT_EQ(log[2]["texts"]["message"], "");
  EXPECT_EQ(log[2]["options"]["icon"], "error");
  EXPECT_EQ(log[3]["texts"]["message"], "寬字元");
  EXPECT_EQ(log[3]["options"]["icon"], "information");
}

// --- file and folder choosers -----------------------------------------------------------

TEST_F(Dialogs, OpenFileAndFolderChoosers) {
  scripted({R"({"dialog": "open-file", "button": "ok", "path": "/data/in.txt"})",
            R"({"dialog": "open-file", "button": "ok", "path": ""})",
            R"({"dialog": "folder", "button": "ok", "folder": "/data"})",
            R"({"dialog": "folder", "button": "cancel"})"});
  ui::OpenFileParams p;
  p.title = "請選擇檔案";
  p.defaultExt = "*.*";
  p.flags = OFN_NOVALIDATE | OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT;
  EXPECT_EQ(ui::openFileDialog(p), "/data/in.txt");
  EXPECT_FALSE(ui::openFileDialog(p));  // OK without a path
  EXPECT_EQ(ui::chooseFolder("Folder", "/home"), "/data");
  EXPECT_FALSE(ui::chooseFolder("Folder"));
  auto log = logLines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0]["title"], "請選擇檔案");
  EXPECT_EQ(log[0]["options"]["filter"], "All Files (*.*)|*.*||");
  EXPECT_EQ(log[0]["options"]["flags"], "0x106");
  EXPECT_EQ(log[0]["options"]["default-ext"], "*.*");
  EXPECT_EQ(log[2]["fields"][0]["value"], "/home");
}

TEST(DialogPaths, SplitJoinAndFilters) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(ui::splitPath("/tmp/x/a.pfx"), P("/tmp/x", "a.pfx"));
  EXPECT_EQ(ui::splitPath("/a.pfx"), P("/", "a.pfx"));
  EXPECT_EQ(ui::splitPath("a.pfx"), P("", "a.pfx"));
  EXPECT_EQ(ui::splitPath("/tmp/"), P("/tmp", ""));
  EXPECT_EQ(ui::joinPath("/", "a.pfx"), "/a.pfx");
  EXPECT_EQ(ui::joinPath("/tmp", "a.pfx"), "/tmp/a.pfx");
  EXPECT_EQ(ui::joinPath("/tmp/", "a.pfx"), "/tmp/a.pfx");
  EXPECT_EQ(ui::joinPath("", "a.pfx"), "a.pfx");

  auto f = ui::parseFileFilter("PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||");
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].name, "PFX Files (*.pfx;*.p12)");
  EXPECT_EQ(f[0].patterns, (std::vector<std::string>{"*.pfx", "*.p12"}));
  EXPECT_EQ(f[1].patterns, (std::vector<std::string>{"*"}));
  EXPECT_TRUE(ui::parseFileFilter("").empty());
  EXPECT_EQ(ui::utf8Length("憑證ab"), 4u);
}

// --- the security component's dialogs ------------------------------------------------

TEST_F(Dialogs, PfxFileDialogKeepsAskingUntilTheFileExists) {
  vtest::writeFile(dir_ + "/a.pfx", "x");
  scripted({
      R"({"dialog": "pfx-file", "button": "ok", "folder": ")" + dir_ + R"(", "name": "missing.pfx", "password": "1234"})",
      R"({"dialog": "message-box", "button": "ok"})",
      R"({"dialog": "pfx-file", "button": "ok", "name": "a.pfx"})",
  });
  ui::PfxFileParams p;
  p.notFound = {"錯誤訊息", "憑證檔(", ") : 錯誤或不存在", "未指定"};
  auto a = ui::pfxFileDialog(p);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->folder, dir_);
  EXPECT_EQ(a->name, "a.pfx");
  EXPECT_EQ(a->password, "1234");

  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["kind"], "pfx-file");
  EXPECT_EQ(log[0]["resourceId"], 202);
  EXPECT_EQ(log[0]["title"], "Certificate File information");
  EXPECT_EQ(log[0]["fields"][1]["value"], "*.pfx");  // no name given
  EXPECT_EQ(log[0]["fields"][2]["maxLength"], 16);
  EXPECT_EQ(log[0]["fields"][2]["readOnly"], false);
  EXPECT_EQ(log[0]["buttons"], json({"browse", "ok", "cancel"}));
  EXPECT_EQ(log[0]["options"]["validate"], "file-exists");
  EXPECT_EQ(log[1]["kind"], "message-box");
  EXPECT_EQ(log[1]["title"], "錯誤訊息");
  EXPECT_EQ(log[1]["texts"]["message"], "憑證檔(" + dir_ + "/missing.pfx) : 錯誤或不存在");
  EXPECT_EQ(log[2]["fields"][0]["value"], dir_);  // shown again with the answer
  EXPECT_EQ(log[2]["fields"][1]["value"], "missing.pfx");
  EXPECT_EQ(log[2]["fields"][2]["value"], "***");
}

TEST_F(Dialogs, PfxFileDialogBrowseAndLockedPassword) {
  vtest::writeFile(dir_ + "/b.pfx", "x");
  scripted({
      R"({"dialog": "pfx-file", "button": "browse"})",
      R"({"dialog": "open-file", "button": "ok", "path": ")" + dir_ + R"(/b.pfx"})",
      R"({"dialog": "pfx-file", "button": "ok", "password": "changed"})",
  });
  ui::PfxFileParams p;
  p.password = "given";
  p.browseFolder = "/home/user/桌面";
  auto a = ui::pfxFileDialog(p);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->folder, dir_);
  EXPECT_EQ(a->name, "b.pfx");
  EXPECT_EQ(a->password, "given");  // the pre-filled password was shown disabled
  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["fields"][2]["readOnly"], true);
  EXPECT_EQ(log[1]["title"], "Please select certificate(pfx) file");
  EXPECT_EQ(log[1]["options"]["filter"], "PFX Files (*.pfx;*.p12)|*.pfx; *.p12|All Files (*.*)|*.*||");
  EXPECT_EQ(log[1]["options"]["initial-folder"], "/home/user/桌面");
  EXPECT_EQ(log[2]["fields"][0]["value"], dir_);
}

TEST_F(Dialogs, PasswordLengthRange) {
  scripted({
      R"({"dialog": "password", "button": "ok", "password": "ab"})",        // shorter than the minimum
      R"({"dialog": "password", "button": "ok", "password": "abcdefghij"})",  // cut at the maximum
      R"({"dialog": "password", "button": "cancel"})",
  });
  ui::PasswordParams p;
  p.minPasswordLength = 4;
  p.maxPasswordLength = 6;
  EXPECT_EQ(ui::passwordDialog(p), "abcdef");
  EXPECT_FALSE(ui::passwordDialog(p));
  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["resourceId"], 205);
  EXPECT_EQ(log[0]["fields"][0]["minLength"], 4);
  EXPECT_EQ(log[0]["fields"][0]["maxLength"], 6);
}

TEST_F(Dialogs, ExportFileDialogSaveMode) {
  const std::string existing = dir_ + "/out";
  std::filesystem::create_directories(existing);
  vtest::writeFile(existing + "/keep.pfx", "precious");
  const std::string fresh = dir_ + "/new-folder";
  scripted({
      // The confirmation differs: shown again.
      R"({"dialog": "export-file", "button": "ok", "folder": ")" + existing + R"(", "password": "p1", "confirm": "p2"})",
      R"({"dialog": "export-file", "button": "ok", "confirm": "p1"})",
      // A missing folder is created; nothing is left in it.
      R"({"dialog": "export-file", "button": "browse"})",
      R"({"dialog": "folder", "button": "ok", "folder": ")" + fresh + R"("})",
      R"({"dialog": "export-file", "button": "ok", "password": "pw", "confirm": "pw"})",
  });
  ui::ExportFileParams p;
  p.name = "keep.pfx";
  auto a = ui::exportFileDialog(p);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->folder, existing);
  EXPECT_EQ(a->password, "p1");
  EXPECT_EQ(vtest::readFile(existing + "/keep.pfx"), "precious");  // never truncated

  auto b = ui::exportFileDialog(p);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->folder, fresh);
  EXPECT_EQ(b->name, "keep.pfx");
  EXPECT_TRUE(std::filesystem::is_directory(fresh));
  EXPECT_FALSE(std::filesystem::exists(fresh + "/keep.pfx"));

  auto log = logLines();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0]["resourceId"], 206);
  EXPECT_EQ(log[0]["options"]["mode"], "save");
  EXPECT_EQ(log[0]["options"]["browse"], "folder");
  EXPECT_EQ(log[0]["fields"][3]["mustMatch"], "password");
  EXPECT_EQ(log[3]["kind"], "folder");
  EXPECT_EQ(log[3]["title"], "Select the storage path of the certificate(pfx) file :");
}

TEST_F(Dialogs, ExportFileDialogReportsAnUnwritableFolder) {
  // A folder that cannot be made (its parent is a file), whoever runs the test.
  vtest::writeFile(dir_ + "/plain-file", "x");
  const std::string bad = dir_ + "/plain-file/sub";
  scripted({
      R"({"dialog": "export-file", "button": "ok", "folder": ")" + bad + R"(", "password": "pw", "confirm": "pw"})",
      R"({"dialog": "message-box", "button": "ok"})",
      R"({"dialog": "export-file", "button": "ok", "folder": ""})",
      R"({"dialog": "message-box", "button": "ok"})",
      R"({"dialog": "export-file", "button": "cancel"})",
  });
  ui::ExportFileParams p;
  p.name = "x.pfx";
  p.error = {"錯誤訊息", "憑證目錄 (", ") : 錯誤或沒有寫入權限", "未指定"};
  EXPECT_FALSE(ui::exportFileDialog(p));
  auto log = logLines();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[1]["title"], "錯誤訊息");
  EXPECT_EQ(log[1]["texts"]["message"], "憑證目錄 (" + bad + ") : 錯誤或沒有寫入權限");
  EXPECT_EQ(log[3]["texts"]["message"], "憑證目錄 (未指定) : 錯誤或沒有寫入權限");
  EXPECT_EQ(log[4]["fields"][0]["value"], "");
}

TEST_F(Dialogs, ExportFileDialogOpenModeAndLockedPasswords) {
  vtest::writeFile(dir_ + "/m.pfx", "x");
  scripted({R"({"dialog": "export-file", "button": "ok", "folder": ")" + dir_ +
            R"(", "name": "m.pfx", "password": "other", "confirm": "other"})"});
  ui::ExportFileParams p;
  p.saveMode = false;
  p.password = "given";
  p.browseTitle = "Please select certificate(pfx) file";
  auto a = ui::exportFileDialog(p);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->password, "given");
  auto log = logLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["options"]["mode"], "open");
  EXPECT_EQ(log[0]["options"]["validate"], "file-exists");
  EXPECT_EQ(log[0]["fields"][2]["readOnly"], true);
  EXPECT_EQ(log[0]["fields"][3]["readOnly"], true);
}

TEST_F(Dialogs, ChangePasswordDialog) {
  vtest::writeFile(dir_ + "/c.pfx", "x");
  scripted({
      R"({"dialog": "change-password", "button": "browse"})",  // disabled: the file exists
      R"({"dialog": "change-password", "button": "ok", "old-password": "old", "new-password": "n1", "confirm-password": "n2"})",
  });
  ui::ChangePasswordParams p;
  p.folder = dir_;
  p.name = "c.pfx";
  EXPECT_FALSE(ui::changePasswordDialog(p));
  auto a = ui::changePasswordDialog(p);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->oldPassword, "old");
  EXPECT_EQ(a->newPassword, "n1");
  EXPECT_EQ(a->confirmPassword, "n2");  // the caller compares (5209)
  auto log = logLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["resourceId"], 203);
  EXPECT_EQ(log[0]["options"]["disabled-buttons"], "browse");
  EXPECT_EQ(log[0]["source"], "invalid");
  const std::string text = logText();
  EXPECT_EQ(text.find("\"n1\""), std::string::npos);
  EXPECT_EQ(text.find("\"old\""), std::string::npos);
}

TEST_F(Dialogs, SignerListDialog) {
  scripted({
      R"({"dialog": "signer-list", "button": "certificate", "row": 2})",
      R"({"dialog": "signer-list", "button": "ok", "row": 1})",
      R"({"dialog": "signer-list", "button": "ok"})",
      R"({"dialog": "signer-list", "button": "cancel"})",
  });
  ui::SignerListParams p;
  p.columns = {"憑證持有人", "憑證序號", "起始日", "截止日", "憑證發行者"};
  p.rows = {{"Alice", "01", "2024/01/01", "2026/01/01", "Demo CA"},
            {"Bob", "02", "2024/02/01", "2026/02/01", "Demo CA"},
            {"Carol", "03", "2024/03/01", "2026/03/01", "Demo CA"}};
  auto view = ui::signerListDialog(p);
  ASSERT_TRUE(view);
  EXPECT_TRUE(view->viewCertificate);
  EXPECT_EQ(view->row, 2);
  p.selected = view->row;
  auto chosen = ui::signerListDialog(p);
  ASSERT_TRUE(chosen);
  EXPECT_FALSE(chosen->viewCertificate);
  EXPECT_EQ(chosen->row, 1);
  p.selected = 0;
  EXPECT_EQ(ui::signerListDialog(p)->row, 0);  // OK without a row: the selected one
  EXPECT_FALSE(ui::signerListDialog(p));
  auto log = logLines();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0]["resourceId"], 204);
  EXPECT_EQ(log[0]["columns"][0], "憑證持有人");
  EXPECT_EQ(log[0]["rows"].size(), 3u);
  EXPECT_EQ(log[0]["options"]["column-widths"], "150,110,110,110,180");
  EXPECT_EQ(log[0]["buttons"], json({"ok", "cancel", "certificate"}));
  EXPECT_EQ(log[1]["selected"], 2);
}

TEST_F(Dialogs, SignConfirmDialog) {
  scripted({R"({"dialog": "sign-confirm", "button": "ok", "text": "tampered"})",
            R"({"dialog": "sign-confirm", "button": "cancel"})"});
  ui::SignConfirmParams p;
  p.text = "pay 100";
  p.serial = "0A1B";
  p.commonName = "Alice";
  p.notBefore = "20240101000000";
  p.notAfter = "20260101000000";
  EXPECT_TRUE(ui::signConfirmDialog(p));
  EXPECT_FALSE(ui::signConfirmDialog(p));
  auto log = logLines();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["resourceId"], 201);
  EXPECT_EQ(log[0]["title"], "Signed with this Certificate");
  EXPECT_EQ(log[0]["fields"][0]["value"], "pay 100");
  EXPECT_EQ(log[0]["fields"][0]["readOnly"], true);
  EXPECT_EQ(log[0]["fields"][0]["multiline"], true);
  EXPECT_EQ(log[0]["fields"][3]["label"], "From :");
  EXPECT_EQ(log[0]["fields"][4]["value"], "20260101000000");
}

TEST_F(Dialogs, ReaderSelectDialog) {
  scripted({R"({"dialog": "reader-select", "button": "ok", "row": 1})",
            R"({"dialog": "reader-select", "button": "ok"})",
            R"({"dialog": "reader-select", "button": "cancel"})"});
  ui::ReaderSelectParams p;
  p.readers = {"zeta Reader 00", "Alpha Reader 01", "beta Reader 02"};
  EXPECT_EQ(ui::readerSelectDialog(p), "beta Reader 02");  // sorted: Alpha, beta, zeta
  ui::ReaderSelectParams token = p;
  token.sorted = false;
  token.title = "請選擇讀卡機";
  token.okLabel = "確定";
  token.cancelLabel = "取消";
  token.resourceId = 208;
  EXPECT_EQ(ui::readerSelectDialog(token), "zeta Reader 00");  // PC/SC order, first preselected
  EXPECT_FALSE(ui::readerSelectDialog(p));
  EXPECT_EQ(ui::readerSelectDialog({.readers = {"Only Reader"}}), "Only Reader");  // not shown

  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["rows"], json({{"Alpha Reader 01"}, {"beta Reader 02"}, {"zeta Reader 00"}}));
  EXPECT_EQ(log[0]["selected"], 0);
  EXPECT_EQ(log[0]["resourceId"], 209);
  EXPECT_EQ(log[0]["texts"]["label"], "Reader");
  EXPECT_EQ(log[1]["title"], "請選擇讀卡機");
  EXPECT_EQ(log[1]["texts"]["button.ok"], "確定");
  EXPECT_EQ(log[1]["resourceId"], 208);
}

// --- platform prompts ------------------------------------------------------------

TEST_F(Dialogs, KeyUseAndPinPrompts) {
  scripted({
      R"({"dialog": "key-use", "button": "ok"})",
      R"({"dialog": "key-use", "button": "ok", "password": "k1", "confirm": "k2"})",
      R"({"dialog": "key-use", "button": "ok", "password": "k1", "confirm": "k1"})",
      R"({"dialog": "key-use", "button": "cancel"})",
      R"({"dialog": "pin", "button": "ok", "pin": "123456"})",
  });
  ui::KeyUseParams consent;
  consent.operation = "sign";
  EXPECT_EQ(ui::keyUseDialog(consent), "");
  ui::KeyUseParams create;
  create.creating = true;
  create.passwordRequired = true;
  create.title = "ECC 金鑰產生";
  create.itemName = "0A1B2C3D-...";
  create.description = "Strabel";
  EXPECT_EQ(ui::keyUseDialog(create), "k1");  // shown again until both agree
  EXPECT_FALSE(ui::keyUseDialog(consent));
  EXPECT_EQ(ui::pinDialog({.token = "Demo Token"}), "123456");

  auto log = logLines();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0]["title"], "Signing data with your private key");
  EXPECT_EQ(log[0]["texts"]["message"], "An application is requesting access to a Protected item.");
  EXPECT_EQ(log[0]["options"]["mode"], "use");
  EXPECT_EQ(log[0]["options"]["operation"], "sign");
  EXPECT_TRUE(log[0]["fields"].empty());
  EXPECT_EQ(log[1]["title"], "ECC 金鑰產生");
  EXPECT_EQ(log[1]["options"]["mode"], "create");
  EXPECT_EQ(log[1]["texts"]["description"], "Strabel");
  EXPECT_EQ(log[1]["fields"].size(), 2u);
  EXPECT_EQ(log[4]["kind"], "pin");
  EXPECT_EQ(log[4]["texts"]["token"], "Demo Token");
  EXPECT_EQ(logText().find("123456"), std::string::npos);
}

TEST_F(Dialogs, RootInstallPrompt) {
  scripted({R"({"dialog": "root-install", "button": "yes"})", R"({"dialog": "root-install", "button": "no"})",
            R"({"dialog": "root-install"})"});
  ui::RootInstallParams p;
  p.subject = "Demo Root CA";
  p.thumbprint = "2B8F1B57 330DBBA2 D07A6C51 F70EE90D DAB9AD8E";
  EXPECT_TRUE(ui::rootInstallDialog(p));
  EXPECT_FALSE(ui::rootInstallDialog(p));
  EXPECT_FALSE(ui::rootInstallDialog(p));  // "ok" is not a button of this dialog
  auto log = logLines();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0]["buttons"], json({"yes", "no"}));
  EXPECT_EQ(log[0]["texts"]["subject"], "Demo Root CA");
  const std::string message = log[0]["texts"]["message"];
  EXPECT_NE(message.find("claiming to represent:\n\nDemo Root CA"), std::string::npos);
  EXPECT_NE(message.find("Thumbprint (sha1): 2B8F1B57 330DBBA2"), std::string::npos);
  EXPECT_EQ(log[2]["source"], "invalid");
}

TEST_F(Dialogs, AboutBox) {
  scripted({R"({"dialog": "about", "button": "ok"})"});
  ui::aboutDialog({.title = "關於 KAVOQuillet", .lines = {"KAVOQuillet, 1.8.0.0 版", "Copyright"}, .okLabel = "確定"});
  auto log = logLines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["resourceId"], 100);
  EXPECT_EQ(log[0]["texts"]["line.1"], "KAVOQuillet, 1.8.0.0 版");
  EXPECT_EQ(log[0]["texts"]["button.ok"], "確定");
}

}  // namespace
