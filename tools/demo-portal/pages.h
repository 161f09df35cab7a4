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
<p><a id="enrol-link" href="/enrol">Enrol for a certificate</a> (an RSA or EC key and request made on this PC, a certificate from the demo CA)</p>
<p><a id="pfx-link" href="/pfx">PFX files</a> (import, inspect, change the password, export with the key, mobile form)</p>
<p><a id="sign-link" href="/sign">Sign a text</a> (with the certificate you enrolled, from your store or a PFX file; the portal checks the signature)</p>
<p><a id="envelope-link" href="/envelope">Encrypt and decrypt a text</a> (a PKCS#7 envelope for the certificate you enrolled for encryption)</p>
<p><a id="card-link" href="/card">MAC smart card</a> (connect, read the card, verify and change a PIN)</p>
<p><a id="update-link" href="/update">Update Velmora</a> (a signed test installer from this portal)</p>
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

inline constexpr const char kEnrolPage[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: enrolment</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  p.lead { margin: 0 0 10px 0; color: #4a5568; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 10px; }
  label { margin-right: 14px; }
  table { border-collapse: collapse; background: #fff; margin-top: 6px; }
  th, td { border: 1px solid #cbd5e0; padding: 3px 8px; text-align: left; vertical-align: top; }
  th { background: #e2e8f0; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
  code { font-size: 12px; word-break: break-all; }
</style>
</head>
<body>
<h1>Enrolment</h1>
<p class="lead">Velmora makes a key (RSA 2048 bits, or EC on P-256 or P-384) and a certificate request on this PC; the
demo CA issues the certificate, and Velmora installs it with its CA chain. <a href="/">Home</a></p>
<form id="enrolform" onsubmit="return enrol();">
<fieldset>
<legend>Certificate</legend>
<p><label for="cn">Common name</label> <input id="cn" name="cn" size="32" maxlength="64" autofocus></p>
<p>Key type:
<label><input type="radio" name="key" id="key-rsa" value="rsa" checked> RSA 2048</label>
<label><input type="radio" name="key" id="key-p256" value="p256"> EC P-256</label>
<label><input type="radio" name="key" id="key-p384" value="p384"> EC P-384</label></p>
<p>Key usage:
<label><input type="radio" name="usage" id="usage-signing" value="signing" checked> signing (digitalSignature, nonRepudiation)</label><br>
<span style="margin-left:78px"></span><label><input type="radio" name="usage" id="usage-encryption" value="encryption"> encryption (keyEncipherment, dataEncipherment; RSA only)</label></p>
<button id="go" type="submit">Make key and enrol</button>
</fieldset>
</form>
<div>Status: <span id="status">ready</span></div>
<table id="details" style="display:none"></table>
<script>
// Element ids a test may drive:
//   cn                 the common name (focused on load, so typing + Enter enrols)
//   key-rsa            RSA 2048 through window.external (capi_CreatePKCS10 / capi_AcceptPKCS7); the default
//   key-p256, key-p384 EC through one new ActiveXObject("Strabel.CAPI") per page
//                      (CreateEccPKCS10 with 0x101 / 0x181, then AcceptPKCS7 on the same object)
//   usage-signing, usage-encryption
//                      the key usage; EC keys sign only, so an EC choice checks signing and
//                      disables encryption
//   go                 the submit button, disabled while an enrolment runs
//   status             the outcome: class "ok" when installed, "bad" on any failure, "" while working
//   details            rows of the outcome: subject, serial, key, key usage, chain, the installing call
// The address may fill the form in: /enrol?cn=NAME&usage=encryption&key=p256 (key: rsa, p256, p384).
var ecCurves = {
  p256: { flags: 0x101, label: 'EC P-256 (Microsoft Software Key Storage Provider)' },
  p384: { flags: 0x181, label: 'EC P-384 (Microsoft Software Key Storage Provider)' }
};
// The object keeps the EC generator's state from the request to the installation, so one serves the page.
var ecObject = null;

function show(cls, text) {
  var s = document.getElementById('status');
  s.className = cls;
  s.textContent = text;
}
function details(rows) {
  var t = document.getElementById('details');
  t.innerHTML = '';
  rows.forEach(function (r) {
    var tr = document.createElement('tr'), th = document.createElement('th'), td = document.createElement('td');
    th.textContent = r[0]; td.textContent = r[1];
    tr.appendChild(th); tr.appendChild(td); t.appendChild(tr);
  });
  t.style.display = rows.length ? '' : 'none';
}
function errorText(e) {
  return e && e.message ? e.message : String(e);
}
function capiError(capi, call) {
  var code, msg;
  try { code = capi.GetErrorCode(); msg = capi.GetErrorMsg(); }
  catch (e) { return call + ' failed, and its error could not be read: ' + errorText(e); }
  return call + ' failed: ' + code + ' ' + msg;
}
function finish(cls, text, rows) {
  show(cls, text);
  details(rows || []);
  document.getElementById('go').disabled = false;
}
function keyChoice() {
  if (document.getElementById('key-p256').checked) return 'p256';
  if (document.getElementById('key-p384').checked) return 'p384';
  return 'rsa';
}
function keyChanged() {
  var ec = keyChoice() !== 'rsa', enc = document.getElementById('usage-encryption');
  if (ec && enc.checked) document.getElementById('usage-signing').checked = true;
  enc.disabled = ec;
}
// What makes the request and installs the answer: the bridge for RSA, the
// security component's automation object for EC. Throws a message for the page.
function rsaMaker() {
  var capi;
  try { capi = new CAPI(); external.capi_GetErrorCode(); }
  catch (e) { throw new Error('The Velmora bridge is not reachable: ' + e); }
  return {
    key: 'RSA 2048 (Microsoft Enhanced Cryptographic Provider v1.0)', api: capi,
    makeCall: 'capi_CreatePKCS10', make: function (cn) { return capi.CreatePKCS10(cn, 2048, 0); },
    installCall: 'capi_AcceptPKCS7', install: function (p7) { return capi.AcceptPKCS7(p7); }
  };
}
function ecMaker(curve) {
  if (!ecObject) {
    if (typeof ActiveXObject === 'undefined')
      throw new Error('EC keys need the security component\'s automation object "Strabel.CAPI", and this ' +
                      'browser offers no ActiveXObject. Choose RSA, or use a Velmora that provides it.');
    var made;
    try { made = new ActiveXObject('Strabel.CAPI'); }
    catch (e) { throw new Error('The automation object "Strabel.CAPI" could not be created: ' + errorText(e)); }
    if (!made) throw new Error('The automation object "Strabel.CAPI" could not be created.');
    ecObject = made;
  }
  var obj = ecObject, c = ecCurves[curve];
  return {
    key: c.label, api: obj,
    makeCall: 'CreateEccPKCS10', make: function (cn) { return obj.CreateEccPKCS10(cn, c.flags); },
    installCall: 'AcceptPKCS7', install: function (p7) { return obj.AcceptPKCS7(p7); }
  };
}
// Runs one call; a script error from the object becomes the page's message.
function attempt(call, f) {
  try { return { value: f() }; }
  catch (e) { return { error: call + ' could not be called: ' + errorText(e) }; }
}
function enrol() {
  var cn = document.getElementById('cn').value.replace(/^\s+|\s+$/g, '');
  var key = keyChoice();
  var usage = document.getElementById('usage-encryption').checked && key === 'rsa' ? 'encryption' : 'signing';
  if (!cn) { finish('bad', 'Enter a common name.'); return false; }
  var m;
  try { m = key === 'rsa' ? rsaMaker() : ecMaker(key); }
  catch (e) { finish('bad', errorText(e)); return false; }
  document.getElementById('go').disabled = true;
  show('', 'Making the key and the request...');
  details([]);
  // Let the status paint before the key is made: the call blocks the page.
  setTimeout(function () {
    var made = attempt(m.makeCall, function () { return m.make(cn); });
    if (made.error) { finish('bad', made.error); return; }
    var csr = made.value;
    if (!csr) { finish('bad', capiError(m.api, m.makeCall)); return; }
    show('', 'Sending the request to the demo CA...');
    var x = new XMLHttpRequest();
    x.open('POST', '/api/enrol', true);
    x.setRequestHeader('Content-Type', 'application/json');
    x.onload = function () {
      var a;
      try { a = JSON.parse(x.responseText); } catch (e) { a = { error: x.responseText }; }
      if (x.status !== 200) { finish('bad', 'The demo CA refused the request (HTTP ' + x.status + '): ' + a.error); return; }
      var done = attempt(m.installCall, function () { return m.install(a.pkcs7); });
      if (done.error) { finish('bad', done.error); return; }
      var rc = Number(done.value);
      if (rc !== 0) { finish('bad', capiError(m.api, m.installCall)); return; }
      var msg = '';
      try { msg = m.api.GetErrorMsg(); } catch (e) { msg = ''; }
      finish('ok', 'Installed: the certificate is in your personal store with its key.', [
        ['subject', a.subject], ['serial', a.serial], ['key', m.key], ['key usage', a.usage === 'signing' ?
          'digitalSignature, nonRepudiation' : 'keyEncipherment, dataEncipherment'],
        ['chain', 'Velmora Demo Issuing CA (to "CA"), Velmora Demo Root CA (to "ROOT", when you allowed it)'],
        [m.installCall, rc + ' ' + msg]]);
    };
    x.onerror = function () { finish('bad', 'The demo CA could not be reached.'); };
    x.send(JSON.stringify({ request: String(csr), usage: usage }));
  }, 30);
  return false;
}
['key-rsa', 'key-p256', 'key-p384'].forEach(function (id) {
  document.getElementById(id).onchange = keyChanged;
});
// A link may fill the form in: /enrol?cn=NAME&usage=encryption&key=p256
(function () {
  var q = location.search.replace(/^\?/, '').split('&');
  q.forEach(function (kv) {
    var i = kv.indexOf('='), k, v;
    if (i < 0) return;
    try { k = decodeURIComponent(kv.slice(0, i)); v = decodeURIComponent(kv.slice(i + 1).replace(/\+/g, ' ')); }
    catch (e) { return; }
    if (k === 'cn') document.getElementById('cn').value = v;
    if (k === 'usage' && (v === 'signing' || v === 'encryption')) document.getElementById('usage-' + v).checked = true;
    if (k === 'key' && (v === 'rsa' || v === 'p256' || v === 'p384')) document.getElementById('key-' + v).checked = true;
  });
  keyChanged();
})();
</script>
</body>
</html>
)HTML";

inline constexpr const char kSignPage[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: signing</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  p.lead { margin: 0 0 10px 0; color: #4a5568; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 8px; }
  fieldset p { margin: 4px 0; }
  label { margin-right: 12px; }
  table { border-collapse: collapse; background: #fff; margin-top: 6px; }
  th, td { border: 1px solid #cbd5e0; padding: 3px 8px; text-align: left; vertical-align: top; }
  th { background: #e2e8f0; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
</style>
</head>
<body>
<h1>Signing</h1>
<p class="lead">Velmora signs a text with the certificate you enrolled; the portal checks the signature with OpenSSL
and shows who signed what. <a href="/">Home</a> <a href="/enrol">Enrol</a></p>
<form id="signform" onsubmit="return sign();">
<fieldset>
<legend>What to sign</legend>
<p><textarea id="text" rows="2" cols="70">I approve this request. 我同意此申請。</textarea></p>
<p>Signer:
<label><input type="radio" name="signer" id="by-filter" value="filter" checked> the certificate of</label>
<input id="cn" size="24" maxlength="64"> (its common name)<br>
<span style="margin-left:48px"></span><label><input type="radio" name="signer" id="from-store" value="store">
one I choose from my certificates</label>
<label><input type="radio" name="signer" id="from-pfx" value="pfx"> a PFX file I choose</label></p>
<p>Format:
<label><input type="radio" name="format" id="format-pkcs7" value="pkcs7" checked> PKCS#7 with the chain and the
signing time</label>
<label><input type="radio" name="format" id="format-pkcs1" value="pkcs1"> PKCS#1</label></p>
<button id="go" type="submit" autofocus>Sign</button>
</fieldset>
</form>
<div>Status: <span id="status">ready</span></div>
<table id="details" style="display:none"></table>
<script>
// Element ids a test may drive:
//   text                              the text to sign (its UTF-16LE bytes are signed)
//   by-filter + cn                    capi_SelectSigner("S_CN=<cn>", 0x102, 0x80): the store, best candidate, no list
//   from-store                        capi_SelectSigner("", 0x101, 0x80): the store, always the list dialog
//   from-pfx                          capi_SelectSigner("", 0x200, 0x80): the PFX file dialog
//   format-pkcs7                      capi_SignPkcs7(text, 0x2200): the whole chain and a signing time
//   format-pkcs1                      capi_SignPkcs1(text, 0): upper-case hex, SHA-256
//   go                                the button (focused on load, so Enter signs), disabled while it works
//   status                            "ok" when the portal verified the signature, "bad" on any failure
//   details                           signer, serial, issuer, chain, content, digest, signing time
// The address may fill the form in: /sign?cn=NAME&signer=filter|store|pfx&format=pkcs7|pkcs1&text=...
var KEY_USAGE_DIGITAL_SIGNATURE = 0x80;
function show(cls, text) {
  var s = document.getElementById('status');
  s.className = cls;
  s.textContent = text;
}
function details(rows) {
  var t = document.getElementById('details');
  t.innerHTML = '';
  rows.forEach(function (r) {
    var tr = document.createElement('tr'), th = document.createElement('th'), td = document.createElement('td');
    th.textContent = r[0]; td.textContent = r[1];
    tr.appendChild(th); tr.appendChild(td); t.appendChild(tr);
  });
  t.style.display = rows.length ? '' : 'none';
}
function finish(cls, text, rows) {
  show(cls, text);
  details(rows || []);
  document.getElementById('go').disabled = false;
}
function checked(name) {
  var r = document.getElementsByName(name);
  for (var i = 0; i < r.length; ++i) if (r[i].checked) return r[i].value;
  return '';
}
function failed(capi, call) {
  var code = '', msg = '';
  try { code = capi.GetErrorCode(); msg = capi.GetErrorMsg(); } catch (e) { msg = String(e); }
  return call + ' failed: ' + code + ' ' + msg;
}
function sign() {
  var text = document.getElementById('text').value, signer = checked('signer'), format = checked('format');
  var cn = document.getElementById('cn').value.replace(/^\s+|\s+$/g, '');
  if (!text) { finish('bad', 'Enter a text to sign.'); return false; }
  if (signer === 'filter' && !cn) { finish('bad', 'Enter the common name of your certificate.'); return false; }
  var capi;
  try { capi = new CAPI(); external.capi_GetErrorCode(); }
  catch (e) { finish('bad', 'The Velmora bridge is not reachable: ' + e); return false; }
  var filter = signer === 'filter' ? 'S_CN=' + cn : '';
  var flags = signer === 'filter' ? 0x102 : signer === 'store' ? 0x101 : 0x200;
  document.getElementById('go').disabled = true;
  show('', 'Choosing the signer...');
  details([]);
  // Let the status paint first: the bridge calls block the page.
  setTimeout(function () {
    var rc;
    try { rc = Number(capi.SelectSigner(filter, flags, KEY_USAGE_DIGITAL_SIGNATURE)); }
    catch (e) { finish('bad', 'capi_SelectSigner could not be called: ' + e); return; }
    if (rc !== 0) { finish('bad', failed(capi, 'capi_SelectSigner')); return; }
    var certificate = capi.GetCertB64();
    var signature;
    try { signature = format === 'pkcs7' ? capi.SignPkcs7(text, 0x2200) : capi.SignPkcs1(text, 0); }
    catch (e) { finish('bad', 'signing could not be called: ' + e); return; }
    if (!signature) { finish('bad', failed(capi, format === 'pkcs7' ? 'capi_SignPkcs7' : 'capi_SignPkcs1')); return; }
    show('', 'Sending the signature to the portal...');
    var x = new XMLHttpRequest();
    x.open('POST', '/api/verify', true);
    x.setRequestHeader('Content-Type', 'application/json');
    x.onload = function () {
      var a;
      try { a = JSON.parse(x.responseText); } catch (e) { a = { error: x.responseText }; }
      if (x.status !== 200) { finish('bad', 'The portal refused the signature (HTTP ' + x.status + '): ' + a.error); return; }
      var rows = [['signer', a.signer], ['serial', a.serial], ['issuer', a.issuer], ['chain', a.chain.join('  >  ')],
                  ['content', a.content], ['format', format === 'pkcs7' ? 'PKCS#7, ' + a.certificates +
                   ' certificate(s) in the message' : 'PKCS#1'], ['digest', a.digest]];
      if (format === 'pkcs7') rows.push(['signing time', a.signingTime]);
      rows.push(['signature', String(signature).slice(0, 64) + '...']);
      finish('ok', 'The portal verified the signature.', rows);
    };
    x.onerror = function () { finish('bad', 'The portal could not be reached.'); };
    x.send(JSON.stringify({ format: format, signature: String(signature), content: text, certificate: certificate,
                            form: 'hex', bytes: 'utf-16le', digest: 'sha256' }));
  }, 30);
  return false;
}
(function () {
  var q = location.search.replace(/^\?/, '').split('&');
  q.forEach(function (kv) {
    var i = kv.indexOf('='), k, v;
    if (i < 0) return;
    try { k = decodeURIComponent(kv.slice(0, i)); v = decodeURIComponent(kv.slice(i + 1).replace(/\+/g, ' ')); }
    catch (e) { return; }
    if (k === 'cn') document.getElementById('cn').value = v;
    if (k === 'text') document.getElementById('text').value = v;
    if (k === 'signer' && (v === 'filter' || v === 'store' || v === 'pfx'))
      document.getElementById(v === 'filter' ? 'by-filter' : 'from-' + v).checked = true;
    if (k === 'format' && (v === 'pkcs7' || v === 'pkcs1')) document.getElementById('format-' + v).checked = true;
  });
})();
</script>
</body>
</html>
)HTML";

}  // namespace velmora::demo
