"""An independent model of the composed message, for comparing what the
program sends with what it should send. Text is code page 932 bytes.
Header fields with Japanese are modelled for values short enough to need
no folding (the model refuses longer ones)."""

import base64
import functools
import re
import urllib.parse

CRLF = b"\r\n"
BOUNDARY = b"BoUnDaRy_StRiNg_Ich_Liebe_Dich"
MAILER = b"X-Mailer: Tolvex (by RAVONEK)\r\n"
B64 = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def sjis(text):
    return text.encode("cp932")


def chars(data):
    """Splits code page 932 bytes into characters of one or two bytes."""
    out, i = [], 0
    while i < len(data):
        b = data[i]
        if (0x81 <= b <= 0x9F or 0xE0 <= b <= 0xFC) and i + 1 < len(data):
            out.append(data[i:i + 2])
            i += 2
        else:
            out.append(data[i:i + 1])
            i += 1
    return out


def twin(c):
    """An IBM extension character (lead byte FA-FC) as the code page 932
    code Python's encoder gives its character (JIS X 0208, NEC row 13 or
    the NEC-selected extensions); other characters as they are."""
    if len(c) == 2 and c[0] >= 0xFA:
        try:
            return c.decode("cp932").encode("cp932")
        except UnicodeError:
            return c
    return c


# Runs of double-byte characters (a lead byte takes the next byte, whatever
# it is) and runs of one-byte characters; a lead byte at the very end is a
# one-byte character.
_RUNS = re.compile(rb"((?:[\x81-\x9f\xe0-\xfc][\x00-\xff])+)|([^\x81-\x9f\xe0-\xfc]+|[\x81-\x9f\xe0-\xfc]$)")


@functools.lru_cache(maxsize=None)
def _jis_pair(c):
    c = twin(c)
    if c[0] >= 0xF0:  # no JIS code: the geta mark
        c = b"\x81\xac"
    s1, s2 = c[0], c[1]
    if s1 >= 0xE0:
        s1 -= 0x40
    if s2 >= 0x80:
        s2 -= 1
    n = (s1 - 0x81) * 188 + (s2 - 0x40)
    return bytes([n // 94 + 0x21, n % 94 + 0x21])


def sjis_to_jis(data):
    """A one-byte run after a kanji (to the next kanji or the end) returns
    with ESC ( J, or with ESC ( B when it holds a backslash or a tilde."""
    out = bytearray()
    kanji = False
    for m in _RUNS.finditer(data):
        two, one = m.groups()
        if two is not None:
            if not kanji:
                out += b"\x1b$B"
                kanji = True
            out += b"".join(_jis_pair(two[k:k + 2]) for k in range(0, len(two), 2))
            continue
        if kanji:
            out += b"\x1b(B" if b"\\" in one or b"~" in one else b"\x1b(J"
            kanji = False
        out += one
    return bytes(out).strip(b" ")


def _groups(data):
    for i in range(0, len(data), 3):
        g = data[i:i + 3]
        v = int.from_bytes(g + b"\0" * (3 - len(g)), "big")
        quad = bytes(B64[(v >> s) & 63] for s in (18, 12, 6, 0))
        yield quad[: len(g) + 1] + b"=" * (3 - len(g))


def b64_text(data):
    """Lines of 72 characters joined by CR LF; never ends with CR LF."""
    quads = list(_groups(data))
    return CRLF.join(b"".join(quads[i:i + 18]) for i in range(0, len(quads), 18))


def b64_file(data):
    """As b64_text, but a full last line is followed by CR LF too."""
    text = b64_text(data)
    if data and len(list(_groups(data))) % 18 == 0:
        text += CRLF
    return text


def read_text_file(data):
    """The text-file reading rule: lines (ended by CR LF or a lone CR) are
    copied with CR LF into a buffer of len(data) characters, then trimmed."""
    lines, cur, i = [], bytearray(), 0
    while i < len(data):
        if data[i] == 0x0D:
            lines.append(bytes(cur))
            cur = bytearray()
            i += 2 if data[i + 1:i + 2] == b"\n" else 1
            continue
        cur.append(data[i])
        i += 1
    if cur:
        lines.append(bytes(cur))
    room = len(data)
    buf = []
    for line in lines:
        for c in chars(line + CRLF):
            if len(buf) == room:
                break
            buf.append(c)
    return b"".join(buf).strip(b" ")


def subject_line(subject_sjis):
    return b"Subject: =?ISO-2022-JP?B?" + b64_text(sjis_to_jis(subject_sjis)) + b"?=" + CRLF


def encoded_word(text_sjis):
    """One encoded word, ending in the one-byte state."""
    jis = sjis_to_jis(text_sjis)
    if jis.rfind(b"\x1b$B") > jis.rfind(b"\x1b("):
        jis += b"\x1b(J"
    return b"=?ISO-2022-JP?B?" + base64.b64encode(jis) + b"?="


def _unfolded(line):
    for part in line.split(CRLF):
        assert len(part) <= 76, f"model covers no folding: {line!r}"
    return line


class Field(bytes):
    """A header field given whole, name and folded value, without CR LF."""


def address_field(name, value):
    """name + " " + the address list with each run of adjacent non-ASCII
    words of a display name as one encoded word (short values only)."""
    if isinstance(value, Field):
        return bytes(value)
    if max(value, default=0) < 0x80:
        return name + b" " + value
    entries = []
    for entry in value.split(b","):
        if max(entry, default=0) < 0x80:
            entries.append(entry)
            continue
        at = entry.find(b"<")
        phrase, address = (entry, b"") if at < 0 else (entry[:at], entry[at:])
        out, run, gap = b"", None, b""
        for t in re.findall(rb"[ \t]+|[^ \t]+", phrase):
            if t[:1] in (b" ", b"\t"):
                if run is None:
                    out += t
                else:
                    gap += t
            elif max(t) >= 0x80:
                run = t if run is None else run + gap + t
                gap = b""
            else:
                if run is not None:
                    out += encoded_word(run) + (gap or b" ")
                    run, gap = None, b""
                out += t
        if run is not None:
            out += encoded_word(run) + gap
        if address and out.strip(b" \t") and not out.endswith((b" ", b"\t")):
            out += b" "
        entries.append(out + address)
    return _unfolded(name + b" " + b",".join(entries))


def text_file_jis(text):
    """Text-file text converted like the body, back in the one-byte state."""
    jis = sjis_to_jis(text)
    if jis.rfind(b"\x1b$B") > jis.rfind(b"\x1b("):
        jis += b"\x1b(J"
    return jis


def attachment_type_lines(name):
    """Content-Type (and Content-Disposition) lines naming an attachment."""
    if max(name, default=0) < 0x80:
        quoted = name.replace(b"\\", b"\\\\").replace(b'"', b'\\"')
        line = b'Content-Type: application/octet-stream; name="' + quoted + b'"' + CRLF
        if b'"' not in name and b"\\" not in name:
            return line
        pct = urllib.parse.quote(name, safe="!#$&+-.^_`|~").encode()
        disp = b"Content-Disposition: attachment; filename*=UTF-8''" + pct
        if len(disp) > 76:
            disp = b"Content-Disposition: attachment;" + CRLF + b" filename*=UTF-8''" + pct
        return line + disp + CRLF
    word = encoded_word(name)
    one = b'Content-Type: application/octet-stream; name="' + word + b'"'
    if len(one) > 76:
        one = b"Content-Type: application/octet-stream;" + CRLF + b' name="' + word + b'"'
    pct = urllib.parse.quote(name.decode("cp932").encode("utf-8"), safe="!#$&+-.^_`|~").encode()
    disp = b"Content-Disposition: attachment; filename*=UTF-8''" + pct
    if len(disp) > 76:
        disp = b"Content-Disposition: attachment;" + CRLF + b" filename*=UTF-8''" + pct
    return _unfolded(one) + CRLF + _unfolded(disp) + CRLF


def head(subject, reply_to, from_addr, to_list):
    h = b""
    if subject is not None:
        h += subject_line(subject)
    if reply_to is not None:
        h += address_field(b"Reply-To:", reply_to) + CRLF
    return h + address_field(b"From:", from_addr) + CRLF + address_field(b"To:", to_list) + CRLF


def plain_message(body_acc, from_addr, to_list, subject=None, reply_to=None, text_file=b""):
    """MailData of a plain message; body_acc is the body as collected from
    the command file (Shift_JIS), text_file the text file's bytes."""
    m = head(subject, reply_to, from_addr, to_list)
    m += b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n"
    m += b"Content-Transfer-Encoding: 7bit\r\n" + MAILER
    m += sjis_to_jis(body_acc) + text_file_jis(read_text_file(text_file))
    if not m.endswith(CRLF):
        m += CRLF
    return m + b"." + CRLF


def attachment_message(body_acc, files, from_addr, to_list, subject=None, reply_to=None):
    """files: list of (name as it should appear in name=, file bytes)."""
    m = head(subject, reply_to, from_addr, to_list)
    m += b"MIME-Version: 1.0\r\n" + MAILER
    m += b"Content-Type: multipart/mixed; boundary=" + BOUNDARY + CRLF + CRLF
    m += b"--" + BOUNDARY + CRLF + b"Content-Type: text/plain; charset=iso-2022-jp\r\n"
    m += b"Content-Transfer-Encoding: 7bit\r\n\r\n" + sjis_to_jis(body_acc)
    for name, data in files:
        if len(files) > 1:
            m += CRLF
        m += b"--" + BOUNDARY + CRLF
        m += attachment_type_lines(name)
        m += b"Content-Transfer-Encoding: base64\r\n\r\n" + b64_file(data)
    return m + CRLF + b"--" + BOUNDARY + b"--" + CRLF + b"." + CRLF


def parts_message(parts, from_addr, to_list, subject=None, reply_to=None):
    """parts: list of part file bytes."""
    m = head(subject, reply_to, from_addr, to_list)
    m += b"MIME-Version: 1.0\r\n" + MAILER
    m += b"Content-Type: multipart/mixed; boundary=" + BOUNDARY + CRLF + CRLF
    for data in parts:
        m += b"--" + BOUNDARY + CRLF + read_text_file(data) + CRLF
    return m + CRLF + b"--" + BOUNDARY + b"--" + CRLF + b"." + CRLF


def dot_stuff(mail):
    """The wire form of MailData: a leading "." of every line doubled except
    in the final terminator line."""
    assert mail.endswith(b"\r\n.\r\n")
    body = mail[:-3]
    lines = body.split(CRLF)
    return CRLF.join(b"." + l if l.startswith(b".") else l for l in lines) + b".\r\n"


# The two head lines each send makes afresh: a date in RFC 5322 form with
# English names and a numeric zone, and a Message-ID of its own.
STAMP = re.compile(
    rb"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]|[12][0-9]|3[01]) "
    rb"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) "
    rb"([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9]|60) ([+-])([01][0-9])([0-5][0-9])\r\n"
    rb"Message-ID: <([!-;=?-~]+)@([A-Za-z0-9.-]+)>\r\n")


def stamp_of(message, domain=None):
    """The Date: and Message-ID: lines of a message: where they must stand
    (right after the To: line, right before MIME-Version), in their form."""
    head = message.split(CRLF + CRLF, 1)[0] + CRLF
    to = re.search(rb"(?m)^To: .*\r\n(?:[ \t].*\r\n)*", head)
    assert to, head
    m = STAMP.match(head, to.end())
    assert m, head[to.end():to.end() + 160]
    assert head[m.end():].startswith(b"MIME-Version: 1.0\r\n"), head
    if domain is not None:
        assert m.group(12) == domain, (m.group(12), domain)
    return m.group(0)


def stamped(expected, stamp):
    """The expected message with the two lines where the program puts them."""
    at = expected.index(b"MIME-Version: 1.0\r\n")
    return expected[:at] + stamp + expected[at:]
