// The demo portal's smart-card page: connect to a TaiMAC10 card, read its
// data, verify and change the AN PIN, through the page's bridge.
#pragma once

namespace velmora::demo {

inline constexpr const char kCardPage[] = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: smart card</title>
<script src="/velmora-bridge.js"></script>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  p.lead { margin: 0 0 10px 0; color: #4a5568; }
  fieldset { background: #fff; border: 1px solid #cbd5e0; margin-bottom: 8px; }
  fieldset p { margin: 4px 0; }
  table { border-collapse: collapse; background: #fff; margin-top: 6px; }
  th, td { border: 1px solid #cbd5e0; padding: 3px 8px; text-align: left; }
  th { background: #e2e8f0; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
</style>
</head>
<body>
<h1>Smart card</h1>
<p class="lead">Velmora talks to your TaiMAC10 card through the PC/SC service: choose the reader, read the card's
data, check or change its AN PIN. <a href="/">Home</a></p>
<fieldset>
<legend>Card</legend>
<p><button id="connect" onclick="connect()">Connect</button>
<button id="read" onclick="readCard()">Read the card</button>
<button id="disconnect" onclick="disconnect()">Disconnect</button></p>
</fieldset>
<fieldset>
<legend>AN PIN</legend>
<p>PIN <input id="pin" type="password" size="16" maxlength="16">
<button id="verify" onclick="verifyPin()">Verify</button></p>
<p>New PIN <input id="newpin" type="password" size="16" maxlength="16">
<button id="change" onclick="changePin()">Change</button></p>
</fieldset>
<div>Status: <span id="status">ready</span></div>
<table id="data"></table>
<script>
function show(cls, text) {
  var s = document.getElementById('status');
  s.className = cls;
  s.textContent = text;
}
// The page sees an int16: 36864 arrives as -28672.
function code(n) { return n < 0 ? n + 65536 : n; }
function describe(n) {
  n = code(n);
  if (n === 0) return 'done';
  if (n === 4192) return 'you cancelled the reader choice';
  if (n === 4098 || n === 4118) return 'no card reader or card could be used (' + n + ')';
  if (n === 4099) return 'connect to the card first';
  if (n === 4113) return 'a PIN has 6 to 16 characters';
  if ((n & 0xFFF0) === 0x63C0) return 'wrong PIN, ' + (n & 15) + ' tries left';
  if (n === 0x6983) return 'the PIN is locked';
  return 'the card answered ' + n.toString(16).toUpperCase();
}
function connect() {
  var rc = external.mac_ConnectCard();
  show(rc === 0 ? 'ok' : 'bad', rc === 0 ? 'connected' : describe(rc));
}
function disconnect() {
  var rc = code(external.mac_DisConnectCard());
  show(rc === 36864 ? 'ok' : 'bad', rc === 36864 ? 'disconnected' : 'disconnect failed (' + rc + ')');
}
function readCard() {
  var rows = [['Chip identifier', external.mac_ReadBinary()]];
  for (var i = 1; i <= 3; i++) rows.push(['Record ' + i + ' of EF 1001', external.mac_ReadEF1001(i)]);
  var t = document.getElementById('data');
  t.innerHTML = '<tr><th>Item</th><th>Value</th></tr>';
  rows.forEach(function (r) {
    var tr = document.createElement('tr');
    r.forEach(function (v) { var td = document.createElement('td'); td.textContent = v; tr.appendChild(td); });
    t.appendChild(tr);
  });
  show(rows[0][1] ? 'ok' : 'bad', rows[0][1] ? 'read' : 'the card could not be read');
}
function verifyPin() {
  var rc = external.mac_VerifyANPin(document.getElementById('pin').value);
  show(rc === 0 ? 'ok' : 'bad', rc === 0 ? 'the PIN is right' : describe(rc));
}
function changePin() {
  var rc = external.mac_ChangeANPin(document.getElementById('pin').value, document.getElementById('newpin').value);
  show(rc === 0 ? 'ok' : 'bad', rc === 0 ? 'the PIN was changed' : describe(rc));
}
</script>
</body>
</html>
)HTML";

}  // namespace velmora::demo
