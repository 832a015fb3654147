#!/usr/bin/env bash
# A signed setup file under Wine: pack the probe with the Windows build of the packer, sign it
# with a throwaway self-signed certificate, check the signature, start it, and check that a
# byte changed in the archive breaks the signature.
#   signed_wine.sh ENVFILE PROBE.exe PACK.exe WORKDIR
set -euo pipefail
# shellcheck disable=SC1090
source "$1"
probe=$2 packer=$3 work=$4
rm -rf "$work"
mkdir -p "$work/src/CorvaneMarketServis" "$work/src/Logs/empty" "$work/src/masaustu"
head -c 300000 /dev/urandom >"$work/src/CorvaneZideroZUR.exe"
seq 1 40000 >"$work/src/masaustu/readme.txt"
printf 'srv' >"$work/src/CorvaneMarketServis/CorvaneMarketServer.exe"
: >"$work/src/version.json"
win() { winepath -w "$1" 2>/dev/null; }

wine "$packer" pack "$(win "$probe")" "$(win "$work/src")" "$(win "$work/setup.exe")"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Corvane Test Signing" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Corvane Market Setup" -h sha256 \
    -in "$work/setup.exe" -out "$work/signed.exe" >/dev/null
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >/dev/null
echo "signed and verified: $(stat -c %s "$work/setup.exe") -> $(stat -c %s "$work/signed.exe") bytes"

# The packer on Windows lists and extracts the signed file; the probe extracts its own payload.
wine "$packer" list "$(win "$work/signed.exe")" | tail -n 1
wine "$packer" extract "$(win "$work/signed.exe")" "$(win "$work/packer-out")" | tr -d '\r'
diff -r "$work/src" "$work/packer-out"
out=$(wine "$work/signed.exe" "$(win "$work/src")" | tr -d '\r')
echo "$out"
grep -qx IDENTICAL <<<"$out"

# One byte changed inside the archive: the signature no longer holds.
cp "$work/signed.exe" "$work/tampered.exe"
off=$(($(stat -c %s "$probe") + 200))
b=$(od -An -tu1 -j"$off" -N1 "$work/tampered.exe" | tr -d ' ')
printf "\\x$(printf %02x $((b ^ 1)))" | dd of="$work/tampered.exe" bs=1 seek="$off" conv=notrunc status=none
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/tampered.exe" >/dev/null 2>&1; then
    echo "tampered file still verifies" >&2
    exit 1
fi
echo "tampered file refused by osslsigncode verify"
