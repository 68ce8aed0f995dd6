#!/usr/bin/env bash
# Static checks: formatting of every C++ file, clang-tidy and cppcheck over
# the program's sources. Needs a configured build folder (for
# compile_commands.json); the default preset's is used unless one is given.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

mapfile -t all < <(git ls-files '*.cpp' '*.h')
mapfile -t sources < <(git ls-files 'src/*.cpp')

echo "== clang-format"
clang-format --dry-run --Werror "${all[@]}"
echo "== clang-tidy"
if ! report=$(clang-tidy -p "$build" --quiet "${sources[@]}" 2>&1); then
  grep -v -E '^[0-9]+ warnings? generated\.$' <<<"$report"
  exit 1
fi
echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 \
  --inline-suppr --error-exitcode=1 --quiet -I src src
echo "static checks clean"
