#!/usr/bin/env bash
# The real program under a virtual X server: a close from the window manager during a run
# asks first; Yes stops the run, which ends as an error, and the program ends.
#   wm_close.sh PATH/TO/quillmark PATH/TO/qm-wm-close
set -euo pipefail

program=$(realpath "$1")
closer=$(realpath "$2")
if [ -z "${QM_E2E_INNER:-}" ]; then
    command -v xvfb-run >/dev/null && command -v xdotool >/dev/null || exit 77
    export QM_E2E_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program" "$closer"
fi

work=$(mktemp -d /tmp/qm-wmclose-XXXXXX)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
mkdir src dst
# Many small files: a run that lasts long enough to be interrupted.
head -c 30000 /dev/zero | (cd src && split -b 1 -a 5 - f)
printf 'BackUP->Many->%s/src->%s/dst->NEVER->Pending->NPAODN->\r\n' "$work" "$work" >quillmark.txt

export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$program" &
pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Quillmark$' | head -1)
sleep 1
click() {
    xdotool mousemove --window "$wid" $(($1 + 1)) $(($2 + 1)) click 1
    sleep 0.4
}
click 210 519 # "Click to Continue >"
click 136 516 # "Run Selected Profile"

# Under way: some copies made, not all.
for _ in $(seq 100); do
    [ "$(ls dst | wc -l)" -gt 0 ] && break
    sleep 0.1
done
copied=$(ls dst | wc -l)
if [ "$copied" -eq 0 ] || [ "$copied" -ge 30000 ]; then
    echo "the run was not under way ($copied copies)" >&2
    exit 1
fi

kill -0 "$pid" || { echo "the program ended during the run" >&2; exit 1; }
before=$(xdotool search --onlyvisible --name '^Quillmark$' | sort)
"$closer" "$wid"
# The question is a second window of the program's title.
asked=0
for _ in $(seq 50); do
    question=$(comm -13 <(echo "$before") <(xdotool search --onlyvisible --name '^Quillmark$' | sort) | head -1)
    if [ -n "$question" ]; then
        asked=1
        break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if [ "$asked" != 1 ]; then
    echo "no question after the close during the run" >&2
    exit 1
fi
sleep 0.5
xdotool windowfocus --sync "$question"
xdotool key Return # the default button: Yes

for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end after Yes" >&2
    exit 1
fi
if ! grep -q -- '->ERROR->' quillmark.txt; then
    echo "the stopped run is not recorded as an error:" >&2
    cat quillmark.txt >&2
    exit 1
fi
left=$(ls dst | wc -l)
if [ "$left" -ge 30000 ]; then
    echo "the run was not stopped ($left copies)" >&2
    exit 1
fi
if ls -A dst | grep -q '^\.quillmark-'; then
    echo "a temporary was left behind" >&2
    exit 1
fi
echo "close during a run: asked, stopped after $left of 30000 copies, recorded as ERROR"
