#!/usr/bin/env bash
# Installs what the tests need, builds every preset that has tests and runs
# them: the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# the Windows program under Wine, then the debug build's unit, end-to-end
# and real-server (Postfix) tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=$(nproc)
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

# Sanitizer run of the unit tests (the end-to-end tests run the debug binary).
ctest --preset asan -j "$jobs" -LE e2e
# The Windows program: cross-built with MinGW-w64, tested under Wine.
bash tools/test-win.sh
# Everything, including the end-to-end tests against real sockets; this
# summary line closes the run.
ctest --preset debug -j 1
