#!/usr/bin/env bash
# Installs the Debian packages that the builds, the tests and the demo need, when missing.
# Safe to run again: does nothing when everything is present.
set -euo pipefail
packages=(
    cmake ninja-build make
    clang libclang-rt-14-dev zlib1g-dev googletest
    # SHA-256 of the payload seal in the native build (OpenSSL's libcrypto)
    libssl-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
    wine wine64 xvfb xauth xdotool imagemagick
    # open fonts that the Wine prefixes draw Segoe UI and Consolas with (tests/wine/fonts.sh)
    fonts-clear-sans fonts-inconsolata
    # ss: the setup-file suite and the demo wait for the database port to be free
    iproute2
    osslsigncode openssl
    # archive tools the packer's interoperability tests compare against
    zip unzip libarchive-tools 7zip python3 bc
    # peak memory in the extraction benchmark (make bench)
    time
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all packages present"
    exit 0
fi
echo "deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
