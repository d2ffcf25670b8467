#!/bin/bash
# Stops a Dovecot started by start-dovecot.sh DIR and waits until it is gone.
# The work directory is left in place.
#
#   stop-dovecot.sh DIR
set -u
dir=${1:?usage: stop-dovecot.sh DIR}
. "$(dirname "$0")/../server-lib.sh"
stop_by_pidfile "$dir/run/master.pid" dovecot
exit 0
