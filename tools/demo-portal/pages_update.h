// The demo portal's self-update: a version page that asks the host to
// update itself, a small test installer and its detached signature, made
// with the demo publisher's test key.
#pragma once

#include <optional>
#include <string>

#include "http_server.h"

namespace velmora::demo {

// The version the demo portal offers: newer than the host's 1.8.0.0.
inline constexpr const char kOfferedVersion[] = "1.8.0.1";
inline constexpr const char kInstallerPath[] = "/update/quillet-setup.sh";

// The test installer: it records that it ran and shows a window, nothing
// more. The marker lives in the user's own data folder.
inline constexpr const char kTestInstaller[] = R"SH(#!/bin/sh
# Quillet demo installer (a test installer: it installs nothing).
data="${XDG_DATA_HOME:-$HOME/.local/share}/velmora"
mkdir -p "$data" && date +%s > "$data/demo-installer-ran"
command -v xmessage >/dev/null 2>&1 || exit 0
exec xmessage -name quillet-demo-installer -title "Quillet demo installer" -center -timeout 120 \
  "Quillet 1.8.0.1 demo installer: nothing is installed, this window only shows that the signed update ran."
)SH";

inline constexpr const char kUpdatePage[] = R"HTML(<!DOCTYPE html>
<html lang="zh-Hant">
<head>
<meta charset="utf-8">
<title>Velmora demo portal: update</title>
<style>
  body { font-family: sans-serif; margin: 12px 18px; background: #f4f6fa; color: #1b2330; font-size: 14px; }
  h1 { font-size: 20px; margin: 0 0 4px 0; color: #17509a; }
  .ok { color: #176f2c; font-weight: bold; }
  .bad { color: #a61b1b; font-weight: bold; }
</style>
</head>
<body>
<h1>Update</h1>
<p>Velmora on this PC: <b id="have">?</b>. The portal offers: <b id="offered"></b>.
<a href="/">Home</a></p>
<p><button id="update" onclick="update()">Update now</button> result: <span id="result"></span></p>
<p>The host compares the versions as texts; when it is older it downloads the installer, checks its publisher's
signature and starts it. A result of 0 means nothing was needed or the installer was started.</p>
<script>
var offered = '@VERSION@', installer = location.origin + '@INSTALLER@';
document.getElementById('offered').textContent = offered;
try { document.getElementById('have').textContent = window.external.getVersion(); } catch (e) {}
function update() {
  var r = document.getElementById('result');
  r.textContent = '…';
  setTimeout(function () {
    var code;
    try { code = window.external.versionCheck(offered, installer); } catch (e) { code = String(e); }
    r.textContent = code;
    r.className = code === 0 ? 'ok' : 'bad';
    if (location.search.indexOf('report=1') >= 0) {
      var x = new XMLHttpRequest();
      x.open('POST', '/report?name=update', false);
      x.send(JSON.stringify({ result: code }));
    }
  }, 50);
}
if (location.search.indexOf('auto=1') >= 0) window.addEventListener('load', update);
</script>
</body>
</html>
)HTML";

// The detached signature of `data` with the private key in `keyPem`
// (Ed25519, or RSA with SHA-256); empty when it cannot be made.
std::string signDetached(const std::string& keyPem, const std::string& data);

// The update routes, or nullopt for any other path.
std::optional<http::Response> updateRoute(const std::string& publisherKeyPem, const http::Request& req);

}  // namespace velmora::demo
