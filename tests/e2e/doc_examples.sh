#!/usr/bin/env bash
# Runs one example of a document as a reader would, as printed, in a fresh
# folder with the built programs first on the PATH: the next change to the
# program cannot silently break what the README or the manual tells a reader.
#
#   doc_examples.sh DOCUMENT NAME BINDIR
#
# An example is marked line by line: in Markdown <!-- example NAME: WHAT -->,
# in the manual's source .\" example NAME: WHAT. WHAT is one of
#   given: SHELL    (no block) SHELL makes here what the reader has: sources
#                   ($EXAMPLES is the bundled examples' folder); or checks more
#   needs: TOOL...  (no block) without TOOL the example is skipped (status 77)
# or says what to do with the block that follows (an indented block; .EX to
# .EE as groff renders it for man):
#   save FILE       the block is saved as FILE (a task or a label file)
#   task FILE       and FILE checks with no warning and builds its destination
#   shows FILE      the block is FILE's text (blanks collapsed; a line "..."
#                   stands for any lines)
#   run [status N] [makes FILE...] [task FILE]
#                   bash -e runs the block: it ends with status N (0) and
#                   leaves the files named, and its task file builds as above;
#                   the next steps go on in the folder where it ended
set -uo pipefail
doc=$(realpath "$1") name=$2
# The bundled examples, for steps that start from one.
EXAMPLES=$(dirname "$doc")/examples
[ -d "$EXAMPLES" ] || EXAMPLES=$(dirname "$(dirname "$doc")")/examples
export PATH="$(realpath "$3"):$PATH" LC_ALL=C.UTF-8 EXAMPLES
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && mkdir "$work/here" && cd "$work/here" || exit 1
fail() { echo "FAILED: example $name of ${doc##*/}: $*" >&2; exit 1; }

block() {  # the block after line $1
  if [[ $doc == *.md ]]; then
    awk -v from="$1" 'NR <= from { next }
      /^    / { for (; gap > 0; gap--) print ""; print substr($0, 5); seen = 1; next }
      /^$/ { gap += seen; next } { exit }' "$doc"
  else
    { echo .TH X 1; echo .EX
      awk -v from="$1" 'NR <= from { next } /^\.EX/ { on = 1; next } /^\.EE/ { exit } on' "$doc"
      echo .EE; } | groff -man -Tutf8 -P-c -P-b -P-u -rLL=250n | sed '1d;$d' |
      awk '/./ { for (; gap > 0; gap--) print ""; print; seen = 1; next } { gap += seen }'
  fi
}

collapse() { tr -s ' \t' '  ' | sed 's/ $//'; }

built() {  # task file $1 checks with no warning and builds its destination
  local dest
  dest=$(awk -F'\t' '$1 == "dest" { d = $2 } END { print d }' "$1")
  wavsplice --check "$1" > "$work/out" 2>&1 || fail "wavsplice --check $1 ended with $?: $(tail -3 "$work/out")"
  rm -f "$dest"
  wavsplice "$1" > "$work/out" 2>&1 || fail "wavsplice $1 ended with $?: $(tail -3 "$work/out")"
  [ -s "$dest" ] || fail "wavsplice $1 did not build $dest"
}

exec < /dev/null  # the steps read nothing of the markers
count=0
while IFS=: read -r line what <&3; do
  what=${what#*"example $name: "} what=${what% -->}
  case $what in
    needs:*) for tool in ${what#needs:}; do
               command -v "$tool" >/dev/null || { echo "SKIPPED example $name: $tool is not installed"; exit 77; }
             done ;;
    given:*) bash -ec "${what#given:}" || fail "given: ${what#given:}" ;;
    save\ *|task\ *) block "$line" > "${what#* }"; [ "${what%% *}" = save ] || built "${what#* }" ;;
    shows\ *) awk 'NR == FNR { want[++n] = $0; next }
                   want[i] == "..." && $0 != want[i + 1] { next }
                   { i += want[i] == "..."; if ($0 != want[i++]) { bad = 1; exit } }
                   END { exit bad || !(i > n || (i == n && want[n] == "...")) }' i=1 \
                <(block "$line" | collapse) <(collapse < "${what#* }") ||
                fail "the block after line $line is not what ${what#* } holds:$(printf '\n%s' "$(cat "${what#* }")")" ;;
    run*) { block "$line"; printf '\nstatus=$?; pwd > "%s/where"; exit $status\n' "$work"; } > "$work/block.sh"
          set -- $what; want=0; shift; rm -f "$work/where"
          bash -e "$work/block.sh" > "$work/out" 2>&1; status=$?
          [ "${1:-}" = status ] && want=$2 && shift 2
          [ "$status" -eq "$want" ] || fail "the block after line $line ended with $status, not $want: $(tail -5 "$work/out")"
          [ ! -f "$work/where" ] || cd "$(cat "$work/where")" || exit 1
          [ "${1:-}" = makes ] && shift && while [ $# -gt 0 ] && [ "$1" != task ]; do
            [ -e "$1" ] || fail "the block after line $line did not make $1"; shift; done
          [ "${1:-}" = task ] && built "$2" ;;
    *) fail "line $line: unknown marker: $what" ;;
  esac
  count=$((count + 1))
done 3< <(grep -n -e "^<!-- example $name: " -e "^\.\\\\\" example $name: " "$doc")
[ "$count" -gt 0 ] || fail "no such example"
echo "example $name of ${doc##*/}: $count steps hold"
