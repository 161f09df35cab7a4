// The component's four file dialogs: their captions and fields in both
// languages, the preset password length range, and the locked pre-filled
// password; answered by the scripted service as tests and tools do.
#include <openssl/crypto.h>  // before wincrypt.h (X509_NAME)

#include <strabel/strabel.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "certs/pfx_store.h"
#include "frame/engines.h"
#include "test_support.h"
#include "ui/dialogs.h"

namespace {

struct Seen {
  std::vector<velmora::ui::DialogRequest> requests;
};

std::shared_ptr<velmora::ui::FunctionDialogService> recorder(Seen& seen, std::string button) {
  return std::make_shared<velmora::ui::FunctionDialogService>([&seen, button](const velmora::ui::DialogRequest& r) {
    seen.requests.push_back(r);
    velmora::ui::DialogResult res;
    res.button = button;
    return res;
  });
}

const velmora::ui::DialogField* field(const velmora::ui::DialogRequest& r, const std::string& name) {
  for (const auto& f : r.fields)
    if (f.name == name) return &f;
  return nullptr;
}

TEST(PfxDialogs, CaptionsFieldsRangeAndLockedPasswords) {
  CCAPILib capi;
  strabel::CCapiCore& core = strabel::capiCore();
  core.m_bIEProtectedMode = 0;
  ASSERT_EQ(capi.PresetPasswdLengthRange(10, 6), 0);
  EXPECT_EQ(core.m_nPasswdMinLen, 6);
  EXPECT_EQ(core.m_nPasswdMaxLen, 10);

  Seen seen;
  velmora::ui::ScopedDialogService scoped(recorder(seen, "cancel"));
  std::string folder = "/tmp", name = "a.pfx", pw = "secret", newPw;
  EXPECT_EQ(strabel::AskPfxFile(core, folder, name, pw), 5070);
  std::string shortPw = "abc";
  EXPECT_EQ(strabel::AskExportFile(core, true, folder, name, shortPw), 5070);
  EXPECT_EQ(strabel::AskChangePassword(core, folder, name, pw, newPw), 5070);
  EXPECT_EQ(strabel::AskPfxPassword(core, pw), 5070);
  ASSERT_EQ(seen.requests.size(), 4u);
  struct {
    const char* kind;
    const char* title;
    int resource;
    const char* password;
    bool locked;
  } expected[] = {{"pfx-file", "Certificate File information", 202, "password", true},
                  {"export-file", "Enter PFX File information", 206, "password", false},  // 3 < 6: not locked
                  {"change-password", "Change PFX File Password", 203, "old-password", true},
                  {"password", "Enter PFX File Password", 205, "password", false}};
  for (size_t i = 0; i < 4; ++i) {
    const auto& r = seen.requests[i];
    EXPECT_EQ(r.kind, expected[i].kind);
    EXPECT_EQ(r.title, expected[i].title);
    EXPECT_EQ(r.resourceId, expected[i].resource);
    const auto* f = field(r, expected[i].password);
    ASSERT_NE(f, nullptr) << r.kind;
    EXPECT_TRUE(f->password);
    EXPECT_EQ(f->maxLength, 10) << r.kind;
    EXPECT_EQ(f->readOnly, expected[i].locked) << r.kind;
    if (!f->readOnly) {
      EXPECT_EQ(f->minLength, 6) << r.kind;
    }
  }
  EXPECT_EQ(field(seen.requests[0], "folder")->value, "/tmp");
  EXPECT_EQ(seen.requests[0].text("browse-title"), "Please select certificate(pfx) file");

  // The Chinese resource library gives the Chinese captions.
  ASSERT_EQ(capi.SetCodePage(950), 0);
  seen.requests.clear();
  EXPECT_EQ(strabel::AskPfxFile(core, folder, name, pw), 5070);
  ASSERT_EQ(capi.SetCodePage(437), 0);
  ASSERT_EQ(seen.requests.size(), 1u);
  EXPECT_EQ(seen.requests[0].title, "憑證檔案資訊");
  EXPECT_EQ(seen.requests[0].text("browse-title"), "請選擇憑證檔案");
  capi.PresetPasswdLengthRange(0, 0);
  EXPECT_EQ(core.m_nPasswdMinLen, 0);
  EXPECT_EQ(core.m_nPasswdMaxLen, 16);
}

TEST(PfxDialogs, ChangePasswordConfirmationMustMatch) {
  strabel::CCapiCore& core = strabel::capiCore();
  const std::string dir = vtest::makeTempDir("chg");
  vtest::writeFile(dir + "/f.pfx", "x");
  for (const auto& [confirm, status] : {std::pair{"new1", 0}, std::pair{"new2", 5209}}) {
    auto service = std::make_shared<velmora::ui::FunctionDialogService>(
        [dir, confirm = std::string(confirm)](const velmora::ui::DialogRequest&) {
          velmora::ui::DialogResult res;
          res.button = "ok";
          res.fields = {{"folder", dir}, {"name", "f.pfx"}, {"old-password", "old"}, {"new-password", "new1"},
                        {"confirm-password", confirm}};
          return res;
        });
    velmora::ui::ScopedDialogService scoped(service);
    std::string folder, name, oldPw, newPw;
    EXPECT_EQ(strabel::AskChangePassword(core, folder, name, oldPw, newPw), status) << confirm;
    EXPECT_EQ(name, "f.pfx");
  }
}

}  // namespace
