#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy) over the project's own sources and fails on any
# finding.
#   tools/tidy.sh [build-dir] [file-regex]
# build-dir holds the compile_commands.json of a Linux build (default
# build/dev, configured with the dev preset when missing); file-regex narrows
# the files (default: every source of the library, tests, benchmarks and
# examples the build compiles). CLANG_TIDY picks the binary (default:
# clang-tidy-14, else clang-tidy). Two files are checked at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=${1:-build/dev}
filter=${2:-^$root/(src|tests|bench|examples)/}

clang_tidy=${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || true)}
if [[ -z $clang_tidy ]]; then
  echo "clang-tidy not found (install clang-tidy)" >&2
  exit 2
fi
if [[ ! -f $build/compile_commands.json ]]; then
  [[ $build == build/dev ]] || { echo "no $build/compile_commands.json" >&2; exit 2; }
  cmake --preset dev >/dev/null
fi

# The sources the build compiles, each once.
mapfile -t files < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
                     grep -E "$filter" | sort -u)
if ((${#files[@]} == 0)); then
  echo "no source matches $filter in $build/compile_commands.json" >&2
  exit 2
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$SECONDS
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -n 1 -P 2 "$clang_tidy" -p "$build" --quiet >"$log" 2>&1 || status=$?
# clang-tidy prints each finding with its source line; the counts of
# suppressed warnings in system headers are left out.
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' "$log" || true
if ((status)); then
  echo "tidy: findings in ${#files[@]} files checked ($((SECONDS - start)) s)" >&2
  exit 1
fi
echo "tidy: ${#files[@]} files clean ($((SECONDS - start)) s)"
