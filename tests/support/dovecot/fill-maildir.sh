#!/bin/bash
# Puts RFC 822 message files into a maildir as newly delivered mail, in the
# order given (Dovecot numbers them in that order). Line ends are stored as
# LF; POP3 counts each as CR LF. The files take the owner of the maildir.
#
#   fill-maildir.sh MAILDIR FILE...
#
# Prints the name of each stored file.
set -eu
maildir=${1:?usage: fill-maildir.sh MAILDIR FILE...}
shift
mkdir -p "$maildir/cur" "$maildir/new" "$maildir/tmp"
owner=$(stat -c %u:%g "$maildir")
host=$(hostname 2>/dev/null || echo localhost)
now=$(date +%s)
n=0
for file in "$@"; do
    n=$((n + 1))
    # Names sort in delivery order; the sequence keeps them unique.
    name=$(printf '%s.M%06dP%d.%s' "$now" "$n" "$$" "$host")
    sed 's/\r$//' "$file" >"$maildir/tmp/$name"
    chown "$owner" "$maildir/tmp/$name"
    chmod 600 "$maildir/tmp/$name"
    mv "$maildir/tmp/$name" "$maildir/new/$name"
    echo "$name"
done
