#!/usr/bin/env bash
# Runs the reliability harnesses in their long mode and prints the figures.
#   scripts/reliability.sh [BUILD_DIR]
# Environment: QM_KILLS (kills per mode, default 300), QM_FUZZ_SECONDS (default 120),
# QM_FUZZ_SCALE (size factor of the huge profile files, default 4).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build-reliability}
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target reliability_fuzz_tests reliability_killed_tests \
    reliability_full_disk_tests reliability_hostile_tests

figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
export QM_FIGURES_FILE=$figures
export QM_KILLS=${QM_KILLS:-300}
export QM_FUZZ_SECONDS=${QM_FUZZ_SECONDS:-120}
export QM_FUZZ_SCALE=${QM_FUZZ_SCALE:-4}
export LANG=C.UTF-8 LC_ALL=C.UTF-8 TZ=Europe/Berlin QT_QPA_PLATFORM=offscreen

status=0
for suite in fuzz killed full_disk hostile; do
    "$build/tests/reliability/reliability_${suite}_tests" --gtest_brief=1 || status=1
done

total() { awk -v k="$1" '$1 == k { s += $2 } END { print s + 0 }' "$figures"; }
echo
echo "| Figure | Value |"
echo "|---|---|"
echo "| kills made | $(total kills) |"
echo "| faults injected | $(total faults_injected) |"
echo "| hostile cases tried | $(total hostile_cases) |"
echo "| inputs fuzzed | $(total fuzz_inputs) |"
echo "| files lost or corrupted | $(total files_lost_or_corrupted) |"
echo "| all harnesses passed | $([ $status -eq 0 ] && echo yes || echo NO) |"
exit $status
