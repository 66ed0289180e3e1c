#!/usr/bin/env bash
# Installs what the tests need, builds every preset that has tests and runs
# them: the debug build (unit, end-to-end and real-server tests), then the
# unit tests again under AddressSanitizer + UndefinedBehaviorSanitizer.
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
# Everything, including the end-to-end tests against real sockets; this
# summary line closes the run.
ctest --preset debug -j 1
