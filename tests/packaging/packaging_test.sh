#!/usr/bin/env bash
# What a user meets after installing, checked on the build:
#   packaging_test.sh command-line VERSION VELDORAN VELDORAN_SIM
#       --version and --help of both programs, without a display
#   packaging_test.sh install-tree VERSION BUILD_DIR PROGRAM...
#       `cmake --install` puts every file where the desktop, man and dpkg look for it, with
#       the project version wherever a version is written
#   packaging_test.sh validators BUILD_DIR
#       the desktop's own validators accept the menu entry and the software-centre listing
#       (skipped, exit 77, when neither desktop-file-validate nor appstreamcli is installed)
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Runs "$@" without any display; prints its standard output, fails on a non-zero exit.
no_display() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" || fail "$* exited with $?"
}

# Installs the build into a fresh folder (removed on exit) as a package build does: prefix /usr.
install_into_tmp() {
  dest=$(mktemp -d)
  trap 'rm -rf "$dest"' EXIT
  DESTDIR=$dest cmake --install "$1" --prefix /usr >/dev/null
}

app_id=pl.morvental.Veldoran

case "$1" in
  command-line)
    version=$2 veldoran=$3 sim=$4
    [ "$(no_display "$veldoran" --version)" = "veldoran $version" ] || fail "veldoran --version"
    [ "$(no_display "$veldoran" -platform xcb -v)" = "veldoran $version" ] ||
      fail "veldoran -v after a Qt option"
    help=$(no_display "$veldoran" --help)
    for word in "Usage: veldoran" --help --version Config.ini dialout; do
      grep -qF -- "$word" <<<"$help" || fail "veldoran --help does not mention $word"
    done
    # An unknown option ends the program before the window, with a message, the usage line and
    # exit code 2, with a display or without one.
    for display in "QT_QPA_PLATFORM=offscreen" "-u QT_QPA_PLATFORM"; do
      set +e
      # shellcheck disable=SC2086 # $display is two words for env
      err=$(env -u DISPLAY -u WAYLAND_DISPLAY $display "$veldoran" --no-such-option 2>&1 >/dev/null)
      code=$?
      set -e
      [ "$code" -eq 2 ] || fail "veldoran --no-such-option ($display) exited with $code"
      grep -qF "Unknown option 'no-such-option'" <<<"$err" || fail "no message for a bad option"
      grep -qF "Usage: veldoran [options]" <<<"$err" || fail "no usage line for a bad option"
    done

    [ "$(no_display "$sim" --version)" = "veldoran-sim $version" ] || fail "veldoran-sim --version"
    no_display "$sim" --help | grep -qF -- --version || fail "veldoran-sim --help lacks --version"
    ;;

  install-tree)
    version=$2 build=$3
    shift 3
    install_into_tmp "$build"
    doc=$dest/usr/share/doc/veldoran
    for file in "usr/share/applications/$app_id.desktop" \
      "usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
      "usr/share/icons/hicolor/48x48/apps/$app_id.png" \
      "usr/share/metainfo/$app_id.metainfo.xml" \
      usr/share/man/man1/veldoran.1.gz usr/share/man/man1/veldoran-sim.1.gz \
      usr/share/doc/veldoran/copyright usr/share/doc/veldoran/changelog.gz \
      usr/share/doc/veldoran/serial-ports.md; do
      [ -f "$dest/$file" ] || fail "$file is not installed"
    done
    for program in "$@"; do
      [ -x "$dest/usr/bin/$program" ] || fail "usr/bin/$program is not installed"
    done
    [ "$(no_display "$dest/usr/bin/veldoran" --version)" = "veldoran $version" ] ||
      fail "the installed veldoran does not run"

    # The menu entry starts an installed program and shows the installed icon; the listing
    # names the menu entry.
    desktop=$dest/usr/share/applications/$app_id.desktop
    exec_line=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    [ -x "$dest/usr/bin/$exec_line" ] || fail "Exec=$exec_line is not an installed program"
    [ "$(sed -n 's/^Icon=//p' "$desktop")" = "$app_id" ] || fail "Icon= is not $app_id"
    grep -qF "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
      "$dest/usr/share/metainfo/$app_id.metainfo.xml" || fail "the listing names another entry"

    # The version is the project's everywhere it is written.
    first=$(zcat "$doc/changelog.gz" | head -n 1)
    [[ $first == "veldoran ($version) "* ]] || fail "changelog starts with: $first"
    release=$(grep -o '<release version="[^"]*"' "$dest/usr/share/metainfo/$app_id.metainfo.xml" |
      head -n 1)
    [ "$release" = "<release version=\"$version\"" ] || fail "newest listed release: $release"
    for page in "$@"; do
      [ -f "$dest/usr/share/man/man1/$page.1.gz" ] || fail "$page has no manual page"
      zcat "$dest/usr/share/man/man1/$page.1.gz" | head -n 1 | grep -qF "\"Veldoran $version\"" ||
        fail "$page.1 does not carry the version"
    done

    # Compressed as Debian asks: gzip, no file name and no time stamp in the header.
    for gz in "$doc/changelog.gz" "$dest"/usr/share/man/man1/*.gz; do
      gzip -t "$gz" || fail "$gz is damaged"
      [ "$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' ')" = 0000000000 ] ||
        fail "$gz carries a name or a time stamp"
    done

    # veldoran-cli's bash completion is where bash-completion loads it from, and its manual
    # page lists every exit code its --help lists.
    if [ -x "$dest/usr/bin/veldoran-cli" ]; then
      [ -f "$dest/usr/share/bash-completion/completions/veldoran-cli" ] ||
        fail "veldoran-cli has no bash completion"
      page=$(zcat "$dest/usr/share/man/man1/veldoran-cli.1.gz")
      for code in $(no_display "$dest/usr/bin/veldoran-cli" --help | sed -n 's/^  \([0-9]\+\) .*/\1/p'); do
        grep -qx "\.B $code" <<<"$page" || fail "veldoran-cli.1 does not list exit code $code"
      done
    fi

    # The simulator's manual page documents every option its --help lists.
    page=$(zcat "$dest/usr/share/man/man1/veldoran-sim.1.gz" | sed 's/\\-/-/g')
    options=$(no_display "$dest/usr/bin/veldoran-sim" --help | grep -o -- '--[a-z]*' | sort -u)
    [ -n "$options" ] || fail "veldoran-sim --help lists no options"
    for option in $options; do
      grep -qF -- "$option" <<<"$page" || fail "veldoran-sim.1 does not document $option"
    done
    ;;

  validators)
    build=$2
    install_into_tmp "$build"
    ran=0
    if command -v desktop-file-validate >/dev/null; then
      desktop-file-validate "$dest/usr/share/applications/$app_id.desktop" ||
        fail "desktop-file-validate"
      ran=1
    fi
    if command -v appstreamcli >/dev/null; then
      appstreamcli validate --no-net "$dest/usr/share/metainfo/$app_id.metainfo.xml" ||
        fail "appstreamcli validate"
      ran=1
    fi
    [ "$ran" -eq 1 ] || { echo "neither desktop-file-validate nor appstreamcli is installed"; exit 77; }
    ;;

  *)
    fail "unknown check $1"
    ;;
esac
echo "ok"
