#!/usr/bin/env bash
# FTP transfer rates of mitu-ftp against curl, both talking to vsftpd on
# loopback, plain and over TLS (explicit, AUTH TLS), and the peak memory
# of a large mitu-ftp download.
#
#   bench/ftp_bench.sh [MiB for the rate runs, default 256] [MiB for the memory run, default 1024]
#
# MITU_FTP names another mitu-ftp to measure (an earlier build, say).
#
# Needs a build (build/bin/mitu-ftp), vsftpd, curl and openssl (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-256}
memsize=${2:-1024}
ftp=${MITU_FTP:-build/bin/mitu-ftp}
[ -x "$ftp" ] || { echo "build first: cmake --build --preset default" >&2; exit 1; }

work=$(mktemp -d /tmp/mitu-ftp-bench-XXXXXX)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/empty" "$work/local"

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

# Every run gets a server of its own on an address of its own in
# 127.0.0.0/8: the kernel keeps figures of earlier connections per address
# (TCP metrics) and starts new ones from them, so runs against one address
# inherit each other's history and fall into a slow way of running by
# chance. The certificate names the address; the server offers TLS, plain
# sessions stay allowed.
host=""
serve() {
    host=127.$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1)).$((RANDOM % 254 + 1))
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -keyout "$work/key.pem" -out "$work/cert.pem" -subj /CN=localhost \
        -addext "subjectAltName=IP:$host" >"$work/openssl.log" 2>&1
    cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_address=$host
listen_port=$port
background=NO
run_as_launching_user=YES
seccomp_sandbox=NO
secure_chroot_dir=$work/empty
anonymous_enable=YES
local_enable=NO
anon_root=$work/root
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
no_anon_password=YES
connect_from_port_20=NO
xferlog_enable=NO
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=NO
force_anon_data_ssl=NO
require_ssl_reuse=YES
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
CONF
    /usr/sbin/vsftpd "$work/vsftpd.conf" >"$work/vsftpd.log" 2>&1 &
    pid=$!
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "vsftpd did not start on $host:$port" >&2
    exit 1
}
unserve() {
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    pid=""
}

head -c $((size << 20)) /dev/urandom > "$work/root/file.bin"

# Seconds a command takes (wall clock), against a fresh server.
timed() {
    local start end
    serve
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    unserve
    echo "$end - $start" | bc -l
}
rate() { echo "scale=1; $size * 1.048576 / $1" | bc -l; }

# Each run five times; the median counts (the first also warms the page
# cache, and single connections stray far from the rest).
median5() {
    for _ in 1 2 3 4 5; do timed "$@"; done | sort -n | sed -n 3p
}

# The runs; each reads the server's address when it starts.
mitu() { "$ftp" --quiet --port "$port" "$@"; }
mitu_tls() { "$ftp" --quiet --tls --cacert "$work/cert.pem" --port "$port" "$@"; }
get_mitu() { mitu "$host" get file.bin "$work/local/mitu.bin" --overwrite; }
get_curl() { curl -s -o "$work/local/curl.bin" "ftp://$host:$port/file.bin"; }
get_mitu_tls() { mitu_tls "$host" get file.bin "$work/local/mitu-tls.bin" --overwrite; }
get_curl_tls() {
    curl -s --ssl-reqd --cacert "$work/cert.pem" -o "$work/local/curl-tls.bin" \
        "ftp://$host:$port/file.bin"
}
put_mitu() { mitu --buffer "$1" "$host" put "$work/local/mitu.bin" "up-$1.bin"; }
put_curl() { curl -s -T "$work/local/curl.bin" "ftp://$host:$port/up-curl.bin"; }

t_get=$(median5 get_mitu)
t_curl_get=$(median5 get_curl)
cmp "$work/local/mitu.bin" "$work/root/file.bin"
t_tls_get=$(median5 get_mitu_tls)
t_curl_tls_get=$(median5 get_curl_tls)
cmp "$work/local/mitu-tls.bin" "$work/root/file.bin"
cmp "$work/local/curl-tls.bin" "$work/root/file.bin"

# Uploads in pieces of 8,192 bytes (the tool's default) and of 1,460 bytes
# (the library's default), each row labelled with the size it asked for.
t_put=$(median5 put_mitu 8192)
t_curl_put=$(median5 put_curl)
cmp "$work/root/up-8192.bin" "$work/root/file.bin"
t_put_small=$(median5 put_mitu 1460)
cmp "$work/root/up-1460.bin" "$work/root/file.bin"

# System calls per upload piece: a 16 MiB upload in pieces of each size
# under strace (the calls of logging in and out are spread over the pieces).
declare -A calls_per_piece=()
if command -v strace >/dev/null; then
    head -c $((16 << 20)) "$work/local/mitu.bin" > "$work/local/sixteen.bin"
    serve
    for piece in 8192 1460; do
        strace -f -c -o "$work/strace.txt" "$ftp" --quiet --buffer "$piece" --port "$port" \
            "$host" put "$work/local/sixteen.bin" up-sixteen.bin >/dev/null 2>&1
        total=$(awk '$NF == "total" { print $4 }' "$work/strace.txt")
        calls_per_piece[$piece]=$(echo "scale=2; $total / ((16 * 1048576) / $piece)" | bc -l)
    done
    unserve
fi

printf '%-28s %8s\n' "congestion control" "$(cat /proc/sys/net/ipv4/tcp_congestion_control)"
printf '%-28s %8s MB/s\n' "download mitu-ftp get" "$(rate "$t_get")"
printf '%-28s %8s MB/s\n' "download curl" "$(rate "$t_curl_get")"
printf '%-28s %8s\n' "download ratio (mitu/curl)" "$(echo "scale=2; $t_curl_get / $t_get" | bc -l)"
printf '%-28s %8s MB/s\n' "download TLS mitu-ftp get" "$(rate "$t_tls_get")"
printf '%-28s %8s MB/s\n' "download TLS curl" "$(rate "$t_curl_tls_get")"
printf '%-28s %8s\n' "download TLS ratio" "$(echo "scale=2; $t_curl_tls_get / $t_tls_get" | bc -l)"
printf '%-28s %8s MB/s\n' "upload curl" "$(rate "$t_curl_put")"
printf '%-28s %8s MB/s\n' "upload mitu-ftp put (8192)" "$(rate "$t_put")"
printf '%-28s %8s\n' "upload ratio 8192 (mitu/curl)" "$(echo "scale=2; $t_curl_put / $t_put" | bc -l)"
printf '%-28s %8s MB/s\n' "upload mitu-ftp put (1460)" "$(rate "$t_put_small")"
printf '%-28s %8s\n' "upload ratio 1460 (mitu/curl)" "$(echo "scale=2; $t_curl_put / $t_put_small" | bc -l)"
for piece in 8192 1460; do
    if [ -n "${calls_per_piece[$piece]:-}" ]; then
        printf '%-28s %8s\n' "system calls per piece ($piece)" "${calls_per_piece[$piece]}"
    fi
done

# Peak memory of a large download.
rm -f "$work/root/"*.bin "$work/local/"*.bin
head -c $((memsize << 20)) /dev/zero > "$work/root/large.bin"
serve
peak=$(/usr/bin/python3 - "$ftp" "$port" "$host" "$work/local/large.bin" <<'PY'
import resource, subprocess, sys
ftp, port, host, target = sys.argv[1:]
subprocess.run([ftp, "--quiet", "--port", port, host, "get", "large.bin", target,
                "--overwrite"], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)
PY
)
unserve
printf '%-28s %8s MB\n' "peak memory, ${memsize} MiB get" "$peak"
