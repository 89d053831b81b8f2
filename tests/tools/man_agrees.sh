#!/bin/sh
# The man page and --help of a tool name the same options and, where --help
# gives them, the same exit statuses.
# Usage: man_agrees.sh PROGRAM MANPAGE   (ECR_EMULATOR runs a 32-bit PROGRAM)
set -u
prog=$1 page=$2
help=$(${ECR_EMULATOR:-} "$prog" --help) || { echo "$prog --help failed"; exit 1; }
# Examples (between .nf and .fi, or .EX and .EE) show other programs' options.
man=$(sed '/^\.nf/,/^\.fi/d; /^\.EX/,/^\.EE/d' "$page" | sed 's/\\-/-/g; s/\\f[BIRP]//g')
options() { grep -oE -- '(^|[^a-z-])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | grep -vE '^-[a-z]{2,}' | sort -u; }
# Exit statuses: "N word" after "Exit status:" in --help; ".B N" under EXIT STATUS in the page.
help_codes() { sed -n '/^Exit status:/,$p' | grep -oE '(^|[:;] )[0-9]+ ' | grep -oE '[0-9]+' | sort -u; }
man_codes() { sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' | grep -E '^\.B [0-9]+$' | grep -oE '[0-9]+' | sort -u; }
status=0
compare() {  # what, from --help, from the page
  only_help=$(printf '%s\n' "$2" | grep -vxF -f /dev/fd/3 3<<E
$3
E
)
  only_man=$(printf '%s\n' "$3" | grep -vxF -f /dev/fd/3 3<<E
$2
E
)
  [ -z "$only_help" ] || { echo "$(basename "$page"): $1 in --help but not in the page:" $only_help; status=1; }
  [ -z "$only_man" ] || { echo "$(basename "$page"): $1 in the page but not in --help:" $only_man; status=1; }
}
compare options "$(printf '%s\n' "$help" | options)" "$(printf '%s\n' "$man" | options)"
if printf '%s\n' "$help" | grep -q '^Exit status:'; then
  codes=$(printf '%s\n' "$help" | help_codes)
  [ -n "$codes" ] || { echo "no exit statuses read from --help"; status=1; }
  compare "exit statuses" "$codes" "$(printf '%s\n' "$man" | man_codes)"
fi
[ $status -ne 0 ] || echo "$(basename "$page") agrees with $(basename "$prog") --help"
exit $status
