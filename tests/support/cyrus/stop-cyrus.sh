#!/bin/bash
# Stops a Cyrus started by start-cyrus.sh DIR and waits until it is gone (the
# master ends its servers with it). The work directory is left in place.
#
#   stop-cyrus.sh DIR
set -u
dir=${1:?usage: stop-cyrus.sh DIR}
. "$(dirname "$0")/../server-lib.sh"
stop_by_pidfile "$dir/run/master.pid" master
exit 0
