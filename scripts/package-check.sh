#!/usr/bin/env bash
# Builds the Debian package and checks it as a user would get it: extracted
# with dpkg-deb into a fresh folder, its programs run from there, its
# declared dependencies, documents, desktop entry, metadata and manual pages
# checked, and lintian finds no error. Run as root (as CI does), it also
# runs the bandwidth test against a local FTP server named only in a
# settings file, as root and as an ordinary user, to see the local file
# land in each user's data folder and never beside the programs.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "package-check: $*" >&2
    exit 1
}

deb=$(scripts/package.sh | tail -n 1)
[ -f "$deb" ] || fail "no package was built"
echo "package-check: $deb"

work=$(mktemp -d /tmp/mitu-package-XXXXXX)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"
root="$work/root"
mkdir "$root"
dpkg-deb -x "$deb" "$root"

app_id=org.mitu.Mitu
for file in usr/bin/mitu usr/bin/mitu-check usr/bin/mitu-ftp \
    "usr/share/applications/$app_id.desktop" "usr/share/metainfo/$app_id.metainfo.xml" \
    "usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
    usr/share/man/man1/mitu.1.gz usr/share/man/man1/mitu-check.1.gz \
    usr/share/man/man1/mitu-ftp.1.gz usr/share/doc/mitu/copyright \
    usr/share/doc/mitu/changelog.Debian.gz usr/share/doc/mitu/report.md \
    usr/share/doc/mitu/examples/mitu.conf; do
    [ -e "$root/$file" ] || fail "the package lacks /$file"
done
programs=$(find "$root/usr/bin" -type f -printf '%f ' | xargs -n 1 | sort | xargs)
[ "$programs" = "mitu mitu-check mitu-ftp" ] || fail "/usr/bin holds: $programs"

# Declared dependencies: the libraries (from dpkg-shlibdeps) and what is
# loaded at run time.
depends=$(dpkg-deb -f "$deb" Depends)
recommends=$(dpkg-deb -f "$deb" Recommends)
for needed in libqt6widgets6 libqt6multimedia6 libqt6texttospeech6 libqt6svg6 libpulse0 libssl3 \
    qt6-qpa-plugins qt6-speech-speechd-plugin libc6 fonts-liberation2; do
    grep -q "\b$needed\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
grep -q '\bpavucontrol\b' <<<"$recommends" || fail "Recommends lacks pavucontrol: $recommends"

# The programs run from the extracted tree as they are: every library they
# need is found without help.
for program in mitu mitu-check mitu-ftp; do
    if ldd "$root/usr/bin/$program" | grep -q 'not found'; then
        fail "$program misses libraries: $(ldd "$root/usr/bin/$program" | grep 'not found')"
    fi
done
"$root/usr/bin/mitu-ftp" --help | grep -q '^Usage: mitu-ftp' || fail "mitu-ftp --help"
"$root/usr/bin/mitu" --help | grep -q '^usage: mitu' || fail "mitu --help"
# Each program names the package's version (without the package's
# revision), as the changelog's latest entry does.
version=$(dpkg-deb -f "$deb" Version)
for program in mitu mitu-check mitu-ftp; do
    said=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
    [ "$said" = "$program ${version%-*}" ] || fail "$program --version said: $said"
done
zcat "$root/usr/share/doc/mitu/changelog.Debian.gz" | head -n 1 | grep -q "^mitu ($version) " ||
    fail "the changelog's latest entry is not for $version"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$root/usr/share/doc/mitu/copyright" || fail "the copyright file is not machine-readable"
"$root/usr/bin/mitu-check" --help | grep -q 'connection \[ADDRESS\]' || fail "mitu-check --help"
connection=$("$root/usr/bin/mitu-check" connection 127.0.0.1) ||
    fail "mitu-check connection 127.0.0.1 failed: $connection"
grep -q '^Status: ' <<<"$connection" || fail "mitu-check connection printed: $connection"
echo "$connection"

lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian found errors"
desktop-file-validate "$root/usr/share/applications/$app_id.desktop"
appstreamcli validate --no-net "$root/usr/share/metainfo/$app_id.metainfo.xml"
for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# The service named only in a settings file (as a help desk deploys it),
# and the local file of the bandwidth test: in each user's data folder, for
# root too, never beside the programs.
if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
    mkdir -p "$work/ftp/incoming" "$work/home" "$work/roothome" "$work/xdg/mitu"
    head -c 65536 /dev/urandom >"$work/ftp/test2.txt"
    chown -R 65534:65534 "$work/ftp" "$work/home"
    /usr/bin/python3 scripts/demo_ftp_server.py "$work/ftp" >"$work/port" 2>"$work/server.log" &
    server_pid=$!
    for _ in $(seq 50); do
        [ -s "$work/port" ] && break
        sleep 0.1
    done
    port=$(head -n 1 "$work/port")
    [ -n "$port" ] || fail "the FTP server did not start: $(cat "$work/server.log")"
    printf '[service]\nping_address = 127.0.0.1\nftp_server = 127.0.0.1\nftp_port = %s\n' \
        "$port" >"$work/xdg/mitu/mitu.conf"
    chmod -R a+rX "$work/xdg"
    settings=(env -u MITU_PING_ADDRESS -u MITU_FTP_SERVER -u MITU_FTP_PORT
        XDG_CONFIG_DIRS="$work/xdg")
    "${settings[@]}" HOME="$work/roothome" XDG_CONFIG_HOME="$work/roothome/.config" \
        "$root/usr/bin/mitu-check" connection >/dev/null ||
        fail "mitu-check connection to the configured address failed"
    "${settings[@]}" HOME="$work/roothome" XDG_CONFIG_HOME="$work/roothome/.config" \
        XDG_DATA_HOME="$work/roothome/data" "$root/usr/bin/mitu-check" bandwidth \
        >"$work/bandwidth.out" 2>"$work/bandwidth.err" ||
        fail "mitu-check bandwidth as root: $(cat "$work/bandwidth.err")"
    cmp -s "$work/ftp/test2.txt" "$work/roothome/data/mitu/test2.txt" ||
        fail "root's local file is not in root's data folder"
    setpriv --reuid=65534 --regid=65534 --clear-groups \
        "${settings[@]}" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
        XDG_DATA_HOME="$work/home/data" "$root/usr/bin/mitu-check" bandwidth \
        >"$work/bandwidth.out" 2>"$work/bandwidth.err" ||
        fail "mitu-check bandwidth as an ordinary user: $(cat "$work/bandwidth.err")"
    cmp -s "$work/ftp/test2.txt" "$work/home/data/mitu/test2.txt" ||
        fail "the local file is not in the user's data folder"
    [ ! -e "$root/usr/bin/test2.txt" ] || fail "the local file went beside the programs"
    echo "package-check: the configured service was tested; the file stayed in \$XDG_DATA_HOME/mitu"
fi
echo "package-check: the package is sound"
