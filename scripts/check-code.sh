#!/usr/bin/env bash
# Formatting, the library's include rule and static analysis of the project's
# C++ code. clang-tidy reads the compile database of the Linux build, so this
# runs after scripts/build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The library's folders and whose headers each may include besides its own:
# dependencies point one way, entry → families → shared rules → bridge.
library_folders=(entry sspi userauth winutil accounts bridge)
declare -A may_include=(
  [entry]="sspi userauth winutil accounts bridge"
  [sspi]="accounts bridge"
  [userauth]="accounts bridge"
  [winutil]="bridge"
  [accounts]="bridge"
  [bridge]=""
)

# Each project include in the library that the table does not allow.
disallowed_includes() {
  local folder hit target
  for folder in "${library_folders[@]}"; do
    while IFS= read -r hit; do
      target=${hit#*#include \"}
      target=${target%%/*}
      if [[ " $folder ${may_include[$folder]} " != *" $target "* ]]; then
        echo "$hit"
      fi
    done < <(git grep -E '^#include "' -- "$folder/")
  done
}

# clang-tidy on the library's sources and its own headers, with .clang-tidy.
run_clang_tidy() {
  local database="$root/build/linux/compile_commands.json" tidy="$root/build/linux/clang-tidy"
  if [[ ! -f "$database" ]]; then
    echo "clang-tidy needs the compile database of the Linux build: run scripts/build.sh first" >&2
    return 1
  fi
  mkdir -p "$tidy"
  # clang does not know GCC's -fno-gnu-unique.
  sed 's/ -fno-gnu-unique//' "$database" >"$tidy/compile_commands.json"
  local headers
  headers="/($(IFS='|' && echo "${library_folders[*]}"))/[^/]+\.h$"
  # Without the count of suppressed warnings each file reports.
  printf '%s\n' "${library[@]}" |
    xargs -P2 -n3 clang-tidy -p "$tidy" --quiet --header-filter="$headers" 2>&1 |
    sed -E '/^[0-9]+ warnings? generated\.$/d'
}

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^cmake/')
clang-format --dry-run --Werror "${sources[@]}"

violations=$(disallowed_includes)
if [[ -n "$violations" ]]; then
  echo "Includes against the direction of the library's dependencies (see the table in $0):" >&2
  echo "$violations" >&2
  exit 1
fi

mapfile -t library < <(git ls-files "${library_folders[@]/%//*.cpp}")
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --inline-suppr \
  --enable=warning,performance,portability --suppress=missingIncludeSystem \
  -I "$root" -I "$root/winsim/include" "${library[@]}"
run_clang_tidy
echo "code checks passed"
