# shellcheck shell=bash
# Shared by scripts/test, scripts/package, scripts/demo and scripts/screenshots: installing what
# the build needs, building; Wine and a display come from scripts/wine.sh.

source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

# Debian packages the build and the tests need.
ORVA_PACKAGES=(cmake ninja-build g++ googletest zlib1g-dev gzip
               mingw-w64 libz-mingw-w64-dev wine wine64 fonts-wine xvfb xdotool x11-utils imagemagick socat
               pcscd libpcsclite-dev vsmartcard-vpcd python3-virtualsmartcard python3-pycryptodome
               clang libclang-rt-14-dev clang-format-14)

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

# Configures, builds and installs one preset into install/<preset> (run from the checkout's top);
# the output goes to LOG, and is shown only when something fails.
orva_build() {  # preset log
    echo "Building ($1) ..."
    { cmake --preset "$1" && cmake --build --preset "$1" -j "$(nproc)" &&
        cmake --install "build/$1" --prefix "install/$1"; } >"$2" 2>&1 ||
        { cat "$2" >&2; echo "build of $1 failed" >&2; return 1; }
}
