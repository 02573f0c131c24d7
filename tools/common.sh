# Shared by tools/run.sh and tools/test.sh: the Debian packages each needs,
# installing only what is missing, and configuring a build folder.
# Sourced, not run.

# To build and run the program.
# libxcb1-dev: whether an X display opens, asked before Qt starts, and the
# X11 clipboard; libxcb-xfixes0-dev: its changes of owner; librsvg2-bin
# renders the icon theme's PNGs; dpkg-dev's dpkg-shlibdeps lists the package's
# dependencies for cpack -G DEB; libssl-dev for the encrypted link.
ProgramPackages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev libxcb1-dev libxcb-xfixes0-dev librsvg2-bin dpkg-dev
                 fonts-ipafont-gothic libssl-dev)
# On top of those, for the tests: GoogleTest, virtual displays and the X tools the
# end-to-end tests drive (xrdb, in x11-xserver-utils, sets a desktop's
# scale), ss (iproute2) for the soak run's byte counts, clang with its
# sanitizer and fuzzer runtimes, and a Wayland compositor with XWayland,
# native Wayland clipboard tools and Qt's Wayland plugin (present, so that
# the tests show the program does not pick it).
TestPackages=(libgtest-dev xvfb xauth xclip xdotool trayer x11-utils x11-xserver-utils iproute2 socat python3 clang
              libclang-rt-14-dev weston xwayland wl-clipboard qt6-wayland)

RepoRoot=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Build parallelism; the default is one job per core.
Jobs=${TESSARO_JOBS:-$(nproc)}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        sudo "$@"
    fi
}

package_installed() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed$'
}

# Installs whichever of the named packages are missing, with one package-list
# update before the first install and none when nothing is missing.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if ! command -v apt-get >/dev/null; then
        echo "Missing packages and no apt-get to install them: ${missing[*]}" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
}

# configure <build folder> <cmake options...>
configure() {
    local dir=$1
    shift
    cmake -S "$RepoRoot" -B "$dir" -G Ninja "$@"
}
