#!/usr/bin/env python3
"""How often real Shift_JIS text passes the damaged-UTF-8 rule of
LooksLikeDamagedUtf8 (src/encoding/source_text.hpp), mirrored here: read as
UTF-8, each invalid byte skipped, the bytes give at least 8 well-formed
multi-byte sequences and at least 4 for each invalid byte.

The corpus is Japanese text found on the machine, converted to code page 932
(characters it lacks dropped): the message catalogs under
/usr/share/locale/ja/LC_MESSAGES, the manual pages under /usr/share/man/ja
(Debian's manpages-ja adds most) and the ja_JP locale source. Each file is
tested whole, each line with Japanese in it alone, and both again with the
katakana made half-width (bytes 0xA1-0xDF, the likeliest to pair as UTF-8).
Prints the counts; exits 1 when anything is flagged."""

import glob
import gettext
import gzip
import sys
import unicodedata

MIN_SEQUENCES, PER_INVALID = 8, 4


def valid_len(b, p):
    c = b[p]
    if c < 0x80:
        return 1
    n, lo, hi = 0, 0x80, 0xBF
    if 0xC2 <= c <= 0xDF:
        n = 2
    elif 0xE0 <= c <= 0xEF:
        n, lo, hi = 3, (0xA0 if c == 0xE0 else 0x80), (0x9F if c == 0xED else 0xBF)
    elif 0xF0 <= c <= 0xF4:
        n, lo, hi = 4, (0x90 if c == 0xF0 else 0x80), (0x8F if c == 0xF4 else 0xBF)
    if n == 0 or p + n > len(b) or not lo <= b[p + 1] <= hi:
        return 0
    return n if all(0x80 <= x <= 0xBF for x in b[p + 2:p + n]) else 0


def looks_damaged(b):
    sequences = invalid = p = 0
    while p < len(b):
        n = valid_len(b, p)
        invalid += n == 0
        sequences += n > 1
        p += max(n, 1)
    return invalid > 0 and sequences >= MIN_SEQUENCES and sequences >= PER_INVALID * invalid


def texts():
    for mo in sorted(glob.glob("/usr/share/locale/ja/LC_MESSAGES/*.mo")):
        with open(mo, "rb") as f:
            yield mo, "\n".join(v for k, v in gettext.GNUTranslations(f)._catalog.items() if k)
    for man in sorted(glob.glob("/usr/share/man/ja/man*/*")):
        with (gzip.open if man.endswith(".gz") else open)(man, "rb") as f:
            data = f.read()
        try:
            yield man, data.decode("utf-8")
        except UnicodeDecodeError:
            pass
    with open("/usr/share/i18n/locales/ja_JP", encoding="utf-8") as f:
        yield "ja_JP", f.read()


HALF = {unicodedata.normalize("NFKC", chr(c)): chr(c) for c in range(0xFF61, 0xFFA0)}
for c in range(0x30A1, 0x30FB):
    d = unicodedata.normalize("NFD", chr(c))
    if len(d) == 2 and d[0] in HALF:
        HALF[chr(c)] = HALF[d[0]] + ("\uFF9E" if d[1] == "\u3099" else "\uFF9F")
HALF_WIDTH = str.maketrans(HALF)


def main():
    count = {"files": 0, "lines": 0, "bytes": 0, "flagged files": 0, "flagged lines": 0}
    for name, text in texts():
        for variant in (text, text.translate(HALF_WIDTH)):
            data = variant.encode("cp932", errors="ignore")
            count["files"] += 1
            count["bytes"] += len(data)
            if looks_damaged(data):
                count["flagged files"] += 1
                print("flagged:", name)
            for line in data.splitlines():
                if max(line, default=0) < 0x80:
                    continue
                count["lines"] += 1
                if looks_damaged(line):
                    count["flagged lines"] += 1
                    print("flagged line:", name, line.decode("cp932", "replace"))
    print(", ".join(f"{k}: {v}" for k, v in count.items()))
    return 1 if count["flagged files"] or count["flagged lines"] else 0


if __name__ == "__main__":
    sys.exit(main())
