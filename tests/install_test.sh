#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what lands there: the
# program, its manual page, its bash completion and its licence, each usable;
# then uninstalls it and checks that the DESTDIR is as it was before.
# Usage: install_test.sh BUILD_DIR VERSION
set -u
build=$1
version=$2
passed=0
failed=0
check() {  # check LABEL COMMAND...
  local label=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $label"
  fi
}

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
# Already there before the install, as on a real system: a folder the install
# puts a file in, left empty, and another package's documentation.
mkdir -p "$dest/usr/local/bin" "$dest/usr/local/share/doc/other"
echo notes >"$dest/usr/local/share/doc/other/README"
before=$(cd "$dest" && find . | sort)
if ! DESTDIR=$dest cmake --install "$build" --prefix /usr/local >/dev/null; then
  echo "0 passed, 1 failed"
  exit 1
fi
root=$dest/usr/local

check "the program is installed and runs" \
  bash -c '[[ -x $0 ]] && [[ $("$0" --help | head -n 1) == Gemmel ]]' \
  "$root/bin/gemmel"
check "--version names the project's version" \
  bash -c '[[ $("$0" --version) == "gemmel $1" ]]' "$root/bin/gemmel" "$version"
check "the manual page is compressed without a timestamp" \
  bash -c 'gzip -t "$0" && [[ $(od -An -tu4 -j4 -N4 "$0" | tr -d " ") == 0 ]]' \
  "$root/share/man/man1/gemmel.1.gz"
check "man -l shows the page" \
  bash -c 'MANWIDTH=80 man -l "$0" 2>/dev/null | grep -q "^SINTASSI"' \
  "$root/share/man/man1/gemmel.1.gz"
check "the manual page's header names the version" \
  bash -c '[[ $1 =~ ^[0-9]+(\.[0-9]+)*$ ]] &&
    zcat "$0" | grep -qx "\.TH GEMMEL 1 \"[^\"]*\" \"gemmel ${1//./\\.}\" .*" &&
    MANWIDTH=80 man -l "$0" 2>/dev/null | tail -n 1 | grep -qw "gemmel ${1//./\\.}"' \
  "$root/share/man/man1/gemmel.1.gz" "$version"
check "the licence is installed with the documentation" \
  bash -c 'grep -q "^License: Expat" "$0/copyright" &&
    grep -q "^MIT License" "$0/LICENSE"' "$root/share/doc/gemmel"
check "the completion is installed where bash-completion looks" \
  bash -c 'source "$0" && complete -p gemmel | grep -q _gemmel' \
  "$root/share/bash-completion/completions/gemmel"

uninstall() {  # uninstall DESTDIR: runs the target, counts a failure
  local log
  if ! log=$(DESTDIR=$1 cmake --build "$build" --target uninstall 2>&1); then
    echo "$log"
    failed=$((failed + 1))
    echo "FAIL the uninstall runs"
  fi
}
uninstall "$dest"
after=$(cd "$dest" && find . | sort)
check "the uninstall removes every file and folder the install created" \
  bash -c '[[ -z $(comm -13 <(echo "$0") <(echo "$1")) ]]' "$before" "$after"
check "the uninstall keeps the folders and files that were there before" \
  bash -c '[[ -z $(comm -23 <(echo "$0") <(echo "$1")) ]]' "$before" "$after"

# Into an empty DESTDIR, twice, as an upgrade does: the second install finds
# every folder there already, yet they are the first one's to remove, up to
# and including the prefix and never the folder above it.
fresh=$dest/fresh
mkdir "$fresh"
for _ in 1 2; do
  DESTDIR=$fresh cmake --install "$build" --prefix /usr/local >/dev/null
done
uninstall "$fresh"
check "after two installs the uninstall stops at the prefix" \
  bash -c '[[ $(cd "$0" && find . | sort) == $(printf ".\n./usr") ]]' "$fresh"

echo "$passed passed, $failed failed"
((failed == 0))
