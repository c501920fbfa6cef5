#!/usr/bin/env bash
# One entry point for every developer and CI task. Installs what is missing (Debian packages
# only), configures build/ with CMake and builds with all cores.
#   ./dev.sh demo    build everything and run the main job
#   ./dev.sh test    build and run every test (non-zero exit status on any failure)
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(cmake g++ make pkg-config libzmq3-dev cppzmq-dev nlohmann-json3-dev libgtest-dev libgmock-dev)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_missing() {
    local missing=()
    local p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "dev.sh: installing ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}

configure_and_build() {
    local dir=$1; shift
    cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

cmd=${1:-}
shift || true
case "$cmd" in
    test)
        install_missing "${PACKAGES[@]}"
        configure_and_build "$BUILD_DIR" -DSKYLOOM_WARNINGS_AS_ERRORS=ON
        cd "$BUILD_DIR"
        ctest --output-on-failure -j "$JOBS" "$@"
        ;;
    demo)
        install_missing "${PACKAGES[@]}"
        configure_and_build "$BUILD_DIR"
        lib=$(find "$BUILD_DIR" -name 'libskyloom_analytics_plugin.so' -print -quit)
        if [ -n "$lib" ]; then
            echo "The plugin library is $lib"
        else
            echo "Built the toolkit and the SDK layer in $BUILD_DIR (the plugin library is not built yet)."
        fi
        ;;
    *)
        echo "usage: ./dev.sh demo | test [ctest arguments]" >&2
        exit 2
        ;;
esac
