#!/usr/bin/env bash
# Smoke test of the Debian package: builds it (scripts/package.sh, lintian
# included), unpacks it into a scratch directory with dpkg-deb -x (nothing is
# installed into the machine), starts the unpacked program under Xvfb with a
# fresh data and configuration directory, waits for its window, closes it
# the ordinary way (SIGTERM) and checks that the lists were written to the
# data directory and nothing beside the executable.
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mgsmoke-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

echo "== package"
scripts/package.sh "$scratch/out"
deb=$(echo "$scratch"/out/mailgrove_*.deb)
dpkg-deb -x "$deb" "$scratch/root"
exe=$scratch/root/usr/bin/mailgrove
# The about panel's link opens the README installed beside the program.
test -f "$scratch/root/usr/bin/../share/doc/mailgrove/README.md"

echo "== smoke: the unpacked program under Xvfb"
export XDG_DATA_HOME=$scratch/data XDG_CONFIG_HOME=$scratch/config
data=$XDG_DATA_HOME/mailgrove
# A white list, so that start-up asks nothing.
mkdir -p -m 700 "$XDG_DATA_HOME" "$data"
printf 'friend@example.org\n' >"$data/white.dat"
# No session bus: the password (none here) would go to the settings file.
unset DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR
xvfb-run -a env QT_QPA_PLATFORM=xcb EXE="$exe" bash -c '
    "$EXE" &
    pid=$!
    if ! timeout 60 xdotool search --sync --onlyvisible --name "POP3" >/dev/null; then
        echo "smoke: the window did not open" >&2
        kill -KILL "$pid" 2>/dev/null
        exit 1
    fi
    kill -TERM "$pid"
    status=0
    timeout 60 tail --pid="$pid" -f /dev/null || { echo "smoke: the program did not end" >&2; exit 1; }
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || { echo "smoke: the program ended with status $status" >&2; exit 1; }
'
fail() { echo "smoke: $*" >&2; exit 1; }
[ -f "$data/spam.dat" ] || fail "no spam.dat in the data directory"
[ "$(cat "$data/white.dat")" = $'friend@example.org\r' ] || fail "white.dat not written back"
[ -f "$data/white.bak" ] || fail "no white.bak in the data directory"
grep -q '^PASSWORD=' "$XDG_CONFIG_HOME/MAILGROVE.INI" || fail "no settings file"
[ "$(ls "$scratch/root/usr/bin")" = mailgrove ] || fail "files were written beside the executable"
echo "smoke: the window opened and closed; lists written to $data:"
ls -l "$data" | sed 1d | sed 's/^/  /'
