#!/usr/bin/env bash
# Checks the interface of the Windows build of the library: the DLL exports
# exactly the natives the Java classes declare (every one of them, and
# nothing else), imports only the system DLLs the library is meant to use,
# is hardened (ASLR with high entropy, NX), carries no debug sections, and
# names the project's version in its version resource.
#
# Usage: check-dll-exports.sh DLL
set -euo pipefail

readonly ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readonly OBJDUMP="${OBJDUMP:-x86_64-w64-mingw32-objdump}"
readonly STRINGS="${STRINGS:-x86_64-w64-mingw32-strings}"
readonly JAVA_SOURCES="$ROOT/java/ntseclink/src/main/java"
# System DLLs the library may import, lower case; the C runtime besides.
readonly ALLOWED_IMPORTS_RE='^(advapi32|authz|kernel32|netapi32|secur32|shell32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
readonly REQUIRED_DLL_CHARACTERISTICS=(DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT)
# The one declaration of the version: the CMake project's.
VERSION="$(sed -nE 's/^project\(ntseclink VERSION ([0-9.]+).*/\1/p' "$ROOT/CMakeLists.txt")"
readonly VERSION

usage() {
  echo "usage: $0 DLL" >&2
  exit 2
}

# JNI's mangling of a name: "_" becomes "_1", so that it cannot be taken for
# a separator.
jni_mangled() {
  sed 's/_/_1/g'
}

# Export names of the natives the Java classes declare: Java_, the package
# with "_" for ".", the class (the file's), the method.
declared_natives() {
  local file package class method
  grep -rlE --include='*.java' '\bnative\b' "$JAVA_SOURCES" | while read -r file; do
    package="$(sed -nE 's/^package\s+([A-Za-z0-9_.]+)\s*;.*/\1/p' "$file" | jni_mangled | tr . _)"
    class="$(basename "$file" .java | jni_mangled)"
    grep -vE '^\s*(\*|//|/\*)' "$file" |
      sed -nE 's/.*\bnative\s+[][A-Za-z0-9_<>.,?]+\s+([A-Za-z0-9_]+)\s*\(.*/\1/p' |
      while read -r method; do
        echo "Java_${package}_${class}_$(jni_mangled <<<"$method")"
      done
  done | sort -u
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
  (($# == 1)) || usage
  local dll="$1"
  [[ -f "$dll" ]] || { echo "no such file: $dll" >&2; exit 2; }

  local declared exported imports failed=0
  declared="$(declared_natives)"
  exported="$(exported_names "$dll")"
  imports="$(imported_dlls "$dll")"

  if [[ -z "$declared" ]]; then
    echo "no native declared under $JAVA_SOURCES" >&2
    failed=1
  fi
  report "Java natives missing from the DLL:" "$(comm -23 <(echo "$declared") <(sort -u <<<"$exported") | sed '/^$/d')" ||
    failed=1
  report "exports no Java class declares:" "$(comm -13 <(echo "$declared") <(sort -u <<<"$exported") | sed '/^$/d')" ||
    failed=1
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
  echo "OK: $dll $VERSION exports the $(grep -c . <<<"$exported" || true) natives Java declares; imports" \
    "$(paste -sd ' ' <<<"$imports"); ${REQUIRED_DLL_CHARACTERISTICS[*]}; no debug sections"
}

main "$@"
