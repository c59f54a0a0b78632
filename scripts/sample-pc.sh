#!/bin/sh
# Makes the Wine prefix in $WINEPREFIX look like a PC with some of the sample
# catalog's programs installed: program files (copies of Wine's own
# executables, which carry version resources, under the programs' names),
# their Uninstall entries per machine and per user, an Add/Remove Programs
# cache entry, a start-menu folder with shortcuts, and an antivirus product.
# Safe to run again. The prefix's server should be running already.
#
#   sample-pc.sh x86|x64
set -u
ARCH="${1:-x86}"
if [ "$ARCH" = x86 ]; then
  VIEW=/reg:32; SYSDIR=syswow64; PF='Program Files (x86)'
else
  VIEW=/reg:64; SYSDIR=system32; PF='Program Files'
fi
C="$WINEPREFIX/drive_c"
UNINSTALL='Software\Microsoft\Windows\CurrentVersion\Uninstall'
ARPCACHE='Software\Microsoft\Windows\CurrentVersion\App Management\ARPCache'
WPF="C:\\$PF"

# A 32-bit process reads no version from files named like Wine's own
# programs, so each copy gets the program's name.
install_file() {  # system exe, folder below Program Files, file name
  mkdir -p "$C/$PF/$2"
  cp -f "$C/windows/$SYSDIR/$1" "$C/$PF/$2/$3"
}
install_file iexplore.exe 'Brightfield' brightfield.exe
install_file dplaysvr.exe 'Larkspur Archiver' larkspur.exe
install_file setx.exe 'Cobblestone PDF Reader/Reader' cobblestone.exe
install_file dpnsvr.exe 'Mooncast' mooncast.exe
install_file robocopy.exe 'Pebble Photo Viewer' pebble.exe
install_file winver.exe 'Pebble Photo Viewer' uninstall.exe
install_file msiexec.exe 'Quillpad' quillpad.exe
install_file tasklist.exe 'Ferncut Video Editor/bin' ferncut.exe

reg_add() {  # key, value, data [type]
  wine reg add "$1" /v "$2" /t "${4:-REG_SZ}" /d "$3" /f "$VIEW" </dev/null >/dev/null 2>&1 ||
    echo "reg add failed: $1 $2" >&2
}
# Uninstall entry: root, subkey, name, version, uninstall string, icon
program() {
  key="$1\\$UNINSTALL\\$2"
  reg_add "$key" DisplayName "$3"
  [ -n "$4" ] && reg_add "$key" DisplayVersion "$4"
  reg_add "$key" UninstallString "$5"
  [ -n "$6" ] && reg_add "$key" DisplayIcon "$6"
  reg_add "$key" Publisher "$3"
}

program HKLM 'Brightfield Browser' 'Brightfield Browser' '24.1.0' \
  "\"$WPF\\Brightfield\\uninstall.exe\" /S" "$WPF\\Brightfield\\brightfield.exe,0"
# The registry says 5.3; the rules read the program file's version.
program HKLM 'Larkspur Archiver_is1' 'Larkspur Archiver 5.3' '5.3' \
  "\"$WPF\\Larkspur Archiver\\unins000.exe\"" "$WPF\\Larkspur Archiver\\larkspur.exe,0"
# An MSI package, and a per-user leftover of the old installer.
program HKLM '{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}' 'Cobblestone PDF Reader' '10.0' \
  'MsiExec.exe /X{7A1D3C55-2B9E-4F60-8C1A-5D3E9B0F2A47}' \
  "$WPF\\Cobblestone PDF Reader\\Reader\\cobblestone.exe,0"
program HKCU 'CobblestonePDF' 'Cobblestone PDF Reader 9' '9.1' \
  "\"$WPF\\Cobblestone PDF Reader\\uninst.exe\"" ''
program HKCU 'MooncastPlayer' 'Mooncast Player' 'v3.8.1' \
  "$WPF\\Mooncast\\uninst.exe" "$WPF\\Mooncast\\mooncast.exe"
program HKLM 'QuillpadNotes' 'Quillpad Notes' '4.5' "\"$WPF\\Quillpad\\uninstall.exe\"" ''
program HKCU 'Ferncut Video Editor' 'Ferncut Video Editor' '' \
  "$WPF\\Ferncut Video Editor\\uninstall.exe" ''
program HKLM 'Kestrel Internet Security' 'Kestrel Internet Security' '7.0.310' \
  "\"$WPF\\Kestrel\\uninstall.exe\"" ''

# Add/Remove Programs cache record of Quillpad: 552 bytes, the program's path
# at offset 28 (UTF-16, 260 characters). Windows keeps it per user from
# Vista on, per machine before.
path_hex=$(printf '%s' "$WPF\\Quillpad\\quillpad.exe" | iconv -t UTF-16LE | od -An -tx1 |
  tr -d ' \n')
record="28020000010000000000000000000000000000000000000000000000$path_hex"
while [ ${#record} -lt 1104 ]; do record="${record}00"; done
reg_add "HKCU\\$ARPCACHE\\QuillpadNotes" SlowInfoCache "$record" REG_BINARY
reg_add "HKLM\\$ARPCACHE\\QuillpadNotes" SlowInfoCache "$record" REG_BINARY

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
  "$WPF\\Pebble Photo Viewer\\pebble.exe" </dev/null >/dev/null 2>&1
wine cscript //nologo 'C:\make-shortcut.vbs' "$WMENU\\Uninstall.lnk" \
  "$WPF\\Pebble Photo Viewer\\uninstall.exe" </dev/null >/dev/null 2>&1
rm -f "$C/make-shortcut.vbs"
[ -f "$MENU/Pebble Photo Viewer.lnk" ] || echo "shortcut not created" >&2

# Start-menu programs are looked for on Vista-class systems, not on Windows 7
# (Wine's default): the sample host runs as on Vista.
wine reg add 'HKCU\Software\Wine\AppDefaults\tessary_sample.exe' /v Version /d vista /f \
  </dev/null >/dev/null 2>&1
exit 0
