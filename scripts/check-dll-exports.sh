#!/usr/bin/env bash
# Checks the interface of the Windows build of the library: the DLL exports
# exactly the expected JNI natives and nothing else, imports only the system
# DLLs the library is meant to use, is hardened (ASLR with high entropy, NX),
# carries no debug sections, and names the project's version in its version
# resource.
#
# Usage: check-dll-exports.sh DLL [EXPECTED_NATIVES_FILE]
#
# EXPECTED_NATIVES_FILE lists export names, one a line. Without it, the
# expected natives are the ones the library's sources define (bridge/,
# sspi/, userauth/, winutil/), each of which must be declared by the Java
# classes; so the check follows the natives as they are written.
set -euo pipefail

readonly ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly OBJDUMP="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
readonly STRINGS="${STRINGS:-x86_64-w64-mingw32-strings}"
readonly PREFIX=Java_com_corvane_zel_ntseclink_
readonly JAVA_PACKAGE_DIR="$ROOT/java/src/com/corvane/zel/ntseclink"
readonly SOURCE_DIRS=(bridge sspi userauth winutil)
# System DLLs the library may import, lower case; the C runtime besides.
readonly ALLOWED_IMPORTS_RE='^(advapi32|authz|kernel32|netapi32|secur32|shell32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
readonly REQUIRED_DLL_CHARACTERISTICS=(DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT)
# The one declaration of the version: the CMake project's.
VERSION="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$ROOT/CMakeLists.txt")"
readonly VERSION

usage() {
  echo "usage: $0 DLL [EXPECTED_NATIVES_FILE]" >&2
  exit 2
}

# Export names of the natives the Java classes declare.
declared_natives() {
  local class
  for class in SSPI UserAuth WinUtil; do
    sed -nE "s/.*\bnative\s+[][A-Za-z0-9_]+\s+([A-Za-z0-9_]+)\s*\(.*/${PREFIX}${class}_\1/p" \
      "$JAVA_PACKAGE_DIR/$class.java"
  done | sort -u
}

# Export names of the natives the library's sources define.
defined_natives() {
  local dirs=()
  local dir
  for dir in "${SOURCE_DIRS[@]}"; do
    [[ -d "$ROOT/$dir" ]] && dirs+=("$ROOT/$dir")
  done
  ((${#dirs[@]})) || return 0
  grep -rhoE --include='*.cpp' "\b${PREFIX}[A-Za-z]+_[A-Za-z0-9]+\s*\(" "${dirs[@]}" |
    sed -E 's/\s*\($//' | sort -u
}

# Natives defined in the sources, each checked against the Java declarations
# so that a misspelt export name fails here rather than at run time.
expected_from_sources() {
  local undeclared
  undeclared="$(comm -23 <(defined_natives) <(declared_natives))"
  if [[ -n "$undeclared" ]]; then
    echo "natives defined in the sources but not declared in Java:" >&2
    sed 's/^/  /' <<<"$undeclared" >&2
    return 1
  fi
  defined_natives
}

exported_names() {
  "$OBJDUMP" -p "$1" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
    in_table && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next }
    in_table { in_table = 0 }
  ' | sort
}

imported_dlls() {
  "$OBJDUMP" -p "$1" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p' | tr '[:upper:]' '[:lower:]' | sort -u
}

missing_characteristics() {
  local flags flag
  flags="$("$OBJDUMP" -p "$1" | sed -n '/^DllCharacteristics/,/^SizeOf/p')"
  for flag in "${REQUIRED_DLL_CHARACTERISTICS[@]}"; do
    grep -qw "$flag" <<<"$flags" || echo "$flag"
  done
}

debug_sections() {
  "$OBJDUMP" -h "$1" | awk '$2 ~ /^\.debug/ { print $2 }'
}

# The version resource's strings (UTF-16), each name followed by its value.
missing_version_strings() {
  local strings name value
  strings="$("$STRINGS" -el "$1")"
  while read -r name value; do
    grep -A1 -Fx "$name" <<<"$strings" | tail -n +2 | grep -qFx "$value" || echo "$name $value"
  done <<END
FileVersion $VERSION
ProductVersion $VERSION
ProductName ntseclink
OriginalFilename ntseclink.dll
InternalName ntseclink
END
}

report() {
  local title="$1" names="$2"
  [[ -z "$names" ]] && return 0
  echo "$title" >&2
  sed 's/^/  /' <<<"$names" >&2
  return 1
}

main() {
  (($# == 1 || $# == 2)) || usage
  local dll="$1"
  [[ -f "$dll" ]] || { echo "no such file: $dll" >&2; exit 2; }

  local expected exported imports failed=0
  if (($# == 2)); then
    expected="$(grep -vE '^\s*(#|$)' "$2" | sort -u)"
  else
    expected="$(expected_from_sources)"
  fi
  exported="$(exported_names "$dll")"
  imports="$(imported_dlls "$dll")"

  report "expected natives not exported:" "$(comm -23 <(echo "$expected") <(echo "$exported") | sed '/^$/d')" || failed=1
  report "unexpected exports:" "$(comm -13 <(echo "$expected") <(echo "$exported") | sed '/^$/d')" || failed=1
  report "exported more than once:" "$(uniq -d <<<"$exported")" || failed=1
  report "imports outside the allowed system DLLs:" "$(grep -vE "$ALLOWED_IMPORTS_RE" <<<"$imports" || true)" ||
    failed=1
  report "DLL characteristics missing:" "$(missing_characteristics "$dll")" || failed=1
  report "debug sections (the shipped DLL is stripped):" "$(debug_sections "$dll")" || failed=1
  report "version resource lacks:" "$(missing_version_strings "$dll")" || failed=1
  if ((failed)); then
    echo "FAILED: $dll" >&2
    exit 1
  fi
  echo "OK: $dll $VERSION exports $(grep -c . <<<"$exported" || true) natives; imports $(paste -sd ' ' <<<"$imports");" \
    "${REQUIRED_DLL_CHARACTERISTICS[*]}; no debug sections"
}

main "$@"
