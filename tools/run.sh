#!/usr/bin/env bash
# Installs whatever Debian packages are missing, builds the program into build/
# and starts it; arguments are passed on to it ("/server", "/port:4000"...).
#
# Usage: tools/run.sh [program arguments...]
set -euo pipefail
. "$(dirname "$0")/common.sh"

ensure_packages "${ProgramPackages[@]}"

# Tests are part of the build only where GoogleTest is installed (tools/test.sh
# installs it); the program itself does not need it.
tests=OFF
package_installed libgtest-dev && tests=ON
configure "$RepoRoot/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_TESTS=$tests >/dev/null
# The program and what an install puts beside it (icons, manual page).
ninja -C "$RepoRoot/build" -j "$Jobs" tessaro tessaro_data

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no DISPLAY or WAYLAND_DISPLAY: start it from a desktop session" >&2
    exit 1
fi
exec "$RepoRoot/build/tessaro" "$@"
