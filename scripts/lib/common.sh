# Shared by the scripts: installing missing Debian packages and building.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Packages every build needs: the converter process links FFmpeg (with LAME; its filters and
# scaler for videos), libass (subtitles), libvips (with libheif), lcms and libseccomp, the server
# SQLite and libmicrohttpd (its status page); the tests make their songs, photos and videos with
# the ffmpeg, heif-enc and vips command-line tools.
CORE_PACKAGES=(g++ cmake ninja-build libgtest-dev pkgconf libavformat-dev libavcodec-dev
  libavfilter-dev libswscale-dev libswresample-dev libavutil-dev libass-dev libvips-dev
  libheif-dev liblcms2-dev libseccomp-dev libsqlite3-dev libmicrohttpd-dev ffmpeg
  libheif-examples libvips-tools)
# What the console (rureza) and its tests add: Qt 6 Widgets (with Qt Test and the offscreen
# platform the tests and the screenshot tool run on) and a font with Arial's metrics, which the
# window layouts and their artwork are drawn for; a session bus of their own for the automation
# object's test (dbus-run-session).
GUI_PACKAGES=(qt6-base-dev fonts-liberation2 dbus)
# The status page's test in a real browser (skipped without it) and the page's screenshot.
BROWSER_PACKAGES=(chromium)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The reliability report's writer.
REPORT_PACKAGES=(python3)

# True when the named Debian package is installed.
is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Installs the named Debian packages that are not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    is_installed "$package" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}

# configure BUILD_DIR [cmake options...]
configure() {
  local dir="$1"
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}

# build BUILD_DIR [targets...]   (every target when none is named)
build() {
  local dir="$1"
  shift
  if [ $# -gt 0 ]; then
    cmake --build "$dir" --parallel "$(nproc)" --target "$@"
  else
    cmake --build "$dir" --parallel "$(nproc)"
  fi
}

# configure_and_build BUILD_DIR [cmake options...]
configure_and_build() {
  configure "$@"
  build "$1"
}
