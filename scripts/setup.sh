#!/usr/bin/env bash
# make setup: the three setup files of a release from one payload folder.
#   make setup PAYLOAD=folder VERSION=x.y.z [OUT=folder] [CERT=cert.pem KEY=key.pem [CAFILE=ca.pem]]
#              [TSURL=http://timestamp.example]
# Builds the stripped setup program and an optimised packer, packs
#   CorvaneMarketSetup-<v>.exe and CorvaneMarketUpdate-<v>.exe from PAYLOAD and
#   CorvaneMarketDosyaUpdate-<v>.exe from its till program alone (a file update takes nothing else),
# signs them with osslsigncode when CERT and KEY are given, reads each one back against the
# folder it was packed from (and checks the signature of a signed one), and prints their sizes and
# SHA-256 sums (also written to SHA256SUMS in the output folder). The setup program and the
# uninstaller it carries get VERSION as their file and product version (pack stamp).
#   CORVANE_SETUP_BUILD  the windows build folder (default build/windows, the windows preset's)
#   CORVANE_SETUP_TOOLS  the folder of the optimised native packer build (default build/release-tools)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
started=$(date +%s%N)
TILL=CorvaneZideroZUR.exe
UNINSTALLER="Uninstall Corvane Market Pos.exe"

die() {
    echo "setup: $*" >&2
    exit 1
}
say() { echo "setup: $*"; }

[ -n "${PAYLOAD:-}" ] || die "no payload folder: make setup PAYLOAD=folder VERSION=x.y.z"
[ -d "$PAYLOAD" ] || die "payload folder \"$PAYLOAD\" does not exist"
[[ "${VERSION:-}" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    die "VERSION must be three numbers such as 2.4.1 (it becomes the version the setup shows), not \"${VERSION:-}\""
[ -f "$PAYLOAD/$TILL" ] ||
    die "payload folder \"$PAYLOAD\" has no $TILL (the till program); it is not a release payload"
if [ -n "${CERT:-}${KEY:-}" ]; then
    [ -f "${CERT:-}" ] && [ -f "${KEY:-}" ] || die "signing needs both CERT= and KEY= as existing files"
fi
payload=$(realpath "$PAYLOAD")
build=$(realpath -m "${CORVANE_SETUP_BUILD:-$root/build/windows}")
tools=$(realpath -m "${CORVANE_SETUP_TOOLS:-$root/build/release-tools}")
out=$(realpath -m "${OUT:-$root/build/release/$VERSION}")

# What is needed, built in its own folders; nothing is done when it is up to date.
say "building the setup program ($build) and the packer ($tools)"
if [ ! -f "$build/build.ninja" ]; then
    (cd "$root" && cmake --preset windows -B "$build" >/dev/null)
fi
cmake --build "$build" --target CorvaneMarketSetup >/dev/null
stub="$build/wizard/CorvaneMarketSetup.exe"
if [ ! -f "$tools/build.ninja" ]; then
    (cd "$root" && cmake --preset native -B "$tools" -DCORVANE_SANITIZE=OFF \
        -DCMAKE_BUILD_TYPE=Release >/dev/null)
fi
cmake --build "$tools" --target pack >/dev/null
pack="$tools/tools/pack/pack"

rm -rf "$out/.stage"
mkdir -p "$out/.stage/dosya"
trap 'rm -rf "$out/.stage"' EXIT
# Staging folders of hard links (copies across file systems): the payload folder stays as it is.
stage_link() { cp -al "$1" "$2" 2>/dev/null || cp -a "$1" "$2"; }

full="$payload"
uninstaller="$payload/$UNINSTALLER"
if [ ! -f "$uninstaller" ]; then
    # Not piped into grep -q: under pipefail, ninja cut off by grep's early exit reads as no target.
    targets=$(ninja -C "$build" -t targets all 2>/dev/null || true)
    if grep -q '^CorvaneUninstall:' <<<"$targets"; then
        cmake --build "$build" --target CorvaneUninstall >/dev/null
        uninstaller="$build/uninstall/$UNINSTALLER"
        [ -f "$uninstaller" ] || die "CorvaneUninstall was built but \"$uninstaller\" is not there"
        say "the payload has no \"$UNINSTALLER\": the one built here is put in"
    else
        uninstaller=""
        echo "setup: WARNING: the payload has no \"$UNINSTALLER\" and this build makes none;" \
            "the uninstall entry will name a program that is not there" >&2
    fi
fi
# Both programs carry the release's version: stamped copies, the payload folder stays as it is.
cp "$stub" "$out/.stage/setup-stub.exe"
stub="$out/.stage/setup-stub.exe"
"$pack" stamp "$stub" "$VERSION" >/dev/null || die "could not stamp the version into the setup program"
if [ -n "$uninstaller" ]; then
    stage_link "$payload" "$out/.stage/full"
    rm -f "$out/.stage/full/$UNINSTALLER"
    cp "$uninstaller" "$out/.stage/full/$UNINSTALLER"
    "$pack" stamp "$out/.stage/full/$UNINSTALLER" "$VERSION" >/dev/null ||
        die "could not stamp the version into \"$UNINSTALLER\""
    full="$out/.stage/full"
fi
stage_link "$payload/$TILL" "$out/.stage/dosya/$TILL"

names=("CorvaneMarketSetup-$VERSION.exe" "CorvaneMarketUpdate-$VERSION.exe"
    "CorvaneMarketDosyaUpdate-$VERSION.exe")
sources=("$full" "$full" "$out/.stage/dosya")
mkdir -p "$out"
rm -f "$out/SHA256SUMS"
for i in 0 1 2; do
    name=${names[$i]}
    rm -f "$out/$name"
    if [ -n "${CERT:-}" ]; then
        "$pack" pack "$stub" "${sources[$i]}" "$out/.stage/$name" >/dev/null
        ts=()
        [ -z "${TSURL:-}" ] || ts=(-ts "$TSURL")
        osslsigncode sign -certs "$CERT" -key "$KEY" -n "Corvane Market Setup" -h sha256 \
            "${ts[@]}" -in "$out/.stage/$name" -out "$out/$name" >/dev/null ||
            die "osslsigncode could not sign $name"
    else
        "$pack" pack "$stub" "${sources[$i]}" "$out/$name" >/dev/null
    fi
done

# Every file read back: trailer, every entry's CRC-32 and bytes against the folder it came from;
# a signed one must verify (against CAFILE, or the certificate itself when it signs itself).
for i in 0 1 2; do
    name=${names[$i]}
    "$pack" verify "$out/$name" "${sources[$i]}" >"$out/.stage/verify.txt" 2>&1 || {
        cat "$out/.stage/verify.txt" >&2
        die "$name does not read back identical to its payload"
    }
    if [ -n "${CERT:-}" ]; then
        ca=()
        if [ -n "${CAFILE:-}" ]; then
            ca=(-CAfile "$CAFILE")
        elif [ "$(openssl x509 -noout -subject -nameopt compat -in "$CERT" | sed 's/^subject=//')" = \
            "$(openssl x509 -noout -issuer -nameopt compat -in "$CERT" | sed 's/^issuer=//')" ]; then
            ca=(-CAfile "$CERT")
        fi
        osslsigncode verify "${ca[@]}" -in "$out/$name" >"$out/.stage/verify.txt" 2>&1 || {
            cat "$out/.stage/verify.txt" >&2
            die "the signature of $name does not verify"
        }
        grep -q '^signature: certificate table' <("$pack" verify "$out/$name") ||
            die "$name carries no signature after signing"
    fi
done

(cd "$out" && sha256sum "${names[@]}" >SHA256SUMS)
echo
printf '%-42s %12s  %s\n' "setup file" "bytes" "SHA-256"
for name in "${names[@]}"; do
    printf '%-42s %12d  %s\n' "$name" "$(stat -c %s "$out/$name")" \
        "$(grep -F " $name" "$out/SHA256SUMS" | cut -d' ' -f1)"
done
signed="unsigned"
[ -z "${CERT:-}" ] || signed="signed and verified"
elapsed=$((($(date +%s%N) - started) / 1000000))
echo "setup: three setup files in $out ($signed, each read back identical to its payload)" \
    "in $((elapsed / 1000)).$(printf %03d $((elapsed % 1000))) s"
