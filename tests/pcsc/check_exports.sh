#!/bin/sh
# Checks the export table of a Windows CT-API library: exactly CT_close, CT_data and CT_init,
# undecorated (the names a CT-API program looks up). For a 32-bit library whose symbol table is
# still there, also that the three are __stdcall (_CT_init@8, _CT_data@28, _CT_close@4).
# Usage: check_exports.sh OBJDUMP LIBRARY...
set -u
objdump=$1
shift
status=0
for dll in "$@"; do
    names=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
            sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
    if [ "$names" != "CT_close CT_data CT_init " ]; then
        echo "$dll: exports are '$names', not 'CT_close CT_data CT_init '" >&2
        status=1
        continue
    fi
    if "$objdump" -f "$dll" | grep -q 'pei-i386'; then
        symbols=$("$objdump" -t "$dll" 2>/dev/null | grep -o '_CT_[a-z]*@[0-9]*' | sort -u | tr '\n' ' ')
        if [ -n "$symbols" ] && [ "$symbols" != "_CT_close@4 _CT_data@28 _CT_init@8 " ]; then
            echo "$dll: entry points are '$symbols', not __stdcall" >&2
            status=1
            continue
        fi
    fi
    echo "$dll: CT_close CT_data CT_init"
done
exit $status
