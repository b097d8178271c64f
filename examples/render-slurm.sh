#!/usr/bin/env bash
# A Slurm job array rendering the task files under FOLDER: array task I of N
# renders every N-th task file from the I-th (see render.sh --shard), and
# writes its JSON lines to render-JOB_I.jsonl in the submission folder.
#
#   sbatch --array=0-7 render-slurm.sh FOLDER
#
# Every node must see FOLDER at the same path. Slurm runs a copy of this
# script, so render.sh is looked for as $RENDER, else the installed one, else
# on the PATH; the program is $WAVSPLICE, else wavsplice on the PATH (pass
# both with sbatch --export=ALL,RENDER=...,WAVSPLICE=... when they lie
# elsewhere).
#SBATCH --job-name=wavsplice-render
#SBATCH --output=render-%A_%a.jsonl
#SBATCH --ntasks=1
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: sbatch --array=0-N render-slurm.sh FOLDER" >&2; exit 2; }
render=${RENDER:-/usr/share/doc/wavsplice/examples/render.sh}
[ -f "$render" ] || render=$(command -v render.sh)
exec bash "$render" --shard "${SLURM_ARRAY_TASK_ID:-0}" "${SLURM_ARRAY_TASK_COUNT:-1}" "$1"
