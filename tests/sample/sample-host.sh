#!/bin/sh
# Registers the DLL, installs the sample programs into the prefix, runs the
# sample host and checks what it reports. The prefix is kept between runs:
# preparing it again is cheap, creating it is not.
set -u
ARCH="$1"; DLL="$2"; SAMPLE="$3"; ROOT="$4"; PREFIX="$5"
export WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

fail() { echo "FAIL: $*"; wineserver -k >/dev/null 2>&1; exit 1; }

if [ ! -f "$PREFIX/system.reg" ]; then
  mkdir -p "$PREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

DIR="$PREFIX/drive_c/tessary"
rm -rf "$DIR"
mkdir -p "$DIR"
cp "$DLL" "$SAMPLE" "$DIR/"
cp -r "$ROOT/data/KaData" "$ROOT/data/host" "$DIR/"
wine regsvr32 /s "C:\\tessary\\$(basename "$DLL")" </dev/null >/dev/null 2>&1 ||
  fail "regsvr32 exited $?"
sh "$ROOT/scripts/sample-pc.sh" "$ARCH"

out=$(wine "C:\\tessary\\$(basename "$SAMPLE")" </dev/null 2>&1)
rc=$?
printf '%s\n' "$out"
[ $rc -eq 0 ] || fail "the sample host exited $rc"

expect() {
  printf '%s\n' "$out" | grep -qF -- "$1" || fail "no line with: $1"
}
expect "created through COM from C:\\tessary\\"
expect "9 programs: 3 recommended, 4 one-key install, 4 popular"
# The newest of two registered keys, a version file, a start-menu program.
expect "version         10.0.19041.1"
expect "version         5.3.2600.5512"
expect "version         5.1.10.1027"
expect "main type       未知类别"
expect "6 programs with newer versions: 7 versions, 2 of them ignored"
expect "brightfield browser: installed 24.1.0, newer 25.0.2, 26.0 (trial, ignored)"
expect "mooncast player: installed 3.8.1, newer 3.9.0 (ignored)"
expect "3 lists (through IDispatch: 3)"
expect "1. Tallow Sheets  [not installed]"
expect "installed: kestrel (Kestrel Internet Security 7)"

# Without its catalog the host does not start the job.
wine "C:\\tessary\\$(basename "$SAMPLE")" 'C:\nowhere' </dev/null >/dev/null 2>&1
rc=$?
[ $rc -eq 2 ] || fail "without a catalog the sample host exited $rc, not 2"

# Unregistered, it falls back to the DLL it is given.
wine regsvr32 /u /s "C:\\tessary\\$(basename "$DLL")" </dev/null >/dev/null 2>&1
out=$(wine "C:\\tessary\\$(basename "$SAMPLE")" --dll "C:\\tessary\\$(basename "$DLL")" \
  </dev/null 2>&1)
rc=$?
[ $rc -eq 0 ] || fail "with --dll the sample host exited $rc: $out"
expect "created through C:\\tessary\\$(basename "$DLL")"
expect "installed: kestrel (Kestrel Internet Security 7)"

wineserver -k >/dev/null 2>&1
echo "sample host passed"
