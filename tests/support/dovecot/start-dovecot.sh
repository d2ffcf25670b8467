#!/bin/bash
# Starts a private Dovecot POP3 server on 127.0.0.1 for tests, the demo and
# benchmarks: configuration, password file, maildir and runtime files all live
# in one directory, nothing of the system's own Dovecot setup is used.
#
#   start-dovecot.sh DIR [--port N] [--user NAME] [--password TEXT] [--owner-pid PID]
#                        [--tls] [--tls-names SAN] [--messages FILE...]
#
# DIR        work directory (created; must be reachable by the mail user, see
#            below; keep it short, Dovecot puts its sockets in DIR/run)
# --port     TCP port on 127.0.0.1; default: a free one is picked
# --user     account name (default "mailgrove"), --password its password
#            (default "grove-secret")
# --owner-pid once process PID has ended, Dovecot is stopped and DIR removed
#            (so that a test program that is killed leaves nothing running)
# --tls      POP3 over TLS from the first byte (as on port 995) instead of
#            plain POP3, and nothing else (ssl = required): a test CA and a
#            server certificate are made in DIR/tls (make-certs.sh); clients
#            must trust DIR/tls/ca.pem
# --starttls plain POP3 that offers STLS (ssl = yes), with the same test
#            CA and certificate
# --tls-names the server certificate's subjectAltName (default
#            "DNS:localhost,IP:127.0.0.1"); implies --tls
# --oauth2 URL  also SASL XOAUTH2: bearer tokens checked by an oauth2 passdb
#            that POSTs token=... to the introspection endpoint URL (RFC 7662)
#            and takes {"active":true,"username":NAME}
# --messages RFC 822 files put into the mailbox (fill-maildir.sh); must be last
#
# Prints "port=N", "user=NAME", "password=TEXT" and "maildir=PATH" on
# standard output, and with --tls "ca=PATH" (the CA to trust); writes the
# port to DIR/port. Stop with stop-dovecot.sh DIR.
#
# As root, Dovecot runs its login processes as dovenull, its internal ones as
# dovecot, and the mail belongs to nobody. As another user everything runs as
# that user. When Dovecot is missing it is installed with apt-get (root only).
#
# Exit status: 0 started; 2 Dovecot is not installed and cannot be installed
# (the reason is on standard error); 1 any other failure.
set -u

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../server-lib.sh"
die() { echo "start-dovecot: $*" >&2; exit 1; }
unavailable() { echo "start-dovecot: $*" >&2; exit 2; }

[ $# -ge 1 ] || die "usage: start-dovecot.sh DIR [--port N] [--user NAME] [--password TEXT] [--owner-pid PID] [--messages FILE...]"
dir=$1; shift
port=""; user="mailgrove"; password="grove-secret"; owner_pid=""; messages=()
tls=""; starttls=""; tls_names="DNS:localhost,IP:127.0.0.1"; oauth2_url=""
while [ $# -gt 0 ]; do
    case "$1" in
        --port) port=$2; shift 2 ;;
        --tls) tls=1; shift ;;
        --starttls) starttls=1; shift ;;
        --tls-names) tls=1; tls_names=$2; shift 2 ;;
        --oauth2) oauth2_url=$2; shift 2 ;;
        --user) user=$2; shift 2 ;;
        --password) password=$2; shift 2 ;;
        --owner-pid) owner_pid=$2; shift 2 ;;
        --messages) shift; messages=("$@"); break ;;
        *) die "unknown option $1" ;;
    esac
done
case "$user$password" in *:*|*$'\n'*) die "user and password must not contain ':' or line breaks" ;; esac

dovecot_bin=/usr/sbin/dovecot
have_dovecot() { [ -x "$dovecot_bin" ] && [ -x /usr/lib/dovecot/pop3 ] && [ -x /usr/lib/dovecot/pop3-login ]; }

# Installs dovecot-pop3d without letting the package start the system's own
# Dovecot service (a policy that refuses service starts during the install).
install_dovecot() {
    [ "$(id -u)" = 0 ] || unavailable "Dovecot POP3 (dovecot-pop3d) is not installed, and installing it needs root"
    command -v apt-get >/dev/null || unavailable "Dovecot POP3 (dovecot-pop3d) is not installed and apt-get is missing"
    local policy=/usr/sbin/policy-rc.d made_policy=""
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod 755 "$policy" && made_policy=1
    fi
    local log
    log=$(mktemp)
    export DEBIAN_FRONTEND=noninteractive
    # Serialise concurrent installs from parallel test programs.
    (
        flock 9
        have_dovecot || apt-get install -y -q dovecot-pop3d >>"$log" 2>&1 ||
            { apt-get update -q >>"$log" 2>&1 && apt-get install -y -q dovecot-pop3d >>"$log" 2>&1; }
    ) 9>/tmp/mailgrove-dovecot-install.lock
    [ -n "$made_policy" ] && rm -f "$policy"
    if ! have_dovecot; then
        tail -5 "$log" >&2
        rm -f "$log"
        unavailable "Dovecot POP3 (dovecot-pop3d) is not installed and apt-get could not install it"
    fi
    rm -f "$log"
}

have_dovecot || install_dovecot

# Who owns what.
if [ "$(id -u)" = 0 ]; then
    login_user=dovenull; internal_user=dovecot; internal_group=dovecot; mail_user=nobody
    for u in $login_user $internal_user $mail_user; do
        id "$u" >/dev/null 2>&1 || die "system user $u is missing (it comes with dovecot-core)"
    done
    chroot_line=""
else
    login_user=$(id -un); internal_user=$login_user; internal_group=$(id -gn); mail_user=$login_user
    # Chrooting the login processes needs root.
    chroot_line="chroot ="
fi
mail_uid=$(id -u "$mail_user"); mail_gid=$(id -g "$mail_user")

mkdir -p "$dir" || die "cannot create $dir"
dir=$(cd "$dir" && pwd)
chmod 755 "$dir"
# The mail user must reach its home through every parent directory.
p=$dir
while [ "$p" != / ]; do
    p=$(dirname "$p")
    if [ "$(id -u)" = 0 ] && ! setpriv --reuid="$mail_uid" --regid="$mail_gid" --clear-groups test -x "$p" 2>/dev/null; then
        die "$p is not searchable by $mail_user; choose a work directory under /tmp"
    fi
done
[ ${#dir} -le 60 ] || die "work directory path too long for Dovecot's sockets: $dir"

home=$dir/home/$user
maildir=$home/Maildir
mkdir -p "$dir/run" "$dir/state" "$maildir/cur" "$maildir/new" "$maildir/tmp"
chown -R "$mail_uid:$mail_gid" "$dir/home"
chmod 700 "$home"
printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$user" "$password" "$mail_uid" "$mail_gid" "$home" >"$dir/passwd"
chmod 644 "$dir/passwd"

if [ ${#messages[@]} -gt 0 ]; then
    "$here/fill-maildir.sh" "$maildir" "${messages[@]}" >/dev/null || die "cannot fill the maildir"
fi

# Plain POP3, POP3 over TLS and nothing else, or plain POP3 offering STLS.
ssl_lines="ssl = no
disable_plaintext_auth = no"
if [ -n "$starttls" ]; then
    "$here/make-certs.sh" "$dir/tls" --names "$tls_names" || die "cannot make the test certificates"
    ssl_lines="ssl = yes
disable_plaintext_auth = no
ssl_cert = <$dir/tls/server.pem
ssl_key = <$dir/tls/server.key
ssl_min_protocol = TLSv1.2"
elif [ -n "$tls" ]; then
    "$here/make-certs.sh" "$dir/tls" --names "$tls_names" || die "cannot make the test certificates"
    ssl_lines="ssl = required
ssl_cert = <$dir/tls/server.pem
ssl_key = <$dir/tls/server.key
ssl_min_protocol = TLSv1.2"
fi

# Tokens first, by the oauth2 passdb; passwords by the password file.
mechanisms="plain"
oauth2_passdb=""
if [ -n "$oauth2_url" ]; then
    mechanisms="plain xoauth2"
    printf '%s\n' "introspection_mode = post" "introspection_url = $oauth2_url" "force_introspection = yes" \
        "username_attribute = username" "active_attribute = active" "active_value = true" >"$dir/oauth2.conf.ext"
    oauth2_passdb="passdb {
  driver = oauth2
  mechanisms = xoauth2
  args = $dir/oauth2.conf.ext
}"
fi

write_config() {
    local plain_port=$1 tls_port=0 tls_address="" tls_ssl=""
    [ -z "$tls" ] || { plain_port=0; tls_port=$1; tls_address="address = 127.0.0.1"; tls_ssl="ssl = yes"; }
    cat >"$dir/dovecot.conf" <<CONF
# Generated by start-dovecot.sh
protocols = pop3
listen = 127.0.0.1
base_dir = $dir/run
state_dir = $dir/state
instance_name = mailgrove-$(basename "$dir")
log_path = $dir/dovecot.log
info_log_path = $dir/dovecot.log
$ssl_lines
auth_mechanisms = $mechanisms
auth_failure_delay = 0
default_login_user = $login_user
default_internal_user = $internal_user
default_internal_group = $internal_group
first_valid_uid = 1
first_valid_gid = 1
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
$oauth2_passdb
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $dir/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $dir/passwd
}
service pop3-login {
  $chroot_line
  inet_listener pop3 {
    address = 127.0.0.1
    port = $plain_port
  }
  inet_listener pop3s {
    $tls_address
    port = $tls_port
    $tls_ssl
  }
}
service imap-login {
  $chroot_line
  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  $chroot_line
  # No growing delay for logins after failed ones: tests fail passwords on purpose.
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
CONF
}

# The POP3 greeting over TLS, or nothing.
tls_greeting() {
    printf 'QUIT\r\n' | timeout 5 openssl s_client -connect "127.0.0.1:$1" -quiet 2>/dev/null | head -1
}

# Waits for the POP3 greeting on the port (up to about 20 seconds).
wait_ready() {
    local i
    for i in $(seq 1 100); do
        if [ -n "$tls" ]; then
            [[ $(tls_greeting "$1") == +OK* ]] && return 0
        else
            pop3_greets "$1" && return 0
        fi
        # The master writes its pid file at once; without it, it has died.
        [ "$i" -lt 10 ] || [ -f "$dir/run/master.pid" ] || return 1
        sleep 0.2
    done
    return 1
}

fixed_port=$port
for _ in 1 2 3 4 5; do
    [ -n "$fixed_port" ] || port=$(pick_port)
    write_config "$port"
    if "$dovecot_bin" -c "$dir/dovecot.conf" 2>>"$dir/dovecot.log" && wait_ready "$port"; then
        echo "$port" >"$dir/port"
        [ -z "$owner_pid" ] || watch_owner "$owner_pid" "$dir" "$here/stop-dovecot.sh"
        echo "port=$port"
        echo "user=$user"
        echo "password=$password"
        echo "maildir=$maildir"
        [ -z "$tls$starttls" ] || echo "ca=$dir/tls/ca.pem"
        exit 0
    fi
    "$here/stop-dovecot.sh" "$dir" >/dev/null 2>&1
    [ -z "$fixed_port" ] || break
done
echo "start-dovecot: Dovecot did not start; its log:" >&2
tail -20 "$dir/dovecot.log" >&2 2>/dev/null
exit 1
