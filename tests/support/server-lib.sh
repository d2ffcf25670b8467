# shellcheck shell=bash
# Shell functions shared by the scripts that run private test servers
# (dovecot/, cyrus/). Sourced; the caller defines die().

# A TCP port on 127.0.0.1 that nothing listens on.
pick_port() {
    local candidate
    for _ in $(seq 1 50); do
        candidate=$((20000 + RANDOM % 40000))
        ss -Htln "sport = :$candidate" 2>/dev/null | grep -q . || { echo "$candidate"; return; }
    done
    die "no free port found"
}

# Whether plain POP3 on the port answers with a positive greeting now.
pop3_greets() {
    local line ok=1
    { exec 3<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
    if IFS= read -r -t 5 line <&3 && [[ $line == +OK* ]]; then
        printf 'QUIT\r\n' >&3 2>/dev/null
        ok=0
    fi
    exec 3<&- 3>&-
    return $ok
}

# Once process OWNER_PID has ended, runs STOP_SCRIPT DIR and removes DIR:
# a test program that is killed leaves nothing running. Detached, and
# holding none of the caller's output streams open.
watch_owner() {
    setsid bash -c 'while kill -0 "$1" 2>/dev/null && [ -d "$2" ]; do sleep 1; done
                    "$3" "$2"; rm -rf "$2"' watcher "$1" "$2" "$3" </dev/null >/dev/null 2>&1 &
}

# Stops the process whose pid PIDFILE holds, when its name still contains
# NAME, and waits until it is gone (TERM, then KILL after ten seconds).
stop_by_pidfile() {
    local pidfile=$1 name=$2 pid
    [ -f "$pidfile" ] || return 0
    pid=$(cat "$pidfile" 2>/dev/null)
    [ -n "$pid" ] || return 0
    running() { [ -d "/proc/$pid" ] && grep -q "$name" "/proc/$pid/comm" 2>/dev/null; }
    if running; then
        kill -TERM "$pid" 2>/dev/null
        for _ in $(seq 1 100); do
            running || break
            sleep 0.1
        done
        if running; then
            kill -KILL "$pid" 2>/dev/null
            # The children follow their master; give them a moment.
            sleep 0.5
        fi
    fi
    rm -f "$pidfile"
}
