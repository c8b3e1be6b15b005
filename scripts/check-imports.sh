#!/usr/bin/env bash
# Fails unless EXE is an x86-64 Windows GUI program that imports only DLLs every Windows
# installation has: no C++ runtime, libgcc or winpthread DLL next to it. With --stripped it
# must also have no symbol table (release builds).
# Usage: check-imports.sh [--stripped] EXE
set -euo pipefail
stripped=0
exe=
for argument in "$@"; do
  case "$argument" in
    --stripped) stripped=1 ;;
    "") ;;
    *) exe=$argument ;;
  esac
done
[ -n "$exe" ] || { echo "usage: check-imports.sh [--stripped] EXE" >&2; exit 2; }
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# Windows' own DLLs (lower case); api-ms-win-* are the system's API sets.
system_dlls=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll dwmapi.dll gdi32.dll
  imm32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll secur32.dll
  shcore.dll shell32.dll shlwapi.dll ucrtbase.dll user32.dll userenv.dll uxtheme.dll version.dll
  winhttp.dll winmm.dll ws2_32.dll "
system_dlls=" $(tr -s '[:space:]' ' ' <<<"$system_dlls") "

headers=$("$objdump" -p "$exe")
status=0
grep -q 'file format pei-x86-64' <<<"$headers" || { echo "imports: $exe is not an x86-64 PE file" >&2; status=1; }
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || { echo "imports: $exe is not a GUI program" >&2; status=1; }
symbols=$("$objdump" -t "$exe")
if ((stripped)) && grep -q '^\[ *[0-9]' <<<"$symbols"; then
  echo "imports: $exe still has its symbol table (not stripped)" >&2
  status=1
fi

mapfile -t dlls < <(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)
if ((${#dlls[@]} == 0)); then
  echo "imports: no import table found in $exe" >&2
  exit 1
fi
for dll in "${dlls[@]}"; do
  case "$dll" in
    api-ms-win-*.dll) continue ;;
  esac
  if [[ "$system_dlls" != *" $dll "* ]]; then
    echo "imports: $exe imports $dll, which is not a Windows system DLL" >&2
    status=1
  fi
done
((status == 0)) && echo "imports: $(basename "$exe") imports only ${dlls[*]}"
exit $status
