# Shared by scripts/test, scripts/demo, scripts/bench and scripts/package:
# installs what the build needs, configures and builds both targets, makes the
# installer packages and the host developer's kit, and starts one Xvfb.
set -eu

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_ROOT="${TESSARY_BUILD_ROOT:-$ROOT/build}"
ARCHES="${TESSARY_ARCHES:-x86 x64}"

PACKAGES="cmake ninja-build googletest g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 wine32:i386 \
libwine-dev xvfb xauth nlohmann-json3-dev libcli11-dev python3 python3-jsonschema libxml2-utils wixl msitools \
clang-19 clang-tidy-19 ccache"

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  missing=""
  for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "Installing:$missing"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
  # shellcheck disable=SC2086
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}

build_all() {
  # Paths below the checkout are hashed relative to it, so another clone
  # of the same sources reuses what this machine compiled before.
  export CCACHE_BASEDIR="$ROOT"
  for arch in $ARCHES; do
    dir="$BUILD_ROOT/$arch"
    if [ ! -f "$dir/build.ninja" ]; then
      cmake -S "$ROOT" -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    fi
    cmake --build "$dir"
  done
}

# The installer packages need both builds; with one arch only there are none.
PACKAGED=""
package_all() {
  case " $ARCHES " in *" x86 "*) ;; *) return 0 ;; esac
  case " $ARCHES " in *" x64 "*) ;; *) return 0 ;; esac
  python3 "$ROOT/scripts/make_packages.py" "$ROOT" "$BUILD_ROOT" "$BUILD_ROOT/packages"
  python3 "$ROOT/scripts/make_sdk.py" "$ROOT" "$BUILD_ROOT" "$BUILD_ROOT/packages"
  PACKAGED=1
}

XVFB_PID=""
start_display() {
  if [ -n "${DISPLAY:-}" ] && [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ]; then return 0; fi
  n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  i=0
  while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
}

stop_wine() {
  for arch in $ARCHES; do
    WINEPREFIX="$BUILD_ROOT/$arch/wineprefix" wineserver -k >/dev/null 2>&1 || true
  done
}

cleanup() {
  stop_wine
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
}
