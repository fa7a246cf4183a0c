#!/usr/bin/env bash
# Builds the engine and runs every test in all three legs: Linux under
# ASan+UBSan, Linux under TSan, and the Windows DLL under Wine. Installs what
# it needs with apt-get when it runs as root; otherwise says what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ python3 binutils libgtest-dev googletest libbenchmark-dev libspdlog-dev libuv1-dev libmimalloc-dev libtbb-dev
          libreaderwriterqueue-dev libfmt-dev tzdata libabsl-dev
          g++-mingw-w64-x86-64-posix wine wine64 ccache
          pkgconf dpkg-dev file unzip lintian clang libclang-rt-dev iproute2 util-linux lrzsz)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing packages: ${missing[*]}" >&2
    echo "install them (sudo apt-get install ${missing[*]}) or run this as root" >&2
    exit 2
  fi
fi

# One Wine prefix for all runs, and a persistent wineserver for this run:
# every test process then starts in a fraction of a second.
export WINEPREFIX="${KEZ_WINEPREFIX:-$HOME/.cache/kez-wine}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=d;mshtml=d"
mkdir -p "$WINEPREFIX"
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  echo "== preparing the Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p 2>/dev/null || true  # one may be running already
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Start Wine's own services now, detached from our output: started by the
# first test they would inherit ctest's pipes and keep ctest waiting.
wineboot </dev/null >/dev/null 2>&1 || true

# The suite must not write into the source tree: what git sees outside
# build/ (ignored files included) is the same before and after the run.
export PYTHONDONTWRITEBYTECODE=1
tree_state() { git status --porcelain --ignored --untracked-files=all 2>/dev/null | grep -v -e ' build/' || true; }
tree_before=$(tree_state)

passed=0
failed=0
failed_legs=()
for leg in asan tsan mingw; do
  echo "== leg $leg: configure and build"
  cmake --preset "$leg" >/dev/null
  cmake --build --preset "$leg"
  echo "== leg $leg: test"
  log="build/$leg/ctest-summary.log"
  set +e
  ctest --preset "$leg" -j2 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [[ -n "$line" ]]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  if [[ $status -ne 0 ]]; then
    failed_legs+=("$leg")
    [[ -z "$line" ]] && failed=$((failed + 1))
  fi
done

# The README's demo command, as a new user runs it, with a time limit: a
# hang fails the run instead of stalling it.
echo "== demo: ./tools/run-demo.sh"
if timeout 300 ./tools/run-demo.sh >build/demo-run.log 2>&1; then
  passed=$((passed + 1))
  tail -n 3 build/demo-run.log
else
  echo "the demo failed or did not finish within 300 s:"
  tail -n 20 build/demo-run.log
  failed=$((failed + 1))
  failed_legs+=("demo")
fi

# The engine as users get it: installed, packaged, and built against.
echo "== install check: ./tools/check-install.sh"
if timeout 900 ./tools/check-install.sh 2>&1 | tee build/install-check.log; then
  passed=$((passed + 1))
else
  echo "the install check failed (build/install-check.log)"
  failed=$((failed + 1))
  failed_legs+=("install")
fi

tree_after=$(tree_state)
if [[ "$tree_after" != "$tree_before" ]]; then
  echo "the test run changed the source tree:"
  diff <(echo "$tree_before") <(echo "$tree_after") || true
  failed=$((failed + 1))
  failed_legs+=("source-tree")
else
  passed=$((passed + 1))
fi

if ((${#failed_legs[@]})); then
  echo "legs with failures: ${failed_legs[*]}"
fi
echo "total: $passed passed, $failed failed"
[[ $failed -eq 0 && ${#failed_legs[@]} -eq 0 ]]
