#!/usr/bin/env bash
# Builds the Windows program (preset win32) and packs the release zip
# dist/tolvex-win64.zip: tolvex.exe, the Japanese guide (UTF-8 with BOM,
# CR LF) and the sample command files (Shift_JIS, CR LF).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 --target tolvex
exe=build/win32/src/platform/win32/tolvex.exe

# One static program: nothing but system DLLs may be imported.
extra=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
        grep -v -x -E 'kernel32.dll|user32.dll|gdi32.dll|shell32.dll|ws2_32.dll|msvcrt.dll|advapi32.dll' || true)
if [ -n "$extra" ]; then
  echo "tolvex.exe needs DLLs that Windows does not ship: $extra" >&2
  exit 1
fi

mkdir -p dist
out=dist/tolvex-win64.zip
rm -f "$out"
python3 - "$out" "$exe" <<'PY'
import glob
import os
import sys
import zipfile

out, exe = sys.argv[1], sys.argv[2]
entries = [(exe, "tolvex/tolvex.exe"), ("docs/ja/使い方.txt", "tolvex/使い方.txt")]
entries += [(p, "tolvex/samples/" + os.path.basename(p)) for p in sorted(glob.glob("samples/*.txt"))]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    for src, name in entries:
        # Names are stored in UTF-8 (the zip format's flag 0x800), which
        # Windows' own zip folder reads correctly.
        z.write(src, name)
for info in zipfile.ZipFile(out).infolist():
    print(f"{info.file_size:9d}  {info.filename}")
PY
echo "wrote $out"
