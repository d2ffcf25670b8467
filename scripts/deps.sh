#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests, the package and the
# demo need, only those that are missing. Uses sudo when not run as root.
# gnome-keyring and dbus serve the keyring tests, which run a private
# session of their own; lintian and xdotool the package's smoke test.
#
# Dovecot is needed only for its programs: the tests and the demo run private
# servers of their own on 127.0.0.1. When this script installs it, the
# package is kept from starting the system's mail service, and that service
# is disabled, so that no POP3/IMAP server is left listening on the machine.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libgtest-dev libgmock-dev libssl-dev libsecret-1-dev
          libsqlite3-dev ca-certificates dovecot-pop3d xvfb xauth fonts-dejavu-core openssl clang libclang-rt-14-dev
          dbus gnome-keyring dpkg-dev lintian xdotool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  new_dovecot=""
  dpkg-query -W -f='${Status}' dovecot-core 2>/dev/null | grep -q "install ok installed" || new_dovecot=1
  policy=/usr/sbin/policy-rc.d
  made_policy=""
  if [ -n "$new_dovecot" ] && [ ! -e "$policy" ]; then
    # Refuses every service start during the installation.
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
  fi
  status=0
  {
    $SUDO apt-get update -qq &&
      $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  } || status=$?
  [ -z "$made_policy" ] || $SUDO rm -f "$policy"
  [ "$status" -eq 0 ] || exit "$status"
  if [ -n "$new_dovecot" ] && command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now dovecot.service dovecot.socket >/dev/null 2>&1 || true
    echo "The system's Dovecot service was disabled (the tests and the demo run private servers)."
  fi
fi
