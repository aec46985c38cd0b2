# Starts the services the tests need, if they are not running already.
# Source this file, then call start_test_services.
#
# - a private PulseAudio daemon whose default output is a null sink and whose
#   default input is that sink's monitor, so the sound tests can listen to
#   what the program plays; reached through PULSE_SERVER. The input is the
#   monitor remapped as an ordinary source ("mitu_mic"): Qt Multimedia does
#   not offer monitors as input devices. A silent low-latency stream keeps
#   the null sink running on a short period, as a sound card's clock would:
#   an idle null sink renders in blocks of up to two seconds, and its
#   monitor would hand a new recording nothing for that long;
# - a private X server (Xvfb, 96 DPI) for the window tests; reached through
#   DISPLAY;
# - a STUN server (coturn's turnserver: STUN only, no TLS, no
#   authentication, no relaying) on 127.0.0.1 and ::1, port $MITU_STUN_PORT;
#   reached through MITU_STUN_SERVER. The voice tests start their own as
#   well, so they also run without it.
# All are left running for the next test run. Logs go to $MITU_SERVICES_DIR.

MITU_SERVICES_DIR=${MITU_SERVICES_DIR:-/tmp/mitu-services-$(id -u)}
MITU_NULL_SINK=mitu_null
MITU_MIC_SOURCE=mitu_mic
MITU_XVFB_DISPLAY=${MITU_XVFB_DISPLAY:-:97}
MITU_STUN_PORT=${MITU_STUN_PORT:-34780}

_mitu_pulse_ready() {
    pactl info >/dev/null 2>&1
}

_mitu_start_pulseaudio() {
    local runtime="$MITU_SERVICES_DIR/runtime"
    mkdir -p "$runtime/pulse"
    chmod 700 "$MITU_SERVICES_DIR" "$runtime" "$runtime/pulse"
    export XDG_RUNTIME_DIR="$runtime"
    export PULSE_RUNTIME_PATH="$runtime/pulse"
    export PULSE_STATE_PATH="$MITU_SERVICES_DIR/pulse-state"
    export PULSE_SERVER="unix:$runtime/pulse/native"
    export PULSE_SINK=$MITU_NULL_SINK
    export PULSE_SOURCE=$MITU_MIC_SOURCE
    mkdir -p "$PULSE_STATE_PATH"

    if ! _mitu_pulse_ready; then
        # -n: no system configuration, only the modules named here. As root
        # PulseAudio warns that it is meant for a user session; with its own
        # runtime folder it runs all the same.
        HOME="$MITU_SERVICES_DIR" pulseaudio --daemonize=yes -n \
            --exit-idle-time=-1 --disallow-exit --use-pid-file=yes \
            --log-target="file:$MITU_SERVICES_DIR/pulseaudio.log" \
            --load="module-native-protocol-unix socket=$runtime/pulse/native auth-anonymous=1" \
            --load="module-null-sink sink_name=$MITU_NULL_SINK rate=44100 channels=2" \
            --load="module-remap-source source_name=$MITU_MIC_SOURCE master=$MITU_NULL_SINK.monitor" \
            >/dev/null 2>&1 || true
        local i
        for i in $(seq 1 50); do
            _mitu_pulse_ready && break
            sleep 0.1
        done
    fi
    if _mitu_pulse_ready; then
        _mitu_start_sink_clock
        pactl set-default-sink $MITU_NULL_SINK >/dev/null 2>&1 || true
        pactl list short sources | grep -q "^[0-9]*[[:space:]]$MITU_MIC_SOURCE[[:space:]]" ||
            pactl load-module module-remap-source source_name=$MITU_MIC_SOURCE \
                master=$MITU_NULL_SINK.monitor >/dev/null 2>&1 || true
        pactl set-default-source $MITU_MIC_SOURCE >/dev/null 2>&1 || true
        echo "services: PulseAudio at $PULSE_SERVER (null sink $MITU_NULL_SINK)"
    else
        echo "services: PulseAudio did not start; see $MITU_SERVICES_DIR/pulseaudio.log" >&2
    fi
}

_mitu_start_sink_clock() {
    local pidfile="$MITU_SERVICES_DIR/sink-clock.pid"
    # Running already if the recorded process is still this stream.
    if [ -f "$pidfile" ] && grep -qs mitu-sink-clock "/proc/$(cat "$pidfile")/cmdline"; then
        return 0
    fi
    nohup pacat --playback --device=$MITU_NULL_SINK --client-name=mitu-sink-clock \
        --format=s16le --rate=44100 --channels=2 --latency-msec=20 </dev/zero \
        >"$MITU_SERVICES_DIR/sink-clock.log" 2>&1 &
    echo $! >"$pidfile"
}

_mitu_x_ready() {
    xdpyinfo -display "$1" >/dev/null 2>&1
}

_mitu_start_xvfb() {
    if ! _mitu_x_ready "$MITU_XVFB_DISPLAY"; then
        # A stale lock from an ended server would keep a new one from starting.
        local n=${MITU_XVFB_DISPLAY#:}
        if [ -e "/tmp/.X$n-lock" ] && ! kill -0 "$(tr -d ' ' <"/tmp/.X$n-lock")" 2>/dev/null; then
            rm -f "/tmp/.X$n-lock" "/tmp/.X11-unix/X$n"
        fi
        nohup Xvfb "$MITU_XVFB_DISPLAY" -screen 0 1280x1024x24 -dpi 96 -nolisten tcp \
            >"$MITU_SERVICES_DIR/xvfb.log" 2>&1 &
        local i
        for i in $(seq 1 50); do
            _mitu_x_ready "$MITU_XVFB_DISPLAY" && break
            sleep 0.1
        done
    fi
    if _mitu_x_ready "$MITU_XVFB_DISPLAY"; then
        export DISPLAY=$MITU_XVFB_DISPLAY
        echo "services: Xvfb on DISPLAY=$DISPLAY"
    else
        echo "services: Xvfb did not start; see $MITU_SERVICES_DIR/xvfb.log" >&2
    fi
}

_mitu_stun_ready() {
    # Listening for both UDP and TCP on the port.
    [ "$(ss -Hlnut "sport = :$1" 2>&1 | grep -c -e '^udp' -e '^tcp')" -ge 2 ]
}

# mitu_start_stun_server DIR PORT: a STUN server on loopback port PORT,
# its log, process number (DIR/turnserver.pid) and database in DIR. Does
# nothing when the one recorded there still runs. Also used by run.sh.
mitu_start_stun_server() {
    local dir=$1 port=$2 pidfile="$1/turnserver.pid"
    if [ -f "$pidfile" ] && grep -qs turnserver "/proc/$(cat "$pidfile")/cmdline" &&
        _mitu_stun_ready "$port"; then
        return 0
    fi
    if [ ! -x /usr/bin/turnserver ]; then
        echo "services: no STUN server: /usr/bin/turnserver is missing (coturn)" >&2
        return 1
    fi
    # -n: no configuration file; the database in DIR, not under /var.
    nohup /usr/bin/turnserver -n --listening-ip=127.0.0.1 --listening-ip=::1 \
        --listening-port="$port" --stun-only --no-tls --no-dtls --no-cli --no-stdout-log \
        --simple-log --log-file="$dir/turnserver.log" --pidfile="$dir/turnserver.own.pid" \
        --userdb="$dir/turndb" >"$dir/turnserver.out" 2>&1 &
    local pid=$! i
    echo $pid >"$pidfile"
    for i in $(seq 1 50); do
        # Its own listeners: it still runs once the port is seen.
        _mitu_stun_ready "$port" && sleep 0.2 && kill -0 $pid 2>/dev/null && return 0
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    echo "services: the STUN server did not start; see $dir/turnserver.log" >&2
    return 1
}

_mitu_start_stun() {
    if mitu_start_stun_server "$MITU_SERVICES_DIR" "$MITU_STUN_PORT"; then
        export MITU_STUN_SERVER=127.0.0.1:$MITU_STUN_PORT
        echo "services: STUN server on $MITU_STUN_SERVER"
    fi
}

start_test_services() {
    mkdir -p "$MITU_SERVICES_DIR"
    chmod 700 "$MITU_SERVICES_DIR"
    _mitu_start_pulseaudio
    _mitu_start_xvfb
    _mitu_start_stun || true
}
