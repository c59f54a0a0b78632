#!/bin/sh
# Makes the Wine prefix in $WINEPREFIX look like a 64-bit PC with some of the
# sample catalog's programs installed: program files (copies of Wine's own
# executables, which carry version resources, under the programs' names),
# their Uninstall entries per machine (64-bit programs in the registry's
# 64-bit view, 32-bit ones in its 32-bit view, as their installers write
# them) and per user, an Add/Remove Programs cache entry, a start-menu folder
# with shortcuts, and an antivirus product. Both builds of the component see
# every program. Safe to run again. The prefix's server should be running
# already.
#
#   sample-pc.sh
set -u
C="$WINEPREFIX/drive_c"
UNINSTALL='Software\Microsoft\Windows\CurrentVersion\Uninstall'
ARPCACHE='Software\Microsoft\Windows\CurrentVersion\App Management\ARPCache'
PF64='C:\Program Files'
PF32='C:\Program Files (x86)'

# A 32-bit process reads no version from files named like Wine's own
# programs, so each copy gets the program's name. 64-bit programs are copies
# of 64-bit executables in Program Files, 32-bit ones of 32-bit executables
# in Program Files (x86).
install_file() {  # 64|32, system exe, folder below Program Files, file name
  if [ "$1" = 64 ]; then src=system32; pf='Program Files'; else src=syswow64; pf='Program Files (x86)'; fi
  mkdir -p "$C/$pf/$3"
  cp -f "$C/windows/$src/$2" "$C/$pf/$3/$4"
}
install_file 64 iexplore.exe 'Brightfield' brightfield.exe
install_file 64 dplaysvr.exe 'Larkspur Archiver' larkspur.exe
install_file 32 setx.exe 'Cobblestone PDF Reader/Reader' cobblestone.exe
install_file 32 dpnsvr.exe 'Mooncast' mooncast.exe
install_file 32 robocopy.exe 'Pebble Photo Viewer' pebble.exe
install_file 32 winver.exe 'Pebble Photo Viewer' uninstall.exe
install_file 32 msiexec.exe 'Quillpad' quillpad.exe
install_file 64 tasklist.exe 'Ferncut Video Editor/bin' ferncut.exe

reg_add() {  # key, value, data, type, view (/reg:64 or /reg:32)
  wine reg add "$1" /v "$2" /t "$4" /d "$3" /f "$5" </dev/null >/dev/null 2>&1 ||
    echo "reg add failed: $1 $2" >&2
}
# Uninstall entry: view (64 or 32; per-user keys have one), root, subkey,
# name, version, uninstall string, icon
program() {
  view="/reg:$1"
  key="$2\\$UNINSTALL\\$3"
  # A prefix made before the programs were split between the views may hold
  # the entry in the other one.
  if [ "$2" = HKLM ]; then
    other=$([ "$1" = 64 ] && echo 32 || echo 64)
    wine reg delete "$key" /f "/reg:$other" </dev/null >/dev/null 2>&1 || true
  fi
  reg_add "$key" DisplayName "$4" REG_SZ "$view"
  [ -n "$5" ] && reg_add "$key" DisplayVersion "$5" REG_SZ "$view"
  reg_add "$key" UninstallString "$6" REG_SZ "$view"
  [ -n "$7" ] && reg_add "$key" DisplayIcon "$7" REG_SZ "$view"
  reg_add "$key" Publisher "$4" REG_SZ "$view"
}

program 64 HKLM 'Brightfield Browser' 'Brightfield Browser' '24.1.0' \
  "\"$PF64\\Brightfield\\uninstall.exe\" /S" "$PF64\\Brightfield\\brightfield.exe,0"
# The registry says 5.3; the rules read the program file's version.
program 64 HKLM 'Larkspur Archiver_is1' 'Larkspur Archiver 5.3' '5.3' \
  "\"$PF64\\Larkspur Archiver\\unins000.exe\"" "$PF64\\Larkspur Archiver\\larkspur.exe,0"
# An MSI package, and a per-user leftover of the old installer.
program 32 HKLM '{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}' 'Cobblestone PDF Reader' '10.0' \
  'MsiExec.exe /X{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}' \
  "$PF32\\Cobblestone PDF Reader\\Reader\\cobblestone.exe,0"
program 64 HKCU 'CobblestonePDF' 'Cobblestone PDF Reader 9' '9.1' \
  "\"$PF32\\Cobblestone PDF Reader\\uninst.exe\"" ''
program 64 HKCU 'MooncastPlayer' 'Mooncast Player' 'v3.8.1' \
  "$PF32\\Mooncast\\uninst.exe" "$PF32\\Mooncast\\mooncast.exe"
program 32 HKLM 'QuillpadNotes' 'Quillpad Notes' '4.5' "\"$PF32\\Quillpad\\uninstall.exe\"" ''
program 64 HKCU 'Ferncut Video Editor' 'Ferncut Video Editor' '' \
  "$PF64\\Ferncut Video Editor\\uninstall.exe" ''
# Where and when Brightfield was installed, and its size in KiB.
reg_add "HKLM\\$UNINSTALL\\Brightfield Browser" InstallLocation "$PF64\\Brightfield" REG_SZ /reg:64
reg_add "HKLM\\$UNINSTALL\\Brightfield Browser" InstallDate 20240115 REG_SZ /reg:64
reg_add "HKLM\\$UNINSTALL\\Brightfield Browser" EstimatedSize 184320 REG_DWORD /reg:64
program 64 HKLM 'Kestrel Internet Security' 'Kestrel Internet Security' '7.0.310' \
  "\"$PF64\\Kestrel\\uninstall.exe\"" ''

# Add/Remove Programs cache record of Quillpad: 552 bytes, the program's path
# at offset 28 (UTF-16, 260 characters). Windows keeps it per user from
# Vista on, per machine before.
path_hex=$(printf '%s' "$PF32\\Quillpad\\quillpad.exe" | iconv -t UTF-16LE | od -An -tx1 |
  tr -d ' \n')
record="28020000010000000000000000000000000000000000000000000000$path_hex"
while [ ${#record} -lt 1104 ]; do record="${record}00"; done
reg_add "HKCU\\$ARPCACHE\\QuillpadNotes" SlowInfoCache "$record" REG_BINARY /reg:64
reg_add "HKLM\\$ARPCACHE\\QuillpadNotes" SlowInfoCache "$record" REG_BINARY /reg:32

# Pebble registers nothing: it is found through its start-menu folder.
MENU="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/Pebble Photo Viewer"
WMENU='C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Pebble Photo Viewer'
mkdir -p "$MENU"
cat >"$C/make-shortcut.vbs" <<'EOF'
Set link = CreateObject("WScript.Shell").CreateShortcut(WScript.Arguments(0))
link.TargetPath = WScript.Arguments(1)
link.Save
EOF
wine cscript //nologo 'C:\make-shortcut.vbs' "$WMENU\\Pebble Photo Viewer.lnk" \
  "$PF32\\Pebble Photo Viewer\\pebble.exe" </dev/null >/dev/null 2>&1
wine cscript //nologo 'C:\make-shortcut.vbs' "$WMENU\\Uninstall.lnk" \
  "$PF32\\Pebble Photo Viewer\\uninstall.exe" </dev/null >/dev/null 2>&1
rm -f "$C/make-shortcut.vbs"
[ -f "$MENU/Pebble Photo Viewer.lnk" ] || echo "shortcut not created" >&2

# Start-menu programs are looked for on Vista-class systems, not on Windows 7
# (Wine's default): the tessary tool runs as on Vista.
wine reg add 'HKCU\Software\Wine\AppDefaults\tessary.exe' /v Version /d vista /f \
  </dev/null >/dev/null 2>&1
exit 0
