#!/usr/bin/env python3
"""Compares the symbols a built engine library really exports with the
manifest generated from the export table.

Linux: `nm -D --defined-only` of the shared object; also fails when the
library exports a name that the host C or math library defines (such names
must be linked as kez_<name>).
Windows: the export directory of the DLL as `objdump -p` prints it.
"""
import argparse
import re
import subprocess
import sys


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def linux_exports(lib, nm):
    names = set()
    for line in run([nm, "-D", "--defined-only", lib]).splitlines():
        parts = line.split()
        if len(parts) >= 3:
            names.add(parts[2].split("@")[0])
    return names


def windows_exports(dll, objdump):
    names, in_table = set(), False
    for line in run([objdump, "-p", dll]).splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if m:
                names.add(m.group(1))
            elif line.strip() == "" and names:
                break
    return names


def host_c_names(nm):
    names = set()
    for lib in ("/lib/x86_64-linux-gnu/libc.so.6", "/lib/x86_64-linux-gnu/libm.so.6"):
        for line in run([nm, "-D", "--defined-only", lib]).splitlines():
            parts = line.split()
            if len(parts) >= 3:
                names.add(parts[2].split("@")[0])
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lib", required=True)
    ap.add_argument("--manifest", required=True)
    ap.add_argument("--platform", choices=["linux", "windows"], required=True)
    ap.add_argument("--tool", required=True, help="nm (linux) or objdump (windows)")
    a = ap.parse_args()
    with open(a.manifest) as f:
        expected = {l.strip() for l in f if l.strip()}
    actual = linux_exports(a.lib, a.tool) if a.platform == "linux" else windows_exports(a.lib, a.tool)
    ok = True
    for n in sorted(expected - actual):
        print(f"missing export: {n}")
        ok = False
    for n in sorted(actual - expected):
        print(f"unexpected export: {n}")
        ok = False
    if a.platform == "linux":
        for n in sorted(actual & host_c_names(a.tool)):
            print(f"exports a host C library name: {n}")
            ok = False
    print(f"{len(actual)} exports checked against {len(expected)} in the manifest: {'ok' if ok else 'MISMATCH'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
