#!/usr/bin/env bash
# Builds Release and runs the benchmark: scripts/bench.sh [--quick] [WORKDIR]
# WORKDIR (default: bench-work beside the build) is emptied first and needs about 2 GB.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v rsync >/dev/null || { echo "The benchmark compares with rsync: apt-get install rsync" >&2; exit 1; }
build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target quillmark-bench -j2
quick=()
if [[ "${1:-}" == "--quick" ]]; then
  quick=(--quick)
  shift
fi
work="${1:-$PWD/bench-work}"
"$build/bench/quillmark-bench" "${quick[@]}" "$work"
rm -rf "$work"
