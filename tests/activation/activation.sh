#!/bin/sh
# Registers the DLL with regsvr32 in a throwaway prefix, creates every
# registered class through CoCreateInstance, then unregisters.
set -u
DLL="$1"; PROBE="$2"; PREFIX="$3"
export WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

fail() { echo "FAIL: $*"; wineserver -k >/dev/null 2>&1; exit 1; }

wineserver -k >/dev/null 2>&1
rm -rf "$PREFIX"
mkdir -p "$PREFIX"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p </dev/null >/dev/null 2>&1
mkdir -p "$PREFIX/drive_c/tessary"
cp "$DLL" "$PROBE" "$PREFIX/drive_c/tessary/"
DLLNAME=$(basename "$DLL"); PROBENAME=$(basename "$PROBE")

wine regsvr32 /s "C:\\tessary\\$DLLNAME" </dev/null >/dev/null 2>&1
rc=$?; [ $rc -eq 0 ] || fail "regsvr32 exited $rc"
out=$(wine "C:\\tessary\\$PROBENAME" registered </dev/null 2>&1 | tr -d '\r')
echo "$out" | grep -q "^OK" || fail "probe after registration: $out"
echo "$out"

wine regsvr32 /u /s "C:\\tessary\\$DLLNAME" </dev/null >/dev/null 2>&1
rc=$?; [ $rc -eq 0 ] || fail "regsvr32 /u exited $rc"
out=$(wine "C:\\tessary\\$PROBENAME" unregistered </dev/null 2>&1 | tr -d '\r')
echo "$out"
echo "$out" | grep -q "^OK" || fail "probe after unregistration: $out"

wineserver -k >/dev/null 2>&1
rm -rf "$PREFIX"
echo "activation passed"
