#!/bin/bash
# Starts a private Cyrus POP3 server (Cyrus IMAP 3.6, Debian 12) on 127.0.0.1
# for tests. Its programs come from Debian's packages, downloaded with
# apt-get download and unpacked with dpkg -x, never installed (cyrus-pop3d
# and dovecot-pop3d cannot be installed side by side). Configuration,
# password database (sasldb), spool and runtime files all live in one work
# directory; nothing of a system's own Cyrus or SASL setup is used.
#
#   start-cyrus.sh DIR [--packages PKGDIR] [--port N] [--user NAME] [--password TEXT]
#                      [--owner-pid PID] [--messages FILE...]
#
# DIR         work directory (created; keep it short: the LMTP socket is in it)
# --packages  where the packages are unpacked, once, and kept for later runs
#             (default DIR/packages); parallel starts share it safely
# --port      TCP port on 127.0.0.1; default: a free one is picked
# --user      account name (default "mailgrove"), --password its password
#             (default "grove-secret")
# --owner-pid once process PID has ended, the server is stopped and DIR removed
# --messages  RFC 822 files delivered to the mailbox, in order; must be last.
#             More can be delivered later with mailbox-cyrus.sh DIR deliver FILE...
#
# Prints "port=N", "user=NAME" and "password=TEXT" on standard output and
# writes the port to DIR/port. Stop with stop-cyrus.sh DIR.
#
# As root the server runs as nobody (DIR must be reachable by it: keep it
# under /tmp); as another user, as that user.
#
# Exit status: 0 started; 2 Cyrus cannot be had here (the packages cannot be
# downloaded, or a library they need is missing; the reason is on standard
# error); 1 any other failure.
set -u

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../server-lib.sh"
die() { echo "start-cyrus: $*" >&2; exit 1; }
unavailable() { echo "start-cyrus: $*" >&2; exit 2; }

[ $# -ge 1 ] || die "usage: start-cyrus.sh DIR [--packages PKGDIR] [--port N] [--user NAME] [--password TEXT] [--owner-pid PID] [--messages FILE...]"
dir=$1; shift
packages=""; port=""; user="mailgrove"; password="grove-secret"; owner_pid=""; messages=()
while [ $# -gt 0 ]; do
    case "$1" in
        --packages) packages=$2; shift 2 ;;
        --port) port=$2; shift 2 ;;
        --user) user=$2; shift 2 ;;
        --password) password=$2; shift 2 ;;
        --owner-pid) owner_pid=$2; shift 2 ;;
        --messages) shift; messages=("$@"); break ;;
        *) die "unknown option $1" ;;
    esac
done
case "$user" in *[!a-z0-9._-]*|"") die "user must be lower-case letters, digits, '.', '_' or '-'" ;; esac
case "$password" in *$'\n'*) die "password must not contain line breaks" ;; esac

mkdir -p "$dir" || die "cannot create $dir"
dir=$(cd "$dir" && pwd)
chmod 755 "$dir"
[ ${#dir} -le 70 ] || die "work directory path too long for the LMTP socket: $dir"
[ -n "$packages" ] || packages=$dir/packages
mkdir -p "$packages" || die "cannot create $packages"
packages=$(cd "$packages" && pwd)

# ---- the programs

# The servers and their libraries that Debian 12 does not install by
# default; the SASL password database plugin too, so that the system's
# own plugin directory is not needed.
debs=(cyrus-common cyrus-pop3d sasl2-bin libical3 libxapian30 libsasl2-modules-db)
bin=$packages/usr/lib/cyrus/bin

fetch() {
    command -v apt-get >/dev/null || unavailable "apt-get is missing: the Cyrus packages cannot be downloaded"
    local log=$packages/fetch.log
    (
        flock 9
        [ -f "$packages/.unpacked" ] && exit 0
        rm -rf "$packages/debs" && mkdir -p "$packages/debs" && cd "$packages/debs" || exit 1
        : >"$log"
        download() { apt-get download -q "${debs[@]}" >>"$log" 2>&1; }
        # A machine whose package lists were never fetched knows no candidates.
        download || { [ "$(id -u)" = 0 ] && apt-get update -q >>"$log" 2>&1 && download; } || exit 2
        for deb in *.deb; do dpkg -x "$deb" "$packages" || exit 1; done
        cd "$packages" && rm -rf debs && touch .unpacked
    ) 9>"$packages/.lock"
    case $? in
        0) ;;
        2) tail -5 "$log" >&2; unavailable "apt-get could not download ${debs[*]}" ;;
        *) die "cannot unpack the Cyrus packages into $packages" ;;
    esac
}
[ -f "$packages/.unpacked" ] || fetch

libs=$(dirname "$(find "$packages/usr/lib" -maxdepth 2 -name 'libcyrus.so.0' -print -quit)")
export LD_LIBRARY_PATH=$libs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export SASL_PATH=$libs/sasl2
for program in "$bin/master" "$bin/pop3d" "$bin/lmtpd" "$bin/deliver" "$packages/usr/sbin/saslpasswd2"; do
    [ -x "$program" ] || die "$program is missing from the unpacked packages"
    missing=$(ldd "$program" 2>/dev/null | awk '/not found/ { print $1 }' | sort -u | tr '\n' ' ')
    [ -z "$missing" ] || unavailable "libraries missing for $(basename "$program"): $missing"
done

# ---- who runs it

if [ "$(id -u)" = 0 ]; then
    run_user=nobody
    id "$run_user" >/dev/null 2>&1 || die "system user $run_user is missing"
    as_run_user() { setpriv --reuid="$run_user" --regid="$(id -g "$run_user")" --clear-groups "$@"; }
    p=$dir
    while [ "$p" != / ]; do
        as_run_user test -x "$p" 2>/dev/null || die "$p is not searchable by $run_user; choose a work directory under /tmp"
        p=$(dirname "$p")
    done
    as_run_user test -x "$bin/pop3d" 2>/dev/null || die "$packages is not reachable by $run_user"
else
    run_user=$(id -un)
fi

# ---- configuration, account, spool

conf=$dir/conf
mkdir -p "$conf/socket" "$conf/proc" "$conf/lock" "$dir/spool" "$dir/run" || die "cannot create the folders in $dir"
rm -f "$dir/sasldb2"
printf '%s' "$password" | "$packages/usr/sbin/saslpasswd2" -p -c -f "$dir/sasldb2" -u localhost "$user" ||
    die "cannot write the password database"

cat >"$dir/imapd.conf" <<CONF
# Generated by start-cyrus.sh
configdirectory: $conf
partition-default: $dir/spool
defaultpartition: default
servername: localhost
cyrus_user: $run_user
syslog_prefix: mailgrove-cyrus
allowplaintext: yes
sasl_pwcheck_method: auxprop
sasl_auxprop_plugin: sasldb
sasl_sasldb_path: $dir/sasldb2
sasl_mech_list: PLAIN LOGIN
failedloginpause: 0
lmtpsocket: $conf/socket/lmtp
idlesocket: $conf/socket/idle
notifysocket: $conf/socket/notify
autocreate_post: yes
autocreate_quota: 0
duplicatesuppression: no
reject8bit: no
munge8bit: no
expunge_mode: semidelayed
master_bind_errors_fatal: yes
CONF

write_services() {
    cat >"$dir/cyrus.conf" <<CONF
# Generated by start-cyrus.sh
START {
  recover cmd="$bin/ctl_cyrusdb -C $dir/imapd.conf -r"
}
SERVICES {
  pop3 cmd="$bin/pop3d -C $dir/imapd.conf" listen="127.0.0.1:$1" prefork=0 maxchild=20
  lmtpunix cmd="$bin/lmtpd -C $dir/imapd.conf" listen="$conf/socket/lmtp" prefork=0 maxchild=5
}
CONF
}

# What mailbox-cyrus.sh needs to know.
printf 'packages=%q\nuser=%q\n' "$packages" "$user" >"$dir/instance"

[ "$(id -u)" = 0 ] && chown -R "$run_user:$(id -g "$run_user")" "$dir/conf" "$dir/spool" "$dir/run" "$dir/sasldb2"

# Waits for the POP3 greeting on the port (up to about 20 seconds): 1 when
# the master has ended (the port was taken), 2 when it runs but does not answer.
wait_ready() {
    local i
    for i in $(seq 1 100); do
        pop3_greets "$1" && return 0
        [ "$i" -lt 10 ] || kill -0 "$(cat "$dir/run/master.pid" 2>/dev/null)" 2>/dev/null || return 1
        sleep 0.2
    done
    return 2
}

fixed_port=$port
for _ in 1 2 3 4 5; do
    [ -n "$fixed_port" ] || port=$(pick_port)
    write_services "$port"
    ready=1
    (cd "$dir" && "$bin/master" -C "$dir/imapd.conf" -M "$dir/cyrus.conf" -p "$dir/run/master.pid" \
        -L "$dir/master.log" -d </dev/null >/dev/null 2>&1) && { wait_ready "$port"; ready=$?; }
    if [ "$ready" = 0 ]; then
        echo "$port" >"$dir/port"
        if [ ${#messages[@]} -gt 0 ]; then
            "$here/mailbox-cyrus.sh" "$dir" deliver "${messages[@]}" || { "$here/stop-cyrus.sh" "$dir"; die "delivery failed"; }
        fi
        [ -z "$owner_pid" ] || watch_owner "$owner_pid" "$dir" "$here/stop-cyrus.sh"
        echo "port=$port"
        echo "user=$user"
        echo "password=$password"
        exit 0
    fi
    "$here/stop-cyrus.sh" "$dir" >/dev/null 2>&1
    # Another port only when the master ended (the port was taken meanwhile).
    if [ -n "$fixed_port" ] || [ "$ready" != 1 ]; then break; fi
done
echo "start-cyrus: Cyrus did not start (its servers log to syslog); the master's output:" >&2
tail -20 "$dir/master.log" >&2 2>/dev/null
exit 1
