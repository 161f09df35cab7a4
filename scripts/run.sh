#!/usr/bin/env bash
# Sets everything up and runs the main job: builds everything, starts the
# demo portal on a free loopback port and the program (velmora) on it.
#   - With a display ($DISPLAY set), the window opens; closing it ends the
#     program, then the demo portal.
#   - With no display, both run under Xvfb: when the home page has loaded,
#     a screenshot of the window is saved, its path printed, and all ends.
#   - scripts/run.sh CALL... passes its arguments on to velmora-call (the
#     command-line bridge) instead.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  cat <<'EOF_HELP'
usage: scripts/run.sh             the window, on the demo portal
       scripts/run.sh CALL...     bridge calls on the command line, no window
       scripts/run.sh --help

Both first install the packages the build needs and build the project (the
first run takes a while; later runs only rebuild what changed).

The window: starts the demo portal on a free loopback port and the program
(velmora) on it. With a display, the window opens; closing it ends both.
Without one, both run under Xvfb: when the home page has loaded, a screenshot
is saved to out/velmora-window.png, its path printed, and all ends.

Calls: each CALL is a method of the bridge the portal's pages use, as a
script writes it, passed on to velmora-call; each result is printed as a JSON
line. For example:
  scripts/run.sh 'getVersion()' 'capi_GetErrorCode()'
  scripts/run.sh --list            the method table

The program keeps its data in ${XDG_DATA_HOME:-~/.local/share}/velmora/.
EOF_HELP
  exit 0
fi

bash scripts/install.sh >/dev/null
bash scripts/build.sh >&2  # ninja shows its progress
if [ $# -gt 0 ]; then
  exec build/bin/velmora-call "$@"
fi

out="$PWD/out"
mkdir -p "$out"
work=$(mktemp -d)
portal_pid=
cleanup() {
  [ -n "$portal_pid" ] && kill "$portal_pid" 2>/dev/null && wait "$portal_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

build/bin/velmora-demo-portal --port 0 --port-file "$work/port" >"$work/portal.log" 2>&1 &
portal_pid=$!
for _ in $(seq 600); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || { cat "$work/portal.log" >&2; echo "run: the demo portal did not start" >&2; exit 1; }
url="http://127.0.0.1:$(cat "$work/port")/fenroCore/client/home"
echo "demo portal: $url"

if [ -n "${DISPLAY:-}" ]; then
  VELMORA_PORTAL_URL="$url" build/bin/velmora
  exit $?
fi

shot="$out/velmora-window.png"
rm -f "$shot"
export VELMORA_PORTAL_URL="$url" VELMORA_HOST_LOG="$work/host.log" SHOT="$shot"
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  build/bin/velmora & host=$!
  for _ in $(seq 300); do
    grep -q "\"frame\":\"$VELMORA_PORTAL_URL\"" "$VELMORA_HOST_LOG" 2>/dev/null && break
    kill -0 $host 2>/dev/null || break
    sleep 0.1
  done
  sleep 3  # WebKit paints a while after the document completes, longer on a busy machine
  build/bin/velmora-screenshot "$SHOT" --title "KAVOQuillet(測試) Ver 1.8" >/dev/null || true
  kill $host 2>/dev/null; wait $host 2>/dev/null || true
'
if [ ! -s "$shot" ]; then
  echo "run: no screenshot was taken; the host log says:" >&2
  cat "$work/host.log" >&2 || true
  exit 1
fi
echo "screenshot of the window: $shot"
