#!/usr/bin/env bash
# Builds a libFuzzer target with clang and runs it for a bounded number of
# inputs, starting from its corpus in the source tree (read only: what the
# run finds goes to a temporary directory).
#   run_fuzz.sh <clang++> <build dir> <target> <runs>
set -euo pipefail
clang=$1 build=$2 target=$3 runs=$4
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
mkdir -p "$build"
binary="$build/${target}_fuzz"
sources=("$here/${target}_fuzz.cpp")
case $target in
  strtod) sources+=("$src/src/clib/decimal_to_double.cpp" "$src/src/clib/decimal_fast_path.cpp") ;;
  *) echo "unknown fuzz target $target" >&2; exit 2 ;;
esac
"$clang" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$src/src" \
  "${sources[@]}" -o "$binary"
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
"$binary" -runs="$runs" -max_len=600 -seed=1 "$found" "$here/corpus/$target"
