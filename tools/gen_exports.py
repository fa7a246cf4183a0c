#!/usr/bin/env python3
"""Generates everything that follows from the export table.

The table is the set of files src/exports/table/*.exports, one export a
line:  library | declaration | options
options (comma-separated): `test` (only in builds with test hooks) and
`twin(msg=<message function>)` (a _UP_ twin that reports negative results as
library errors with the message function's text).

Outputs, in --out-dir:
  kez_dvrt.def      Windows module-definition file (--platform windows)
  kez_dvrt.map      Linux version script (--platform linux)
  exports.manifest  the link names the built library must export, sorted
  twins.cpp         the _UP_ twins, and compile-time checks that every
                    export is declared with the table's signature
On Linux a name that the host C library also defines is linked as
kez_<name> (src/exports/host_c_names.txt); on Windows it is exported under
its plain name from the definition kez_<name>. Either way the engine
defines such a function as kez_<name>.
"""
import argparse
import glob
import os
import re
import sys

DECL = re.compile(r"^(?P<ret>.*?)\b(?P<name>\w+)\s*\((?P<params>.*)\)\s*$")
TWIN = re.compile(r"^twin\(msg=(?P<msg>\w+)\)$")


class Export:
    def __init__(self, where, library, decl, options):
        m = DECL.match(decl)
        if not m:
            raise SystemExit(f"{where}: cannot read declaration: {decl}")
        self.library = library
        self.name = m.group("name")
        self.ret = m.group("ret").strip()
        self.params = []  # (type, name)
        params = m.group("params").strip()
        if params != "void":
            for p in params.split(","):
                if p.strip() == "...":
                    self.params.append(("...", ""))
                    continue
                pm = re.match(r"^(.*?)(\w+)\s*$", p.strip())
                if not pm or not pm.group(1).strip():
                    raise SystemExit(f"{where}: parameter without a name in {self.name}: {p.strip()}")
                self.params.append((pm.group(1).strip(), pm.group(2)))
        self.test = False
        self.twin_msg = None
        for opt in [o.strip() for o in options.split(",") if o.strip()]:
            if opt == "test":
                self.test = True
            elif TWIN.match(opt):
                self.twin_msg = TWIN.match(opt).group("msg")
            else:
                raise SystemExit(f"{where}: unknown option {opt}")
        if self.twin_msg and any(t == "..." for t, _ in self.params):
            raise SystemExit(f"{where}: a twin cannot forward the variable arguments of {self.name}")
        if self.twin_msg and self.ret != "int":
            raise SystemExit(f"{where}: a twin reports negative int results; {self.name} returns {self.ret}")

    def function_type(self):
        types = ", ".join(t for t, _ in self.params) or "void"
        return f"{self.ret}({types})"

    def param_list(self):
        return ", ".join(f"{t} {n}" if not t.endswith("*") else f"{t}{n}" for t, n in self.params) or "void"

    def arg_list(self):
        return ", ".join(n for _, n in self.params)


def read_table(table_dir):
    exports = []
    for path in sorted(glob.glob(os.path.join(table_dir, "*.exports"))):
        with open(path) as f:
            for number, line in enumerate(f, 1):
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                parts = [p.strip() for p in line.split("|")]
                if len(parts) != 3:
                    raise SystemExit(f"{path}:{number}: expected 'library | declaration | options'")
                exports.append(Export(f"{path}:{number}", *parts))
    seen = set()
    for e in exports:
        if e.name in seen:
            raise SystemExit(f"export {e.name} is listed twice")
        seen.add(e.name)
    return exports


def read_host_names(path):
    with open(path) as f:
        return {l.strip() for l in f if l.strip() and not l.startswith("#")}


def link_name(name, platform, host_names):
    return f"kez_{name}" if platform == "linux" and name in host_names else name


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path) as f:
            if f.read() == text:
                return
    with open(path, "w") as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--table-dir", required=True)
    ap.add_argument("--host-names", required=True)
    ap.add_argument("--platform", choices=["linux", "windows"], required=True)
    ap.add_argument("--test-hooks", type=int, default=0)
    ap.add_argument("--out-dir", required=True)
    a = ap.parse_args()

    exports = [e for e in read_table(a.table_dir) if a.test_hooks or not e.test]
    host = read_host_names(a.host_names)
    names = []
    for e in exports:
        names.append(e.name)
        if e.twin_msg:
            names.append(f"_UP_{e.name}")
    links = sorted(link_name(n, a.platform, host) for n in names)
    os.makedirs(a.out_dir, exist_ok=True)

    write_if_changed(os.path.join(a.out_dir, "exports.manifest"), "".join(f"{n}\n" for n in links))
    if a.platform == "windows":
        # A C library name is exported from its kez_<name> definition: a
        # definition under the plain name would also capture the engine's own
        # calls of the C runtime (and those of the statically linked C++
        # runtime).
        def def_line(n):
            return f"    {n} = kez_{n}\n" if n in host else f"    {n}\n"
        write_if_changed(os.path.join(a.out_dir, "kez_dvrt.def"),
                         "LIBRARY kez_dvrt.dll\nEXPORTS\n" + "".join(def_line(n) for n in sorted(names)))
    else:
        write_if_changed(os.path.join(a.out_dir, "kez_dvrt.map"),
                         "{\n  global:\n" + "".join(f"    {n};\n" for n in links) + "  local: *;\n};\n")

    out = ["// Generated by tools/gen_exports.py from src/exports/table/*.exports. Do not edit.",
           "#include <type_traits>", "", '#include "core/frame.h"', '#include "exports/twin_messages.h"',
           '#include "kez/kez.h"',
           "#if defined(KEZ_TEST_HOOKS)", '#include "core/test_hooks.h"', "#endif", "",
           "#if defined(_WIN32)", '#define KEZ_TWIN extern "C"', "#else",
           '#define KEZ_TWIN extern "C" __attribute__((visibility("default")))', "#endif", "",
           "// Every export is declared in a header exactly as the table lists it. The",
           "// compiler's own attributes of C library names (malloc, alloc_size) are not",
           "// part of the type.",
           '#pragma GCC diagnostic ignored "-Wignored-attributes"']
    for e in exports:
        out.append(f"static_assert(std::is_same_v<decltype({e.name}), {e.function_type()}>, "
                   f"\"{e.name}: header and export table differ\");")
    out.append("")
    for e in exports:
        if not e.twin_msg:
            continue
        out += [f"KEZ_TWIN int _UP_{e.name}({e.param_list()}) {{",
                f"    const int result = {e.name}({e.arg_list()});",
                f"    if (result < 0) ::kez::core::report_library_error(\"{e.name}\", result, {e.twin_msg}(result));",
                "    return result;", "}", ""]
    write_if_changed(os.path.join(a.out_dir, "twins.cpp"), "\n".join(out) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
