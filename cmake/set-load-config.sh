#!/bin/sh
# set-load-config.sh NM OBJDUMP EXE: points the PE load-config directory of EXE at the structure
# _load_config_used that engine/host/uLoadConfig.cpp defines. GNU ld before 2.42 (Debian 12 has
# 2.40) does not do it itself; newer linkers do, and then this writes the same values again.
set -eu
nm=$1 objdump=$2 exe=$3

addr=$("$nm" "$exe" | awk '$3 == "_load_config_used" { print $1 }')
base=$("$objdump" -p "$exe" | awk '$1 == "ImageBase" { print $2 }')
if [ -z "$addr" ] || [ -z "$base" ]; then
    echo "set-load-config: no _load_config_used or ImageBase in $exe" >&2
    exit 1
fi
rva=$((0x$addr - 0x$base))
# The structure's first field is its size.
size=$("$objdump" -s -j .rdata --start-address=0x$addr --stop-address=$((0x$addr + 4)) "$exe" |
       awk 'NF >= 2 && $1 ~ /^[0-9a-f]+$/ && length($1) > 8 { print $2; exit }')
size=$(printf '%s' "$size" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
size=$((0x$size))

lfanew=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
magic=$(od -An -tx2 -j$((lfanew + 24)) -N2 "$exe" | tr -d ' ')
if [ "$magic" != "020b" ]; then
    echo "set-load-config: $exe is not a PE32+ image" >&2
    exit 1
fi
# Optional header of PE32+: the data directories start at 112, entry 10 is the load config.
at=$((lfanew + 24 + 112 + 10 * 8))

le32() {
    v=$1
    for _ in 1 2 3 4; do
        printf "\\$(printf '%03o' $((v & 255)))"
        v=$((v >> 8))
    done
}
{ le32 "$rva"; le32 "$size"; } | dd of="$exe" bs=1 seek="$at" conv=notrunc status=none
