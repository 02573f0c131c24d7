# Shared by tools/run.sh and tools/test.sh: the Debian packages each needs,
# installing only what is missing, and configuring a build folder.
# Sourced, not run.

# To build and run the program.
# libxcb1-dev: whether an X display opens, asked before Qt starts, and the
# clipboard reader; libxcb-xfixes0-dev: its changes of owner; libwayland-dev
# (with wayland-scanner) for the clipboard through a compositor's
# data-control protocol, and qt6-wayland for the window where such a session
# has no X display; librsvg2-bin renders the icon theme's PNGs; dpkg-dev's
# dpkg-shlibdeps lists the package's dependencies for cpack -G DEB;
# libssl-dev for the encrypted link.
ProgramPackages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev libxcb1-dev libxcb-xfixes0-dev
                 libwayland-dev qt6-wayland librsvg2-bin dpkg-dev fonts-ipafont-gothic libssl-dev)
# On top of those, for the tests: GoogleTest, virtual displays and the X tools the
# end-to-end tests drive (xrdb, in x11-xserver-utils, sets a desktop's
# scale), ss (iproute2) for the soak run's byte counts, clang with its
# sanitizer and fuzzer runtimes, Wayland compositors with XWayland
# (weston, which offers no data-control; sway, which does; weston's demo
# clients hold the focus in sway too), native Wayland clipboard tools, the
# package's checkers (lintian, desktop-file-utils, appstream), and a private
# D-Bus with a mocked logind for resume from suspend.
TestPackages=(libgtest-dev xvfb xauth xclip xdotool trayer x11-utils x11-xserver-utils iproute2 socat python3 clang
              libclang-rt-14-dev weston xwayland wl-clipboard sway lintian desktop-file-utils appstream
              dbus-daemon dbus-bin python3-dbusmock)

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
