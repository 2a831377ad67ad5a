# Installs the Debian packages named in the arguments that are not installed yet.
# Sourced by the other scripts.
ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The cross compiler that checks that the core builds for Windows (scripts/check-windows),
# and the packages whose headers it is given.
WINDOWS_CHECK_PACKAGES=(g++-mingw-w64-x86-64 nlohmann-json3-dev liburiparser-dev)
BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev libgl-dev nlohmann-json3-dev
  liburiparser-dev libglib2.0-dev)
TEST_PACKAGES=(libgtest-dev googletest xvfb xdotool x11-utils imagemagick dbus nodejs
  libglib2.0-bin librsvg2-bin desktop-file-utils dpkg-dev binutils lintian appstream weston
  qt6-wayland "${WINDOWS_CHECK_PACKAGES[@]}")
BENCH_PACKAGES=(libbenchmark-dev xvfb python3 nodejs libglib2.0-bin)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
PACKAGE_PACKAGES=(librsvg2-bin desktop-file-utils nodejs dpkg-dev binutils)
