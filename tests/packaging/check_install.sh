#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as a customer would:
# the example in examples/c is built once through the CMake package and once
# with pkg-config, both programs mark the same sample picture, and the results
# must decode and differ from the input only where the mark is.
#   check_install.sh BUILD_DIR SOURCE_DIR LIBDIR WORK_DIR CC MAKE_SAMPLE PIXEL_CHECK VERSION
set -euo pipefail
[ $# -eq 8 ] || { echo "usage: check_install.sh BUILD_DIR SOURCE_DIR LIBDIR WORK_DIR CC MAKE_SAMPLE PIXEL_CHECK VERSION" >&2; exit 2; }
build=$1 source=$2 libdir=$3 work=$4 cc=$5 make_sample=$6 pixel_check=$7 version=$8
major=${version%%.*}
prefix="$work/prefix"
fail() { echo "check_install: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

# Exactly these files, and nothing of the tests or the benchmark.
expected="bin/imgwatermark
include/imgwatermark.h
$libdir/cmake/velmora-imgwatermark/velmora-imgwatermark-config-version.cmake
$libdir/cmake/velmora-imgwatermark/velmora-imgwatermark-config.cmake
$libdir/cmake/velmora-imgwatermark/velmora-imgwatermark-targets-relwithdebinfo.cmake
$libdir/cmake/velmora-imgwatermark/velmora-imgwatermark-targets.cmake
$libdir/libvelmora-imgwatermark.so
$libdir/libvelmora-imgwatermark.so.$major
$libdir/libvelmora-imgwatermark.so.$version
$libdir/pkgconfig/velmora-imgwatermark.pc
share/doc/velmora-imgwatermark/LICENSE
share/doc/velmora-imgwatermark/THIRD-PARTY-NOTICES.txt"
found=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
# The per-configuration targets file is named after the build type.
found_norm=$(echo "$found" | sed -E 's|velmora-imgwatermark-targets-[a-z]+\.cmake$|velmora-imgwatermark-targets-relwithdebinfo.cmake|')
expected_sorted=$(echo "$expected" | LC_ALL=C sort)
[ "$found_norm" = "$expected_sorted" ] || fail "installed files differ:
$(diff <(echo "$expected_sorted") <(echo "$found_norm") || true)"
# The licence and the notices are the repository's own files.
for notice in LICENSE THIRD-PARTY-NOTICES.txt; do
  cmp -s "$source/$notice" "$prefix/share/doc/velmora-imgwatermark/$notice" || fail "installed $notice differs from $source/$notice"
done
# The SONAME links.
[ "$(readlink "$prefix/$libdir/libvelmora-imgwatermark.so")" = "libvelmora-imgwatermark.so.$major" ] || fail "bad .so link"
[ "$(readlink "$prefix/$libdir/libvelmora-imgwatermark.so.$major")" = "libvelmora-imgwatermark.so.$version" ] || fail "bad .so.$major link"
soname=$(readelf -d "$prefix/$libdir/libvelmora-imgwatermark.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\].*/\1/p')
[ "$soname" = "libvelmora-imgwatermark.so.$major" ] || fail "SONAME is '$soname'"

# The installed host finds the installed module by itself.
printed=$(env -u LD_LIBRARY_PATH "$prefix/bin/imgwatermark" --version) || fail "installed imgwatermark --version failed"
[ "$printed" = "imgwatermark $version" ] || fail "installed imgwatermark --version printed '$printed'"

"$make_sample" "$work/photo.bmp" "$work/logo.tga" >/dev/null

# CMake package.
cmake -S "$source/examples/c" -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" >"$work/example-cmake.log" 2>&1 || { cat "$work/example-cmake.log"; fail "configuring the example failed"; }
cmake --build "$work/example-cmake" >>"$work/example-cmake.log" 2>&1 || { cat "$work/example-cmake.log"; fail "building the example failed"; }
grep -q "velmora-imgwatermark_DIR:PATH=$prefix/$libdir/cmake/velmora-imgwatermark" "$work/example-cmake/CMakeCache.txt" ||
  fail "the example did not find the package in the fresh prefix"
env -u LD_LIBRARY_PATH "$work/example-cmake/mark" "$work/photo.bmp" "$work/out-cmake.png"

# The version file accepts the same major version only.
for wanted in "$((major - 1)).9" "$((major + 1)).0"; do
  mkdir -p "$work/version-$wanted"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(v LANGUAGES NONE)\nfind_package(velmora-imgwatermark %s CONFIG REQUIRED)\n' \
    "$wanted" >"$work/version-$wanted/CMakeLists.txt"
  if cmake -S "$work/version-$wanted" -B "$work/version-$wanted/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
    fail "find_package accepted version $wanted"
  fi
done

# pkg-config.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion velmora-imgwatermark)" = "$version" ] || fail "pkg-config --modversion"
flags=$(pkg-config --cflags --libs velmora-imgwatermark)
# The .pc file finds the prefix from its own place: its directories must
# resolve to the fresh prefix.
read -r -a words <<<"$flags"
if [ ${#words[@]} -ne 3 ] || [ "${words[0]:0:2}" != -I ] || [ "${words[1]:0:2}" != -L ] ||
   [ "${words[2]}" != -lvelmora-imgwatermark ]; then
  fail "pkg-config flags: $flags"
fi
[ "$(realpath "${words[0]:2}")" = "$(realpath "$prefix/include")" ] || fail "pkg-config -I is not the prefix: $flags"
[ "$(realpath "${words[1]:2}")" = "$(realpath "$prefix/$libdir")" ] || fail "pkg-config -L is not the prefix: $flags"
# shellcheck disable=SC2086 # the flags are words
"$cc" -o "$work/mark-pkgconfig" "$source/examples/c/mark.c" $flags
LD_LIBRARY_PATH="$prefix/$libdir" "$work/mark-pkgconfig" "$work/photo.bmp" "$work/out-pkgconfig.png"

# The mark sits in the top-left corner (20 pixel margin, 40 pixel high
# canvas): every changed pixel lies in the top-left quarter, some do.
for out in out-cmake.png out-pkgconfig.png; do
  [ -s "$work/$out" ] || fail "$out was not written"
  "$pixel_check" "$work/photo.bmp" "$work/$out" 0 0 320 100 || fail "$out: pixels not as expected"
done
cmp "$work/out-cmake.png" "$work/out-pkgconfig.png" || fail "the two builds of the example wrote different files"

# A moved install tree still works: both files find the new place.
mv "$prefix" "$work/moved"
export PKG_CONFIG_PATH="$work/moved/$libdir/pkgconfig"
read -r -a words <<<"$(pkg-config --cflags --libs velmora-imgwatermark)"
[ "$(realpath "${words[0]:2}")" = "$(realpath "$work/moved/include")" ] || fail "pkg-config after the move: ${words[*]}"
[ "$(realpath "${words[1]:2}")" = "$(realpath "$work/moved/$libdir")" ] || fail "pkg-config after the move: ${words[*]}"
cmake -S "$source/examples/c" -B "$work/example-moved" -DCMAKE_PREFIX_PATH="$work/moved" \
      -DCMAKE_C_COMPILER="$cc" >"$work/example-moved.log" 2>&1 || { cat "$work/example-moved.log"; fail "configuring against the moved tree failed"; }
cmake --build "$work/example-moved" >>"$work/example-moved.log" 2>&1 || { cat "$work/example-moved.log"; fail "building against the moved tree failed"; }
env -u LD_LIBRARY_PATH "$work/example-moved/mark" "$work/photo.bmp" "$work/out-moved.png"
cmp "$work/out-cmake.png" "$work/out-moved.png" || fail "the example built against the moved tree wrote a different file"
echo "check_install: passed"
