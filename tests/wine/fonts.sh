# Sourced by the scripts that make Wine prefixes (tests/wine/prefix.sh, tests/setupfile/lib.sh).
# Wine has neither Segoe UI nor Consolas and draws them in a wider font, so that labels of the
# wizard look cut off in the pictures ("Kurulum Tip") where a shop sees them whole. The prefix
# draws them with open fonts of close metrics instead, which make deps installs:
#   Segoe UI -> Clear Sans   (labels within a few per cent of Segoe UI's widths, line height 1.35 em
#                             against 1.33 em)
#   Consolas -> Inconsolata  (a monospace font of 0.50 em per character against 0.55 em)

# Writes the replacements into the prefix's user registry. The prefix's wineserver must not be
# running (it writes the registry back when it ends); Wine reads the key on its next start.
wine_font_replacements() {
    local prefix=$1
    [ -f "$prefix/user.reg" ] || {
        echo "wine_font_replacements: no user.reg in $prefix" >&2
        return 1
    }
    cat >>"$prefix/user.reg" <<'REG'

[Software\\Wine\\Fonts\\Replacements]
"Consolas"="Inconsolata"
"Segoe UI"="Clear Sans"
REG
}
