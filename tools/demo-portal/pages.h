// The demo portal's pages.
#pragma once

namespace velmora::demo {

inline constexpr const char kHomePage[] = R"HTML(<!DOCTYPE html>
<html lang="zh-Hant">
<head>
<meta charset="utf-8">
<title>Velmora demo portal</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  p.lead { margin: 0 0 10px 0; color: #4a5568; }
  table { border-collapse: collapse; background: #fff; margin-bottom: 10px; }
  th, td { border: 1px solid #cbd5e0; padding: 3px 8px; text-align: left; }
  th { background: #e2e8f0; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 10px; }
  code { font-size: 12px; word-break: break-all; }
</style>
</head>
<body>
<h1>Velmora demo portal</h1>
<p class="lead">This page runs inside Velmora and talks to the components on this PC through <code>window.external</code>
and the script bridge library. Bridge: <span id="bridge" class="bad">not reachable</span></p>
<table id="components">
<tr><th>component</th><th>version</th><th>error code</th><th>error message</th></tr>
</table>
<fieldset>
<legend>Hash (capi_Hash)</legend>
<form id="hashform" onsubmit="return doHash();">
<input id="plain" value="Velmora" size="30"> flags <select id="flags"><option value="0">0</option><option value="1">1</option><option value="2">2</option></select>
<button type="submit">Hash</button>
</form>
<div>result: <code id="hash"></code> status: <span id="hashstatus"></span></div>
</fieldset>
<iframe id="frame" src="/frame" width="560" height="56" style="border:1px solid #cbd5e0;background:#fff"></iframe>
<script>
function row(name, version, code, msg) {
  var tr = document.createElement('tr');
  [name, version, code, msg].forEach(function (t) {
    var td = document.createElement('td'); td.textContent = String(t); tr.appendChild(td);
  });
  document.getElementById('components').appendChild(tr);
}
function doHash() {
  var capi = new CAPI();
  var h = capi.Hash(document.getElementById('plain').value, parseInt(document.getElementById('flags').value, 10));
  document.getElementById('hash').textContent = h === '' ? '(empty)' : h;
  document.getElementById('hashstatus').textContent = capi.GetErrorCode() + ' ' + capi.GetErrorMsg();
  return false;
}
try {
  var host = external.getVersion();
  document.getElementById('bridge').textContent = 'Velmora ' + host;
  document.getElementById('bridge').className = 'ok';
  var capi = new CAPI(), reg = new certReg(), mac = new taimac(), jcic = new JCIC();
  row('Velmora (host)', host, '', '');
  row('Strabel CAPI', capi.GetVersion(), capi.GetErrorCode(), capi.GetErrorMsg());
  row('Strabel certReg', reg.GetVersion(), reg.GetErrorCode(), reg.GetErrorMsg());
  row('Strabel TaiMAC10', mac.GetVersion(), mac.GetErrorCode(), mac.GetErrorMsg());
  row('Quennet JCIC', jcic.GetVersion(), jcic.GetErrorCode(), jcic.GetErrorMsg());
  row('JCIC card status', jcic.GetCardStatus(), jcic.GetErrorCode(), jcic.GetErrorMsg());
  row('card tool readers', new CardTool().getReaderList() || '(none)', '', '');
  row('CAPI port', capi.GetPortEx(), capi.GetCapiErrorCode(), capi.GetCapiErrorMsg());
  doHash();
} catch (e) {
  document.getElementById('bridge').textContent = 'error: ' + e;
}
</script>
</body>
</html>
)HTML";

inline constexpr const char kFramePage[] = R"HTML(<!DOCTYPE html>
<html><head><meta charset="utf-8"></head>
<body style="font-family:sans-serif;font-size:13px;margin:6px">
iframe: <span id="v">...</span>
<script>
try { document.getElementById('v').textContent = 'window.external in this frame: getVersion() = ' + external.GETVERSION(); }
catch (e) { document.getElementById('v').textContent = 'error: ' + e; }
</script>
</body></html>
)HTML";

}  // namespace velmora::demo
