#!/usr/bin/env bash
# Set-up for a newcomer on Debian 12: installs what is missing, builds, and then starts the
# tool against the simulated controller (demo), runs the tests (test) or builds the .deb
# (package).
#   ./dev.sh demo     build and start the tool with a simulated controller
#   ./dev.sh test     build and run the whole test suite
#   ./dev.sh package  build build/release/veldoran_<version>_<arch>.deb
# Works as root, and as a normal user with sudo (asked for only when packages are missing).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
          fonts-wine fonts-dejavu-extra qt6-translations-l10n python3-serial)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {  # preset [extra cmake args...]
  local preset=$1; shift
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
}

case "${1:-}" in
  test)
    install_missing
    build debug -DVELDORAN_WERROR=ON
    ctest --preset debug -j "$(nproc)"
    ;;
  demo)
    install_missing
    build release
    exec tools/demo.sh build/release
    ;;
  package)
    PACKAGES+=(dpkg-dev file)  # dpkg-shlibdeps computes the package's Depends; cpack needs file
    install_missing
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$(nproc)" --target veldoran_package_files
    rm -f build/release/veldoran_*.deb
    (cd build/release && cpack -G DEB)
    deb=$(echo build/release/veldoran_*.deb)
    if command -v lintian >/dev/null; then lintian --fail-on error "$deb"; fi
    echo "Built $deb; install it with: sudo apt install ./$deb"
    ;;
  *)
    sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
