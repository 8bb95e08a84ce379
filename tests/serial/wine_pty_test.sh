#!/usr/bin/env bash
# Runs the Windows serial-port tests under Wine with two COM ports mapped to the two ends of a
# pseudo-terminal pair made by socat. Usage: wine_pty_test.sh WINE_RUN TEST_EXE
set -u
wine_run=$1
exe=$2
here=$(cd "$(dirname "$wine_run")" && pwd)
export WINEPREFIX=${ORVA_WINEPREFIX:-$here/../build/wineprefix}
work=$(mktemp -d /tmp/orva-wine-pty.XXXXXX)
socat_pid=
cleanup() {
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
    rm -f "$WINEPREFIX/dosdevices/com41" "$WINEPREFIX/dosdevices/com42"
    rm -rf "$work"
}
trap cleanup EXIT

socat pty,raw,echo=0,link="$work/a" pty,raw,echo=0,link="$work/b" 2>/dev/null &
socat_pid=$!
for _ in $(seq 1 100); do [ -e "$work/a" ] && [ -e "$work/b" ] && break; sleep 0.05; done
if [ ! -e "$work/a" ] || [ ! -e "$work/b" ]; then
    echo "socat made no pseudo-terminal pair" >&2
    exit 1
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine_run" cmd /c exit >/dev/null 2>&1
fi
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$work/a")" "$WINEPREFIX/dosdevices/com41"
ln -sfn "$(readlink -f "$work/b")" "$WINEPREFIX/dosdevices/com42"
ORVA_TEST_COM_A=COM41 ORVA_TEST_COM_B=COM42 "$wine_run" "$exe" --gtest_brief=1
