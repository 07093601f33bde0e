#!/usr/bin/env bash
# Builds Release and runs the benchmark on the work folder's own file system and, as root, on
# tmpfs and on loop-mounted btrfs and XFS images:
#   scripts/bench.sh [--quick|--long] [--rounds N] [--fs LIST] [WORKDIR]
# --quick: a tenth of the tree and smaller scaling steps; --long: the scaling table adds
# 1,000,000 files. --fs picks file systems from disk,tmpfs,btrfs,xfs (default: all four).
# WORKDIR (default: bench-work beside the build) is emptied first and needs about 6 GB of
# free disk (the images are sparse files inside it) and, for tmpfs, as much free memory.
# The output goes to the terminal and to build-bench/bench-latest.md; a full run draws
# docs/bench-scaling.png (gnuplot), a quick one build-bench/bench-scaling.png.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD

mode=()
rounds=3
systems=disk,tmpfs,btrfs,xfs
work=
while [ $# -gt 0 ]; do
    case "$1" in
    --quick | --long) mode=("$1") ;;
    --rounds) rounds=$2; shift ;;
    --fs) systems=$2; shift ;;
    -*) echo "usage: $0 [--quick|--long] [--rounds N] [--fs disk,tmpfs,btrfs,xfs] [WORKDIR]" >&2; exit 2 ;;
    *) work=$1 ;;
    esac
    shift
done
command -v rsync >/dev/null || { echo "The benchmark compares with rsync: apt-get install rsync" >&2; exit 1; }

build=build-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF > /dev/null
cmake --build "$build" --target quillmark-bench -j2
bench=$here/$build/bench/quillmark-bench
work=$(realpath -m "${work:-$here/bench-work}")
results=$here/$build/bench-results
report=$here/$build/bench-latest.md

# Everything mounted below $work/mnt is unmounted on every way out, Ctrl-C included.
mounted=()
loops=()
release() {
    local m
    for m in "${mounted[@]}"; do
        umount "$m" 2>/dev/null || { sleep 1; umount "$m" 2>/dev/null; } || umount -l "$m" || true
    done
    for m in "${loops[@]}"; do
        losetup -d "$m" 2>/dev/null || true
    done
    mounted=()
    loops=()
}
cleanup() {
    trap - EXIT INT TERM
    release
    # never into a file system that could not be unmounted
    [ -d "$work" ] && rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'echo "Interrupted: unmounting." >&2; cleanup; exit 130' INT TERM

rm -rf --one-file-system "$work" "$results"
mkdir -p "$work/mnt" "$results"

skipped=()
# Makes a file system of kind $1 and mounts it at $work/mnt/$1; false with a reason in $why.
mount_fs() {
    local kind=$1 point=$work/mnt/$1 image=$work/$1.img loop
    why=
    if [ "$(id -u)" -ne 0 ]; then why="needs root to mount"; return 1; fi
    mkdir -p "$point"
    case "$kind" in
    tmpfs)
        mount -t tmpfs -o size=16g tmpfs "$point" 2>/dev/null || { why="mount -t tmpfs failed"; return 1; }
        ;;
    btrfs | xfs)
        command -v "mkfs.$kind" >/dev/null || {
            why="mkfs.$kind not found (apt-get install $([ "$kind" = btrfs ] && echo btrfs-progs || echo xfsprogs))"
            return 1
        }
        truncate -s 24G "$image"
        "mkfs.$kind" -q "$image" > /dev/null 2>&1 || { why="mkfs.$kind failed"; return 1; }
        # direct I/O: a sync on the image reaches the disk, not just the page cache below it
        loop=$(losetup -f --show --direct-io=on "$image" 2>/dev/null) || { why="no loop device"; return 1; }
        loops+=("$loop")
        mount "$loop" "$point" 2>/dev/null || { why="the kernel cannot mount $kind"; return 1; }
        ;;
    *) why="unknown (disk, tmpfs, btrfs or xfs)"; return 1 ;;
    esac
    mounted+=("$point")
}

machine() {
    echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"\
        "$(awk '/MemTotal/ {printf "%.0f GB", $2 / 1048576}' /proc/meminfo) RAM, Linux $(uname -r);"\
        "$(cp --version | head -1), $(rsync --version | head -1 | awk '{print "rsync " $3}')."
    echo "Started $(date -u '+%Y-%m-%d %H:%M UTC'), uptime: $(uptime)"
}

{
    machine
    echo
} | tee "$report"

IFS=, read -r -a wanted <<< "$systems"
for kind in "${wanted[@]}"; do
    if [ "$kind" = disk ]; then
        dir=$work/disk
        mkdir -p "$dir"
    elif mount_fs "$kind"; then
        dir=$work/mnt/$kind/run
    else
        release
        skipped+=("$kind: $why")
        echo "Skipping $kind: $why" | tee -a "$report"
        continue
    fi
    fstype=$(findmnt -n -o FSTYPE --target "$(dirname "$dir")")
    source=$(findmnt -n -o SOURCE --target "$(dirname "$dir")")
    options=$(findmnt -n -o OPTIONS --target "$(dirname "$dir")")
    label="$fstype on $source"
    [ "$kind" = btrfs ] || [ "$kind" = xfs ] && label="$fstype on a loop-mounted image (direct I/O, a sparse file on the disk)"
    echo "Mount options of $fstype: $options" | tee -a "$report"
    limit=()
    # a million small files would take 12 GB of memory on tmpfs
    [ "$kind" = tmpfs ] && limit=(--max-files 200000)
    "$bench" "${mode[@]}" --rounds "$rounds" "${limit[@]}" --label "$label" \
        --data "$results/$fstype.dat" "$dir" | tee -a "$report"
    release
    rm -f "$work/$kind.img"
done
echo "Finished $(date -u '+%Y-%m-%d %H:%M UTC'), uptime: $(uptime)" | tee -a "$report"
[ ${#skipped[@]} -eq 0 ] || printf 'Skipped %s\n' "${skipped[@]}" | tee -a "$report"

# The plot: unchanged run against the number of files, Quillmark and rsync -a.
plot=$here/docs/bench-scaling.png
[ "${mode[*]}" = --quick ] && plot=$here/$build/bench-scaling.png
if ! command -v gnuplot >/dev/null; then
    echo "No plot: gnuplot not found (apt-get install gnuplot-nox)" | tee -a "$report"
elif ls "$results"/*.dat >/dev/null 2>&1; then
    lines=()
    colour=1
    for data in "$results"/*.dat; do
        name=$(basename "$data" .dat)
        lines+=("'$data' using 1:2 with linespoints lw 2 lc $colour dt 1 pt 7 title 'Quillmark, $name'")
        lines+=("'$data' using 1:3 with linespoints lw 2 lc $colour dt 2 pt 6 title 'rsync -a, $name'")
        colour=$((colour + 1))
    done
    gnuplot <<EOF
set terminal pngcairo size 900,560 font "DejaVu Sans,11"
set output '$plot'
set title "Unchanged run against the number of files (median of $rounds rounds)"
set xlabel "files"
set ylabel "seconds"
set key left top
set grid
set format x "%.0s%c"
plot $(IFS=,; echo "${lines[*]}")
EOF
    echo "Plot: $plot" | tee -a "$report"
fi
