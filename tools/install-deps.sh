#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages: the
# compilers and libraries, Postfix (the real peer of one test), mutt and
# Node.js (independent readers of the delivered messages), and the
# MinGW-w64 cross compiler, Wine, Xvfb and xdotool for the Windows program.
set -euo pipefail
# With --core only what building and running the Linux program needs (the demo).
pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libasio-dev
      python3)
if [[ ${1:-} != --core ]]; then
  pkgs+=(time postfix mutt nodejs locales g++-mingw-w64-x86-64-win32 wine wine64 xvfb xauth xdotool)
fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}" </dev/null
fi
# The packaged Postfix instance must not hold port 25: the tests run their own.
postfix stop >/dev/null 2>&1 || true
