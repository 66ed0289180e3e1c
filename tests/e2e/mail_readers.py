"""Readers of delivered messages that are not ours: Python's email package,
with its own ISO-2022-JP codec or with one that reads the vendor rows as
code page 932 readers do; the WHATWG ISO-2022-JP decoder of Node.js (the
one Thunderbird and browsers implement); and mutt, driven headless."""

import codecs
import contextlib
import email
import email.header
import email.policy
import encodings
import json
import os
import shutil
import subprocess
import tempfile
import time


def parse(path):
    with open(path, "rb") as f:
        return email.message_from_bytes(f.read(), policy=email.policy.default)


def _jis_to_sjis(j1, j2):
    s1 = (j1 + 1) // 2 + (0x70 if j1 <= 0x5E else 0xB0)
    s2 = j2 + (0x1F if j2 <= 0x5F else 0x20) if j1 % 2 else j2 + 0x7E
    return bytes([s1, s2])


def _cp5022x_decode(data, errors="strict"):
    """ISO-2022-JP read as Windows does: every JIS row, 13 and 89-92
    included, through code page 932 (Python's cp932 table)."""
    data = bytes(data)
    out, two, i = bytearray(), False, 0
    while i < len(data):
        esc = data[i:i + 3]
        if esc in (b"\x1b$B", b"\x1b$@", b"\x1b(B", b"\x1b(J"):
            two = esc[1] == ord("$")
            i += 3
        elif two and i + 1 < len(data):
            out += _jis_to_sjis(data[i], data[i + 1])
            i += 2
        else:
            out.append(data[i])
            i += 1
    return out.decode("cp932", errors), len(data)


def _cp5022x_search(name):
    if name.replace("-", "_") != "iso_2022_jp":
        return None
    return codecs.CodecInfo(name="iso2022_jp", encode=codecs.lookup("iso2022_jp").encode,
                            decode=_cp5022x_decode)


@contextlib.contextmanager
def cp5022x_iso2022jp():
    """Within: "iso-2022-jp" decodes as code page 50220/50221 do. The
    standard search function is put back behind ours, then restored."""
    codecs.unregister(encodings.search_function)
    codecs.register(_cp5022x_search)
    codecs.register(encodings.search_function)
    try:
        yield
    finally:
        codecs.unregister(_cp5022x_search)  # also empties the codec cache


def whatwg_decode(chunks):
    """Decodes [(bytes, charset)] with Node's TextDecoder, one string each."""
    script = ("const c = JSON.parse(require('fs').readFileSync(0, 'utf8'));"
              "console.log(JSON.stringify(c.map(([h, cs]) =>"
              " new TextDecoder(cs, {fatal: true}).decode(Buffer.from(h, 'hex')))));")
    payload = json.dumps([[b.hex(), cs] for b, cs in chunks])
    res = subprocess.run(["node", "-e", script], input=payload.encode(), capture_output=True,
                         timeout=60)
    if res.returncode != 0:
        raise AssertionError("node: " + res.stderr.decode("utf-8", "replace"))
    return json.loads(res.stdout)


def whatwg_header(raw):
    """A header's value decoded: email.header splits the encoded words,
    Node decodes their ISO-2022-JP."""
    parts = email.header.decode_header(raw)
    chunks = [(b if isinstance(b, bytes) else b.encode("ascii"), cs or "utf-8") for b, cs in parts]
    texts = whatwg_decode(chunks)
    # decode_header drops the blanks next to an encoded word: put back the
    # one after each comma of an address list.
    return "".join(texts).replace(",", ", ").replace(",  ", ", ")


_PAGER = """#!/bin/sh
cat "$1" > "$(dirname "$0")/view.txt"
"""


def mutt_view(message_path, timeout=30):
    """What mutt shows for the message (headers unweeded, parts with their
    attachment lines): mutt opens a Maildir holding only this message and
    hands the displayed text to a pager script that saves it."""
    if not shutil.which("mutt"):
        raise AssertionError("mutt is not installed (Debian package mutt)")
    with tempfile.TemporaryDirectory(prefix="tolvex-mutt-") as root:
        box = os.path.join(root, "box")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(box, sub))
        shutil.copy(message_path, os.path.join(box, "new", "1.tolvex"))
        pager = os.path.join(root, "pager.sh")
        with open(pager, "w") as f:
            f.write(_PAGER)
        os.chmod(pager, 0o755)
        view = os.path.join(root, "view.txt")
        settings = (f"set folder={root} spoolfile={box} mbox_type=Maildir charset=utf-8 "
                    f"quit=yes wait_key=no weed=no pager={pager}")
        cmd = (f"mutt -n -F /dev/null -R -f {box} -e '{settings}' "
               "-e 'push <display-message>'")
        env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", HOME=root, TERM="xterm")
        # mutt needs a terminal: script gives it one; "q" on its input ends
        # it once the view is saved.
        p = subprocess.Popen(["script", "-qec", cmd, "/dev/null"], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env,
                             start_new_session=True)
        try:
            deadline = time.monotonic() + timeout
            while not os.path.exists(view) and time.monotonic() < deadline and p.poll() is None:
                time.sleep(0.1)
            # mutt drops what was typed while the pager ran: "q" until it ends.
            deadline = time.monotonic() + 15
            while p.poll() is None and time.monotonic() < deadline:
                with contextlib.suppress(OSError):
                    p.stdin.write(b"q")
                    p.stdin.flush()
                with contextlib.suppress(subprocess.TimeoutExpired):
                    p.wait(timeout=0.5)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, 9)
                p.wait()
        if not os.path.exists(view):
            raise AssertionError("mutt showed nothing")
        with open(view, encoding="utf-8") as f:
            return f.read()
