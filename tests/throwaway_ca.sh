#!/bin/bash
# A throwaway CA and a code-signing certificate it issued, as an enterprise
# CA would: DIR/ca.pem, and DIR/signer.p12 with the password "throwaway".
# usage: throwaway_ca.sh DIR
set -euo pipefail
mkdir -p "$1"
cd "$1"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
    -subj "/CN=GARVELUX test CA" -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
    -subj "/CN=GARVELUX test signer" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile signer.ext -out signer.pem 2>/dev/null
openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile ca.pem \
    -passout pass:throwaway -out signer.p12
