#!/usr/bin/env bash
# Formatting and static analysis of the project's C++ code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mapfile -t sources < <(git ls-files '*.cpp' '*.h' | grep -v '^cmake/')
clang-format --dry-run --Werror "${sources[@]}"

mapfile -t library < <(git ls-files 'bridge/*.cpp' 'sspi/*.cpp' 'userauth/*.cpp' 'winutil/*.cpp')
cppcheck --quiet --error-exitcode=1 --std=c++17 --language=c++ --inline-suppr \
  --enable=warning,performance,portability --suppress=missingIncludeSystem \
  -I "$root" -I "$root/winsim/include" "${library[@]}"
echo "code checks passed"
