#!/usr/bin/env bash
# Renders every task.txt under FOLDER, each in its own folder (the names in
# it are relative to that folder, and so is its crossfade work file), with
# --json --update: a night that stopped part way resumes where it stopped,
# and a task whose destination is newer than it and its sources is not
# rendered again.
#
#   render.sh FOLDER [SSHLOGINFILE]   with GNU parallel, here or across hosts
#   render.sh --shard I N FOLDER      one at a time, every N-th task file from
#                                     the I-th (from 0) in sorted order: the
#                                     share of one task of a Slurm job array
#                                     or a Kubernetes indexed Job
#
# With SSHLOGINFILE, GNU parallel spreads the runs over the hosts it lists
# (its --sshloginfile; ":" is this machine): every host must see FOLDER at
# the same path (shared storage) and have the program. The program is
# $WAVSPLICE, else wavsplice on the PATH (on every host). The words of
# $WAVSPLICE_OPTIONS are passed to every run before the others, for instance
# WAVSPLICE_OPTIONS=--strict to refuse every task file with warnings.
#
# Prints one JSON line per task file: {"task": its path, "status": the exit
# status, "result": the program's JSON document, or null when it printed
# none}. Exits 0 when every task succeeded (or was up to date), else 1.
set -euo pipefail

usage() {
  echo "usage: render.sh FOLDER [SSHLOGINFILE] | render.sh --shard I N FOLDER" >&2
  exit 2
}

# A JSON string of a path: quotes, backslashes and control characters
# escaped; bytes that are not UTF-8 left out (the result's own
# working_directory carries them exactly).
json_string() {
  local s
  s=$(printf '%s' "$1" | iconv -f UTF-8 -t UTF-8 -c 2>/dev/null || printf '%s' "$1")
  s=${s//\\/\\\\}
  s=${s//\"/\\\"}
  s=${s//$'\t'/\\t}
  s=${s//$'\n'/\\n}
  s=${s//$'\r'/\\r}
  printf '"%s"' "$(printf '%s' "$s" | tr -d '\000-\010\013\014\016-\037')"
}

render_one() {
  local task=$1 result status=0 options=()
  read -ra options <<< "${WAVSPLICE_OPTIONS:-}"
  # The folder by cutting the name off, not with dirname: $(...) would strip
  # a newline that ends the folder's name.
  result=$(cd "${task%/*}" &&
           "${WAVSPLICE:-wavsplice}" ${options[@]+"${options[@]}"} --json --update task.txt) || status=$?
  printf '{"task":%s,"status":%d,"result":%s}\n' "$(json_string "$task")" "$status" "${result:-null}"
  [ "$status" -eq 0 ]
}

if [ "${1:-}" = "--shard" ]; then
  [ $# -eq 4 ] || usage
  index=$2 count=$3 folder=$(realpath "$4")
  failed=0
  while IFS= read -r -d '' task; do
    render_one "$task" || failed=1
  done < <(find "$folder" -name task.txt -type f -print0 | sort -z |
           awk -v RS='\0' -v ORS='\0' -v i="$index" -v n="$count" '(NR - 1) % n == i')
  exit "$failed"
fi

[ $# -ge 1 ] && [ $# -le 2 ] || usage
command -v parallel >/dev/null || { echo "render.sh: GNU parallel is needed (Debian: parallel)" >&2; exit 1; }
folder=$(realpath "$1")
export WAVSPLICE=${WAVSPLICE:-wavsplice} WAVSPLICE_OPTIONS=${WAVSPLICE_OPTIONS:-}
export -f json_string render_one
hosts=()
[ $# -eq 2 ] && hosts=(--sshloginfile "$2" --env json_string --env render_one --env WAVSPLICE --env WAVSPLICE_OPTIONS)
# Each job's line comes out whole (parallel groups a job's output).
find "$folder" -name task.txt -type f -print0 |
  parallel --null --will-cite "${hosts[@]}" render_one {} && exit 0
exit 1
