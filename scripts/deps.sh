#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# only those that are missing. Uses sudo when not run as root.
set -euo pipefail
packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev libgmock-dev libssl-dev
          dovecot-pop3d xvfb xauth fonts-dejavu-core openssl clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
