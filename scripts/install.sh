#!/usr/bin/env bash
# Installs every Debian package the build, the tools and the tests need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build ccache
  strace bc python3
  clang libclang-rt-14-dev
  libssl-dev openssl
  libsqlite3-dev sqlite3
  nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcurl4-openssl-dev
  libpcsclite-dev pcscd vsmartcard-vpcd
  softhsm2 opensc
  libgtk-3-dev libwebkit2gtk-4.1-dev
  xvfb xauth libxtst-dev
  libxres-dev x11-utils
  nodejs
  fonts-wqy-microhei bubblewrap
  libsecret-1-dev gnome-keyring libsecret-tools dbus-daemon dbus-user-session
  gnutls-bin libnss3-tools p11-kit libp11-kit-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install: all ${#packages[@]} packages present"
  exit 0
fi

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "install: installed ${missing[*]}"
