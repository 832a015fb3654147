#!/usr/bin/env bash
# make setup end to end, and the shipped setup program it packs.
#   setup_test.sh SOURCE_DIR WINDOWS_BUILD STUB DEMO_PAYLOAD WORKDIR
set -uo pipefail
src=$1 build=$2 stub=$3 demo=$4 work=$5
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}
objdump=x86_64-w64-mingw32-objdump
rm -rf "$work"
mkdir -p "$work"

# The shipped program: under 1 MB, no debug sections, its debug file beside it and named in it.
size=$(stat -c %s "$stub")
[ "$size" -lt 1048576 ] || fail "the setup program is $size bytes"
if "$objdump" -h "$stub" | grep -q '\.debug_'; then fail "the setup program carries debug sections"; fi
[ -f "$stub.debug" ] || fail "no $stub.debug"
"$objdump" -h "$stub.debug" | grep -q '\.debug_info' || fail "the debug file has no .debug_info"
link=$("$objdump" -s -j .gnu_debuglink "$stub" | sed -n 's/^ [0-9a-f]* [0-9a-f ]\{35\} *//p' |
    tr -d '\n' | cut -d. -f1-3)
[ "$link" = "CorvaneMarketSetup.exe.debug" ] || fail "debug link names \"$link\""
echo "setup program: $size bytes, debug file $(stat -c %s "$stub.debug") bytes"

run() { # run NAME ARGS...: make setup's script with this build, output to run-NAME.txt
    local name=$1
    shift
    (cd "$src" && env CORVANE_SETUP_BUILD="$build" CORVANE_SETUP_TOOLS="$build/release-tools" \
        "$@" bash scripts/setup.sh) >"$work/run-$name.txt" 2>&1
}

# A payload without the uninstaller, signed with a throwaway certificate.
payload="$work/payload"
cp -a "$demo" "$payload"
rm -f "$payload/Uninstall Corvane Market Pos.exe"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Corvane Test Signing" 2>/dev/null
before=$(cd "$payload" && find . -printf '%p %s %T@\n' | sort)
run signed PAYLOAD="$payload" VERSION=3.2.1 OUT="$work/signed" CERT="$work/cert.pem" \
    KEY="$work/key.pem" || fail "signed run: $(cat "$work/run-signed.txt")"
cat "$work/run-signed.txt"
[ "$(cd "$payload" && find . -printf '%p %s %T@\n' | sort)" = "$before" ] ||
    fail "the payload folder was changed"
pack="$build/release-tools/tools/pack/pack"
names="CorvaneMarketSetup-3.2.1.exe CorvaneMarketUpdate-3.2.1.exe CorvaneMarketDosyaUpdate-3.2.1.exe"
if ninja -C "$build" -t targets all 2>/dev/null | grep -q '^CorvaneUninstall:'; then
    grep -q 'the one built here is put in' "$work/run-signed.txt" || fail "uninstaller not put in"
    uninstaller_expected=1
else
    grep -q 'WARNING: the payload has no "Uninstall Corvane Market Pos.exe"' "$work/run-signed.txt" ||
        fail "no warning about the missing uninstaller"
    uninstaller_expected=0
fi
for n in $names; do
    f="$work/signed/$n"
    [ -f "$f" ] || {
        fail "$n not written"
        continue
    }
    osslsigncode verify -CAfile "$work/cert.pem" -in "$f" >/dev/null 2>&1 || fail "$n does not verify"
    # Printed size and sum are the file's.
    grep -Eq "^$n +$(stat -c %s "$f")  $(sha256sum <"$f" | cut -d' ' -f1)\$" "$work/run-signed.txt" ||
        fail "$n: printed size or SHA-256 is not the file's"
    # Read back on its own: what the setup program would extract.
    "$pack" extract "$f" "$work/x-$n" >/dev/null || fail "$n does not extract"
done
for n in CorvaneMarketSetup-3.2.1.exe CorvaneMarketUpdate-3.2.1.exe; do
    u="$work/x-$n/Uninstall Corvane Market Pos.exe"
    [ -f "$u" ] && has=1 || has=0
    [ "$has" = "$uninstaller_expected" ] || fail "$n: uninstaller present: $has"
    rm -f "$u"
done
diff -r "$payload" "$work/x-CorvaneMarketSetup-3.2.1.exe" >/dev/null || fail "setup file differs from the payload"
diff -r "$payload" "$work/x-CorvaneMarketUpdate-3.2.1.exe" >/dev/null || fail "update file differs from the payload"
[ "$(ls -A "$work/x-CorvaneMarketDosyaUpdate-3.2.1.exe")" = CorvaneZideroZUR.exe ] ||
    fail "the file update carries more than the till program"
cmp -s "$payload/CorvaneZideroZUR.exe" "$work/x-CorvaneMarketDosyaUpdate-3.2.1.exe/CorvaneZideroZUR.exe" ||
    fail "the file update's till program differs"
(cd "$work/signed" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match"

# Unsigned, twice: the same bytes.
run u1 PAYLOAD="$payload" VERSION=3.2.1 OUT="$work/u1" || fail "unsigned run: $(cat "$work/run-u1.txt")"
run u2 PAYLOAD="$payload" VERSION=3.2.1 OUT="$work/u2" || fail "second unsigned run"
cmp -s "$work/u1/SHA256SUMS" "$work/u2/SHA256SUMS" || fail "two runs gave different setup files"
grep -q '(unsigned, each read back identical to its payload) in [0-9.]* s' "$work/run-u1.txt" ||
    fail "no summary line: $(tail -n 1 "$work/run-u1.txt")"

# Refused, with nothing written: no till program, a version that is not x.y.z, half a signer.
mkdir -p "$work/no-till/masaustu"
echo x >"$work/no-till/masaustu/a.txt"
run no-till PAYLOAD="$work/no-till" VERSION=1.0.0 OUT="$work/o1" && fail "payload without till accepted"
grep -q 'has no CorvaneZideroZUR.exe (the till program)' "$work/run-no-till.txt" || fail "message: $(cat "$work/run-no-till.txt")"
run bad-version PAYLOAD="$payload" VERSION=1.0 OUT="$work/o2" && fail "version 1.0 accepted"
grep -q 'VERSION must be three numbers' "$work/run-bad-version.txt" || fail "message: $(cat "$work/run-bad-version.txt")"
run half-signer PAYLOAD="$payload" VERSION=1.0.0 OUT="$work/o3" CERT="$work/cert.pem" &&
    fail "a certificate without key accepted"
[ ! -e "$work/o1" ] && [ ! -e "$work/o2" ] && [ ! -e "$work/o3" ] || fail "a refused run wrote files"

[ "$failed" -eq 0 ] && echo "release.setup: all checks passed"
exit "$failed"
