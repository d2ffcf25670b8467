#!/usr/bin/env bash
# Installs what is missing (scripts/deps.sh) and builds the Debian package
# mailgrove_<version>_<arch>.deb in the source directory (or in the directory
# given as the first argument): built with Debian's own flags (-O2,
# hardening), installed under /usr into a staging tree, then packed with
# dpkg-deb. Install it with
#     apt install ./mailgrove_*.deb
# MAILGROVE_PACKAGE_BUILD_DIR chooses the build directory (default:
# build-package). Runs lintian on the result when lintian is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$(realpath -m "${1:-$root}")
build=${MAILGROVE_PACKAGE_BUILD_DIR:-build-package}

version=$(sed -n 's/^project(Mailgrove VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }
scripts/deps.sh

# Debian's hardening flags (fortified functions, stack protector, RELRO, PIE).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DMAILGROVE_TESTS=OFF -DMAILGROVE_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
    -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build"

stage=$(mktemp -d "${TMPDIR:-/tmp}/mgpackage-XXXXXX")
trap 'rm -rf "$stage"' EXIT
pkg=$stage/root
DESTDIR=$pkg cmake --install "$build" --prefix /usr >/dev/null

doc=$pkg/usr/share/doc/mailgrove
# The program strips nothing of its own; the package carries no debug data.
strip --remove-section=.comment --remove-section=.note --strip-unneeded "$pkg/usr/bin/mailgrove"
gzip -9n "$pkg/usr/share/man/man1/mailgrove.1"
# README.md stays uncompressed: the about panel's link opens it from
# <exe>/../share/doc/mailgrove/README.md.
{
    cat <<COPYRIGHT
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mailgrove

Files: *
Copyright: 2026 Mailgrove developers
License: Expat

License: Expat
COPYRIGHT
    # The licence text, without its title and copyright lines, as the
    # copyright format wants it: indented, blank lines as " .".
    sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
} >"$doc/copyright"
rm -f "$doc/LICENSE"
{
    printf 'mailgrove (%s) unstable; urgency=medium\n\n' "$version"
    printf '  * Debian package with a menu entry, icons and AppStream metadata;\n'
    printf '    lists in the data directory, password in the desktop keyring.\n\n'
    printf ' -- Mailgrove developers <mailgrove@example.org>  %s\n' \
        "$(date -R -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")"
} | gzip -9n >"$doc/changelog.gz"

find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg" -type f -exec chmod 0644 {} +
chmod 0755 "$pkg/usr/bin/mailgrove"

# Shared-library dependencies, as dpkg-shlibdeps finds them.
mkdir -p "$stage/src/debian" "$pkg/DEBIAN"
printf 'Source: mailgrove\n\nPackage: mailgrove\nArchitecture: any\n' >"$stage/src/debian/control"
depends=$(cd "$stage/src" && dpkg-shlibdeps -O "$pkg/usr/bin/mailgrove" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
(cd "$pkg" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$pkg/DEBIAN/md5sums"
chmod 0644 "$pkg/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)
cat >"$pkg/DEBIAN/control" <<CONTROL
Package: mailgrove
Version: $version
Architecture: $arch
Maintainer: Mailgrove developers <mailgrove@example.org>
Installed-Size: $size
Depends: $depends
Recommends: gnome-keyring | kwalletmanager
Section: mail
Priority: optional
Description: look into a POP3 mailbox and delete unwanted mail on the server
 Mailgrove fetches only the header block of each message in a POP3 mailbox
 and shows one line per message (size, sender address, subject). Messages
 are marked by a black list of mail servers and a white list of addresses;
 checked messages are deleted on the server, each deletion written to a log.
 The password is kept in the desktop keyring where one is reachable.
 The interface is Russian.
CONTROL

mkdir -p "$out"
deb=$out/mailgrove_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$pkg" "$deb" >/dev/null
echo "Package: $deb ($(du -k "$deb" | cut -f1) KiB)"
dpkg-deb -c "$deb" | awk '{print "  " $6}' | grep -v '/$'
echo "Depends: $depends"
if command -v lintian >/dev/null; then
    echo "== lintian"
    status=0
    tags=$(lintian --info "$deb" 2>&1) || status=$?
    tags=$(grep -v 'running with root privileges' <<<"$tags" || true)
    echo "${tags:-lintian: no errors, no warnings}"
    [ "$status" -eq 0 ] || { echo "lintian reported errors" >&2; exit 1; }
fi
