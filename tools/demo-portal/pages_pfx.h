// The demo portal's page for PFX files and the mobile export.
#pragma once

namespace velmora::demo {

inline constexpr const char kPfxPage[] = R"HTML(<!DOCTYPE html>
<html lang="zh-Hant">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: PFX files</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 10px; }
  code { font-size: 12px; word-break: break-all; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
</style>
</head>
<body>
<h1>PFX files</h1>
<p>Empty fields are asked for by the program's own dialogs. <a href="/">Home</a></p>
<fieldset>
<legend>Import a PFX file into your store (ImportPfxToIE)</legend>
<label><input type="checkbox" id="imp-exportable"> keys exportable</label>
<button id="imp-go" onclick="doImport()">Choose a file and import</button>
<div>status: <span id="imp-status"></span> file: <code id="imp-file"></code> holder: <code id="imp-cn"></code></div>
</fieldset>
<fieldset>
<legend>Show what a PFX file holds (QueryPfxInfo)</legend>
<button id="qry-go" onclick="doQuery()">Choose a file</button>
<div>status: <span id="qry-status"></span> holder: <code id="qry-cn"></code> serial: <code id="qry-serial"></code>
 valid: <code id="qry-dates"></code></div>
</fieldset>
<fieldset>
<legend>Change the password of a PFX file (ChangePfxPasswd)</legend>
<button id="chg-go" onclick="doChange()">Choose a file</button>
<div>status: <span id="chg-status"></span></div>
</fieldset>
<fieldset>
<legend>Export your certificate with its key (ExportPfxFromIE)</legend>
filter <input id="exp-filter" value="" size="30" placeholder="S_CN=your name">
file name <input id="exp-prefix" value="" size="16" placeholder="(common name)">
<button id="exp-go" onclick="doExport()">Export</button>
<div>status: <span id="exp-status"></span> written: <code id="exp-file"></code></div>
</fieldset>
<fieldset>
<legend>Mobile form (ExportMobileFromIE)</legend>
filter <input id="mob-filter" value="" size="30" placeholder="S_CN=your name">
<button id="mob-go" onclick="doMobile()">Export the mobile form</button>
<div>status: <span id="mob-status"></span> length: <span id="mob-length"></span></div>
<div><code id="mob-text"></code></div>
</fieldset>
<script>
function show(id, capi) {
  var code = capi.GetErrorCode();
  var el = document.getElementById(id);
  el.textContent = code + ' ' + capi.GetErrorMsg();
  el.className = code === 0 ? 'ok' : 'bad';
  return code;
}
function text(id, value) { document.getElementById(id).textContent = value; }
function doImport() {
  var capi = new CAPI();
  capi.ImportPfxToIE('', '', '', document.getElementById('imp-exportable').checked ? 1 : 0, 0);
  if (show('imp-status', capi) === 0) {
    text('imp-file', capi.GetImportedPfxFilePath() + '/' + capi.GetImportedPfxFileName());
    text('imp-cn', capi.GetCertSubjectCN());
  }
}
function doQuery() {
  var capi = new CAPI();
  capi.QueryPfxInfo('', '', '', 0, 0);
  if (show('qry-status', capi) === 0) {
    text('qry-cn', capi.GetCertSubjectCN());
    text('qry-serial', capi.GetCertSerial());
    text('qry-dates', capi.GetCertNotBefore() + ' - ' + capi.GetCertNotAfter());
  }
}
function doChange() {
  var capi = new CAPI();
  capi.ChangePfxPasswd('', '', '', '', 0);
  show('chg-status', capi);
}
function doExport() {
  var capi = new CAPI();
  capi.SetDefaultPfxFileName(document.getElementById('exp-prefix').value);
  capi.ExportPfxFromIE(document.getElementById('exp-filter').value, '', '', 0, 0);
  if (show('exp-status', capi) === 0)
    text('exp-file', capi.GetExportedPfxFilePath() + '/' + capi.GetExportedPfxFileName());
}
function doMobile() {
  var capi = new CAPI();
  var form = capi.ExportMobileFromIE(document.getElementById('mob-filter').value, '', 0, 0);
  show('mob-status', capi);
  text('mob-length', form.length);
  text('mob-text', form);
}
</script>
</body>
</html>
)HTML";

}  // namespace velmora::demo
