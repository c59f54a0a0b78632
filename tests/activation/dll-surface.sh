#!/bin/sh
# The DLL exports exactly its four entry points, imports only system DLLs and
# carries no C++ library assertions.
OBJDUMP="$1"; DLL="$2"
dump=$("$OBJDUMP" -p "$DLL") || exit 1
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort | tr '\n' ' ')
[ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ] ||
  { echo "unexpected exports: $exports"; exit 1; }
for dll in $(echo "$dump" | sed -n 's/^\s*DLL Name: //p'); do
  case "$(echo "$dll" | tr 'A-Z' 'a-z')" in
    advapi32.dll|kernel32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|shlwapi.dll|shell32.dll|\
    user32.dll|version.dll|gdi32.dll|api-ms-win-*) ;;
    *) echo "unexpected import: $dll"; exit 1 ;;
  esac
done
# The C++ library's checks abort the process they fail in: the tests run with
# them, the shipped DLL goes without (their message would be linked in).
if grep -q "Assertion '%s' failed" "$DLL"; then
  echo "the DLL is built with the C++ library's assertions"; exit 1
fi
echo "exports: $exports"
echo "imports: $(echo "$dump" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')"
