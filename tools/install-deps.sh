#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages: the
# compilers and libraries (OpenSSL for TLS), Postfix and Dovecot (the real
# peers of the SMTP and submission tests), and the MinGW-w64 cross
# compiler, Wine (its SChannel runs on GnuTLS), pyOpenSSL (TLS test peers),
# Xvfb and xdotool for the Windows program.
set -euo pipefail
# With --core only what building and running the Linux program needs (the demo).
pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libasio-dev
      libssl-dev libcurl4-openssl-dev nlohmann-json3-dev python3)
if [[ ${1:-} != --core ]]; then
  pkgs+=(clang-format time postfix dovecot-core openssl locales g++-mingw-w64-x86-64-win32 wine wine64
         libgnutls30 python3-openssl mutt nodejs xvfb xauth xdotool)
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
