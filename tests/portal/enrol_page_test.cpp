// The enrolment page's script, run by node against a small stand-in for
// the page (its elements, taken from the page's own markup), the bridge
// library's CAPI, window.external, ActiveXObject and the endpoint. Each
// case drives one enrolment and checks what the page called, what it
// posted and what it showed: the EC road through one "Strabel.CAPI"
// object, its failures as messages, and the RSA road as before.
#include <regex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "pages.h"
#include "test_support.h"

namespace {

using nlohmann::json;

bool haveNode() { return system("command -v node >/dev/null 2>&1") == 0; }

// Runs the page script once per enrolment in `scenario` and prints a
// trace: the calls made on every object, the bodies posted, and the
// status after each enrolment.
const char kHarness[] = R"JS(
const vm = require('vm');
const fs = require('fs');
const [scriptFile, idsFile, scenarioFile] = process.argv.slice(2);
const page = fs.readFileSync(scriptFile, 'utf8');
const ids = JSON.parse(fs.readFileSync(idsFile, 'utf8'));
const sc = JSON.parse(fs.readFileSync(scenarioFile, 'utf8'));
const trace = { calls: [], posted: [], results: [], created: 0 };
const elements = {};
for (const [id, checked] of Object.entries(ids))
  elements[id] = { id, value: '', checked, disabled: false, className: '', textContent: '', innerHTML: '',
                   style: {}, children: [], appendChild(c) { this.children.push(c); } };
const queue = [];
function fakeObject(kind, answers) {
  const o = {};
  for (const [name, answer] of Object.entries(answers))
    o[name] = (...args) => {
      trace.calls.push({ object: kind, method: name, args });
      if (answer && answer.throws) throw new Error(answer.throws);
      return answer;
    };
  return o;
}
const sandbox = {
  document: {
    getElementById: (id) => elements[id] || null,
    createElement: () => ({ style: {}, children: [], appendChild(c) { this.children.push(c); } }),
  },
  location: { search: sc.query || '' },
  setTimeout: (f) => queue.push(f),
  JSON, Number, String, Error, encodeURIComponent, decodeURIComponent,
  XMLHttpRequest: function () {
    this.open = (method, url) => { this.url = url; };
    this.setRequestHeader = () => {};
    this.send = (body) => {
      trace.posted.push(JSON.parse(body));
      queue.push(() => { this.status = sc.ca.status; this.responseText = JSON.stringify(sc.ca.body); this.onload(); });
    };
  },
  CAPI: function () { return fakeObject('CAPI', sc.capi || {}); },
  external: { capi_GetErrorCode: () => 0 },
};
if (sc.activex !== 'none')
  sandbox.ActiveXObject = function (progId) {
    trace.calls.push({ object: 'ActiveXObject', method: 'new', args: [progId] });
    if (sc.activex === 'throws') throw new Error('Class not registered');
    trace.created++;
    return fakeObject('Strabel.CAPI#' + trace.created, sc.strabel || {});
  };
vm.createContext(sandbox);
vm.runInContext(page, sandbox);
for (const run of sc.runs) {
  elements.cn.value = run.cn;
  if (run.click) {
    // A radio button: the others of its group ("key-...", "usage-...") go off.
    const group = run.click.slice(0, run.click.indexOf('-') + 1);
    for (const e of Object.values(elements)) if (e.id.startsWith(group)) e.checked = false;
    elements[run.click].checked = true;
    if (elements[run.click].onchange) elements[run.click].onchange();
  }
  sandbox.enrol();
  while (queue.length) queue.shift()();
  trace.results.push({ cls: elements.status.className, text: elements.status.textContent,
                       go: elements.go.disabled, encryptionDisabled: elements['usage-encryption'].disabled });
}
process.stdout.write(JSON.stringify(trace));
)JS";

class EnrolPage : public ::testing::Test {
 protected:
  void SetUp() override {
    VTEST_REQUIRE(haveNode(), "node");
    dir_ = vtest::makeTempDir("page");
    const std::string html = velmora::demo::kEnrolPage;
    const size_t open = html.rfind("<script>"), close = html.rfind("</script>");
    ASSERT_NE(open, std::string::npos);
    vtest::writeFile(dir_ + "/page.js", html.substr(open + 8, close - open - 8));
    // Every element of the markup, and whether it starts checked.
    json ids = json::object();
    const std::regex tag("<[^>]* id=\"([^\"]+)\"[^>]*>");
    for (std::sregex_iterator it(html.begin(), html.end(), tag), end; it != end; ++it)
      ids[(*it)[1].str()] = it->str().find(" checked") != std::string::npos;
    vtest::writeFile(dir_ + "/ids.json", ids.dump());
    vtest::writeFile(dir_ + "/harness.js", kHarness);
  }

  json run(const json& scenario) {
    vtest::writeFile(dir_ + "/scenario.json", scenario.dump());
    auto r = vtest::runCommand({"node", dir_ + "/harness.js", dir_ + "/page.js", dir_ + "/ids.json",
                                dir_ + "/scenario.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    json trace = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(trace.is_object()) << r.out << r.err;
    return trace.is_object() ? trace : json::object();
  }
  // The calls of the trace as "object.method(args)", in order.
  static std::vector<std::string> calls(const json& trace) {
    std::vector<std::string> out;
    for (const auto& c : trace.value("calls", json::array()))
      out.push_back(c["object"].get<std::string>() + "." + c["method"].get<std::string>() + c["args"].dump());
    return out;
  }

  std::string dir_;
};

const json kIssued = {{"status", 200},
                      {"body", {{"pkcs7", "MIIP7"}, {"subject", "CN = Ann"}, {"serial", "0A"}, {"usage", "signing"}}}};

TEST_F(EnrolPage, ElementIdsTheTestsDriveAreThere) {
  const std::string html = velmora::demo::kEnrolPage;
  for (const char* id : {"enrolform", "cn", "key-rsa", "key-p256", "key-p384", "usage-signing", "usage-encryption",
                         "go", "status", "details"})
    EXPECT_NE(html.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
}

TEST_F(EnrolPage, EcEnrolmentUsesOneStrabelCapiObjectForRequestAndInstallation) {
  // P-256 then P-384 on the same page, the address asking for encryption
  // (an EC key signs only); one object serves both enrolments.
  const json trace = run({{"query", "?key=p256&usage=encryption"},
                          {"activex", "object"},
                          {"strabel", {{"CreateEccPKCS10", "MIIBREQ\r\nLINE2\r\n"}, {"AcceptPKCS7", 0},
                                       {"GetErrorCode", 0}, {"GetErrorMsg", "OK"}}},
                          {"ca", kIssued},
                          {"runs", {{{"cn", " Ann "}}, {{"cn", "Ann"}, {"click", "key-p384"}}}}});
  EXPECT_EQ(trace["created"], 1);
  const std::vector<std::string> expected = {
      "ActiveXObject.new[\"Strabel.CAPI\"]",
      "Strabel.CAPI#1.CreateEccPKCS10[\"Ann\",257]",
      "Strabel.CAPI#1.AcceptPKCS7[\"MIIP7\"]",
      "Strabel.CAPI#1.GetErrorMsg[]",
      "Strabel.CAPI#1.CreateEccPKCS10[\"Ann\",385]",
      "Strabel.CAPI#1.AcceptPKCS7[\"MIIP7\"]",
      "Strabel.CAPI#1.GetErrorMsg[]",
  };
  EXPECT_EQ(calls(trace), expected);
  ASSERT_EQ(trace["posted"].size(), 2u);
  for (const auto& body : trace["posted"]) {
    EXPECT_EQ(body["request"], "MIIBREQ\r\nLINE2\r\n");
    EXPECT_EQ(body["usage"], "signing");
  }
  for (const auto& r : trace["results"]) {
    EXPECT_EQ(r["cls"], "ok") << r;
    EXPECT_EQ(r["go"], false) << r;
    EXPECT_EQ(r["encryptionDisabled"], true) << r;
  }
}

TEST_F(EnrolPage, EcFailuresAreShownAsMessages) {
  struct Case {
    const char* name;
    json scenario;
    const char* text;  // part of the status text
    size_t posted;
  } cases[] = {
      {"no ActiveXObject", {{"activex", "none"}}, "offers no ActiveXObject", 0},
      {"creation throws", {{"activex", "throws"}}, "\"Strabel.CAPI\" could not be created: Class not registered", 0},
      {"request refused by the component",
       {{"activex", "object"}, {"strabel", {{"CreateEccPKCS10", ""}, {"GetErrorCode", 5065},
                                            {"GetErrorMsg", "Failed to generate key(5065)"}}}},
       "CreateEccPKCS10 failed: 5065 Failed to generate key(5065)", 0},
      {"method missing on the object",
       {{"activex", "object"}, {"strabel", {{"CreateEccPKCS10", {{"throws", "Unknown name"}}}}}},
       "CreateEccPKCS10 could not be called: Unknown name", 0},
      {"the CA refuses",
       {{"activex", "object"}, {"strabel", {{"CreateEccPKCS10", "MIIB"}}},
        {"ca", {{"status", 400}, {"body", {{"error", "the request's EC curve secp521r1 is not supported"}}}}}},
       "refused the request (HTTP 400): the request's EC curve", 1},
      {"installation fails",
       {{"activex", "object"}, {"strabel", {{"CreateEccPKCS10", "MIIB"}, {"AcceptPKCS7", 5010}, {"GetErrorCode", 5010},
                                            {"GetErrorMsg", "no key"}}},
        {"ca", kIssued}},
       "AcceptPKCS7 failed: 5010 no key", 1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.scenario["query"] = "?key=p384";
    c.scenario["runs"] = {{{"cn", "Ann"}}};
    const json trace = run(c.scenario);
    ASSERT_EQ(trace["results"].size(), 1u);
    EXPECT_EQ(trace["results"][0]["cls"], "bad");
    EXPECT_NE(trace["results"][0]["text"].get<std::string>().find(c.text), std::string::npos)
        << trace["results"][0]["text"];
    EXPECT_EQ(trace["results"][0]["go"], false) << "the button is usable again";
    EXPECT_EQ(trace["posted"].size(), c.posted);
  }
}

TEST_F(EnrolPage, RsaStaysOnTheBridgeWithTheChosenUsage) {
  const json trace = run({{"query", "?usage=encryption"},
                          {"activex", "object"},
                          {"capi", {{"CreatePKCS10", "MIIRSA"}, {"AcceptPKCS7", 0}, {"GetErrorMsg", ""}}},
                          {"ca", kIssued},
                          {"runs", {{{"cn", "Bo"}}}}});
  const std::vector<std::string> expected = {"CAPI.CreatePKCS10[\"Bo\",2048,0]", "CAPI.AcceptPKCS7[\"MIIP7\"]",
                                             "CAPI.GetErrorMsg[]"};
  EXPECT_EQ(calls(trace), expected);
  EXPECT_EQ(trace["created"], 0) << "no automation object for RSA";
  ASSERT_EQ(trace["posted"].size(), 1u);
  EXPECT_EQ(trace["posted"][0], (json{{"request", "MIIRSA"}, {"usage", "encryption"}}));
  EXPECT_EQ(trace["results"][0]["cls"], "ok");
  EXPECT_EQ(trace["results"][0]["encryptionDisabled"], false);
}

}  // namespace
