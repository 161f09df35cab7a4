#!/usr/bin/env bash
# Sets everything up and runs the main job. Until the host window exists
# this is the command-line bridge: with no arguments it shows the versions
# and status of every component; with arguments it passes them on.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install.sh >/dev/null
bash scripts/build.sh >/dev/null
if [ $# -eq 0 ]; then
  set -- 'getVersion()' 'capi_GetVersion()' 'certReg_GetVersion()' 'mac_GetVersion()' 'get_GetVersion()' \
    'capi_GetErrorCode()' 'capi_GetErrorMsg()' 'capi_GetPortEx()'
fi
exec build/bin/velmora-call "$@"
