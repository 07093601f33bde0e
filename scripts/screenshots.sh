#!/usr/bin/env bash
# Draws the three pages under a dark desktop palette, at the normal and at twice the scale,
# into docs/. Needs a build with the tests (scripts/quillmark test, or the build folder given).
#   scripts/screenshots.sh [BUILD_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:-build}/tests/ui/qm-screenshots
[ -x "$tool" ] || { echo "no $tool: build the tests first" >&2; exit 1; }
runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$runtime
"$tool" docs dark -dark
QT_SCALE_FACTOR=2 "$tool" docs dark -dark-2x
