# Shared by calibrate.sh and test.sh: tools, build, and the Wine session the programs run in.
# shellcheck shell=bash
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Debian packages the build and the tests need; installed only when something is missing.
ensure_tools() {
    local missing=0
    for tool in cmake i686-w64-mingw32-g++-posix i686-w64-mingw32-widl x86_64-w64-mingw32-g++-posix \
                wine wineserver wixl msibuild faketime osslsigncode openssl zip unzip git; do
        command -v "$tool" >/dev/null 2>&1 || missing=1
    done
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing=1
    [ -f /usr/include/wine/wine/windows/oaidl.idl ] || missing=1
    [ -f /usr/lib/i386-linux-gnu/wine/i386-windows/stdole2.tlb ] || missing=1
    # vornlan's tests drive it with real VISA clients: Debian's PyVISA and lxi-tools.
    command -v lxi >/dev/null 2>&1 || missing=1
    # `lxi discover -m` browses through avahi: the discovery tests run a daemon of their own in a client
    # host's namespace (the package's own service is left as the system has it).
    command -v avahi-daemon >/dev/null 2>&1 || missing=1
    /usr/bin/python3 -c 'import pyvisa, pyvisa_py, pytest, pymeasure' >/dev/null 2>&1 || missing=1
    # ensure_python_venv makes the tests' virtual environment with Debian's venv and pip.
    /usr/bin/python3 -c 'import ensurepip' >/dev/null 2>&1 || missing=1
    # The web page's tests: Debian's chromium, driven by playwright-core from the npm registry.
    command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || missing=1
    [ -x /usr/bin/chromium ] || missing=1
    if [ "$missing" = 0 ]; then
        ensure_web_test_packages
        return 0
    fi

    local sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    echo "Installing the build tools (mingw-w64, widl, Wine, GoogleTest, CMake, wixl, faketime, osslsigncode, zip, PyVISA, lxi-tools, avahi, chromium)..." >&2
    $sudo dpkg --add-architecture i386
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
        mingw-w64 mingw-w64-tools wine wine32:i386 wine64 libwine-dev googletest cmake make \
        msitools wixl faketime osslsigncode openssl zip unzip git ca-certificates \
        python3 python3-pyvisa python3-pyvisa-py python3-pytest python3-pymeasure python3-venv lxi-tools avahi-daemon chromium \
        fonts-dejavu-core >&2
    if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends nodejs npm >&2
    fi
    ensure_web_test_packages
}

# playwright-core as the lock file pins it (no browser download: the tests use Debian's chromium).
ensure_web_test_packages() {
    local web="$ROOT/tests/web"
    if [ ! -f "$web/node_modules/playwright-core/package.json" ] ||
       [ "$web/package-lock.json" -nt "$web/node_modules/.package-lock.json" ]; then
        echo "Installing the web page tests' packages (npm ci)..." >&2
        (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund >&2)
    fi
}

# The Python tests' virtual environment: tests/requirements.txt's pinned releases from PyPI, for the tests
# that run once with Debian's /usr/bin/python3 and once with this one. One per checkout (a release's
# wiped build keeps it), remade only when the requirements change; the lock keeps two scripts of the same
# checkout from making it at once. Sets PYTHON_VENV to its interpreter.
ensure_python_venv() {
    local venv="${VORN_PYTHON_VENV_DIR:-$ROOT/build/python-venv}" requirements="$ROOT/tests/requirements.txt"
    PYTHON_VENV="$venv/bin/python"
    mkdir -p "$(dirname "$venv")"
    (
        flock 9
        if [ -x "$venv/bin/python" ] && cmp -s "$requirements" "$venv/requirements.txt"; then
            exit 0
        fi
        echo "Making the Python tests' virtual environment in $venv (pip install -r tests/requirements.txt)..." >&2
        rm -rf "$venv"
        /usr/bin/python3 -m venv "$venv" >&2
        "$venv/bin/pip" install --disable-pip-version-check -q -r "$requirements" >&2
        cp "$requirements" "$venv/requirements.txt"
    ) 9>"$venv.lock"
}

# Whether this kernel runs 32-bit programs at all: some virtual machines' kernels have IA-32 emulation
# switched off, and then neither 32-bit Wine nor anything it would run can start.
runs_32bit_code() {
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# The build the programs and tests come from: the 32-bit product where the kernel runs it, else the
# 64-bit build of the same sources under 64-bit Wine (VORN_PRESET chooses either). VORN_BUILD_DIR lets
# several work trees or people share one checkout, each with its own build and Wine prefix.
select_build() {
    if [ -z "${VORN_PRESET:-}" ]; then
        if runs_32bit_code; then VORN_PRESET=mingw-x86; else VORN_PRESET=mingw-x64; fi
    fi
    PRESET="$VORN_PRESET"
    BUILD="${VORN_BUILD_DIR:-$ROOT/build/$PRESET}"
    export WINEPREFIX="$BUILD/wineprefix"
    if [ "$PRESET" = mingw-x64 ]; then
        case ":$PATH:" in *":$ROOT/scripts/wine64-only:"*) ;; *) export PATH="$ROOT/scripts/wine64-only:$PATH" ;; esac
    fi
}

build() {
    cd "$ROOT"
    ensure_python_venv
    cmake --preset "$PRESET" -B "$BUILD" -DVORN_PYTHON_VENV="$PYTHON_VENV" >/dev/null
    cmake --build "$BUILD" --parallel 2 >&2
}

# Wine's server and its helpers must start outside any pipe a test reader waits on, or that
# reader never sees end-of-file. So: start them here with stdio on /dev/null, keep one small
# process holding the desktop for the whole session, and stop everything on exit.
wine_session_start() {
    trap wine_session_stop EXIT
    mkdir -p "$WINEPREFIX"
    # Fails harmlessly when a server for this prefix is already up.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine wineboot </dev/null >/dev/null 2>&1 || true
    wine "$BUILD/bin/hold-desktop.exe" </dev/null >/dev/null 2>&1 &
}

wine_session_stop() {
    wineserver -k >/dev/null 2>&1 || true
}

# Everything that sources this file runs on the build it selects; the tools come first because the probe
# for 32-bit code needs the 32-bit loader they install.
ensure_tools
select_build
