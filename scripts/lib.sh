# shellcheck shell=bash
# Shared by scripts/test, scripts/demo and scripts/screenshots: installing what the build needs,
# building, a display and a private Wine prefix.

# Debian packages the build and the tests need.
ORVA_PACKAGES=(cmake ninja-build g++ googletest zlib1g-dev gzip
               mingw-w64 libz-mingw-w64-dev wine wine64 fonts-wine xvfb xdotool x11-utils imagemagick socat
               pcscd libpcsclite-dev vsmartcard-vpcd python3-virtualsmartcard python3-pycryptodome
               clang libclang-rt-14-dev)

# Installs what is missing; quiet when everything is there already.
orva_install_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Starts Xvfb on a free display; sets DISPLAY and ORVA_XVFB_PID.
orva_start_xvfb() {
    local n
    for n in $(seq 20 99); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
        Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        ORVA_XVFB_PID=$!
        local _
        for _ in $(seq 1 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
        export DISPLAY=:$n
        return 0
    done
    echo "no free X display" >&2
    return 1
}

# Configures, builds and installs one preset into install/<preset> (run from the checkout's top);
# the output goes to LOG, and is shown only when something fails.
orva_build() {  # preset log
    echo "Building ($1) ..."
    { cmake --preset "$1" && cmake --build --preset "$1" -j "$(nproc)" &&
        cmake --install "build/$1" --prefix "install/$1"; } >"$2" 2>&1 ||
        { cat "$2" >&2; echo "build of $1 failed" >&2; return 1; }
}

# A private Wine prefix in DIR for a script's own runs of the Windows programs: exports
# WINEPREFIX, WINEDEBUG and WINEDLLOVERRIDES, sets ORVA_WINE64 and ORVA_WINESERVER (Debian keeps
# them in /usr/lib/wine, off the PATH), and creates the prefix. orva_wine_end ends its processes.
orva_wine_prefix() {  # dir
    export WINEPREFIX="$1" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    ORVA_WINE64=/usr/lib/wine/wine64
    [ -x "$ORVA_WINE64" ] || ORVA_WINE64=$(command -v wine64 || command -v wine)
    ORVA_WINESERVER=/usr/lib/wine/wineserver
    [ -x "$ORVA_WINESERVER" ] || ORVA_WINESERVER=$(command -v wineserver)
    "$ORVA_WINE64" wineboot -i >/dev/null 2>&1
    "$ORVA_WINESERVER" -w 2>/dev/null
}

orva_wine_end() {
    [ -n "${WINEPREFIX:-}" ] && [ -n "${ORVA_WINESERVER:-}" ] && "$ORVA_WINESERVER" -k 2>/dev/null
    return 0
}
