#!/usr/bin/env bash
# Builds a libFuzzer target with clang and runs it, starting from its corpus
# in the source tree (read only: what the run finds goes to a temporary
# directory).
#   run_fuzz.sh <clang++> <build dir> <target> <libFuzzer limit>
#     the limit is -runs=N or -max_total_time=SECONDS
#   run_fuzz.sh <clang++> <build dir> --engine
#     builds the engine as a static library with clang, the sanitizers and
#     the fuzzer's instrumentation, for the targets over the whole engine
#     (run once before them; cmake and ninja come from KEZ_CMAKE or PATH)
set -euo pipefail
clang=$1 build=$2 target=$3
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
mkdir -p "$build"
sanitize=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
engine_build="$build/engine"

if [[ $target == --engine ]]; then
  cmake=${KEZ_CMAKE:-cmake}
  "$cmake" -S "$src" -B "$engine_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="${clang%++}" -DCMAKE_CXX_COMPILER="$clang" \
    -DCMAKE_C_FLAGS="-O1" -DCMAKE_CXX_FLAGS="-O1 -fsanitize=fuzzer-no-link" \
    -DKEZ_SANITIZE=address,undefined -DKEZ_BUILD_TESTS=OFF -DKEZ_BUILD_BENCH=OFF >/dev/null
  "$cmake" --build "$engine_build" --target kez_engine_static -j2
  exit 0
fi

limit=$4
binary="$build/${target}_fuzz"
flags=(-std=c++20 -O1 -g "${sanitize[@]}" -I"$src/src")
case $target in
  strtod)
    "$clang" "${flags[@]}" "$here/strtod_fuzz.cpp" "$src/src/clib/decimal_to_double.cpp" \
      "$src/src/clib/decimal_fast_path.cpp" -o "$binary"
    ;;
  printf_format | printf_conversion | printf_round_trip | scanf | fmt_arg_types | fmt_calls)
    # The engine's exports, linked statically and started by the target.
    checks=print_checks.cpp
    [[ $target == scanf ]] && checks=scan_checks.cpp
    [[ $target == fmt_* ]] && checks=fmt_checks.cpp
    if [[ ! -f $engine_build/libkez_engine_static.a ]]; then
      echo "the engine for the fuzzers is not built: run_fuzz.sh $clang $build --engine" >&2
      exit 2
    fi
    "$clang" "${flags[@]}" -DKEZ_BUILDING_ENGINE -I"$src/include" -I"$src/tests" -DKEZ_FUZZ_CHECK="check_$target" \
      "$here/engine_fuzz.cpp" "$here/$checks" "$engine_build/libkez_engine_static.a" -ldl -lpthread -o "$binary"
    ;;
  *) echo "unknown fuzz target $target" >&2; exit 2 ;;
esac
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
# A failing input is written beside the binary.
"$binary" "$limit" -max_len=600 -seed=1 -print_final_stats=1 -artifact_prefix="$build/${target}-" \
  "$found" "$here/corpus/$target"
