#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages: the
# compilers and libraries (OpenSSL for TLS), Postfix and Dovecot (the real
# peers of the SMTP and submission tests), and the MinGW-w64 cross
# compiler, Wine (its SChannel runs on GnuTLS), pyOpenSSL (TLS test peers),
# Xvfb and xdotool for the Windows program, dpkg-dev, file and lintian for
# the Debian package (CPack's dependency scan and the package check) and
# man-db to find its installed man page. Exim and OpenSMTPD (strict peers
# of the end-to-end tests) are unpacked beside Postfix, not installed: see
# the end of this file.
set -euo pipefail
# With --core only what building and running the Linux program needs (the demo).
pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libasio-dev
      libssl-dev libcurl4-openssl-dev libidn2-dev nlohmann-json3-dev python3)
if [[ ${1:-} != --core ]]; then
  pkgs+=(clang-format time postfix dovecot-core openssl locales g++-mingw-w64-x86-64-win32 wine wine64
         libgnutls30 python3-openssl mutt nodejs xvfb xauth xdotool iproute2 dpkg-dev file lintian
         man-db)
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

[[ ${1:-} == --core ]] && exit 0

# Exim and OpenSMTPD: each conflicts with Postfix as the system's MTA, so
# their packages are fetched and unpacked into a private prefix that the
# tests run them from (tests/e2e/strict_peers.py), and only their shared
# libraries are installed as packages. Skipped once unpacked.
peers=${TOLVEX_PEERS:-/var/cache/tolvex-peers}
peer_pkgs=(exim4-daemon-light opensmtpd)
if [[ ! -f $peers/unpacked ]]; then
  rm -rf "$peers"
  mkdir -p "$peers/debs" "$peers/root"
  chown _apt "$peers/debs" 2>/dev/null || true  # apt-get download writes as _apt
  (cd "$peers/debs" && apt-get download "${peer_pkgs[@]}" </dev/null) ||
    { apt-get update -q && (cd "$peers/debs" && apt-get download "${peer_pkgs[@]}" </dev/null); }
  libs=()
  for deb in "$peers"/debs/*.deb; do
    dpkg -x "$deb" "$peers/root"
    # Depends: the lib* packages, without version constraints or
    # alternatives (none of theirs has an alternative library).
    mapfile -t -O "${#libs[@]}" libs < <(dpkg-deb -f "$deb" Depends | tr ',' '\n' |
      sed -E 's/^ *//; s/ *[(|].*//' | grep -E '^lib')
  done
  missing=()
  for p in "${libs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
  fi
  touch "$peers/unpacked"
fi
# The users the two daemons look up by name (Exim at start, OpenSMTPD for
# its privilege-separated processes and their empty chroot folder), as
# their packages' own install scripts would add them.
for u in Debian-exim:/nonexistent opensmtpd:/var/lib/opensmtpd/empty opensmtpq:/var/lib/opensmtpd/empty; do
  getent passwd "${u%%:*}" >/dev/null || useradd -r -U -M -d "${u#*:}" -s /usr/sbin/nologin "${u%%:*}"
done
mkdir -p /var/lib/opensmtpd/empty
