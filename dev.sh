#!/usr/bin/env bash
# One entry point for every developer and CI task. Installs what is missing (Debian packages
# only), configures build/ with CMake and builds with all cores.
#   ./dev.sh demo    build everything and run the main job
#   ./dev.sh test    build and run every test (non-zero exit status on any failure)
#   ./dev.sh test --sanitize[=address|thread]
#                    the same suite built with clang under ASan+UBSan (build-asan) and under
#                    TSan (build-tsan); both unless one is named
#   ./dev.sh fuzz [seconds]
#                    build the fuzz targets (clang, libFuzzer, ASan+UBSan) in build-fuzz and run
#                    each for the given time (default 30 s); a finding fails the run
#   ./dev.sh package build the Debian package of the plugin and its tools into build-deb/
#                    (a hardened release build) and check it with lintian
#   ./dev.sh bench [--quick]
#                    build the benchmarks in Release (build-release), run them all (a few
#                    minutes) and print one table of figures, ratios and targets
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}
JOBS=$(nproc 2>/dev/null || echo 2)

# python3-jsonschema: the schema agreement test validates with a real JSON Schema validator.
# python3-prometheus-client: the metrics file test reads the file with Prometheus' own parser.
# prometheus: its promtool lints the metrics file and runs the documented alert (skipped without
# it). Where systemd runs, Debian starts its server too: `systemctl disable --now prometheus`.
# help2man: the manual pages' check makes each tool's page as the package does.
# libcli11-dev: the tools read their command lines with CLI11 (header-only).
# adduser: tests run as root want the receiver's system user, made as the package makes it.
PACKAGES=(cmake g++ make pkg-config libzmq3-dev cppzmq-dev nlohmann-json3-dev libsimdjson-dev
    libseccomp-dev libcli11-dev libgtest-dev libgmock-dev valgrind python3-jsonschema
    python3-prometheus-client prometheus help2man adduser)
# Sanitizer and fuzzing builds: the compiler, its runtimes, and llvm-symbolizer for the reports.
CLANG_PACKAGES=(clang-14 libclang-rt-14-dev llvm-14)
FUZZ_TARGETS=(fuzz_uuid fuzz_text fuzz_settings fuzz_message fuzz_channel fuzz_differential)
BENCH_PACKAGES=(libbenchmark-dev)
PACKAGE_PACKAGES=(dpkg-dev file help2man lintian)

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

# ccache, when the machine has it, for every compiler (not installed: a plain machine builds the
# same without it).
compiler_launcher() {
    if command -v ccache >/dev/null; then
        echo "-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
    fi
}

# The system user that a receiver started by root runs as, made as the package's postinst makes
# it: without it every engine of a test run as root warns that its receiver runs as nobody.
ensure_receiver_user() {
    if [ "$(id -u)" = 0 ] && ! getent passwd skyloom-receiver >/dev/null; then
        echo "dev.sh: adding the system user skyloom-receiver (as the package does)"
        adduser --system --group --quiet --no-create-home --home /nonexistent skyloom-receiver
    fi
}

configure_and_build() {
    local dir=$1; shift
    # shellcheck disable=SC2046 # the launcher options are words
    cmake -S "$ROOT" -B "$dir" $(compiler_launcher) "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

# Runs ctest in the build directory $1 with $2 parallel jobs (the rest: ctest's arguments) and
# adds its counts to TOTAL_PASSED, TOTAL_FAILED and TOTAL_SKIPPED (read from its JUnit report);
# returns ctest's status.
TOTAL_PASSED=0
TOTAL_FAILED=0
TOTAL_SKIPPED=0
BUILDS_FAILED=()
run_ctest() {
    local dir=$1 jobs=$2; shift 2
    local report=$dir/ctest-report.xml
    rm -f "$report"
    local status=0
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --output-junit "$report" "$@") \
        || status=$?
    local tests=0 failures=0 skipped=0
    if [ -f "$report" ]; then
        local header
        header=$(tr '\n\t' '  ' <"$report" | grep -m1 -o '<testsuite [^>]*>' || true)
        tests=$(sed -n 's/.* tests="\([0-9]*\)".*/\1/p' <<<"$header")
        failures=$(sed -n 's/.* failures="\([0-9]*\)".*/\1/p' <<<"$header")
        skipped=$(sed -n 's/.* skipped="\([0-9]*\)".*/\1/p' <<<"$header")
    fi
    TOTAL_PASSED=$((TOTAL_PASSED + ${tests:-0} - ${failures:-0} - ${skipped:-0}))
    TOTAL_FAILED=$((TOTAL_FAILED + ${failures:-0}))
    TOTAL_SKIPPED=$((TOTAL_SKIPPED + ${skipped:-0}))
    # A run that ended without its report (a crash of ctest, a build failure) is a failure.
    if [ "$status" -ne 0 ] && [ "${failures:-0}" -eq 0 ]; then
        TOTAL_FAILED=$((TOTAL_FAILED + 1))
    fi
    return "$status"
}

# The closing line, last of all: what a reader and CI's log see without scrolling.
print_totals() {
    local line="$TOTAL_PASSED passed, $TOTAL_FAILED failed"
    if [ "$TOTAL_SKIPPED" -gt 0 ]; then
        line+=" ($TOTAL_SKIPPED skipped)"
    fi
    if [ ${#BUILDS_FAILED[@]} -gt 0 ]; then
        line+="; not built: ${BUILDS_FAILED[*]}"
    fi
    echo "$line"
}

# Runs a command and tells how long it took (CI keeps an eye on its time budget).
timed() {
    local caption=$1; shift
    local start=$SECONDS
    local status=0
    "$@" || status=$?
    echo "dev.sh: $caption took $((SECONDS - start)) s"
    return "$status"
}

# Clang builds fail on a warning as the g++ build does, and check the annotated locks besides
# (-Wthread-safety, added for clang in CMakeLists.txt).
# The compilers by the full path that PATH gives at this point (llvm-14/bin first, see
# export_sanitizer_options), which is the path CMake itself would find and remember: a name that
# differs from the remembered path makes CMake wipe the cache on the next run, and
# -DSKYLOOM_SANITIZE with it. Not the symbolic links' targets: clang++-14 points to clang, which
# under that name does not link C++.
configure_clang() {
    local dir=$1; shift
    # shellcheck disable=SC2046 # the launcher options are words
    cmake -S "$ROOT" -B "$dir" $(compiler_launcher) -DCMAKE_C_COMPILER="$(command -v clang-14)" \
        -DCMAKE_CXX_COMPILER="$(command -v clang++-14)" \
        -DSKYLOOM_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
}

# Every report stops the process with an error status, with symbolised stacks.
export_sanitizer_options() {
    export PATH="/usr/lib/llvm-14/bin:$PATH" #< llvm-symbolizer
    local asan=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
    export ASAN_OPTIONS=${ASAN_OPTIONS:-$asan}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    # libzmq is not built with TSan: its threads hand messages and descriptors over through its
    # own lock-free queues, out of TSan's sight, so what it does inside is not judged.
    local tsan=halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1
    export TSAN_OPTIONS=${TSAN_OPTIONS:-$tsan}
}

# The lintian tags that the package carries knowingly (docs/installing.md says why): the
# binaries keep their .comment section (informational), and the receiver is an executable
# under /usr/lib, where the plugin finds it beside itself (experimental).
LINTIAN_ACCEPTED=(binary-has-unneeded-section executable-in-usr-lib)

# Fails on any lintian tag of the package $1 but those accepted, down to pedantic,
# informational and experimental ones; lintian's own failure (it could not check) fails too.
check_package() {
    local deb=$1
    local accepted
    accepted=$(IFS=,; echo "${LINTIAN_ACCEPTED[*]}")
    echo "dev.sh: lintian (every tag fails the package but: ${accepted}):"
    if ! lintian --pedantic --display-info --display-experimental \
        --fail-on error,warning,info,pedantic,experimental --suppress-tags "$accepted" \
        "$deb"; then
        echo "dev.sh: lintian found tags in $deb (above)" >&2
        return 1
    fi
}

# Proves that check_package can fail: a copy of the package $1 with one tag injected (its
# README made executable: executable-not-elf-or-script) must be refused.
check_package_fails_on_injected_tag() {
    local deb=$1
    local work
    work=$(mktemp -d)
    dpkg-deb -R "$deb" "$work/tree"
    chmod +x "$work/tree/usr/share/doc/skyloom-analytics-plugin/README.md"
    dpkg-deb --root-owner-group -b "$work/tree" "$work/injected.deb" >/dev/null
    local status=0
    check_package "$work/injected.deb" >"$work/lintian.txt" 2>&1 || status=$?
    if [ "$status" -eq 0 ] || ! grep -q executable-not-elf-or-script "$work/lintian.txt"; then
        cat "$work/lintian.txt"
        rm -rf "$work"
        echo "dev.sh: the lintian check passed a package with an injected tag" >&2
        return 1
    fi
    rm -rf "$work"
    echo "dev.sh: the lintian check refuses a copy with an injected tag, as it must"
}

# $1: address or thread; the rest goes to ctest.
sanitized_suite() {
    local kind=$1; shift
    local dir=$ROOT/build-asan
    [ "$kind" = thread ] && dir=$ROOT/build-tsan
    configure_clang "$dir" -DSKYLOOM_SANITIZE="$kind"
    if ! timed "build ($kind sanitizer)" cmake --build "$dir" -j "$JOBS"; then
        BUILDS_FAILED+=("$kind")
        return 1
    fi
    # One test per core: the sanitizers' slowdown leaves no idle time to share.
    timed "ctest ($kind sanitizer)" run_ctest "$dir" "$JOBS" "$@"
}

cmd=${1:-}
shift || true
case "$cmd" in
    test)
        sanitizers=()
        case "${1:-}" in
            --sanitize) sanitizers=(address thread); shift ;;
            --sanitize=address|--sanitize=thread) sanitizers=("${1#--sanitize=}"); shift ;;
            --sanitize=*) echo "dev.sh: unknown sanitizer ${1#--sanitize=}" >&2; exit 2 ;;
        esac
        if [ ${#sanitizers[@]} -gt 0 ]; then
            install_missing "${PACKAGES[@]}" "${CLANG_PACKAGES[@]}"
            ensure_receiver_user
            export_sanitizer_options
            status=0
            for kind in "${sanitizers[@]}"; do
                sanitized_suite "$kind" "$@" || status=1
            done
            print_totals
            exit "$status"
        fi
        install_missing "${PACKAGES[@]}"
        ensure_receiver_user
        timed "build" configure_and_build "$BUILD_DIR" -DSKYLOOM_WARNINGS_AS_ERRORS=ON
        status=0
        # Twice as many tests as cores: most of their time is spent waiting for the plugin, and
        # each takes ports and a directory of its own.
        timed "ctest" run_ctest "$BUILD_DIR" "$((JOBS * 2))" "$@" || status=1
        print_totals
        exit "$status"
        ;;
    fuzz)
        seconds=${1:-30}
        install_missing "${PACKAGES[@]}" "${CLANG_PACKAGES[@]}"
        export_sanitizer_options
        fuzz_dir=$ROOT/build-fuzz
        configure_clang "$fuzz_dir" -DSKYLOOM_SANITIZE=address -DSKYLOOM_FUZZ=ON \
            -DSKYLOOM_BUILD_TESTS=OFF
        timed "build (fuzz targets)" \
            cmake --build "$fuzz_dir" -j "$JOBS" --target "${FUZZ_TARGETS[@]}"
        for target in "${FUZZ_TARGETS[@]}"; do
            timed "$target ($seconds s)" "$fuzz_dir/fuzz/run-$target.sh" "$seconds"
        done
        ;;
    demo)
        install_missing "${PACKAGES[@]}"
        cmake -S "$ROOT" -B "$BUILD_DIR" >/dev/null
        cmake --build "$BUILD_DIR" -j "$JOBS" \
            --target skyloom_analytics_plugin skyloom-host skyloom-publish skyloom-capture
        "$ROOT/tools/run-demo.sh" "$BUILD_DIR"
        ;;
    package)
        # A release build with the distribution's hardening flags (stack protector, fortified
        # functions, read-only relocations bound at load time) in build-deb; dpkg-shlibdeps
        # (dpkg-dev) and file compute the run-time dependencies, help2man makes the manual
        # pages, lintian judges the result (see docs/installing.md).
        install_missing "${PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        deb_dir=$ROOT/build-deb
        export DEB_BUILD_MAINT_OPTIONS=hardening=+all
        cppflags=$(dpkg-buildflags --get CPPFLAGS)
        cmake -S "$ROOT" -B "$deb_dir" -DCMAKE_BUILD_TYPE=Release -DSKYLOOM_BUILD_TESTS=OFF \
            -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
            -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
            -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
            -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
        cmake --build "$deb_dir" -j "$JOBS" --target skyloom_analytics_plugin skyloom-host \
            skyloom-publish skyloom-capture skyloom_package_files
        rm -f "$deb_dir"/*.deb
        (cd "$deb_dir" && cpack -G DEB)
        deb=$(ls -t "$deb_dir"/*.deb | head -n 1)
        dpkg-deb -I "$deb"
        dpkg-deb -c "$deb"
        check_package "$deb"
        check_package_fails_on_injected_tag "$deb"
        echo "The package is $deb"
        ;;
    bench)
        install_missing "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
        bench_dir=$ROOT/build-release
        cmake -S "$ROOT" -B "$bench_dir" -DCMAKE_BUILD_TYPE=Release -DSKYLOOM_BUILD_TESTS=OFF \
            >/dev/null
        timed "build (benchmarks)" cmake --build "$bench_dir" -j "$JOBS" --target skyloom_benchmarks
        timed "benchmarks" "$ROOT/bench/run-benchmarks.sh" "$bench_dir" "$@"
        ;;
    *)
        echo "usage: ./dev.sh demo | test [--sanitize[=address|thread]] [ctest arguments]" \
            "| fuzz [seconds] | package | bench [--quick]" >&2
        exit 2
        ;;
esac
