#!/usr/bin/env bash
# Makes a release in dist/ from a clean build of this checkout:
#   Vornlink-<version>.msi        the Windows Installer package
#   Vornlink-<version>-win32.zip  the same files for installing by hand with regsvr32, with vornsh and
#                                 the method reference
#   Vornlink-<version>-debug.zip  the debug information of every shipped binary, in the same layout
#   vorn_module-<v>-py3-none-any.whl, vorn_module-<v>.tar.gz  the Python drivers' wheel and sdist
#   SHA256SUMS                    for `sha256sum -c SHA256SUMS`
# Binaries are stripped, and reproducible: another build of the same commit gives the same bytes.
# With VORN_SIGN_CERT (and VORN_SIGN_KEY) set, the DLLs, programs and the package are signed
# (release/sign.sh says how). Options: VORN_RELEASE_BUILD_DIR (default build/release, wiped first),
# VORN_DIST_DIR (default dist), SOURCE_DATE_EPOCH (default the commit's time: the archives' dates).
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export VORN_BUILD_DIR="${VORN_RELEASE_BUILD_DIR:-$ROOT/build/release}"
# The product is the 32-bit build, whatever this machine's kernel runs; its build steps run 32-bit
# programs, so a release needs a machine that runs them.
export VORN_PRESET=mingw-x86
source "$ROOT/scripts/common.sh"
if ! runs_32bit_code; then
    echo "release.sh: this kernel runs no 32-bit programs (IA-32 emulation is off), and the release's build" \
         "steps are 32-bit Windows programs under Wine: make releases on a machine that runs them" >&2
    exit 1
fi
DIST="${VORN_DIST_DIR:-$ROOT/dist}"
cd "$ROOT"

ensure_tools
git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1 ||
    { echo "release.sh: not a git checkout: a release is that of a commit (its time dates the archives)" >&2; exit 1; }
if [ -n "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: warning: the checkout has uncommitted changes; this release is not that of a commit" >&2
fi
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct)}"
export TZ=UTC

echo "== Clean build in $BUILD" >&2
# The build runs Windows programs (registration rows, the reference) in a Wine prefix of its own.
trap wine_session_stop EXIT
rm -rf "$BUILD"
cmake --preset "$PRESET" -B "$BUILD" >/dev/null
available_targets="$(cmake --build "$BUILD" --target help)"
has_target() { grep -qx "\.\.\. $1" <<<"$available_targets"; }
targets=(Vornlink fullcal vorn_sim vornlink_registration_rows vornlink_reference)
optional=()
for target in vornsh vornlan vorn_trace; do
    if has_target "$target"; then targets+=("$target"); else optional+=("$target"); fi
done
[ ${#optional[@]} = 0 ] || echo "release.sh: not in this tree, so not in the release: ${optional[*]}" >&2
cmake --build "$BUILD" --parallel 2 --target "${targets[@]}" >&2
if ! cmp -s "$BUILD/docs/reference.md" "$ROOT/docs/reference.md"; then
    echo "release.sh: docs/reference.md is not what this server generates: build the target" \
         "vornlink_reference_update, review and commit it" >&2
    exit 1
fi
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")"
NAME="Vornlink-$VERSION"
BIN="$BUILD/bin"

# Binaries as the build lays them out, and where each goes in the zip; the optional ones when built.
declare -A zip_place=(
    [Vornlink.dll]=Vornlink.dll [fullcal.exe]=fullcal.exe [vornsh.exe]=vornsh.exe [vornlan.exe]=vornlan.exe
    [sim/Vorn.dll]="Simulated module/Vorn.dll" [trace/Vorn.dll]="Tracing module/Vorn.dll")
binaries=()
for binary in Vornlink.dll fullcal.exe vornsh.exe vornlan.exe sim/Vorn.dll trace/Vorn.dll; do
    [ -f "$BIN/$binary" ] && binaries+=("$binary")
done

STAGE="$BUILD/release"
rm -rf "$STAGE"
# Only what a release writes: VORN_DIST_DIR may name a folder that holds other things too.
mkdir -p "$DIST" && rm -f "$DIST"/Vornlink-*.msi "$DIST"/Vornlink-*.zip "$DIST/SHA256SUMS"
mkdir -p "$STAGE/bin" "$STAGE/zip/$NAME" "$STAGE/debug/$NAME" "$DIST"
for binary in "${binaries[@]}"; do
    install -D -m 644 "$BIN/$binary" "$STAGE/bin/$binary"
    install -D -m 644 "$BIN/$binary.debug" "$STAGE/debug/$NAME/${zip_place[$binary]}.debug"
done
if [ -n "${VORN_SIGN_CERT:-}" ]; then
    echo "== Signing the binaries" >&2
    (cd "$STAGE/bin" && bash "$ROOT/release/sign.sh" "${binaries[@]}")
fi

echo "== Installer package" >&2
MSI="$DIST/$NAME.msi"
cmake -DPARAMETERS="$BUILD/installer/generated/package-$VERSION.cmake" -DBIN="$STAGE/bin" -DOUTPUT="$MSI" \
      -DFILES="$STAGE/msi" -P "$ROOT/installer/BuildPackage.cmake"
[ -z "${VORN_SIGN_CERT:-}" ] || bash "$ROOT/release/sign.sh" "$MSI"

echo "== Zips" >&2
ZIP="$STAGE/zip/$NAME"
for binary in "${binaries[@]}"; do
    install -D -m 644 "$STAGE/bin/$binary" "$ZIP/${zip_place[$binary]}"
done
install -D -m 644 "$ROOT/README.md" "$ZIP/README.md"
install -D -m 644 "$ROOT/docs/reference.md" "$ZIP/docs/reference.md"
install -D -m 644 "$ROOT/simulated-module/README.md" "$ZIP/Simulated module/README.md"
[ ! -f "$ZIP/Tracing module/Vorn.dll" ] || [ ! -f "$ROOT/trace-module/README.md" ] ||
    install -D -m 644 "$ROOT/trace-module/README.md" "$ZIP/Tracing module/README.md"
(cd "$ROOT" && git ls-files -z examples) | while IFS= read -r -d '' example; do
    install -D -m 644 "$ROOT/$example" "$ZIP/$example"
done

# Same bytes from the same files: one date (zip records local time, hence TZ=UTC), one mode, names
# in a fixed order, no extra fields (owner, Unix times).
make_zip() {
    local folder="$1" zip="$2"
    find "$folder" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    (cd "$folder/.." && find "$NAME" -type f | LC_ALL=C sort | zip -q -X -D -@ "$zip")
}
make_zip "$STAGE/zip/$NAME" "$DIST/$NAME-win32.zip"
make_zip "$STAGE/debug/$NAME" "$DIST/$NAME-debug.zip"

(cd "$DIST" && sha256sum -- *.msi *.zip >SHA256SUMS)

# The Python package (python/): its wheel and source distribution, built in the tests' virtual environment
# (tests/requirements.txt) with the commit's time, and their sums.
echo "== Python package" >&2
ensure_python_venv
rm -f "$DIST"/vorn_module-*.whl "$DIST"/vorn_module-*.tar.gz
bash "$ROOT/scripts/python-dist.sh" "$PYTHON_VENV" "$DIST" >/dev/null
(cd "$DIST" && sha256sum -- vorn_module-*.whl vorn_module-*.tar.gz >>SHA256SUMS)
echo "== $DIST:" >&2
(cd "$DIST" && ls -l && cat SHA256SUMS) >&2
