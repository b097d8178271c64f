#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang with libFuzzer, address and
# undefined-behaviour sanitizers) and runs each for the given number of
# seconds, starting from the seed corpus kept in fuzz/corpus. Fails on any
# crash, sanitizer report, leak or timeout; the input that caused it is kept
# in build/fuzz/artifacts.
#
#   fuzz/run-fuzzers.sh SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_task_reader fuzz_wav_file fuzz_whole_run)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

root=$(pwd)
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  # Absolute paths: the targets work in scratch directories of their own.
  seeds=$root/fuzz/corpus/${target#fuzz_}
  work=$root/build/fuzz/corpus/${target#fuzz_}
  log=$root/build/fuzz/$target.log
  mkdir -p "$work"
  echo "== $target for ${seconds}s"
  # -timeout: one input may take at most 10 s; -max_len covers the probe
  # range of the chunk search for the file target.
  max_len=4096
  [ "$target" = fuzz_wav_file ] && max_len=140000
  status=0
  "$root"/build/fuzz/fuzz/"$target" "$work" "$seeds" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -artifact_prefix="$root"/build/fuzz/artifacts/"$target"- -print_final_stats=1 -handle_xfsz=0 >"$log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -60 "$log"
    echo "$target FAILED (status $status); the input is in build/fuzz/artifacts" >&2
    exit 1
  fi
done
echo "fuzzing: all targets clean"
