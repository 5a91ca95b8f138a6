#!/usr/bin/env bash
# scripts/release.sh end to end. Usage: release_e2e.sh dist|reproducible
#   dist          a release of this source tree: SHA256SUMS checks with sha256sum -c; the zip holds
#                 exactly what it should; every binary in it is stripped and linked to its debug file in
#                 the debug zip; the package installs the same files, under short names as well.
#   reproducible  two releases of the commit, from clones in two folders, one after the other, with
#                 another umask: the same bytes, binaries and debug files included.
#                 Runs only with VORN_TEST_REPRODUCIBLE=1 (exit code 77, skipped, otherwise).
# Environment: VORN_SOURCE (the source tree), VORN_WORK (a folder of the test's own).
set -uo pipefail
: "${VORN_SOURCE:?}" "${VORN_WORK:?}"
CASE="${1:?dist or reproducible}"
FAILED=0
fail() { echo "FAIL: $*"; FAILED=1; }
OBJCOPY=i686-w64-mingw32-objcopy
OBJDUMP=i686-w64-mingw32-objdump

# release <source> <folder> [environment...]: a release with its build and dist/ inside <folder>.
release() {
    local source="$1" folder="$2"
    shift 2
    rm -rf "$folder" && mkdir -p "$folder"
    if ! env VORN_RELEASE_BUILD_DIR="$folder/build" VORN_DIST_DIR="$folder/dist" "$@" \
        bash "$source/scripts/release.sh" >"$folder/release.log" 2>&1; then
        tail -n 30 "$folder/release.log"
        fail "release.sh failed in $folder"
        return 1
    fi
}

check_dist() {
    local folder="$1" dist="$1/dist" bin="$1/build/bin"
    local version name zip debug msi
    version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$folder/build/CMakeCache.txt")"
    name="Vornlink-$version"
    zip="$dist/$name-win32.zip" debug="$dist/$name-debug.zip" msi="$dist/$name.msi"

    (cd "$dist" && sha256sum -c --strict SHA256SUMS) >"$folder/sums.log" 2>&1 || fail "sha256sum -c: $(cat "$folder/sums.log")"
    # The Python package: its wheel and sdist beside the rest, summed, the wheel installing offline into
    # a fresh virtual environment (Debian's Python and packages) with the source's version. Left out of the
    # lists below.
    local python_version python_file
    python_version="$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$VORN_SOURCE/python/vorn_module/__init__.py")"
    for python_file in "vorn_module-$python_version-py3-none-any.whl" "vorn_module-$python_version.tar.gz"; do
        [ -f "$dist/$python_file" ] || fail "dist/ has no $python_file"
        grep -q "  $python_file\$" "$dist/SHA256SUMS" || fail "SHA256SUMS doesn't list $python_file"
    done
    rm -rf "$folder/python-venv"
    if /usr/bin/python3 -m venv --system-site-packages "$folder/python-venv" &&
        "$folder/python-venv/bin/pip" install -q --no-index --disable-pip-version-check \
            "$dist/vorn_module-$python_version-py3-none-any.whl" >"$folder/pip.log" 2>&1; then
        [ "$(cd "$folder" && "$folder/python-venv/bin/python" -c 'import vorn_module; print(vorn_module.__version__)')" = \
          "$python_version" ] || fail "the installed wheel isn't version $python_version"
    else
        fail "the wheel doesn't install offline: $(cat "$folder/pip.log")"
    fi

    local listed present
    listed="$(awk '{print $2}' "$dist/SHA256SUMS" | grep -v '^vorn_module-' | LC_ALL=C sort)"
    present="$(cd "$dist" && ls | grep -vx SHA256SUMS | grep -v '^vorn_module-' | LC_ALL=C sort)"
    [ "$listed" = "$present" ] || fail "SHA256SUMS lists [$listed], dist/ holds [$present]"
    [ "$present" = "$(printf '%s\n' "$name-debug.zip" "$name-win32.zip" "$name.msi" | LC_ALL=C sort)" ] ||
        fail "dist/ holds [$present]"

    # The zip: the binaries the build made (the optional ones when built), the READMEs, the reference
    # and the committed examples, nothing else.
    local expected
    expected="$({
        echo Vornlink.dll; echo fullcal.exe; echo README.md; echo docs/reference.md
        echo "Simulated module/Vorn.dll"; echo "Simulated module/README.md"
        [ ! -f "$bin/vornsh.exe" ] || echo vornsh.exe
        [ ! -f "$bin/vornlan.exe" ] || echo vornlan.exe
        if [ -f "$bin/trace/Vorn.dll" ]; then
            echo "Tracing module/Vorn.dll"
            [ ! -f "$VORN_SOURCE/trace-module/README.md" ] || echo "Tracing module/README.md"
        fi
        git -C "$VORN_SOURCE" ls-files examples
    } | sed "s|^|$name/|" | LC_ALL=C sort)"
    rm -rf "$folder/unzipped" && mkdir -p "$folder/unzipped"
    unzip -q "$zip" -d "$folder/unzipped" && unzip -q "$debug" -d "$folder/unzipped" || fail "unzip failed"
    local files
    files="$(cd "$folder/unzipped" && find . -type f ! -name '*.debug' | sed 's|^\./||' | LC_ALL=C sort)"
    [ "$files" = "$expected" ] || fail "the zip's files differ:$(diff <(echo "$expected") <(echo "$files"))"
    cmp -s "$folder/unzipped/$name/docs/reference.md" "$VORN_SOURCE/docs/reference.md" || fail "the zip's reference differs"

    # Each binary: no debug sections, a debug link that its debug file in the debug zip satisfies
    # (dropping the link and adding it again from that file gives the same bytes: same name, same CRC).
    local count=0 binary
    while IFS= read -r -d '' binary; do
        count=$((count + 1))
        local sections
        sections="$($OBJDUMP -h "$binary")"
        grep -q ' \.debug_' <<<"$sections" && fail "$binary carries debug sections"
        grep -q ' \.gnu_debuglink ' <<<"$sections" || fail "$binary has no debug link"
        [ -f "$binary.debug" ] || { fail "$binary: no debug file in the debug zip"; continue; }
        grep -q ' \.debug_info ' <<<"$($OBJDUMP -h "$binary.debug")" || fail "$binary.debug holds no debug information"
        (cd "$(dirname "$binary")" &&
            SOURCE_DATE_EPOCH=0 $OBJCOPY --remove-section=.gnu_debuglink "$binary" "$folder/bare" &&
            SOURCE_DATE_EPOCH=0 $OBJCOPY --add-gnu-debuglink="$(basename "$binary").debug" "$folder/bare" "$folder/relinked") ||
            fail "objcopy failed on $binary"
        cmp -s "$folder/relinked" "$binary" || fail "$binary: its debug link doesn't name its debug file"
    done < <(find "$folder/unzipped" \( -name '*.dll' -o -name '*.exe' \) -print0)
    [ "$count" -ge 3 ] || fail "only $count binaries in the zip"

    # The package holds every file of its list (PackageFiles.txt: feature, installed path, source), each
    # the zip's file of the same source (the service's copy of vornlan.exe is the zip's vornlan.exe), with
    # 8.3 names beside the long ones that aren't 8.3.
    rm -rf "$folder/extracted"
    msiextract -C "$folder/extracted" "$msi" >/dev/null || fail "msiextract failed"
    local installed="$folder/extracted/Program Files/Vornlink" list="$folder/build/installer/generated/PackageFiles.txt"
    [ -s "$list" ] || fail "no package list $list"
    local packaged
    packaged="$(cd "$installed" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
    [ "$packaged" = "$(cut -f2 "$list" | LC_ALL=C sort)" ] ||
        fail "the package's files differ from its list:$(diff <(cut -f2 "$list" | LC_ALL=C sort) <(echo "$packaged"))"
    local relative in_zip
    while IFS= read -r relative; do
        in_zip="$(awk -F'\t' -v path="$relative" '
            !($3 in first) { first[$3] = $2 }
            $2 == path { source = $3 }
            END { print first[source] }' "$list")"
        cmp -s "$installed/$relative" "$folder/unzipped/$name/$in_zip" ||
            fail "the package's $relative differs from the zip's $in_zip"
    done <<<"$packaged"
    # Every file and folder name is 8.3 or "SHORT|long" with an 8.3 SHORT, unique in its folder.
    local problems
    problems="$(
        { msiinfo export "$msi" Component | tr -d '\r' | awk -F'\t' 'NR > 3 { print "C\t" $1 "\t" $3 }'
          msiinfo export "$msi" Directory | tr -d '\r' | awk -F'\t' 'NR > 3 && $2 != "" && $3 != "." { print "D\t" $2 "\t" $3 }'
          msiinfo export "$msi" File | tr -d '\r' | awk -F'\t' 'NR > 3 { print "F\t" $2 "\t" $3 }'
        } | awk -F'\t' '
            $1 == "C" { folder[$2] = $3; next }
            {
                where = ($1 == "F") ? folder[$2] : $2
                split($3, names, "|"); short = toupper(names[1])
                parts = split(short, part, ".")
                if (short !~ /^[-A-Z0-9_~!#$%&(){}@.]+$/ || parts > 2 || length(part[1]) < 1 ||
                    length(part[1]) > 8 || length(part[2]) > 3)
                    print "not 8.3: " $3
                if ((where, short) in seen) print "twice in " where ": " short
                seen[where, short] = 1
                count++
            }
            END { if (count < 10) print "only " count " names" }')"
    [ -z "$problems" ] || fail "the package's short names: $problems"
    msiinfo export "$msi" File | grep >/dev/null $'\tCALIBR~1.VBS|calibrate.vbs\t' || fail "the package has no short name for calibrate.vbs"
}

case "$CASE" in
dist)
    release "$VORN_SOURCE" "$VORN_WORK/dist-case" && check_dist "$VORN_WORK/dist-case"
    ;;
reproducible)
    [ "${VORN_TEST_REPRODUCIBLE:-}" = 1 ] || { echo "skipped: set VORN_TEST_REPRODUCIBLE=1 to build twice and compare"; exit 77; }
    commit="$(git -C "$VORN_SOURCE" rev-parse HEAD)"
    [ -z "$(git -C "$VORN_SOURCE" status --porcelain --untracked-files=no)" ] ||
        echo "note: the source tree has uncommitted changes; both releases are of the commit $commit"
    for run in first second; do
        rm -rf "$VORN_WORK/$run" && mkdir -p "$VORN_WORK/$run"
        git clone -q "$VORN_SOURCE" "$VORN_WORK/$run/source-$run" && git -C "$VORN_WORK/$run/source-$run" checkout -q "$commit" ||
            { fail "git clone failed"; exit 1; }
    done
    release "$VORN_WORK/first/source-first" "$VORN_WORK/first/out" || exit 1
    sleep 2
    (umask 002 && release "$VORN_WORK/second/source-second" "$VORN_WORK/second/out") || exit 1
    compared=0
    cd "$VORN_WORK/first/out" || exit 1
    for each in dist/* build/bin/{Vornlink.dll,fullcal.exe,vornsh.exe,vornlan.exe,sim/Vorn.dll,trace/Vorn.dll}{,.debug}; do
        [ -f "$each" ] || continue
        compared=$((compared + 1))
        cmp "$each" "$VORN_WORK/second/out/$each" || fail "$each differs between the two builds"
    done
    [ "$compared" -ge 8 ] || fail "only $compared files compared"
    [ "$FAILED" = 0 ] && echo "PASS: $compared files identical in two builds of $commit"
    exit "$FAILED"
    ;;
*) echo "unknown case $CASE"; exit 2 ;;
esac
[ "$FAILED" = 0 ] && echo "PASS: release $CASE"
exit "$FAILED"
