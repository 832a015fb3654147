#!/usr/bin/env bash
# make setup end to end, and the shipped setup program it packs.
#   setup_test.sh SOURCE_DIR WINDOWS_BUILD STUB DEMO_PAYLOAD WORKDIR
set -uo pipefail
src=$1 build=$2 stub=$3 demo=$4 work=$5
failed=0
fail() { echo "FAILED: $*" >&2 && failed=1; }
rm -rf "$work" && mkdir -p "$work"

# The shipped program: under 1 MB, no debug sections, its debug file beside it and named in it.
size=$(stat -c %s "$stub")
[ "$size" -lt 1048576 ] || fail "the setup program is $size bytes"
sections=$(x86_64-w64-mingw32-objdump -h "$stub")
grep -q '\.debug_' <<<"$sections" && fail "the setup program has debug sections"
sections=$(x86_64-w64-mingw32-objdump -h "$stub.debug")
grep -q '\.debug_info' <<<"$sections" || fail "no debug file"
grep -aq 'CorvaneMarketSetup.exe.debug' "$stub" || fail "the program does not name its debug file"

run() { # run NAME VAR=VALUE...: make setup's script with this build, output in run-NAME.txt
    local name=$1
    shift
    (cd "$src" && env CORVANE_SETUP_BUILD="$build" CORVANE_SETUP_TOOLS="$build/release-tools" \
        "$@" bash scripts/setup.sh) >"$work/run-$name.txt" 2>&1
}

# A payload without the uninstaller, signed with a throwaway certificate; the folder stays as it is.
payload="$work/payload"
cp -a "$demo" "$payload" && rm -f "$payload/Uninstall Corvane Market Pos.exe"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Corvane Test Signing" 2>/dev/null
before=$(cd "$payload" && find . -printf '%p %s %T@\n' | sort)
run signed PAYLOAD="$payload" VERSION=3.2.1 OUT="$work/signed" CERT="$work/cert.pem" \
    KEY="$work/key.pem" || fail "signed run: $(cat "$work/run-signed.txt")"
cat "$work/run-signed.txt"
[ "$(cd "$payload" && find . -printf '%p %s %T@\n' | sort)" = "$before" ] || fail "payload changed"
# Not piped into grep -q: under pipefail, ninja cut off by grep's early exit reads as no target.
targets=$(ninja -C "$build" -t targets all 2>/dev/null || true)
if grep -q '^CorvaneUninstall:' <<<"$targets"; then
    grep -q 'the one built here is put in' "$work/run-signed.txt" || fail "uninstaller not put in"
    has_uninstaller=1
else
    grep -q 'WARNING: the payload has no "Uninstall Corvane' "$work/run-signed.txt" || fail "no warning"
    has_uninstaller=0
fi
pack="$build/release-tools/tools/pack/pack"
for n in CorvaneMarketSetup CorvaneMarketUpdate CorvaneMarketDosyaUpdate; do
    f="$work/signed/$n-3.2.1.exe"
    osslsigncode verify -CAfile "$work/cert.pem" -in "$f" >/dev/null 2>&1 || fail "$n: no valid signature"
    grep -Eq "^$n-3.2.1.exe +$(stat -c %s "$f")  $(sha256sum <"$f" | cut -d' ' -f1)\$" \
        "$work/run-signed.txt" || fail "$n: printed size or SHA-256 is not the file's"
    # Read back on its own, as the setup program extracts it.
    "$pack" extract "$f" "$work/x-$n" >/dev/null || fail "$n does not extract"
done
# Both programs carry the release's version (UTF-16 texts of the version resource), no longer
# the placeholder of a build that was not stamped.
stamped() { grep -qaP '3\x00\.\x002\x00\.\x001\x00\.\x000\x00' "$1" && ! grep -qaP 'g\x00e\x00l\x00i\x00s' "$1"; }
for n in CorvaneMarketSetup CorvaneMarketUpdate CorvaneMarketDosyaUpdate; do
    stamped "$work/signed/$n-3.2.1.exe" || fail "$n: the setup program does not carry version 3.2.1"
done
[ "$has_uninstaller" = 0 ] || stamped "$work/x-CorvaneMarketSetup/Uninstall Corvane Market Pos.exe" ||
    fail "the uninstaller does not carry version 3.2.1"
grep -qaP 'g\x00e\x00l\x00i\x00s' "$stub" || fail "the built program is stamped itself"
for n in CorvaneMarketSetup CorvaneMarketUpdate; do
    u="$work/x-$n/Uninstall Corvane Market Pos.exe"
    [ "$([ -f "$u" ] && echo 1 || echo 0)" = "$has_uninstaller" ] || fail "$n: uninstaller"
    rm -f "$u" && diff -r "$payload" "$work/x-$n" >/dev/null || fail "$n differs from the payload"
done
[ "$(ls -A "$work/x-CorvaneMarketDosyaUpdate")" = CorvaneZideroZUR.exe ] &&
    cmp -s "$payload/CorvaneZideroZUR.exe" "$work/x-CorvaneMarketDosyaUpdate/CorvaneZideroZUR.exe" ||
    fail "the file update does not carry the till program alone"

# Refused, with nothing written: no till program, a version that is not x.y.z, half a signer.
mkdir -p "$work/no-till/masaustu"
run no-till PAYLOAD="$work/no-till" VERSION=1.0.0 OUT="$work/o1" && fail "no till program accepted"
grep -q 'has no CorvaneZideroZUR.exe (the till program)' "$work/run-no-till.txt" || fail "no-till message"
run bad-version PAYLOAD="$payload" VERSION=1.0 OUT="$work/o2" && fail "version 1.0 accepted"
grep -q 'VERSION must be three numbers' "$work/run-bad-version.txt" || fail "version message"
run half-signer PAYLOAD="$payload" VERSION=1.0.0 OUT="$work/o3" CERT="$work/cert.pem" &&
    fail "a certificate without key accepted"
[ ! -e "$work/o1" ] && [ ! -e "$work/o2" ] && [ ! -e "$work/o3" ] || fail "a refused run wrote files"
[ "$failed" -eq 0 ] && echo "release.setup: all checks passed"
exit "$failed"
