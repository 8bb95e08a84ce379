#!/usr/bin/env bash
# The packages in dist/ as a practice gets them (made by scripts/package).
#   package_test.sh DIST SOURCE contents win32|win64|linux
#       the file list (exactly the shipped programs and libraries, every guide and licence text),
#       the machine type of every binary, stripped binaries, and on Windows the version resource
#       of every .exe and .dll
#   package_test.sh DIST SOURCE run-win64
#       the zip unpacked into a folder whose path holds a space and an umlaut, TMP with a space,
#       ORVA.exe run from there under Wine with the simulated terminal: once into the reference
#       client, once with -F; both records exact
#   package_test.sh DIST SOURCE run-linux
#       the tarball unpacked likewise, orva run by a relative path from another working
#       directory: the record on standard output exact
# Every wait is bounded; everything started here is ended.
set -u
dist=$1
source_dir=$2
mode=$3
source "$source_dir/scripts/wine.sh"

version=1.27
fail=0
error() {
    echo "FAIL: $*" >&2
    fail=1
}

work=$(mktemp -d /tmp/orva-package.XXXXXX)
ORVA_XVFB_PID=
private_prefix=0
client_pid=
cleanup() {
    if [ -n "$client_pid" ]; then
        kill "$client_pid" 2>/dev/null
        wait "$client_pid" 2>/dev/null
    fi
    if [ "$private_prefix" -eq 1 ]; then
        orva_wine_end
    fi
    orva_stop_xvfb
    rm -rf "$work"
}
trap cleanup EXIT

# The record of the simulated terminal's demo eGK (an invented person), without -I: the
# flattened personal data, insurance data and protected data, the status text and the version
# line; Windows-1252 ("\374" is u-umlaut), lines ending in LF, framed by 04 "OKVK 01" ... 04.
expected_record() {
    printf '\004OKVK 01'
    printf '%s\n' \
        'PD>CDM_VERSION>5.2.0' \
        'Versicherter>Versicherten_ID>T808808801' \
        'Versicherter>Person>Geburtsdatum>19580723' \
        'Versicherter>Person>Vorname>Ottilie'
    printf 'Versicherter>Person>Nachname>Kr\374mmelmann\n'
    printf '%s\n' \
        'Versicherter>Person>Geschlecht>W' \
        'Versicherter>Person>StrassenAdresse>Postleitzahl>34117' \
        'Versicherter>Person>StrassenAdresse>Ort>Kassel' \
        'Versicherter>Person>StrassenAdresse>Land>Wohnsitzlaendercode>D' \
        'Versicherter>Person>StrassenAdresse>Strasse>Am Beispielhang' \
        'Versicherter>Person>StrassenAdresse>Hausnummer>7a' \
        'VD>CDM_VERSION>5.2.0' \
        'Versicherter>Versicherungsschutz>Beginn>20190401' \
        'Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerkennung>109999907' \
        'Versicherter>Versicherungsschutz>Kostentraeger>Kostentraegerlaendercode>D' \
        'Versicherter>Versicherungsschutz>Kostentraeger>Name>Demo BKK' \
        'Versicherter>Zusatzinfos>ZusatzinfosGKV>Versichertenart>1' \
        'Versicherter>Zusatzinfos>ZusatzinfosGKV>Zusatzinfos_Abrechnung_GKV>WOP>02' \
        'GD>Zuzahlungsstatus>Status>0' \
        'Selektivvertraege>Aerztlich>0' \
        'Selektivvertraege>Zahnaerztlich>0' \
        'ST>02026010509300000500200000000000000'
    printf 'VER>003000000000300000010030000003\004'
}

expect_record() {  # what file
    if [ ! -f "$2" ]; then
        error "$1: no record"
        return
    fi
    if ! cmp -s "$2" "$work/expected.bin"; then
        error "$1: the record differs from the demo card's"
        echo "  expected:" >&2
        od -A d -c "$work/expected.bin" | sed 's/^/    /' >&2
        echo "  received:" >&2
        od -A d -c "$2" | sed 's/^/    /' >&2
    fi
}

package_file() {  # platform
    case $1 in
        win32 | win64) echo "$dist/ORVA-$version-$1.zip" ;;
        linux) echo "$dist/orva-$version-linux-x86_64.tar.gz" ;;
    esac
}

# Unpacks the package of PLATFORM into DIR; prints the package's folder.
unpack() {  # platform dir
    local archive
    archive=$(package_file "$1")
    if [ ! -f "$archive" ]; then
        echo "FAIL: no package $archive (scripts/package makes it)" >&2
        exit 1
    fi
    mkdir -p "$2"
    (cd "$2" && cmake -E tar xf "$archive") || { echo "FAIL: cannot unpack $archive" >&2; exit 1; }
    local top
    top=$(cd "$2" && ls)
    if [ "$(wc -l <<<"$top")" -ne 1 ] || [ ! -d "$2/$top" ]; then
        echo "FAIL: $archive does not hold exactly one folder: $top" >&2
        exit 1
    fi
    echo "$2/$top"
}

# The files every package must hold: what ships on the platform, the guides and pictures of
# docs/, the licence texts.
expected_files() {  # platform
    local names=() kind
    case $1 in
        win32 | win64)
            names+=(ORVA.exe GZIP.exe OrvaClient.exe)
            for kind in com usb lan; do names+=("ct_api_${kind}SIM.dll"); done
            for kind in com usb lan; do names+=("ct_api_${kind}PCS.dll"); done
            names+=(LICENSE.zlib.txt LICENSE.mingw-w64-runtime.txt LICENSE.gcc-runtime-exception.txt)
            ;;
        linux)
            names+=(orva GZIP orva-serial-sim)
            for kind in com usb lan; do names+=("ct_api_${kind}SIM.so"); done
            for kind in com usb lan; do names+=("ct_api_${kind}PCS.so"); done
            names+=(LICENSE.zlib.txt)
            ;;
    esac
    printf '%s\n' "${names[@]}"
    (cd "$source_dir/docs" && find . -type f \( -name '*.md' -o -name '*.png' \) | sed 's|^\./||')
}

# Machine type, symbol table and version resource of one Windows file.
check_pe() {  # file machine triple
    local f=$1 name
    name=$(basename "$f")
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$f" | tr -d ' ')
    if [ "$(od -An -tx1 -j"$pe" -N4 "$f" | tr -d ' ')" != "50450000" ]; then
        error "$name: not a PE file"
        return
    fi
    local machine symbols
    machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$f" | tr -d ' ')
    [ "$machine" = "$2" ] || error "$name: machine type $machine, expected $2"
    symbols=$(od -An -tu4 -j$((pe + 16)) -N4 "$f" | tr -d ' ')
    [ "$symbols" = "0" ] || error "$name: not stripped ($symbols symbols)"
    "$3-objdump" -h "$f" | grep -q ' \.debug' && error "$name: not stripped (debug sections)"

    local rc
    rc=$("$3-windres" -i "$f" -O rc 2>/dev/null)
    local want
    for want in 'FILEVERSION 1, 27, 0, 0' 'PRODUCTVERSION 1, 27, 0, 0' \
                'VALUE "FileVersion", "1.27.0.0"' 'VALUE "ProductVersion", "1.27.0.0"' \
                'VALUE "ProductName", "vIvavod EVI"' "VALUE \"OriginalFilename\", \"$name\""; do
        grep -qF "$want" <<<"$rc" || error "$name: version resource lacks $want"
    done
    local key
    for key in FileDescription LegalCopyright; do
        grep -qE "VALUE \"$key\", L?\"[^\"]+\"" <<<"$rc" || error "$name: version resource lacks $key"
    done
}

check_elf() {  # file
    local f=$1 name
    name=$(basename "$f")
    local header
    header=$(readelf -h "$f" 2>/dev/null)
    grep -q 'Class:.*ELF64' <<<"$header" && grep -q 'Machine:.*X86-64' <<<"$header" ||
        error "$name: not an x86-64 ELF file"
    readelf -S --wide "$f" 2>/dev/null | grep -q ' \.symtab ' && error "$name: not stripped"
}

contents() {  # platform
    local platform=$1 folder
    folder=$(unpack "$platform" "$work/unpacked") || exit 1
    [ "$(basename "$folder")" = "$(basename "$(package_file "$platform")" | sed -E 's/\.(zip|tar\.gz)$//')" ] ||
        error "the package's folder is $(basename "$folder")"
    local expected actual
    expected=$(expected_files "$platform" | sort)
    actual=$(cd "$folder" && find . -type f | sed 's|^\./||' | sort)
    if [ "$expected" != "$actual" ]; then
        error "$platform: the package's files differ (< expected, > in the package)"
        diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' >&2
    fi
    local f
    while IFS= read -r f; do
        case $platform in
            win32) check_pe "$folder/$f" 014c i686-w64-mingw32 ;;
            win64) check_pe "$folder/$f" 8664 x86_64-w64-mingw32 ;;
            linux) check_elf "$folder/$f" ;;
        esac
    done < <(cd "$folder" && find . -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.so' -o -perm -u+x \) \
                 -not -name '*.txt' -not -name '*.md' -not -name '*.png' | sed 's|^\./||')
}

# A Windows path of Wine's drive Z: for a path here.
windows_path() {
    printf 'Z:%s' "${1//\//\\}"
}

run_win64() {
    local folder
    folder=$(unpack win64 "$work/Praxis Müller") || exit 1
    local tmp="$work/Temp Ordner" client="$work/client"
    mkdir -p "$tmp" "$client"

    # The suite's prefix and display when it has them; else our own, ended with this test.
    if [ -n "${ORVA_WINEPREFIX:-}" ] && [ -n "${DISPLAY:-}" ]; then
        orva_wine_env "$ORVA_WINEPREFIX"
    else
        orva_wine_env "$work/prefix"
        private_prefix=1
        orva_start_xvfb || exit 1
    fi
    orva_wine_prefix

    (cd "$folder" && exec "$ORVA_WINE64" OrvaClient.exe --out "$(windows_path "$client")") \
        >/dev/null 2>&1 &
    client_pid=$!
    local _
    for _ in $(seq 1 600); do
        [ -e "$client/ready" ] && break
        kill -0 "$client_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -e "$client/ready" ] || { error "the reference client did not start"; return; }

    # Wine takes TMP from its registry; the command interpreter hands ORVA.exe ours.
    local args
    for args in "USB -LSIM" "USB -LSIM -F"; do
        (cd "$folder" && exec "$ORVA_WINE64" cmd /c \
            "set TMP=$(windows_path "$tmp")&& ORVA.exe $args") >"$work/orva.log" 2>&1 &
        local pid=$!
        for _ in $(seq 1 1200); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        if kill -0 "$pid" 2>/dev/null; then
            kill "$pid"
            error "ORVA.exe $args did not end"
        fi
        wait "$pid" 2>/dev/null
    done

    expect_record "the reference client (ORVA.exe USB -LSIM)" "$client/record-0001.bin"
    expect_record "TMP\\ORVA.TXT (ORVA.exe USB -LSIM -F)" "$tmp/ORVA.TXT"
    local count
    count=$(find "$client" -name 'record-*.bin' | wc -l)
    [ "$count" -eq 1 ] || error "the reference client received $count records, expected 1"
    # GZIP.exe from the program's folder unpacked the card's files into TMP.
    [ -f "$tmp/PD.XML" ] && [ -f "$tmp/VD.XML" ] || error "no PD.XML and VD.XML in TMP"

    "$ORVA_WINE64" taskkill /IM OrvaClient.exe >/dev/null 2>&1
    for _ in $(seq 1 100); do
        kill -0 "$client_pid" 2>/dev/null || break
        sleep 0.1
    done
}

run_linux() {
    local folder
    folder=$(unpack linux "$work/Praxis Müller") || exit 1
    local tmp="$work/Temp Ordner" elsewhere="$work/elsewhere"
    mkdir -p "$tmp" "$elsewhere"
    local rc
    (cd "$elsewhere" && env -u ORVA_SIM_CARDS -u ORVA_SIM_TRACE TMP="$tmp" \
        timeout 120 "../Praxis Müller/$(basename "$folder")/orva" USB -LSIM) \
        >"$work/record.bin" 2>"$work/prompts.txt"
    rc=$?
    [ "$rc" -eq 0 ] || { error "orva ended with $rc"; sed 's/^/  | /' "$work/prompts.txt" >&2; }
    expect_record "orva USB -LSIM" "$work/record.bin"
}

expected_record >"$work/expected.bin"
case $mode in
    contents) contents "$4" ;;
    run-win64) run_win64 ;;
    run-linux) run_linux ;;
    *) echo "usage: package_test.sh DIST SOURCE contents PLATFORM | run-win64 | run-linux" >&2; exit 2 ;;
esac
exit $fail
