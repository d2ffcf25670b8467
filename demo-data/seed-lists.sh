#!/bin/bash
# Seeds the demo program directory with a black list and a white list that
# mark some of the demo mailbox's messages; a list file that is already there
# (with the user's edits from earlier runs) is left alone. Both files have
# CR LF line ends: spam.dat holds server lines (flag and server key) at the
# left margin and their users indented by one TAB; white.dat one address or
# "@server" per line.
#
#   seed-lists.sh APPDIR
set -eu
app=${1:?usage: seed-lists.sh APPDIR}
mkdir -p "$app"

# Every sender at spam-relay.example and cheap-pills.test is spam; at
# bulk-mailer.example only "offers" and "newsletter" are.
if [ ! -e "$app/spam.dat" ]; then
    printf '%s\r\n' \
        '1@spam-relay.example' $'\tpromo' \
        '0@bulk-mailer.example' $'\toffers' $'\tnewsletter' \
        '1@cheap-pills.test' $'\tsales' >"$app/spam.dat.tmp"
    mv "$app/spam.dat.tmp" "$app/spam.dat"
fi

# Everybody at partner.example, and three addresses; friend@spam-relay.example
# is black-listed by its server too, and the white list wins.
if [ ! -e "$app/white.dat" ]; then
    printf '%s\r\n' \
        '@partner.example' \
        'boss@company.example' \
        'friend@spam-relay.example' \
        'ivan.petrov@mail.example' >"$app/white.dat.tmp"
    mv "$app/white.dat.tmp" "$app/white.dat"
fi
