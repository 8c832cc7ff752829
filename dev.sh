#!/usr/bin/env bash
# Set-up for a newcomer on Debian 12: installs what is missing, builds, and then starts the
# tool against the simulated controller (demo), runs the tests (test), builds the .deb
# (package) or cross-builds the Qt-free layers for Windows and tests them under Wine (windows).
#   ./dev.sh demo     build and start the tool with a simulated controller
#   ./dev.sh test     build and run the whole test suite
#   ./dev.sh package  build build/release/veldoran_<version>_<arch>.deb
#   ./dev.sh windows  cross-build the Qt-free layers for Windows and run their tests under Wine
# Works as root, and as a normal user with sudo (asked for only when packages are missing).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libudev-dev libgtest-dev
          libgmock-dev
          fonts-wine fonts-dejavu-extra qt6-translations-l10n python3-serial
          libqt6sql6-sqlite  # the site database (Veldoran.db) through Qt SQL
          qt6-tools-dev qt6-l10n-tools  # lrelease for veldoran-term's translation
          # the Windows cross build and its tests under Wine (cmake --preset mingw)
          g++-mingw-w64-x86-64-posix googletest wine wine64 locales)

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
  # The Windows tests read Config.ini the way a Polish Windows does (code page 1250), which
  # Wine takes from the Polish locale.
  if ! locale -a 2>/dev/null | grep -qi '^pl_PL\.utf-\?8$'; then
    as_root localedef -i pl_PL -f UTF-8 pl_PL.UTF-8
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
  windows)
    install_missing
    build mingw
    ctest --preset mingw
    ;;
  demo)
    install_missing
    # Only the two programs the demo starts: the tests and benchmarks are not needed for it.
    cmake --preset release >/dev/null
    cmake --build --preset release -j "$(nproc)" --target veldoran veldoran-sim
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
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
