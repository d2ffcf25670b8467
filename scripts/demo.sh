#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it on the demo:
# its own program directory (demo/app, where the lists live beside the
# executable) and settings (demo/config), never the user's; and a private
# POP3 server on 127.0.0.1 with a freshly generated demo mailbox, which the
# settings point at. Press "Соединение" to scan it. Closing the program
# stops the server.
#
# The lists demo/app/spam.dat and white.dat are seeded only when missing, so
# list edits made in the demo persist; delete them to start over.
# MAILGROVE_BUILD_DIR chooses the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${MAILGROVE_BUILD_DIR:-build}
dovecot=$root/tests/support/dovecot
user=demo
password=demo-secret

scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DMAILGROVE_TESTS=OFF -DMAILGROVE_BENCH=OFF >/dev/null
cmake --build "$build" --target mailgrove

mkdir -p demo/app demo/config
chmod 700 demo/config
# Replaced, not overwritten: a demo still running keeps its executable.
cp "$build/app/mailgrove" demo/app/.mailgrove.new
mv -f demo/app/.mailgrove.new demo/app/mailgrove
demo-data/seed-lists.sh demo/app

# The server's work directory: short and under /tmp, since Dovecot keeps its
# sockets there and, when run as root, its mail user must reach it.
work=$(mktemp -d /tmp/mgdemo-XXXXXX)
app_pid=""
cleanup() {
    # The program closes the ordinary way on SIGTERM (settings and lists are
    # written); let it finish before its server goes.
    if [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null; then
        wait "$app_pid" 2>/dev/null || true
    fi
    "$dovecot/stop-dovecot.sh" "$work" >/dev/null 2>&1 || true
    "$dovecot/stop-dovecot.sh" "$work/second" >/dev/null 2>&1 || true
    rm -rf "$work"
    echo "Demo POP3 server stopped."
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

demo-data/make-messages.sh "$work/messages" >/dev/null
# --owner-pid: should this script be killed outright, the server still stops.
started=$("$dovecot/start-dovecot.sh" "$work" --user "$user" --password "$password" --owner-pid $$ \
    --messages "$work"/messages/*.eml)
port=$(sed -n 's/^port=//p' <<<"$started")
count=$(find "$work/home/$user/Maildir/new" -type f | wc -l)

# A second mailbox on a server of its own, checked in the background every
# 5 minutes: a few newsletters.
user2=news
password2=news-secret
mkdir -p "$work/second-messages"
for n in 1 2 3; do
    printf 'From: Newsletter %s <letters@paper%s.example>\nTo: %s@127.0.0.1\nSubject: Edition %s\nDate: %s\n\nThis week.\n' \
        "$n" "$n" "$user2" "$n" "$(date -R)" >"$work/second-messages/$n.eml"
done
started2=$("$dovecot/start-dovecot.sh" "$work/second" --user "$user2" --password "$password2" --owner-pid $$ \
    --messages "$work"/second-messages/*.eml)
port2=$(sed -n 's/^port=//p' <<<"$started2")

# The demo's own settings, pointing at the server (it picks a new port on
# every run). The file holds the password: only its owner may read it.
(
    umask 077
    printf '[CONNECT]\r\nHOST=127.0.0.1\r\nPORT=%s\r\nUSER=%s\r\nPASSWORD=%s\r\n\r\n' \
        "$port" "$user" "$password" >demo/config/MAILGROVE.INI.tmp
    printf '[CONNECT2]\r\nHOST=127.0.0.1\r\nPORT=%s\r\nUSER=%s\r\nPASSWORD=%s\r\nCHECK=5\r\n' \
        "$port2" "$user2" "$password2" >>demo/config/MAILGROVE.INI.tmp
)
mv -f demo/config/MAILGROVE.INI.tmp demo/config/MAILGROVE.INI
chmod 600 demo/config/MAILGROVE.INI

echo "Demo POP3 server on 127.0.0.1:$port (user $user, password $password), $count messages."
echo "Second mailbox on 127.0.0.1:$port2 (user $user2), checked in the background every 5 minutes."
echo "Lists: $root/demo/app/spam.dat and white.dat; settings: $root/demo/config/MAILGROVE.INI"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found (DISPLAY is not set); the window needs a desktop session or xvfb-run." >&2
fi

# Run in the background and wait, so that a signal to this script is handled
# at once (the trap ends the program and stops the server).
# The demo's password stays in its own settings file, out of the user's keyring.
export XDG_CONFIG_HOME="$root/demo/config" MAILGROVE_NO_KEYRING=1
demo/app/mailgrove &
app_pid=$!
status=0
wait "$app_pid" || status=$?
app_pid=""
exit "$status"
