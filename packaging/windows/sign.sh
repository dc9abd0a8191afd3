#!/bin/bash
# Signs a Windows file in place with osslsigncode: Authenticode with
# SHA-256, the key's password from GARVELUX_SIGN_PASSWORD (handed over
# through a pipe, never on a command line), and a timestamp when
# GARVELUX_SIGN_TIMESTAMP names a timestamp server.
# usage: sign.sh CERT.p12 FILE
set -euo pipefail
timestamp=()
if [ -n "${GARVELUX_SIGN_TIMESTAMP:-}" ]; then
    timestamp=(-t "$GARVELUX_SIGN_TIMESTAMP")
fi
rm -f "$2.signed"
osslsigncode sign -pkcs12 "$1" -readpass <(printf %s "${GARVELUX_SIGN_PASSWORD:-}") \
    -h sha256 "${timestamp[@]}" -in "$2" -out "$2.signed" >/dev/null
cp "$2.signed" "$2" # keeps the file's mode
rm "$2.signed"
