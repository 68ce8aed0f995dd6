#!/usr/bin/env bash
# Drives the bash completion of gemmel as bash would, word by word, and
# checks what it offers. Usage: completion_test.sh COMPLETION_FILE
set -u
completion=$(realpath "$1")
passed=0
failed=0

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/alpha" "$scratch/beta" "$scratch/with space"
touch "$scratch/a-file"
cd "$scratch" || exit 1

# shellcheck source=/dev/null
source "$completion" || exit 1

# Outside a real completion bash refuses compopt; record what is asked.
compopt() { options="$*"; }

# expect LABEL "OFFERED" WORD...: completes the last WORD of the command line;
# the options asked for follow in brackets.
expect() {
  local label=$1 want=$2
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  options=""
  _gemmel
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
  got+=${options:+ [$options]}
  if [[ $got == "$want" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $label: offered '$got', expected '$want'"
  fi
}

# Folders are completed as file names (quoted, with a slash added).
folders="alpha|beta|with space [-o filenames]"
expect "first word offers --help, --version and folders" \
  "--help|--version|$folders" gemmel ""
expect "first word, a dash" "--help|--version [-o filenames]" gemmel "-"
expect "first word, --v" "--version [-o filenames]" gemmel "--v"
expect "first word, a folder prefix" "alpha [-o filenames]" gemmel "al"
expect "second word offers folders only, no option" "$folders" gemmel x ""
expect "second word, a prefix" "with space [-o filenames]" gemmel x "w"
expect "third word offers the environments" "linux|win" gemmel x y ""
expect "fourth word offers the directions" "win" gemmel x y linux "w"
expect "nothing past the fourth" "" gemmel x y linux win ""

echo "$passed passed, $failed failed"
((failed == 0))
