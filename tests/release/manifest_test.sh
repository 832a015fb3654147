#!/usr/bin/env bash
# The README's sample package-manager manifest against the installer schema's rules that matter
# for this setup: an exe installer with the /S and /SP switches, no 0 among the success codes, every
# exit code of the README's table but 0 mapped to a known response, the product code and the
# Apps & features entry naming the uninstall entry.
#   manifest_test.sh README.md
set -uo pipefail
readme=$1
failed=0
fail() { echo "FAILED: $*" >&2 && failed=1; }
manifest=$(awk '/^A sample installer manifest/ {s = 1} s && /^```yaml/ {m = 1; next} m && /^```/ {exit} m' "$readme")
[ -n "$manifest" ] || { echo "FAILED: no sample manifest in $readme" >&2; exit 1; }
value() { sed -n "s/^$1: *//p" <<<"$manifest"; }

[ "$(value InstallerType)" = exe ] || fail "InstallerType is \"$(value InstallerType)\", not exe"
[ "$(value ManifestType)" = installer ] || fail "ManifestType is not installer"
grep -qx '  Silent: /S' <<<"$manifest" || fail "no Silent: /S"
grep -qx '  SilentWithProgress: /SP' <<<"$manifest" || fail "no SilentWithProgress: /SP"
grep -qx '  Custom: /NOCLOSEAPPS' <<<"$manifest" || fail "a till in use is ended: no /NOCLOSEAPPS"
[ "$(value ProductCode)" = "Corvane Market Pos" ] || fail "ProductCode is not the uninstall entry's name"
grep -qx '    ProductCode: Corvane Market Pos' <<<"$manifest" && grep -qx '  - DisplayName: Corvane Market Pos' <<<"$manifest" ||
    fail "no Apps & features entry for the uninstall entry"
[ "$(sed -n 's/^    DisplayVersion: //p' <<<"$manifest")" = "$(value PackageVersion)" ] ||
    fail "the Apps & features entry's DisplayVersion is not the package's version"
# Success codes: the schema refuses 0 (it is the default success).
success=$(awk '/^InstallerSuccessCodes:/ {s = 1; next} s && /^  - / {print $2; next} s {exit}' <<<"$manifest")
grep -qx 0 <<<"$success" && fail "0 among InstallerSuccessCodes"
# Every expected code: non-zero, a response the schema knows, and mapped once.
responses="packageInUse packageInUseByApplication installInProgress fileInUse missingDependency diskFull
insufficientMemory invalidParameter noNetwork contactSupport rebootRequiredToFinish
rebootRequiredForInstall rebootInitiated cancelledByUser alreadyInstalled downgrade blockedByPolicy
systemNotSupported custom"
codes=$(sed -n 's/^  - InstallerReturnCode: //p' <<<"$manifest")
answers=$(sed -n 's/^    ReturnResponse: //p' <<<"$manifest")
[ "$(wc -l <<<"$codes")" = "$(wc -l <<<"$answers")" ] || fail "a return code without its response"
grep -qx 0 <<<"$codes" && fail "0 among ExpectedReturnCodes"
[ "$(sort <<<"$codes" | uniq -d)" = "" ] || fail "a return code mapped twice"
for r in $answers; do
    grep -qw -- "$r" <<<"$responses" || fail "unknown ReturnResponse $r"
done
# The setup's exit codes as the README's table lists them (the first table after the switches).
table=$(awk '/^## Unattended installs/ {u = 1} u && /^\| exit code/ {t = 1; next} t && /^\|/ {print; next} t {exit}' "$readme" |
    sed -n 's/^| \([0-9][0-9]*\).*/\1/p')
[ -n "$table" ] || fail "no exit code table in the README"
for c in $table; do
    [ "$c" = 0 ] && continue
    printf '%s\n%s\n' "$codes" "$success" | grep -qx "$c" || fail "exit code $c is not mapped"
done
[ "$failed" -eq 0 ] && echo "release.manifest: the sample manifest keeps the schema's rules"
exit "$failed"
