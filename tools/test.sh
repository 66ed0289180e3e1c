#!/usr/bin/env bash
# Installs what the tests need, builds every preset that has tests and runs
# them: the layer check, the unit and integration tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, the Windows program under
# Wine, the debug build's unit, integration, end-to-end and real-server
# (Postfix, Dovecot, Exim, OpenSMTPD) tests, and the Debian package of the
# release build. Warnings are errors in every build.
#
# Most end-to-end cases wait on real time (two-minute time-outs, retries a
# minute apart), so the debug tests run side by side and in the background
# while the other presets build and run; each suite runs in a network
# namespace of its own, so suites that serve on the same loopback address
# never meet. Each phase prints its time.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$SECONDS
phase() { printf '== %s (at %d s)\n' "$*" $((SECONDS - started)); }
# Runs a command in a private network namespace with its own loopback.
isolated() { unshare -n bash -c 'ip link set lo up && exec "$@"' isolated "$@"; }

phase "dependencies"
bash tools/install-deps.sh

python3 tools/check-layers.py
# Every C++ file as clang-format writes it.
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

jobs=$(nproc)
phase "debug build"
cmake --preset debug -DTOLVEX_WERROR=ON >/dev/null
cmake --build --preset debug -j "$jobs"

# Everything, including the end-to-end tests against real sockets; the
# slow cases take most of their time waiting, so they run side by side.
phase "debug tests and the Windows program under Wine (in the background)"
debug_log=$(mktemp /tmp/tolvex-debug-tests.XXXXXX)
win_log=$(mktemp /tmp/tolvex-win-tests.XXXXXX)
isolated ctest --preset debug -j 8 >"$debug_log" 2>&1 &
debug_pid=$!
# The Windows program: cross-built with MinGW-w64, tested under Wine.
isolated bash tools/test-win.sh >"$win_log" 2>&1 &
win_pid=$!
trap 'kill "$debug_pid" "$win_pid" 2>/dev/null || true' EXIT

phase "sanitizer build"
cmake --preset asan -DTOLVEX_WERROR=ON >/dev/null
cmake --build --preset asan -j "$jobs"
# Sanitizer run of the unit and integration tests (the end-to-end tests run
# the debug binary).
phase "sanitizer tests"
status=0
isolated ctest --preset asan -j "$jobs" -L "unit|integration" || status=$?

# The Debian package, while the background tests still run: the release
# build of the program, cpack, lintian (an error fails), then installed on
# this machine: its --version and its man page, and removed again.
phase "Debian package"
package_check() {
  cmake --preset release -DTOLVEX_WERROR=ON >/dev/null &&
    cmake --build --preset release -j "$jobs" --target tolvex tolvex_docs || return
  local version deb out
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
  deb=build/release/tolvex_${version}_amd64.deb
  rm -f "$deb"
  (cd build/release && cpack -G DEB) && ls -l "$deb" &&
    lintian --allow-root --fail-on error "$deb" && dpkg -i "$deb" &&
    out=$(/usr/bin/tolvex --version) && printf '%s\n' "$out" &&
    [[ ${out%%$'\n'*} == "tolvex $version" ]] && man -w tolvex && dpkg -r tolvex >/dev/null
}
package_check || status=$?

phase "waiting for the Windows program's tests"
wait "$win_pid" || status=$?
cat "$win_log"
phase "waiting for the debug tests"
wait "$debug_pid" || status=$?
trap - EXIT
# The debug run's report; its summary line closes the run.
cat "$debug_log"
rm -f "$debug_log" "$win_log"
phase "done"
exit "$status"
