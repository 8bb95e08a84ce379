# Wine and a display for everything here that runs Windows programs: cmake/wine-run (the tests'
# emulator), scripts/demo and the package test. Sourced by them (and by scripts/lib.sh); it only
# defines functions.

# The environment of every Wine run of ours: the prefix FOLDER, no debug output, no Mono/Gecko
# installers, no menu entries, and a UTF-8 locale: Wine decodes Unix file names in the locale's
# character set, and under C or POSIX it cannot reach a folder such as "Praxis Müller". Sets
# ORVA_WINE64 and ORVA_WINESERVER (Debian keeps wine64 and wineserver in /usr/lib/wine, off the
# PATH).
orva_wine_env() {  # prefix-folder
    export WINEPREFIX=$1
    export LC_ALL=C.UTF-8
    export WINEDEBUG=-all
    # ORVA_WINEDLLOVERRIDES adds a test's own overrides (for example a native DLL of its folder).
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${ORVA_WINEDLLOVERRIDES:+;$ORVA_WINEDLLOVERRIDES}"
    ORVA_WINE64=/usr/lib/wine/wine64
    [ -x "$ORVA_WINE64" ] || ORVA_WINE64=$(command -v wine64 || command -v wine)
    ORVA_WINESERVER=/usr/lib/wine/wineserver
    [ -x "$ORVA_WINESERVER" ] || ORVA_WINESERVER=$(command -v wineserver)
}

# Creates the prefix on first use and waits until it is ready; with a FOLDER, sets up the
# environment for it first (orva_wine_env). Several runs may start at once: one creates it, the
# others wait on its lock. Wine's processes must not inherit a lock's descriptor (the wineserver
# would hold it for as long as it lives), hence the closed 8 and 9.
orva_wine_prefix() {  # [prefix-folder]
    [ $# -eq 0 ] || orva_wine_env "$1"
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -f "$WINEPREFIX/system.reg" ]; then
            "$ORVA_WINE64" wineboot -i >/dev/null 2>&1 8>&- 9>&-
            "$ORVA_WINESERVER" -w 2>/dev/null 8>&- 9>&-
        fi
    ) 9>"$WINEPREFIX.lock"
}

# Ends every process of the prefix, if one is set up.
orva_wine_end() {
    [ -n "${WINEPREFIX:-}" ] && [ -n "${ORVA_WINESERVER:-}" ] && "$ORVA_WINESERVER" -k 2>/dev/null
    return 0
}

# Starts an Xvfb of its own on a display that Xvfb picks itself (so two runs never race for one
# number); sets DISPLAY and ORVA_XVFB_PID.
orva_start_xvfb() {
    local out n="" _
    out=$(mktemp /tmp/orva-xvfb.XXXXXX)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$out" >/dev/null 2>&1 8>&- 9>&- &
    ORVA_XVFB_PID=$!
    for _ in $(seq 1 100); do
        if [ "$(wc -l <"$out")" -ge 1 ]; then
            n=$(head -n 1 "$out")
            break
        fi
        kill -0 "$ORVA_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    rm -f "$out"
    if [ -z "$n" ]; then
        echo "Xvfb did not start" >&2
        kill "$ORVA_XVFB_PID" 2>/dev/null
        ORVA_XVFB_PID=
        return 1
    fi
    export DISPLAY=:$n
}

# Ends the Xvfb that orva_start_xvfb started, if any.
orva_stop_xvfb() {
    if [ -n "${ORVA_XVFB_PID:-}" ]; then
        kill "$ORVA_XVFB_PID" 2>/dev/null
        wait "$ORVA_XVFB_PID" 2>/dev/null
        ORVA_XVFB_PID=
    fi
}
