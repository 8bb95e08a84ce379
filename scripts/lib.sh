# Shared by the scripts: installing what the build needs; Wine and a display (scripts/wine.sh).

source "$(dirname "${BASH_SOURCE[0]}")/wine.sh"

# Debian packages the build and the tests need.
ORVA_PACKAGES=(cmake ninja-build g++ googletest zlib1g-dev gzip
               mingw-w64 libz-mingw-w64-dev wine wine64 xvfb xdotool x11-utils imagemagick socat
               clang-format-14)

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
