#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks it as an installed system
# would see it.
#   check_package.sh BUILD-DIR VERSION APP-ID ICON-SIZES
set -uo pipefail

build=$1 version=$2 app_id=$3 sizes=$4
for tool in cpack dpkg dpkg-deb desktop-file-validate appstreamcli man file lintian; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

arch=$(dpkg --print-architecture)
deb=$scratch/out/quillmark_${version}_${arch}.deb
if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    [ ! -f "$deb" ]; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack made no $(basename "$deb")" >&2
    exit 1
fi

# The control fields: the package's name and version, its section, and dependencies that
# dpkg-shlibdeps found (Qt's widgets library at least).
[ "$(dpkg-deb -f "$deb" Package)" = quillmark ] || fail "package name is not quillmark"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section is not utils"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libqt6svg6; do
    [[ "$depends" == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "no long description"

root=$scratch/root
dpkg -x "$deb" "$root"

# Exactly these files, nothing missing and nothing astray.
expected=(
    usr/bin/quillmark
    "usr/share/applications/$app_id.desktop"
    "usr/share/metainfo/$app_id.metainfo.xml"
    usr/share/icons/hicolor/scalable/apps/quillmark.svg
    usr/share/man/man1/quillmark.1.gz
    usr/share/doc/quillmark/copyright
    usr/share/doc/quillmark/changelog.gz
)
for n in $sizes; do
    expected+=("usr/share/icons/hicolor/${n}x${n}/apps/quillmark.png")
done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) \
    >"$scratch/files.diff" || {
    cat "$scratch/files.diff" >&2
    fail "the package's files differ from the expected list (< missing, > astray)"
}

program=$root/usr/bin/quillmark
if [ -f "$program" ]; then
    case $(file -b "$program") in
    ELF*", stripped"*) ;;
    *) fail "the program is not a stripped ELF file: $(file -b "$program")" ;;
    esac
    ldd "$program" | grep 'not found' && fail "the program needs libraries that are not installed"
fi

desktop=$root/usr/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] ||
        fail "desktop-file-validate: $out"
    grep -qx 'Exec=quillmark' "$desktop" || fail "the menu entry does not start quillmark"
    grep -qx 'Icon=quillmark' "$desktop" || fail "the menu entry's icon is not quillmark"
fi

metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >"$scratch/appstream.log" 2>&1 || {
        cat "$scratch/appstream.log" >&2
        fail "appstreamcli validate"
    }
    grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id is not $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $app_id.desktop"
    grep -q "<release version=\"$version\" date=\"[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]\"" "$metainfo" ||
        fail "metainfo has no dated release $version"
fi

man_page=$root/usr/share/man/man1/quillmark.1.gz
if [ -f "$man_page" ]; then
    warnings=$(MANWIDTH=80 man --warnings -l "$man_page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man reports: $warnings"
    text=$(MANWIDTH=80 man -l "$man_page" 2>/dev/null)
    for part in NAME SYNOPSIS DESCRIPTION PROFILES 'EXIT STATUS' FILES quillmark.txt \
        'type->name->source->target->last run->status->options->' "Quillmark $version"; do
        grep -qF -- "$part" <<<"$text" || fail "the manual page lacks \"$part\""
    done
fi

for n in $sizes; do
    png=$root/usr/share/icons/hicolor/${n}x${n}/apps/quillmark.png
    [ -f "$png" ] || continue
    kind=$(file -b "$png")
    [[ "$kind" == "PNG image data, $n x $n, "* ]] || fail "${n}x${n} icon is $kind"
done

changelog=$root/usr/share/doc/quillmark/changelog.gz
if [ -f "$changelog" ]; then
    zcat "$changelog" | head -n 1 | grep -q "^quillmark ($version) " ||
        fail "the changelog does not start with version $version"
fi

# Lintian's verdict is shown in full; an error tag fails the check, warnings are judged.
lintian --pedantic --display-info "$deb" >"$scratch/lintian.log" 2>&1
grep -v 'running with root privileges' "$scratch/lintian.log" | sed 's/^/lintian: /'
grep -q '^E: ' "$scratch/lintian.log" && fail "lintian reports errors"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) of $(basename "$deb") failed" >&2
    exit 1
fi
echo "$(basename "$deb"): ${#expected[@]} files, every check passed"
