#!/bin/bash
# Signs a Windows file in place with osslsigncode: Authenticode with
# SHA-256, the key's password from GARVELUX_SIGN_PASSWORD (handed over
# through a pipe, never on a command line), an RFC 3161 time stamp when
# GARVELUX_SIGN_TIMESTAMP names a time-stamping service (without one the
# signature ends with the certificate, and the build says so), and for an
# MSI the MsiDigitalSignatureEx stream, which covers its metadata too.
# usage: sign.sh CERT.p12 FILE
set -euo pipefail
options=(-h sha256)
if [ -n "${GARVELUX_SIGN_TIMESTAMP:-}" ]; then
    options+=(-ts "$GARVELUX_SIGN_TIMESTAMP")
else
    echo "sign.sh: $2 not time-stamped (GARVELUX_SIGN_TIMESTAMP not set):" \
        "its signature ends with the certificate" >&2
fi
case $2 in *.msi) options+=(-add-msi-dse) ;; esac
rm -f "$2.signed"
osslsigncode sign -pkcs12 "$1" -readpass <(printf %s "${GARVELUX_SIGN_PASSWORD:-}") \
    "${options[@]}" -in "$2" -out "$2.signed" >/dev/null
cp "$2.signed" "$2" # keeps the file's mode
rm "$2.signed"
