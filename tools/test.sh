#!/usr/bin/env bash
# Installs what the tests need, builds every preset that has tests and runs
# them: the layer check, the unit and integration tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, the Windows program under
# Wine, then the debug build's unit, integration, end-to-end and real-server
# (Postfix, Dovecot) tests. Warnings are errors in every build.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

python3 tools/check-layers.py
# Every C++ file as clang-format writes it.
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror

jobs=$(nproc)
cmake --preset debug -DTOLVEX_WERROR=ON >/dev/null
cmake --build --preset debug -j "$jobs"
cmake --preset asan -DTOLVEX_WERROR=ON >/dev/null
cmake --build --preset asan -j "$jobs"

# Sanitizer run of the unit and integration tests (the end-to-end tests run
# the debug binary).
ctest --preset asan -j "$jobs" -L "unit|integration"
# The Windows program: cross-built with MinGW-w64, tested under Wine.
bash tools/test-win.sh
# Everything, including the end-to-end tests against real sockets; this
# summary line closes the run.
ctest --preset debug -j 1
