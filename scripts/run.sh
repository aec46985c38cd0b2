#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and opens the utility on the
# desktop this command runs in (its X11 or Wayland display, its sound server).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: built build/bin/mitu, but there is no display to open it on" >&2
    echo "        (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    exit 1
fi
# The built-in service addresses are placeholders; the demo checks this
# machine instead. Set these variables to point the checks elsewhere.
export MITU_PING_ADDRESS=${MITU_PING_ADDRESS:-127.0.0.1}
export MITU_FTP_SERVER=${MITU_FTP_SERVER:-localhost}
exec build/bin/mitu
