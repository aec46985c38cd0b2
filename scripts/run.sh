#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and opens the utility on the
# desktop this command runs in (its X11 or Wayland display, its sound
# server), against a local demo service: an FTP server on a free loopback
# port with a 1 MiB test2.txt and a writable incoming/ folder, a STUN
# server (coturn) on another for the voice check, and 127.0.0.1 as the
# address to ping. The demo service stops when the window closes.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/services.sh
source scripts/services.sh
scripts/install-deps.sh
scripts/build.sh default
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: built build/bin/mitu, but there is no display to open it on" >&2
    echo "        (neither DISPLAY nor WAYLAND_DISPLAY is set)." >&2
    exit 1
fi

demo=$(mktemp -d /tmp/mitu-demo-XXXXXX)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -f "$demo/turnserver.pid" ] && kill "$(cat "$demo/turnserver.pid")" 2>/dev/null || true
    rm -rf "$demo"
}
trap cleanup EXIT INT TERM
mkdir -p "$demo/root/incoming"
head -c 1048576 /dev/urandom > "$demo/root/test2.txt"
/usr/bin/python3 scripts/demo_ftp_server.py "$demo/root" > "$demo/port" 2> "$demo/server.log" &
server_pid=$!
for _ in $(seq 50); do
    [ -s "$demo/port" ] && break
    sleep 0.1
done
port=$(head -n 1 "$demo/port")
if [ -z "$port" ]; then
    echo "run.sh: the demo FTP server did not start:" >&2
    cat "$demo/server.log" >&2
    exit 1
fi
echo "run.sh: demo FTP service on 127.0.0.1:$port (stops when the window closes)"
stun_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
if mitu_start_stun_server "$demo" "$stun_port"; then
    export MITU_STUN_SERVER=127.0.0.1:$stun_port
    echo "run.sh: demo STUN server on $MITU_STUN_SERVER (build/bin/mitu-check voice uses it"
    echo "        with MITU_STUN_SERVER=$MITU_STUN_SERVER)"
fi

# The checks go to this machine. Unset these to use the real service.
export MITU_PING_ADDRESS=${MITU_PING_ADDRESS:-127.0.0.1}
export MITU_FTP_SERVER=127.0.0.1
export MITU_FTP_PORT=$port
build/bin/mitu
