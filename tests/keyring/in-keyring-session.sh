#!/usr/bin/env bash
# Runs a test program inside a private D-Bus session with its own
# gnome-keyring-daemon: a fresh home and data directory, the login keyring
# created and unlocked from standard input, so nothing ever prompts and the
# user's own keyring is never touched. When no daemon can be started the
# program still runs, without MG_TEST_KEYRING, and its tests skip.
set -uo pipefail
scratch=$(mktemp -d /tmp/mgkeyring-XXXXXX)
chmod 700 "$scratch"
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch XDG_DATA_HOME=$scratch/data XDG_RUNTIME_DIR=$scratch XDG_CONFIG_HOME=$scratch/config
if ! command -v dbus-run-session >/dev/null || ! command -v gnome-keyring-daemon >/dev/null; then
    "$@"
    exit
fi
# shellcheck disable=SC2016
dbus-run-session -- bash -c '
    if printf "%s" test-unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 &&
       gnome-keyring-daemon --start --components=secrets >/dev/null 2>&1; then
        export MG_TEST_KEYRING=1
    fi
    exec "$@"' bash "$@" 2> >(grep -v "Failed to set fd limit" >&2)
