#!/usr/bin/env bash
# Builds the Windows program (preset win32) and packs the release:
# dist/tolvex-<version>-win64.zip (tolvex.exe, LICENSE and
# THIRD-PARTY-NOTICES.txt, the Japanese guide (UTF-8 with BOM, CR LF), the
# sample command files (Shift_JIS, CR LF) and the files they name), then
# from it the winget manifests (dist/winget/manifests/t/Tolvex/Tolvex/<version>/)
# and the Scoop manifest (dist/scoop/tolvex.json), which carry the zip's
# SHA-256. The version is project()'s in CMakeLists.txt; the same source
# packs the same zip. With --packaging the manifests also replace those
# kept in packaging/ (for the release commit).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target tolvex
exe=build/win32/src/platform/win32/tolvex.exe
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/win32/CMakeCache.txt)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "no version in build/win32/CMakeCache.txt" >&2; exit 1; }

# One static program: nothing but DLLs every Windows ships may be imported
# (secur32 and crypt32 carry SChannel and the certificate store, bcrypt the
# random bytes and SHA-256 of the sign-in in a browser, normaliz IdnToAscii).
system_dlls='kernel32.dll|user32.dll|gdi32.dll|shell32.dll|ws2_32.dll|msvcrt.dll|advapi32.dll|secur32.dll|crypt32.dll|winhttp.dll|bcrypt.dll|normaliz.dll'
extra=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
        grep -v -x -E "$system_dlls" || true)
if [ -n "$extra" ]; then
  echo "tolvex.exe needs DLLs that Windows does not ship: $extra" >&2
  exit 1
fi
# Its version resource and application manifest, read back from the file.
python3 tools/win-resources.py "$exe" "$version"

mkdir -p dist
rm -rf dist/winget dist/scoop
python3 tools/win-release.py zip "$exe" "$version" dist
zip=dist/tolvex-$version-win64.zip
python3 tools/win-release.py manifests "$zip" "$version" dist
if [[ ${1:-} == --packaging ]]; then
  rm -rf packaging/winget packaging/scoop
  mkdir -p packaging
  cp -r dist/winget dist/scoop packaging/
  echo "packaging/ now holds the manifests of $zip"
fi
