#!/bin/bash
# The mailbox of a Cyrus started by start-cyrus.sh DIR, from outside POP3:
#
#   mailbox-cyrus.sh DIR deliver FILE...  delivers RFC 822 files, in order (the
#                                         server numbers them so); LF line ends
#                                         are fine, the server stores CR LF
#   mailbox-cyrus.sh DIR uids             prints the UID of each message the
#                                         server holds, one a line; a POP3
#                                         session open meanwhile changes nothing
#                                         until its QUIT
set -u
dir=${1:?usage: mailbox-cyrus.sh DIR deliver FILE... | uids}
what=${2:?usage: mailbox-cyrus.sh DIR deliver FILE... | uids}
shift 2
# shellcheck source=/dev/null
. "$dir/instance" || exit 1
libs=$(dirname "$(find "$packages/usr/lib" -maxdepth 2 -name 'libcyrus.so.0' -print -quit)")
export LD_LIBRARY_PATH=$libs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export SASL_PATH=$libs/sasl2
bin=$packages/usr/lib/cyrus/bin
case "$what" in
    deliver)
        for file in "$@"; do
            "$bin/deliver" -C "$dir/imapd.conf" "$user" <"$file" ||
                { echo "mailbox-cyrus: $file was not delivered" >&2; exit 1; }
        done ;;
    uids)
        # Nothing delivered yet: no mailbox, no messages.
        "$bin/mbexamine" -C "$dir/imapd.conf" "user/$user" 2>/dev/null |
            sed -n 's/^[0-9]*> UID:0*\([0-9][0-9]*\) .*/\1/p' ;;
    *) echo "mailbox-cyrus: unknown request $what" >&2; exit 1 ;;
esac
