#!/bin/bash
# Makes a test certificate authority and a server certificate signed by it,
# with the openssl command, for TLS tests on 127.0.0.1. Nothing here is
# trusted anywhere: a client trusts ca.pem only when it is told to.
#
#   make-certs.sh DIR [--names SAN]
#
# SAN        the server certificate's subjectAltName, in openssl's form
#            (default "DNS:localhost,IP:127.0.0.1"); its first DNS name (else
#            its first address) is also the certificate's common name
#
# Writes DIR/ca.pem and DIR/ca.key (the authority), DIR/server.pem and
# DIR/server.key (the server's certificate and key). Keys are P-256, quick to
# make; certificates are valid for 30 days.
set -eu
dir=${1:?usage: make-certs.sh DIR [--names SAN]}
shift
names="DNS:localhost,IP:127.0.0.1"
while [ $# -gt 0 ]; do
    case "$1" in
        --names) names=$2; shift 2 ;;
        *) echo "make-certs: unknown option $1" >&2; exit 1 ;;
    esac
done
command -v openssl >/dev/null || { echo "make-certs: the openssl command is missing" >&2; exit 1; }
mkdir -p "$dir"
cd "$dir"
cn=$(tr ',' '\n' <<<"$names" | sed -n 's/^DNS://p' | head -1)
[ -n "$cn" ] || cn=$(tr ',' '\n' <<<"$names" | sed -n 's/^IP://p' | head -1)
[ -n "$cn" ] || cn=localhost
umask 077
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
key ca.key
openssl req -new -x509 -key ca.key -out ca.pem -days 30 -subj "/O=Mailgrove tests/CN=Mailgrove Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
key server.key
openssl req -new -key server.key -out server.csr -subj "/O=Mailgrove tests/CN=$cn" 2>/dev/null
printf 'subjectAltName=%s\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n' \
    "$names" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 30 \
    -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
chmod 644 ca.pem server.pem
