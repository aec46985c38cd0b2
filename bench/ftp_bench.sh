#!/usr/bin/env bash
# FTP transfer rates of mitu-ftp against curl, both talking to vsftpd on
# loopback, plain and over TLS (explicit, AUTH TLS), and the peak memory
# of a large mitu-ftp download.
#
#   bench/ftp_bench.sh [MiB for the rate runs, default 256] [MiB for the memory run, default 1024]
#
# Needs a build (build/bin/mitu-ftp), vsftpd, curl and openssl (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-256}
memsize=${2:-1024}
ftp=build/bin/mitu-ftp
[ -x "$ftp" ] || { echo "build first: cmake --build --preset default" >&2; exit 1; }

work=$(mktemp -d /tmp/mitu-ftp-bench-XXXXXX)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/empty" "$work/local"

# A certificate for 127.0.0.1: the server offers TLS, plain sessions stay allowed.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout "$work/key.pem" -out "$work/cert.pem" \
    -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 >"$work/openssl.log" 2>&1

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_address=127.0.0.1
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
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

head -c $((size << 20)) /dev/urandom > "$work/root/file.bin"
url="ftp://127.0.0.1:$port"

# Seconds a command takes (wall clock).
timed() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
rate() { echo "scale=1; $size * 1.048576 / $1" | bc -l; }

# Each run twice; the better one counts (the first warms the page cache).
best() {
    local a b
    a=$(timed "$@"); b=$(timed "$@")
    if (( $(echo "$a < $b" | bc -l) )); then echo "$a"; else echo "$b"; fi
}

t_get=$(best "$ftp" --quiet --port "$port" 127.0.0.1 get file.bin "$work/local/mitu.bin" --overwrite)
t_curl_get=$(best curl -s -o "$work/local/curl.bin" "$url/file.bin")
cmp "$work/local/mitu.bin" "$work/root/file.bin"
t_tls_get=$(best "$ftp" --quiet --tls --cacert "$work/cert.pem" --port "$port" 127.0.0.1 \
    get file.bin "$work/local/mitu-tls.bin" --overwrite)
t_curl_tls_get=$(best curl -s --ssl-reqd --cacert "$work/cert.pem" -o "$work/local/curl-tls.bin" \
    "$url/file.bin")
cmp "$work/local/mitu-tls.bin" "$work/root/file.bin"
cmp "$work/local/curl-tls.bin" "$work/root/file.bin"

# Uploads in pieces of 8,192 bytes (the tool's default) and of 1,460 bytes
# (the library's default), each row labelled with the size it asked for.
t_put=$(best "$ftp" --quiet --buffer 8192 --port "$port" 127.0.0.1 put "$work/local/mitu.bin" up-mitu.bin)
t_curl_put=$(best curl -s -T "$work/local/curl.bin" "$url/up-curl.bin")
cmp "$work/root/up-mitu.bin" "$work/root/file.bin"
t_put_small=$(best "$ftp" --quiet --buffer 1460 --port "$port" 127.0.0.1 put "$work/local/mitu.bin" up-small.bin)
cmp "$work/root/up-small.bin" "$work/root/file.bin"

# System calls per upload piece: a 16 MiB upload in pieces of each size
# under strace (the calls of logging in and out are spread over the pieces).
declare -A calls_per_piece=()
if command -v strace >/dev/null; then
    head -c $((16 << 20)) "$work/local/mitu.bin" > "$work/local/sixteen.bin"
    for piece in 8192 1460; do
        strace -f -c -o "$work/strace.txt" "$ftp" --quiet --buffer "$piece" --port "$port" \
            127.0.0.1 put "$work/local/sixteen.bin" up-sixteen.bin >/dev/null 2>&1
        total=$(awk '$NF == "total" { print $4 }' "$work/strace.txt")
        calls_per_piece[$piece]=$(echo "scale=2; $total / ((16 * 1048576) / $piece)" | bc -l)
    done
fi

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
peak=$(/usr/bin/python3 - "$ftp" "$port" "$work/local/large.bin" <<'PY'
import resource, subprocess, sys
ftp, port, target = sys.argv[1:]
subprocess.run([ftp, "--quiet", "--port", port, "127.0.0.1", "get", "large.bin", target,
                "--overwrite"], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss // 1024)
PY
)
printf '%-28s %8s MB\n' "peak memory, ${memsize} MiB get" "$peak"
