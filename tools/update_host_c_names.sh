#!/bin/sh
# Regenerates src/exports/host_c_names.txt: every public name that the host C
# and math libraries define. An engine export with one of these names is
# linked as kez_<name> on Linux (see ARCHITECTURE.md).
set -eu
cd "$(dirname "$0")/.."
libdir=/lib/x86_64-linux-gnu
{
  echo "# Public names of the host C and math libraries (tools/update_host_c_names.sh)."
  { nm -D --defined-only "$libdir/libc.so.6"; nm -D --defined-only "$libdir/libm.so.6"; } |
    awk '{print $3}' | sed 's/@.*//' | grep -v -e '^_' -e '^GLIBC_' | sort -u
} > src/exports/host_c_names.txt
