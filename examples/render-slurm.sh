#!/usr/bin/env bash
# A Slurm job array rendering the task files under FOLDER: array task I of N
# renders every N-th task file from the I-th (see render.sh --shard), and
# writes its JSON lines to render-JOB_I.jsonl in the submission folder.
#
#   sbatch --array=0-7 render-slurm.sh FOLDER
#
# Every node must see FOLDER at the same path. The program is $WAVSPLICE,
# else wavsplice on the PATH. render.sh is $RENDER, else the one beside this
# script (where it is run in place: Slurm runs a copy of it from its spool),
# else the one installed with the program (PREFIX/share/doc/wavsplice/examples
# beside PREFIX/bin/wavsplice), else under /usr/local (cmake --install) or /usr
# (the Debian package), else on the PATH. Pass them with
# sbatch --export=ALL,RENDER=...,WAVSPLICE=... when they lie elsewhere.
#SBATCH --job-name=wavsplice-render
#SBATCH --output=render-%A_%a.jsonl
#SBATCH --ntasks=1
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: sbatch --array=0-N render-slurm.sh FOLDER" >&2; exit 2; }
if [ -n "${RENDER:-}" ]; then
  [ -f "$RENDER" ] || { echo "render-slurm.sh: RENDER=$RENDER is not a file" >&2; exit 1; }
  render=$RENDER
else
  places=("$(dirname "$0")")
  program=$(command -v "${WAVSPLICE:-wavsplice}" || true)
  [ -n "$program" ] && places+=("$(dirname "$program")/../share/doc/wavsplice/examples")
  places+=(/usr/local/share/doc/wavsplice/examples /usr/share/doc/wavsplice/examples)
  render=
  for place in "${places[@]}"; do
    [ -f "$place/render.sh" ] && { render=$place/render.sh; break; }
  done
  [ -n "$render" ] || render=$(command -v render.sh) || {
    echo "render-slurm.sh: cannot find render.sh (looked in $(printf '%s, ' "${places[@]}")and on the PATH):" \
         "set RENDER to its path (sbatch --export=ALL,RENDER=/path/to/render.sh ...)" >&2
    exit 1
  }
fi
exec bash "$render" --shard "${SLURM_ARRAY_TASK_ID:-0}" "${SLURM_ARRAY_TASK_COUNT:-1}" "$1"
