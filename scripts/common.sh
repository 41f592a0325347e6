# Shared by the scripts: the Debian packages the project needs, installed
# when missing (as root) or named (otherwise).

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build}"

# ensure_packages PKG...: installs what is missing, or names it and stops.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q >/dev/null || true
        apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
    else
        echo "Missing Debian packages: ${missing[*]}" >&2
        echo "Install them with:  sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev qt6-base-dev libcanberra-dev libsqlite3-dev libsystemd-dev libmicrohttpd-dev libisal-dev zlib1g-dev)
TEST_PACKAGES=(iproute2 procps xvfb trayer xdotool x11-utils python3 imagemagick libcap2-bin dbus-daemon dunst systemd prometheus curl)
LINT_PACKAGES=(clang-format-14 clang-tidy-14)

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}
