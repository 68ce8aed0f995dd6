#!/usr/bin/env bash
# Converts a copy of the sample profile from Windows to Linux and back, and
# shows what each run changed. Usage: demo.sh GEMMEL SAMPLE_FOLDER
set -euo pipefail
gemmel=$1
sample=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/gemmel-demo.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

profile="$scratch/asd6dhre.slt"
mkdir "$profile"
cp "$sample/prefs.js" "$sample/panacea.dat" "$profile/"
windir='d:\documenti\mozilla\default\asd6dhre.slt\'
linuxdir="$profile/"

show() {
  for name in panacea.dat prefs.js; do
    diff -u --label "$name-bak" --label "$name" \
      "$profile/$name-bak" "$profile/$name" || true
  done
}

echo "== gemmel '$windir' '$linuxdir' linux linux"
"$gemmel" "$windir" "$linuxdir" linux linux
show
echo
echo "== gemmel '$windir' '$linuxdir' linux win"
"$gemmel" "$windir" "$linuxdir" linux win
show
