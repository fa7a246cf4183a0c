#!/usr/bin/env bash
# Installs the engine as a user gets it and builds the examples against the
# installed tree, out of the source tree, every way the README names:
#   Linux:   the CMake package (find_package), pkg-config, and plain flags
#            against the Debian packages unpacked;
#   Windows: the CMake package with the mingw toolchain, and an import
#            library made from the installed .def; run under Wine.
# Also checks the installed layout, the packages' contents, that the engine
# configures with none of the optional tools, and (where lintian is
# installed) that the Debian packages have no lintian errors.
# Called by test-all.sh, which sets up Wine; prints "install check: ok" last.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
work=$(mktemp -d "${TMPDIR:-/tmp}/kez-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "install check: $*" >&2; exit 1; }
need_file() { for f in "$@"; do [[ -e "$f" ]] || fail "missing ${f#"$work"/}"; done; }
# The demo must end well and print its closing line.
run_demo() {
  local log=$work/demo.log
  timeout 120 "$@" >"$log" 2>&1 || { tail -n 20 "$log"; fail "the demo failed: $*"; }
  grep -q "every sample arrived through the queue" "$log" || { tail -n 20 "$log"; fail "the demo did not finish its scans: $*"; }
}
strict=(-Wall -Wextra -Werror -pedantic)

echo "== configure with only a compiler and CMake (no optional package, no Python)"
cmake -S . -B "$work/bare" -DKEZ_BUILD_TESTS=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_spdlog=ON -DCMAKE_DISABLE_FIND_PACKAGE_TBB=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_readerwriterqueue=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DKEZ_CCACHE=KEZ_CCACHE-NOTFOUND >"$work/bare.log" 2>&1 || { cat "$work/bare.log"; fail "bare configure failed"; }

echo "== Linux: build, install, package"
cmake --preset dist >/dev/null
cmake --build --preset dist >/dev/null
lx=$work/linux
cmake --install build/dist --prefix "$lx" >/dev/null
arch=$(gcc -print-multiarch)
libdir=$lx/lib/$arch
version=$(sed -nE 's/^project\(kez_dvrt VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
major=${version%%.*}
need_file "$lx/include/kez/kez.h" "$libdir/libkez_dvrt.so.$version" "$libdir/pkgconfig/kez_dvrt.pc" \
  "$libdir/cmake/kez_dvrt/kez_dvrt-config.cmake" "$libdir/cmake/kez_dvrt/kez_dvrt-config-version.cmake"
[[ $(readlink "$libdir/libkez_dvrt.so") == "libkez_dvrt.so.$major" ]] || fail "libkez_dvrt.so does not link to the SONAME"
[[ $(readlink "$libdir/libkez_dvrt.so.$major") == "libkez_dvrt.so.$version" ]] || fail "the SONAME link is wrong"
readelf -d "$libdir/libkez_dvrt.so.$version" | grep -q "Library soname: \[libkez_dvrt.so.$major\]" ||
  fail "SONAME is not libkez_dvrt.so.$major"
# Every header compiles on its own: none needs a file that is not installed.
for h in "$lx"/include/kez/*.h; do
  printf '#include "kez/%s"\ntypedef int header_compiled;\n' "$(basename "$h")" | cc -x c -std=c99 "${strict[@]}" -I"$lx/include" -fsyntax-only - ||
    fail "installed header $(basename "$h") does not compile alone"
done
# The C library's standard-named headers, as programs include them.
for h in "$lx"/include/kez/c/*.h; do
  printf '#include <%s>\ntypedef int header_compiled;\n' "$(basename "$h")" |
    cc -x c "${strict[@]}" -isystem "$lx/include/kez/c" -I"$lx/include" -fsyntax-only - ||
    fail "installed header c/$(basename "$h") does not compile alone"
done

echo "== Linux: examples through find_package(kez_dvrt)"
cmake -S examples -B "$work/ex-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$lx" >/dev/null
cmake --build "$work/ex-cmake" >/dev/null
run_demo "$work/ex-cmake/kez_demo"

echo "== Linux: examples through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion kez_dvrt) == "$version" ]] || fail "pkg-config reports another version"
# shellcheck disable=SC2046
cc "${strict[@]}" $(pkg-config --cflags kez_dvrt) examples/*.c -o "$work/demo-pc" \
  $(pkg-config --libs kez_dvrt) -lm -Wl,-rpath,"$(pkg-config --variable=libdir kez_dvrt)"
unset PKG_CONFIG_PATH
run_demo "$work/demo-pc"

echo "== Linux: Debian packages"
rm -rf build/dist/packages
(cd build/dist && cpack -G DEB >/dev/null)
lib_deb=$(ls build/dist/packages/libkez-dvrt"$major"_"$version"-*_*.deb)
dev_deb=$(ls build/dist/packages/libkez-dvrt-dev_"$version"-*_*.deb)
dpkg-deb -c "$lib_deb" >"$work/lib.list"
dpkg-deb -c "$dev_deb" >"$work/dev.list"
grep -q "usr/lib/$arch/libkez_dvrt.so.$version\$" "$work/lib.list" || fail "the library package lacks the library"
grep -q "usr/lib/$arch/libkez_dvrt.so -> " "$work/lib.list" && fail "the library package holds the development link"
grep -q "usr/share/doc/libkez-dvrt$major/copyright" "$work/lib.list" || fail "the library package lacks its copyright file"
for f in "usr/lib/$arch/libkez_dvrt.so -> " usr/include/kez/kez.h "usr/lib/$arch/pkgconfig/kez_dvrt.pc" \
         "usr/lib/$arch/cmake/kez_dvrt/kez_dvrt-targets.cmake"; do
  grep -q "$f" "$work/dev.list" || fail "the development package lacks $f"
done
dpkg-deb -f "$dev_deb" Depends | grep -q "libkez-dvrt$major (= $version-" || fail "the development package does not depend on the library"
dpkg-deb -x "$lib_deb" "$work/deb"
dpkg-deb -x "$dev_deb" "$work/deb"
# Plain flags, against the packages' tree.
cc "${strict[@]}" -I"$work/deb/usr/include" examples/*.c -o "$work/demo-plain" \
  -L"$work/deb/usr/lib/$arch" -lkez_dvrt -lm -Wl,-rpath,"$work/deb/usr/lib/$arch"
run_demo "$work/demo-plain"
if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$lib_deb" "$dev_deb" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  grep -q '^E: ' "$work/lintian.log" && fail "lintian reports errors"
fi

echo "== Windows: build, install, package"
cmake --preset dist-mingw >/dev/null
cmake --build --preset dist-mingw >/dev/null
wx=$work/windows
cmake --install build/dist-mingw --prefix "$wx" >/dev/null
need_file "$wx/bin/kez_dvrt.dll" "$wx/lib/libkez_dvrt.dll.a" "$wx/lib/kez_dvrt.def" "$wx/include/kez/kez.h" \
  "$wx/lib/cmake/kez_dvrt/kez_dvrt-config.cmake" "$wx/lib/pkgconfig/kez_dvrt.pc"
# The installed .def names exactly what the DLL exports.
sed -n '/^EXPORTS$/,$p' "$wx/lib/kez_dvrt.def" | tail -n +2 | tr -d ' ' >"$work/def.names"
python3 tools/check_exports.py --lib "$wx/bin/kez_dvrt.dll" --manifest "$work/def.names" \
  --platform windows --tool x86_64-w64-mingw32-objdump >/dev/null || fail "kez_dvrt.def and the DLL's exports differ"
strings -el "$wx/bin/kez_dvrt.dll" | grep -qx "$version" || fail "the DLL's version resource does not say $version"

echo "== Windows: examples through find_package(kez_dvrt), under Wine"
cmake -S examples -B "$work/ex-mingw" -G Ninja --toolchain "$src/cmake/mingw-w64.cmake" \
  -DCMAKE_FIND_ROOT_PATH="$wx" >/dev/null
cmake --build "$work/ex-mingw" >/dev/null
WINEPATH="$wx/bin" run_demo wine "$work/ex-mingw/kez_demo.exe"

echo "== Windows: an import library made from the installed .def, under Wine"
x86_64-w64-mingw32-dlltool -d "$wx/lib/kez_dvrt.def" -l "$work/kez_dvrt_from_def.a"
x86_64-w64-mingw32-gcc-posix "${strict[@]}" -I"$wx/include" examples/*.c "$work/kez_dvrt_from_def.a" \
  -o "$work/demo-def.exe"
cp "$wx/bin/kez_dvrt.dll" "$work/"
run_demo wine "$work/demo-def.exe"

rm -rf build/dist-mingw/packages
(cd build/dist-mingw && cpack -G ZIP >/dev/null)
zip=build/dist-mingw/packages/kez_dvrt-$version-win64.zip
need_file "$zip"
unzip -l "$zip" >"$work/zip.list"
for f in bin/kez_dvrt.dll lib/libkez_dvrt.dll.a lib/kez_dvrt.def include/kez/kez.h lib/cmake/kez_dvrt/kez_dvrt-config.cmake; do
  grep -q "kez_dvrt-$version-win64/$f\$" "$work/zip.list" || fail "the zip lacks $f"
done

echo "install check: ok"
