// The demo portal's envelope page: Velmora encrypts a text for the enrolled
// certificate, and decrypts a message the portal made for it with OpenSSL.
#pragma once

namespace velmora::demo {

inline constexpr const char kEnvelopePage[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: envelopes</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  p.lead { margin: 0 0 10px 0; color: #4a5568; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 8px; }
  fieldset p { margin: 4px 0; }
  label { margin-right: 12px; }
  code { font-size: 12px; word-break: break-all; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
</style>
</head>
<body>
<h1>Envelopes</h1>
<p class="lead">Velmora encrypts a text for the certificate you enrolled for encryption (a PKCS#7 envelope), and
opens an envelope the portal made for that certificate with OpenSSL, with the key on this PC.
<a href="/">Home</a> <a href="/enrol?usage=encryption">Enrol</a></p>
<fieldset>
<legend>Certificate and text</legend>
<p>The certificate of <input id="cn" size="24" maxlength="64"> (its common name)</p>
<p><textarea id="text" rows="2" cols="70">A secret for my eyes only. 只給我看的秘密。</textarea></p>
<p>Cipher:
<label><input type="radio" name="alg" id="alg-0" value="0" checked> triple DES</label>
<label><input type="radio" name="alg" id="alg-1" value="1"> DES</label>
<label><input type="radio" name="alg" id="alg-2" value="2"> RC4</label>
Text as: <label><input type="checkbox" id="ansi"> ANSI bytes (else UTF-16)</label></p>
<button id="encrypt" type="button" onclick="encryptHere()">Encrypt here</button>
<button id="portal" type="button" onclick="portalEncrypts()">Let the portal encrypt, decrypt here</button>
</fieldset>
<div>Status: <span id="status">ready</span></div>
<p>Envelope: <code id="message"></code></p>
<p>Decrypted: <span id="plain"></span></p>
<script>
var CIPHERS = ['des3', 'des', 'rc4'];
function show(cls, text) {
  var s = document.getElementById('status');
  s.className = cls;
  s.textContent = text;
}
function value(name) {
  var checked = document.querySelector('input[name="' + name + '"]:checked');
  return checked ? Number(checked.value) : 0;
}
function failed(capi, call) {
  var code = '', msg = '';
  try { code = capi.GetErrorCode(); msg = capi.GetErrorMsg(); } catch (e) { }
  return call + ' failed: ' + code + ' ' + msg;
}
// The enrolled certificate, chosen by its common name; null after a failure.
function certificate(capi) {
  var cn = document.getElementById('cn').value.replace(/^\s+|\s+$/g, '');
  if (!cn) { show('bad', 'Enter the common name of your certificate.'); return null; }
  var rc = Number(capi.SelectSigner('S_CN=' + cn, 0x102, 0));
  if (rc !== 0) { show('bad', failed(capi, 'capi_SelectSigner')); return null; }
  return String(capi.GetCertB64());
}
function opened(capi, message, flags, text) {
  var plain = capi.CertDecryptPkcs7(message, flags);
  document.getElementById('plain').textContent = plain;
  if (Number(capi.GetErrorCode()) !== 0) { show('bad', failed(capi, 'capi_CertDecryptPkcs7')); return; }
  if (plain === text) show('ok', 'Decrypted: the text came back unchanged.');
  else show('bad', 'Decrypted, but the text differs.');
}
function encryptHere() {
  var capi;
  try { capi = new CAPI(); } catch (e) { show('bad', 'The Velmora bridge is not reachable: ' + e); return; }
  var cert = certificate(capi);
  if (cert === null) return;
  var text = document.getElementById('text').value, flags = document.getElementById('ansi').checked ? 0x800 : 0;
  var message = capi.CertEncryptPkcs7(text, cert, value('alg'), flags);
  document.getElementById('message').textContent = message;
  if (!message) { show('bad', failed(capi, 'capi_CertEncryptPkcs7')); return; }
  opened(capi, message, flags, text);
}
function portalEncrypts() {
  var capi;
  try { capi = new CAPI(); } catch (e) { show('bad', 'The Velmora bridge is not reachable: ' + e); return; }
  var cert = certificate(capi);
  if (cert === null) return;
  var text = document.getElementById('text').value, ansi = document.getElementById('ansi').checked;
  show('', 'Asking the portal to encrypt...');
  var x = new XMLHttpRequest();
  x.open('POST', '/api/envelope', true);
  x.setRequestHeader('Content-Type', 'application/json');
  x.onload = function () {
    var a;
    try { a = JSON.parse(x.responseText); } catch (e) { a = { error: x.responseText }; }
    if (x.status !== 200) { show('bad', 'The portal refused (HTTP ' + x.status + '): ' + a.error); return; }
    document.getElementById('message').textContent = a.message;
    opened(capi, a.message, ansi ? 0x800 : 0, text);
  };
  x.onerror = function () { show('bad', 'The portal could not be reached.'); };
  x.send(JSON.stringify({ certificate: cert, text: text, cipher: CIPHERS[value('alg')],
                          bytes: ansi ? 'ansi' : 'utf-16le' }));
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
    if (k === 'alg' && (v === '0' || v === '1' || v === '2')) document.getElementById('alg-' + v).checked = true;
    if (k === 'ansi') document.getElementById('ansi').checked = v === '1';
  });
})();
</script>
</body>
</html>
)HTML";

}  // namespace velmora::demo
