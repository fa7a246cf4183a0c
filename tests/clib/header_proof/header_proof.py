#!/usr/bin/env python3
"""Builds the header-proof corpus with every compiler and optimisation level
given, against the engine's C library headers only, and checks that every
reference of the program goes to the engine:

Linux: `nm -u` of the program lists engine exports and a short list of
start-up and compiler helpers, never another C library function and never
a fortified __*_chk variant.
Windows: the program imports no more from msvcrt.dll, and pulls no more
members from the toolchain's archives, than an empty program built the
same way.
Both: every export of the C library is referenced, and the program runs
and passes its own checks.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# Start-up and compiler helpers a Linux program may need besides the engine.
LINUX_ALLOWED = {
    "__libc_start_main", "__cxa_finalize", "__gmon_start__", "_ITM_deregisterTMCloneTable",
    "_ITM_registerTMCloneTable", "__stack_chk_fail", "__cxa_atexit", "exit",
    # clang's own copies of aggregates
    "memcpy", "memset", "memmove",
}
LEVELS = ["-O2", "-O3", "-Os"]


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def clib_exports(table_dir):
    """The C library's export names (libraries clib* and memory)."""
    names = []
    for file in sorted(os.listdir(table_dir)):
        if not file.endswith(".exports"):
            continue
        for line in open(os.path.join(table_dir, file), encoding="utf-8"):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            library, decl, options = [f.strip() for f in line.split("|")]
            if not (library.startswith("clib") or library == "memory") or "test" in options:
                continue
            m = re.search(r"([A-Za-z_][A-Za-z0-9_]*)\s*\(", decl)
            if m.group(1).startswith("_UP_"):
                continue
            names.append(m.group(1))
    return names


def write_table(path, names):
    with open(path, "w", encoding="utf-8") as out:
        out.write('#include "kez/ansi_c.h"\n#include "kez/runtime.h"\n\ntypedef void (*any_function)(void);\n')
        out.write("any_function const kez_header_proof_table[] = {\n")
        for n in names:
            out.write("    (any_function)&%s,\n" % n)
        out.write("    0,\n};\n")


def host_names(path):
    return {l.strip() for l in open(path, encoding="utf-8") if l.strip() and not l.startswith("#")}


def linux_check(exe, nm, engine, problems, tag):
    undefined = set()
    for line in run([nm, "-u", exe]).splitlines():
        name = line.split()[-1].split("@")[0]
        undefined.add(name)
    for name in sorted(undefined):
        if name.endswith("_chk") and name.startswith("__"):
            problems.append("%s: fortified %s" % (tag, name))
        elif name not in engine and name not in LINUX_ALLOWED:
            problems.append("%s: %s is not the engine's" % (tag, name))
    return undefined


def windows_imports(exe, objdump):
    imports, dll = {}, None
    for line in run([objdump, "-p", exe]).splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            imports.setdefault(dll, set())
            continue
        m = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)\s*$", line)
        if m and dll:
            imports[dll].add(m.group(1))
    return imports


def map_members(path):
    members, in_section = set(), False
    for line in open(path, encoding="utf-8", errors="replace"):
        if line.startswith("Archive member included"):
            in_section = True
            continue
        if in_section:
            if line.startswith("Discarded input sections") or line.startswith("Memory Configuration"):
                break
            m = re.match(r"^(\S+\.a)\((\S+)\)", line)
            if m and "kez_dvrt" not in m.group(1):
                members.add(os.path.basename(m.group(1)) + ":" + m.group(2))
    return members


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--platform", required=True, choices=["linux", "windows"])
    ap.add_argument("--compiler", action="append", required=True, help="name=command[,extra flag...]")
    ap.add_argument("--source-dir", required=True)
    ap.add_argument("--lib-dir", required=True)
    ap.add_argument("--table-dir", required=True)
    ap.add_argument("--host-names", required=True)
    ap.add_argument("--manifest", required=True, help="every link name the engine exports")
    ap.add_argument("--tool", required=True, help="nm (Linux) or objdump (Windows)")
    ap.add_argument("--emulator", default="")
    ap.add_argument("--run-dir", default="")
    ap.add_argument("--preload", default="", help="a sanitizer run time the engine needs loaded first")
    args = ap.parse_args()

    src = args.source_dir
    corpus = os.path.join(src, "tests", "clib", "header_proof", "corpus.c")
    names = clib_exports(args.table_dir)
    hosts = host_names(args.host_names)
    links = {("kez_" + n if args.platform == "linux" and n in hosts else n) for n in names}
    engine = {l.strip() for l in open(args.manifest, encoding="utf-8") if l.strip()}
    problems = []
    with tempfile.TemporaryDirectory() as work:
        table = os.path.join(work, "proof_table.c")
        write_table(table, names)
        for compiler in args.compiler:
            name, command = compiler.split("=", 1)
            cc = command.split(",")
            for level in LEVELS:
                tag = "%s %s" % (name, level)
                exe = os.path.join(work, "proof-%s%s%s" % (name, level, ".exe" if args.platform == "windows" else ""))
                # The compilers' default language mode, as programs are built:
                # in a strict mode (-std=c99) gcc emits its sincos under the
                # host's name whatever the header declares.
                flags = [level, "-D_FORTIFY_SOURCE=2", "-Wall", "-Werror", "-Wno-unused-function",
                         "-isystem", os.path.join(src, "include", "kez", "c"),
                         "-I", os.path.join(src, "include"), "-I", os.path.join(src, "src")]
                link = ["-L" + args.lib_dir, "-lkez_dvrt"]
                mapfile = exe + ".map"
                if args.platform == "windows":
                    link.append("-Wl,-Map," + mapfile)
                try:
                    run(cc + flags + [corpus, table, "-o", exe] + link)
                except subprocess.CalledProcessError as e:
                    problems.append("%s: does not build:\n%s" % (tag, e.stderr))
                    continue
                if args.platform == "linux":
                    referenced = linux_check(exe, args.tool, engine, problems, tag)
                else:
                    empty_c = os.path.join(work, "empty.c")
                    with open(empty_c, "w") as f:
                        f.write("int main(void) { return 0; }\n")
                    empty = os.path.join(work, "empty-%s%s.exe" % (name, level))
                    run(cc + [level, empty_c, "-o", empty, "-Wl,-Map," + empty + ".map"])
                    mine, base = windows_imports(exe, args.tool), windows_imports(empty, args.tool)
                    extra = mine.get("msvcrt.dll", set()) - base.get("msvcrt.dll", set())
                    if extra:
                        problems.append("%s: imports from msvcrt.dll: %s" % (tag, " ".join(sorted(extra))))
                    more = map_members(mapfile) - map_members(empty + ".map")
                    if more:
                        problems.append("%s: archive members: %s" % (tag, " ".join(sorted(more))))
                    referenced = mine.get("kez_dvrt.dll", set())
                missing = sorted(l for l in links if l not in referenced)
                if missing:
                    problems.append("%s: exports not referenced: %s" % (tag, " ".join(missing)))
                env = dict(os.environ)
                if args.platform == "linux":
                    env["LD_LIBRARY_PATH"] = args.lib_dir + os.pathsep + env.get("LD_LIBRARY_PATH", "")
                    if args.preload:
                        env["LD_PRELOAD"] = args.preload
                runner = args.emulator.split(";") if args.emulator else []
                if args.platform == "windows":
                    exe_copy = os.path.join(args.run_dir, os.path.basename(exe))
                    subprocess.run(["cp", exe, exe_copy], check=True)
                    exe = exe_copy
                result = subprocess.run(runner + [exe], capture_output=True, text=True, env=env,
                                        cwd=args.run_dir or None, timeout=120)
                if result.returncode != 0:
                    problems.append("%s: the program failed (%d): %s" % (tag, result.returncode, result.stderr.strip()))
                if args.platform == "windows":
                    os.remove(exe)
    for p in problems:
        print(p)
    print("header proof: %d problem(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
