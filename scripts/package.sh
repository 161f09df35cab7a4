#!/usr/bin/env bash
# Builds the Debian package (CPack) in build-package/, installed under /usr,
# and checks it with lintian.
#   scripts/package.sh            the package; its path is printed last
#   scripts/package.sh --check    then installs it (root), runs the installed
#                                 programs in a throw-away profile, purges it
#                                 and checks nothing is left behind (dpkg knows it no more)
set -euo pipefail
cd "$(dirname "$0")/.."

dir=build-package
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)"
rm -rf "$dir/package"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/package/*.deb)
if command -v lintian >/dev/null; then
  # Errors fail the package; warnings are shown.
  lintian --fail-on error --suppress-tags-from-file /dev/null "$deb"
fi
echo "$deb"
[ "${1:-}" = "--check" ] || exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
if dpkg-query -W -f='${Status}' velmora 2>/dev/null | grep -q 'install ok installed'; then
  echo "package: velmora is installed on this machine already; not touching it" >&2
  exit 1
fi
profile=$(mktemp -d)
removed=
cleanup() {
  [ -n "$removed" ] || "${as_root[@]}" dpkg --purge velmora >/dev/null 2>&1 || true
  rm -rf "$profile"
}
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "$PWD/$deb" >/dev/null
files=$(dpkg-query -L velmora)

mkdir -p "$profile/home/.local/share" "$profile/home/.config" "$profile/run"
chmod 700 "$profile/run"
in_profile() {
  env -u DBUS_SESSION_BUS_ADDRESS HOME="$profile/home" XDG_DATA_HOME="$profile/home/.local/share" \
    XDG_CONFIG_HOME="$profile/home/.config" XDG_RUNTIME_DIR="$profile/run" TMPDIR="$profile" "$@"
}
version=$(in_profile /usr/bin/velmora-call 'getVersion()')
[ "$version" = '"1.8.0.0"' ] || { echo "package: velmora-call 'getVersion()' said: $version" >&2; exit 1; }
in_profile /usr/bin/velmora-store stores >/dev/null
# The module is found through its p11-kit module file alone.
in_profile p11-kit list-modules | grep -q 'Velmora certificate stores' ||
  { echo "package: p11-kit does not list the module" >&2; exit 1; }
in_profile pkcs11-tool --module "$(sed -n 's/^module: //p' /usr/share/p11-kit/modules/velmora.module)" -L |
  grep -q 'Velmora personal certificates' || { echo "package: pkcs11-tool does not see the token" >&2; exit 1; }
man -w velmora velmora-call velmora-store >/dev/null 2>&1 || [ ! -x /usr/bin/man ] ||
  { echo "package: a manual page is missing" >&2; exit 1; }

"${as_root[@]}" dpkg --purge velmora >/dev/null
removed=1
left=
while IFS= read -r f; do
  [ -f "$f" ] && left+="$f "
done <<<"$files"
[ -z "$left" ] || { echo "package: left behind after removal: $left" >&2; exit 1; }
if dpkg-query -W velmora >/dev/null 2>&1; then
  echo "package: dpkg still lists velmora after the purge" >&2
  exit 1
fi
echo "package: installed, ran and removed cleanly"
