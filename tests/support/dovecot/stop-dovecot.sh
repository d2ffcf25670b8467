#!/bin/bash
# Stops a Dovecot started by start-dovecot.sh DIR and waits until it is gone.
# The work directory is left in place.
#
#   stop-dovecot.sh DIR
set -u
dir=${1:?usage: stop-dovecot.sh DIR}
pidfile=$dir/run/master.pid
[ -f "$pidfile" ] || exit 0
pid=$(cat "$pidfile" 2>/dev/null)
[ -n "$pid" ] || exit 0
# Is it still the master of this instance?
running() { [ -d "/proc/$pid" ] && grep -q dovecot "/proc/$pid/comm" 2>/dev/null; }
running || { rm -f "$pidfile"; exit 0; }
kill -TERM "$pid" 2>/dev/null
for _ in $(seq 1 100); do
    running || { rm -f "$pidfile"; exit 0; }
    sleep 0.1
done
kill -KILL "$pid" 2>/dev/null
# The master's children follow it; give them a moment.
sleep 0.5
rm -f "$pidfile"
exit 0
