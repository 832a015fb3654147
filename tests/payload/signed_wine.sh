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

# The seal: pack verify checks it, and a byte changed in the payload (the first entry's time in
# its local header, which no CRC-32 covers) or in the seal, of the unsigned and of the signed
# file, makes the program refuse its payload (exit 2, nothing extracted) and pack verify fail.
wine "$packer" verify "$(win "$work/setup.exe")" | tr -d '\r' | grep '^seal: SHA-256 .* matches$'
seal_hex=$(x86_64-w64-mingw32-objdump -h "$probe" | awk '$2 == ".cvseal" { print $6 }')
[ -n "$seal_hex" ] || { echo "no .cvseal section in $probe" >&2; exit 1; }
seal_at=$((16#$seal_hex))
flip() { # FILE OFFSET
    local b
    b=$(od -An -tu1 -j"$2" -N1 "$1" | tr -d ' ')
    printf "\\x$(printf %02x $((b ^ 1)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
for f in setup signed; do
    for what in payload seal; do
        bad="$work/$f-$what.exe"
        cp "$work/$f.exe" "$bad"
        if [ "$what" = payload ]; then flip "$bad" $(($(stat -c %s "$probe") + 10)); else flip "$bad" $((seal_at + 40)); fi
        rc=0
        out=$(wine "$bad" "$(win "$work/src")" | tr -d '\r') || rc=$?
        if [ "$rc" -ne 2 ] || ! grep -q '^ERROR Kurulum dosyası bozuk ya da değiştirilmiş' <<<"$out"; then
            echo "$f-$what: the program took a payload that does not match its seal ($rc): $out" >&2
            exit 1
        fi
        if wine "$packer" verify "$(win "$bad")" >/dev/null 2>"$work/verify.err"; then
            echo "$f-$what: pack verify passed" >&2
            exit 1
        fi
        grep -q 'seal: ' "$work/verify.err"
        echo "$f-$what: refused by the program and by pack verify"
    done
done
