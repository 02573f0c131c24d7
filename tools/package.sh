#!/usr/bin/env bash
# Builds the Debian package the way a distribution builds its programs: a
# build folder of its own (build-package/) configured with the compiler and
# linker flags of dpkg-buildflags (hardening included), no tests, then
# cpack -G DEB, which strips the program. Prints the package's path.
#
# Usage: tools/package.sh [build folder]
set -euo pipefail
. "$(dirname "$0")/common.sh"

ensure_packages "${ProgramPackages[@]}"

dir=${1:-$RepoRoot/build-package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CMake takes no CPPFLAGS: the preprocessor's flags (_FORTIFY_SOURCE) go with
# the compiler's. Build type None: the flags are dpkg-buildflags' alone.
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
configure "$dir" -DCMAKE_BUILD_TYPE=None -DTESSARO_TESTS=OFF -DTESSARO_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
ninja -C "$dir" -j "$Jobs" >/dev/null
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/tessaro_*.deb
