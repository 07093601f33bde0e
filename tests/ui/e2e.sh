#!/usr/bin/env bash
# Drives the real program under a virtual X server: continue, pick a profile, edit its name,
# save, close twice, then checks the profile file. With QM_SCREENSHOT_DIR set it also saves
# a picture of each page there.
#   e2e.sh PATH/TO/quillmark
set -euo pipefail

program=$(realpath "$1")
if [ -z "${QM_E2E_INNER:-}" ]; then
    command -v xvfb-run >/dev/null && command -v xdotool >/dev/null || exit 77
    export QM_E2E_INNER=1
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program"
fi

work=$(mktemp -d /tmp/qm-e2e-XXXXXX)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
printf 'BackUP->Documents->/home/user/Documents->/media/backup/documents->NEVER->Pending->NPAODF->\r\n' >quillmark.txt
printf 'Syncro->Photos->/home/user/Pictures->/media/backup/pictures->1/12/26 9:14:03 am->Done->APAODN->\r\n' >>quillmark.txt

export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$program" &
pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Quillmark$' | head -1)
sleep 1

# Coordinates are the client area's (as the pages place their controls) plus the border.
click() {
    xdotool mousemove --window "$wid" $(($1 + 1)) $(($2 + 1)) click "${3:-1}"
    sleep 0.4
}
shot() {
    [ -n "${QM_SCREENSHOT_DIR:-}" ] || return 0
    import -window "$wid" "$QM_SCREENSHOT_DIR/$1.png"
}

shot welcome-page
click 210 519 # "Click to Continue >"
click 150 172 # grid: row 2 (Photos)
shot profile-list-page
click 197 250 # "Edit Profile"
click 270 148 # the name
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 20 "Holiday Photos"
sleep 0.3
shot profile-editor-page
click 301 516 # "Save Profile"
click 389 22  # close icon: back to the welcome page
click 389 22  # close icon on the welcome page: the program ends

for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
done
if kill -0 "$pid" 2>/dev/null; then
    echo "the program did not end from the close icon" >&2
    exit 1
fi

expected=$(printf 'BackUP->Documents->/home/user/Documents->/media/backup/documents->NEVER->Pending->NPAODF->\r\nSyncro->Holiday Photos->/home/user/Pictures->/media/backup/pictures->NEVER->Pending->APAODN->\r\n')
actual=$(cat quillmark.txt)
if [ "$actual" != "$expected" ]; then
    echo "profile file differs:" >&2
    diff <(echo "$expected") <(echo "$actual") | cat -A >&2
    exit 1
fi
echo "end-to-end: profile edited and saved"
