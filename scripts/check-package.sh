#!/usr/bin/env bash
# Builds the Debian package in a configured build folder and checks it: the
# program, the manual page, the completion and the copyright file are
# inside, and lintian finds no error and no warning. Usage: check-package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

if ! log=$(cd "$build" && cpack -G DEB 2>&1); then
  echo "$log"
  exit 1
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$(ls "$build"/gemmel_"${version}"_*.deb)
echo "== $deb"
contents=$(dpkg-deb -c "$deb")
for file in ./usr/bin/gemmel ./usr/share/man/man1/gemmel.1.gz \
  ./usr/share/bash-completion/completions/gemmel \
  ./usr/share/doc/gemmel/copyright; do
  if ! grep -q " $file\$" <<<"$contents"; then
    echo "missing from the package: $file"
    exit 1
  fi
done
dpkg-deb -f "$deb" Package Version Section Depends
echo "== lintian"
# lintian warns when run as root, as CI does; that line is not about the package.
status=0
report=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
grep -v 'running with root privileges' <<<"$report" || true
((status == 0))
echo "package checks clean"
