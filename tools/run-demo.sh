#!/usr/bin/env bash
# Builds the engine optimised and runs the demo program of examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for tool in cmake ninja g++; do command -v "$tool" >/dev/null || need+=("$tool"); done
if ((${#need[@]})); then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cmake ninja-build g++ >/dev/null
  else
    echo "missing tools: ${need[*]}" >&2
    exit 2
  fi
fi
cmake --preset dist >/dev/null
cmake --build --preset dist --target kez_demo >/dev/null
exec ./build/dist/bin/kez_demo
