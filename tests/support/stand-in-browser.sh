#!/bin/bash
# A stand-in web browser for tests, given as $BROWSER: follows an http://
# address and the redirects it is answered with, and appends every answer to
# the file $MG_BROWSER_LOG. With MG_BROWSER_FORGE set, each redirect is first
# followed with its state replaced, as a forged request would be.
get() {
    local rest=${1#http://}
    local hostport=${rest%%/*} path=/${rest#*/}
    [ "$rest" != "$hostport" ] || path=/
    exec 3<>"/dev/tcp/${hostport%:*}/${hostport##*:}" || return 1
    printf 'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' "$path" "$hostport" >&3
    timeout 30 cat <&3
    exec 3<&- 3>&-
}
url=$1
for _ in 1 2 3; do
    [ -z "${MG_BROWSER_FORGE:-}" ] || [ "$url" = "$1" ] || get "${url/state=/state=forged}" >>"$MG_BROWSER_LOG"
    answer=$(get "$url")
    printf '%s\n' "$answer" >>"$MG_BROWSER_LOG"
    url=$(printf '%s\n' "$answer" | tr -d '\r' | sed -n 's/^[Ll]ocation: *//p')
    [ -n "$url" ] || break
done
