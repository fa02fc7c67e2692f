#!/usr/bin/env bash
# Checks the manual page against the program: it renders without a groff warning, its
# SYNOPSIS starts with the usage line, OPTIONS lists exactly the options of the usage text
# (with their value placeholder), EXIT STATUS lists exactly the exit codes of the program with
# the meanings of the README's table, and its footer names the project's version.
#
# Usage: man_page_test.sh <morvane.1> <morvane executable> <README.md> <exit_codes.h> <version>
set -uo pipefail
page=$1 morvane=$2 readme=$3 exit_codes=$4 version=$5
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

if ! command -v groff >/dev/null; then
    echo "groff is missing (apt-get install groff-base)" >&2
    exit 1
fi

warnings=$(groff -man -ww -z "$page" 2>&1)
[ $? -eq 0 ] && [ -z "$warnings" ] || fail "groff -man -ww -z reports: $warnings"

# Plain text, no line breaks inside paragraphs of normal length, no hyphenation.
text=$(groff -man -Tascii -P-cbou -rLL=250n -rHY=0 "$page" 2>/dev/null)
section() {
    printf '%s\n' "$text" | awk -v name="$1" '
        /^[A-Z][A-Z ]*$/ { inside = ($0 == name); next }
        inside { print }'
}
squeeze() {
    tr -s ' \n' '  ' | sed 's/^ //; s/ $//'
}

usage=$("$morvane" --help)
[ $? -eq 0 ] || fail "morvane --help does not exit with 0"

# SYNOPSIS: the usage line, with the placeholder <fn> set in italics as fn.
usage_line=$(printf '%s\n' "$usage" | sed -n '/^Usage:$/{n;p;q}' | sed 's/^\t//; s/<fn>/fn/g')
synopsis_line=$(section SYNOPSIS | sed -n '1p' | sed 's/^ *//')
[ -n "$usage_line" ] && [ "$synopsis_line" = "$usage_line" ] ||
    fail "SYNOPSIS starts with '$synopsis_line', the usage line is '$usage_line'"

# OPTIONS: the tags at the section's indent, against the option lines of the usage text.
usage_options=$(printf '%s\n' "$usage" | sed -n 's/^\t\(--[a-z]*\)\( <fn>\)\{0,1\}\t.*/\1\2/p' |
    sed 's/<fn>/fn/' | sort)
man_options=$(section OPTIONS |
    sed -n 's/^       \(--[a-z]*\)\( fn\)\{0,1\}\( .*\)\{0,1\}$/\1\2/p' | sort)
[ "$(printf '%s\n' "$usage_options" | wc -l)" -ge 7 ] ||
    fail "found only these options in the usage text: $usage_options"
[ "$man_options" = "$usage_options" ] ||
    fail "OPTIONS lists
$man_options
the usage text has
$usage_options"

# EXIT STATUS: every code of the program, each with the README's meaning.
program_codes=$(sed -n 's/^ *EXIT_[A-Z_]* = \(-\{0,1\}[0-9]*\),.*/\1/p' "$exit_codes" | sort -n)
readme_rows=$(awk '/^## Exit codes/ { inside = 1; next } /^## / { inside = 0 }
    inside && /^\| -?[0-9]+ \|/' "$readme")
readme_codes=$(printf '%s\n' "$readme_rows" | sed 's/^| \(-\{0,1\}[0-9]*\) |.*/\1/' | sort -n)
[ "$(printf '%s\n' "$program_codes" | wc -l)" -ge 12 ] ||
    fail "found only these exit codes in $exit_codes: $program_codes"
[ "$readme_codes" = "$program_codes" ] ||
    fail "the README's exit codes ($(echo $readme_codes)) are not the program's" \
        "($(echo $program_codes))"
exit_section=$(section "EXIT STATUS")
man_codes=$(printf '%s\n' "$exit_section" |
    sed -n 's/^       \(-\{0,1\}[0-9][0-9]*\)\( .*\)\{0,1\}$/\1/p' | sort -n)
[ "$man_codes" = "$program_codes" ] ||
    fail "EXIT STATUS lists codes $(echo $man_codes), the program has $(echo $program_codes)"
flat_exit_section=" $(printf '%s\n' "$exit_section" | squeeze) "
while IFS= read -r row; do
    code=$(printf '%s\n' "$row" | sed 's/^| \(-\{0,1\}[0-9]*\) |.*/\1/')
    meaning=$(printf '%s\n' "$row" | sed 's/^| [^|]* | \(.*\) |$/\1/; s/`//g')
    case "$flat_exit_section" in
    *" $code $meaning"*) ;;
    *) fail "EXIT STATUS lacks '$code $meaning'" ;;
    esac
done <<<"$readme_rows"

# Every section the page promises.
for name in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES ENVIRONMENT EXAMPLES NOTES; do
    grep -qx "$name" <<<"$text" || fail "no section $name"
done
for variable in TMPDIR DISPLAY WAYLAND_DISPLAY TMP TEMP; do
    grep -qw -- "$variable" <<<"$(section ENVIRONMENT)" ||
        fail "ENVIRONMENT does not name $variable"
done
grep -qw PATCH.TXT <<<"$(section FILES)" || fail "FILES does not name PATCH.TXT"

footer=$(printf '%s\n' "$text" | grep -v '^ *$' | tail -n 1)
case "$footer" in
*"Morvane $version "*) ;;
*) fail "the footer '$footer' does not name Morvane $version" ;;
esac

[ $failures -eq 0 ] || exit 1
echo "manual page checked: $(printf '%s\n' "$usage_options" | wc -l) options," \
    "$(echo $program_codes | wc -w) exit codes"
