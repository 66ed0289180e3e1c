#!/usr/bin/env bash
# Builds the Windows program (preset win32) and packs the release zip
# dist/tolvex-win64.zip: tolvex.exe, the Japanese guide (UTF-8 with BOM,
# CR LF), the sample command files (Shift_JIS, CR LF) and the files they
# name. Then reads the zip back and checks what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target tolvex
exe=build/win32/src/platform/win32/tolvex.exe

# One static program: nothing but DLLs every Windows ships may be imported
# (secur32 and crypt32 carry SChannel and the certificate store, bcrypt the
# random bytes and SHA-256 of the sign-in in a browser).
system_dlls='kernel32.dll|user32.dll|gdi32.dll|shell32.dll|ws2_32.dll|msvcrt.dll|advapi32.dll|secur32.dll|crypt32.dll|winhttp.dll|bcrypt.dll'
extra=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
        grep -v -x -E "$system_dlls" || true)
if [ -n "$extra" ]; then
  echo "tolvex.exe needs DLLs that Windows does not ship: $extra" >&2
  exit 1
fi

mkdir -p dist
out=dist/tolvex-win64.zip
rm -f "$out"
python3 - "$out" "$exe" <<'PY'
import os
import subprocess
import sys
import zipfile

out, exe = sys.argv[1], sys.argv[2]
entries = [(exe, "tolvex/tolvex.exe"), ("docs/ja/使い方.txt", "tolvex/使い方.txt")]
# Every tracked file under samples/, folders kept (the attachment sample
# names 資料\表.pdf).
tracked = subprocess.run(["git", "ls-files", "-z", "samples"], capture_output=True, check=True)
for p in sorted(tracked.stdout.decode().split("\0")):
    if p:
        entries.append((p, "tolvex/" + p))
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for src, name in entries:
        # Names are stored in UTF-8 (the zip format's flag 0x800), which
        # Windows' own zip folder reads correctly.
        z.write(src, name)

# Read back: every entry is there with the bytes it was made from.
with zipfile.ZipFile(out) as z:
    names = z.namelist()
    problems = [n for s, n in entries if n not in names or z.read(n) != open(s, "rb").read()]
    for need in ("tolvex/tolvex.exe", "tolvex/使い方.txt", "tolvex/samples/command-plain.txt"):
        if need not in names:
            problems.append(need)
    if not z.read("tolvex/tolvex.exe").startswith(b"MZ"):
        problems.append("tolvex.exe is not a Windows program")
    for info in z.infolist():
        print(f"{info.file_size:9d}  {info.filename}")
if problems:
    sys.exit("release zip is missing or differs in: " + ", ".join(problems))
PY
echo "wrote $out"
