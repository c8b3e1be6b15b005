#!/usr/bin/env bash
# Fails unless EXE is an x86-64 Windows GUI program that imports only DLLs every Windows
# installation has (no C++ runtime, libgcc or winpthread DLL next to it), and that no DLL it
# needs can be taken from its own folder:
# - its ordinary import table holds only Windows' KnownDLLs (which the loader always takes from
#   the system) and comctl32 (which the manifest binds to the system's side-by-side copy);
# - every other system DLL it uses is delay-loaded, after the program has confined the DLL
#   search to the system folder. GNU ld leaves the exe's delay-import directory empty for
#   dlltool's delay libraries, so with --map the delay-loaded DLLs are read through the link
#   map's __DELAY_IMPORT_DESCRIPTOR_* symbols from the descriptors in the exe itself; the DLLs
#   listed in must_delay below must be among them.
# With --stripped the exe must also have no symbol table (release builds).
# Usage: check-imports.sh [--stripped] [--map MAP] EXE
set -euo pipefail
stripped=0
map=
exe=
while (($#)); do
  case "$1" in
    --stripped) stripped=1 ;;
    --map) map=${2:-}; shift ;;
    "") ;;
    *) exe=$1 ;;
  esac
  shift
done
[ -n "$exe" ] || { echo "usage: check-imports.sh [--stripped] [--map MAP] EXE" >&2; exit 2; }
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# Windows 10's KnownDLLs (lower case), and comctl32, bound by the manifest.
known_dlls=" advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll
  gdiplus.dll imagehlp.dll imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll
  ole32.dll oleaut32.dll psapi.dll rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll
  shlwapi.dll user32.dll wldap32.dll ws2_32.dll comctl32.dll "
# Windows' own DLLs that are not KnownDLLs: these may only be delay-loaded.
other_system_dlls=" bcrypt.dll crypt32.dll dwmapi.dll secur32.dll userenv.dll uxtheme.dll
  rstrtmgr.dll version.dll winhttp.dll winmm.dll "
# What the program uses of those, so that none of them slips back into the ordinary table.
must_delay=" bcrypt.dll rstrtmgr.dll winhttp.dll "
known_dlls=" $(tr -s '[:space:]' ' ' <<<"$known_dlls") "
other_system_dlls=" $(tr -s '[:space:]' ' ' <<<"$other_system_dlls") "

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
    api-ms-win-*.dll) continue ;;  # API sets: resolved by the loader, never searched for
  esac
  if [[ "$known_dlls" == *" $dll "* ]]; then
    continue
  elif [[ "$other_system_dlls" == *" $dll "* ]]; then
    echo "imports: $exe imports $dll directly; it isn't a KnownDLL, so Windows would look for it beside the exe first (delay-load it)" >&2
  else
    echo "imports: $exe imports $dll, which is not a Windows system DLL" >&2
  fi
  status=1
done

# The bytes at a virtual address of the exe, as one hex string.
bytes_at() {
  "$objdump" -s --start-address=$(($1)) --stop-address=$(($1 + $2)) "$exe" |
    awk '/^ [0-9a-f]+ / { hex = substr($0, length($1) + 3, 35); gsub(/ /, "", hex); printf "%s", hex }'
}
# A little-endian 32-bit value from 8 hex digits.
dword() { echo $((16#${1:6:2}${1:4:2}${1:2:2}${1:0:2})); }

delayed=()
if [ -n "$map" ]; then
  [ -f "$map" ] || { echo "imports: no link map $map" >&2; exit 1; }
  image_base=$((16#$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")))
  mapfile -t descriptors < <(awk '$2 ~ /^__DELAY_IMPORT_DESCRIPTOR_/ { print $1 }' "$map")
  for address in "${descriptors[@]}"; do
    descriptor=$(bytes_at "$address" 8)
    # dlltool's descriptors use RVAs (attribute 1); anything else means the map isn't this exe's.
    if [ "${#descriptor}" -ne 16 ] || [ "$(dword "${descriptor:0:8}")" -ne 1 ]; then
      echo "imports: $map doesn't describe $exe (no delay-import descriptor at $address)" >&2
      exit 1
    fi
    name_hex=$(bytes_at $((image_base + $(dword "${descriptor:8:8}"))) 64)
    name=
    for ((i = 0; i < ${#name_hex}; i += 2)); do
      [ "${name_hex:i:2}" = 00 ] && break
      name+=$(printf "\\x${name_hex:i:2}")
    done
    delayed+=("${name,,}")
  done
  for dll in "${delayed[@]}"; do
    if [[ " ${dlls[*]} " == *" $dll "* ]]; then
      echo "imports: $exe imports $dll both directly and delay-loaded" >&2
      status=1
    fi
    if [[ "$known_dlls$other_system_dlls" != *" $dll "* ]]; then
      echo "imports: $exe delay-loads $dll, which is not a Windows system DLL" >&2
      status=1
    fi
  done
  for dll in $must_delay; do
    if [[ " ${delayed[*]} " != *" $dll "* ]]; then
      echo "imports: $exe doesn't delay-load $dll" >&2
      status=1
    fi
  done
fi

if ((status == 0)); then
  echo "imports: $(basename "$exe") imports only ${dlls[*]}"
  [ -n "$map" ] && echo "imports: and delay-loads ${delayed[*]:-nothing}"
fi
exit $status
