#!/usr/bin/env bash
# Cross-builds the Windows program and its tests with MinGW-w64 and runs
# them under Wine, unattended: the Windows-layer unit tests, the end-to-end
# runs of tolvex.exe against a scripted SMTP server without a display
# (Wine's null graphics driver), and, when Xvfb is there, real clicks on the
# notification-area icon. Ends with "N passed, M failed"; exits non-zero on
# any failure. Every Wine call has a time limit.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/win32

say() { printf '== %s (at %d s)\n' "$*" "$SECONDS"; }

say "build (preset win32, with the Wine tests)"
cmake --preset win32 -DTOLVEX_WIN32_TESTS=ON -DTOLVEX_WERROR=ON >/dev/null || exit 1
cmake --build --preset win32 -j2 --target tolvex tolvex_win32_tests wintool || exit 1
exe=$build/src/platform/win32/tolvex.exe
tests=$build/tests/win32/tolvex_win32_tests.exe
wintool=$build/tests/win32/wintool.exe

say "DLLs tolvex.exe imports"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "$dlls" | tr '\n' ' '; echo

work=$(mktemp -d /tmp/tolvex-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
tls_pid=
cleanup() {
  [ -n "$tls_pid" ] && kill "$tls_pid" 2>/dev/null && wait "$tls_pid" 2>/dev/null
  timeout 20 wineserver -k >/dev/null 2>&1
  timeout 20 wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# Code page 932 and Japanese date formats come from the locale Wine starts in.
if localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8" 2>/dev/null ||
   { mkdir -p "$work/locale" && localedef -i ja_JP -f UTF-8 "$work/locale/ja_JP.UTF-8"; }; then
  export LOCPATH=$work/locale
fi
export LANG=ja_JP.UTF-8

say "Wine prefix"
timeout 300 wineboot -i >/dev/null 2>&1 </dev/null
timeout 60 wineserver -w
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
timeout 60 wineserver -w

passed=0
failed=0
count() {  # count PASSED FAILED
  passed=$((passed + $1))
  failed=$((failed + $2))
}

# Keep one Wine server up for the whole run: programs started side by side
# while a server is still coming up wait on each other.
timeout 20 wineserver -p

say "release zip: imports, resources, contents, manifests, --version, every sample through --check"
# package-win.sh refuses an exe that imports a DLL Windows does not ship or
# lacks its version resource and manifest, and checks what the zip holds.
# The winget and Scoop manifests made from the zip (and those kept in
# packaging/, the hash aside) must name its version, URL and SHA-256. The
# program unzipped as a user would must tell its version, and each sample
# pass --check as command.txt beside the files it names.
if bash tools/package-win.sh >"$work/zip.log" 2>&1; then
  count 1 0
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  zip=dist/tolvex-$version-win64.zip
  grep -E '^wrote dist/tolvex' "$work/zip.log"
  if python3 tools/win-release.py check "$zip" "$version" dist --packaging packaging \
      >"$work/manifests.log" 2>&1; then
    count 1 0
  else
    count 0 1
  fi
  cat "$work/manifests.log"
  rm -rf "$work/zip" && mkdir -p "$work/zip"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$zip" "$work/zip"
  timeout 60 wine "$work/zip/tolvex/tolvex.exe" --version >"$work/version.log" 2>&1 </dev/null
  first=$(head -1 "$work/version.log" | tr -d '\r')
  if [[ $first =~ ^tolvex(\.exe)?\ ([^ ]+)$ && ${BASH_REMATCH[2]} == "$version" ]]; then
    echo "unzipped tolvex.exe --version: $first"; count 1 0
  else
    echo "unzipped tolvex.exe --version says '$first', not tolvex $version"; count 0 1
  fi
  for sample in "$work"/zip/tolvex/samples/command-*.txt; do
    cp "$sample" "$work/zip/tolvex/samples/command.txt"
    if (cd "$work/zip/tolvex/samples" && timeout 120 wine ../tolvex.exe --check >"$work/sample.log" 2>&1); then
      echo "sample $(basename "$sample"): --check passed"; count 1 0
    else
      echo "sample $(basename "$sample"): --check failed"; cat "$work/sample.log"; count 0 1
    fi
  done
  rm -f "$work/zip/tolvex/samples/command.txt"
else
  cat "$work/zip.log"; count 0 1
fi

say "TLS test servers (127.0.0.141-159:4465)"
# Debian's Python with its ssl module and pyOpenSSL, whatever python3 is
# first on PATH. The TLS tests find the CA files through the variables
# below (Wine maps / to Z:).
/usr/bin/python3 tests/win32/tls_server.py --pki "$work/pki" --ready "$work/tls.ready" --limit 900 \
  >"$work/tls.log" 2>&1 </dev/null &
tls_pid=$!
for _ in $(seq 100); do [ -e "$work/tls.ready" ] || ! kill -0 "$tls_pid" 2>/dev/null && break; sleep 0.2; done
if [ -e "$work/tls.ready" ]; then
  head -1 "$work/tls.log" | sed -n '/listening/p'
else
  echo "TLS test servers did not start:"; cat "$work/tls.log"; count 0 1
fi
winpath() { printf 'Z:%s' "${1//\//\\}"; }
export TOLVEX_TLS_CA=$(winpath "$work/pki/ca.pem") TOLVEX_TLS_OTHER_CA=$(winpath "$work/pki/other/ca.pem")

say "unit tests under Wine"
# Output goes to files, not pipes: Wine's own service processes inherit the
# descriptors and would hold a pipe open after the program has ended.
timeout 600 wine "$tests" >"$work/unit.log" 2>&1; rc=$?
out=$(cat "$work/unit.log")
echo "$out" | grep -E '^\[ *(OK|FAILED) *\].*\(|^\[==========\]|PASSED'
ok=$(echo "$out" | grep -c -E '^\[ +OK \] .*\([0-9]+ ms\)')
bad=$(echo "$out" | grep -c -E '^\[ +FAILED +\] .*\([0-9]+ ms\)')
if [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ]; then bad=1; echo "unit test program ended with $rc"; fi
[ "$bad" -eq 0 ] || echo "$out" | grep -a -A8 -E ': Failure.?$' | head -80
count "$ok" "$bad"
kill "$tls_pid" 2>/dev/null; wait "$tls_pid" 2>/dev/null; tls_pid=
[ "$bad" -eq 0 ] || { echo "TLS server log:"; cat "$work/tls.log"; }
# TOLVEX_WIN_ONLY=unit stops here (with GTEST_FILTER to pick tests).
if [ "${TOLVEX_WIN_ONLY:-}" = unit ]; then echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit; fi

say "end-to-end under Wine (no display)"
# e2e_win.py's groups of classes run side by side, each in a network
# namespace of its own with its own copy of the prefix and its own Wine
# server (Wine makes a program's sockets in its server's namespace); one
# after another where namespaces cannot be made. TOLVEX_WIN_E2E="submission.WinOAuth ..."
# runs only those test classes or tests.
e2e_run() {  # e2e_run LOG ARGS...: one e2e_win.py run, its results counted
  local log=$1; shift
  out=$(cat "$log")
  echo "$out" | grep -E ' \.\.\. |^(FAIL|ERROR):|Error|^ended |^class |RESULT'
  res=$(echo "$out" | sed -n 's/^RESULT passed=\([0-9]*\) failed=\([0-9]*\)$/\1 \2/p')
  if [ -n "$res" ]; then count $res; else echo "end-to-end run ended without a result"; count 0 1; fi
  echo "$out" | grep -q '^RESULT passed=[0-9]* failed=0$' || echo "$out" | sed -n '/^=====/,$p' | head -60
}
if [ -n "${TOLVEX_WIN_E2E:-}" ]; then
  # shellcheck disable=SC2086
  timeout 1200 python3 tests/win32/e2e_win.py --exe "$exe" --wintool "$wintool" $TOLVEX_WIN_E2E \
    >"$work/e2e.log" 2>&1
  e2e_run "$work/e2e.log"
else
  groups=$(python3 -c 'import sys; sys.path[:0] = ["tests/win32", "tests/e2e"]; import e2e_win; print(len(e2e_win.GROUPS))')
  if unshare -n true 2>/dev/null; then
    timeout 20 wineserver -k >/dev/null 2>&1; timeout 20 wineserver -w
    pids=()
    for g in $(seq 0 $((groups - 1))); do
      rm -rf "$work/prefix-$g" && cp -a "$WINEPREFIX" "$work/prefix-$g"
      WINEPREFIX=$work/prefix-$g unshare -n bash -c '
          ip link set lo up
          timeout 20 wineserver -p
          timeout 1200 python3 tests/win32/e2e_win.py --exe "$1" --wintool "$2" --group "$3"
          rc=$?
          timeout 20 wineserver -k >/dev/null 2>&1
          exit $rc' _ "$exe" "$wintool" "$g" >"$work/e2e-$g.log" 2>&1 </dev/null &
      pids+=($!)
    done
    wait "${pids[@]}"
    timeout 20 wineserver -p
  else
    for g in $(seq 0 $((groups - 1))); do
      timeout 1200 python3 tests/win32/e2e_win.py --exe "$exe" --wintool "$wintool" --group "$g" \
        >"$work/e2e-$g.log" 2>&1
    done
  fi
  for g in $(seq 0 $((groups - 1))); do e2e_run "$work/e2e-$g.log"; done
fi

if [ -z "${TOLVEX_WIN_E2E:-}" ] && command -v xvfb-run >/dev/null && command -v xdotool >/dev/null; then
  say "notification-area icon under Xvfb"
  timeout 20 wineserver -k >/dev/null 2>&1; timeout 20 wineserver -w
  timeout 60 wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1
  # Without it Shell_NotifyIconA stalls for two seconds looking for a tray.
  timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  timeout 20 wineserver -k >/dev/null 2>&1; timeout 20 wineserver -w
  timeout 600 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
      timeout 20 wineserver -p
      timeout 600 python3 tests/win32/e2e_win.py --tray --exe "$1" --wintool "$2"
      rc=$?
      timeout 20 wineserver -k >/dev/null 2>&1
      exit $rc' _ "$exe" "$wintool" >"$work/tray.log" 2>&1 </dev/null
  rc=$?
  out=$(cat "$work/tray.log")
  echo "$out" | grep -E ' \.\.\. |^(FAIL|ERROR):|Error|^ended |RESULT'
  res=$(echo "$out" | sed -n 's/^RESULT passed=\([0-9]*\) failed=\([0-9]*\)$/\1 \2/p')
  if [ -n "$res" ]; then count $res; else echo "tray run ended with $rc"; count 0 1; fi
  [ "$rc" -eq 0 ] || echo "$out" | sed -n '/^=====/,$p' | head -60
else
  say "no xvfb-run/xdotool: notification-area tests skipped"
fi

say "end"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
