#!/usr/bin/env python3
"""A local SMTP receiver that accepts every message.

  smtp_sink.py --print            show each message: decoded headers, the
                                  text in UTF-8, attachment names and sizes
  smtp_sink.py --discard          keep nothing, report each message's size
                                  (for benchmarks)

It serves one connection at a time on --address (127.0.0.1) port --port (25)
and runs until SIGTERM/SIGINT or --count messages. --ready FILE is created
once it listens; --report FILE gets one line per message:
"<wire bytes> <seconds from DATA to the end of the data>".
"""

import argparse
import email
import email.errors
import email.header
import email.policy
import os
import re
import signal
import socket
import sys
import time

TERMINATOR = b"\r\n.\r\n"


def unstuff(data):
    body = data[:-3] if data.endswith(TERMINATOR) else data
    return b"\r\n".join(l[1:] if l.startswith(b".") else l for l in body.split(b"\r\n"))


def raw_header(msg, name):
    """A header's value as the parser keeps it: raw bytes as surrogate
    escapes, so raw Shift_JIS can still be decoded."""
    for key, value in msg.raw_items():
        if key.lower() == name.lower():
            return value
    return None


def raw_filename(part):
    value = raw_header(part, "Content-Type") or ""
    m = re.search(r'name="([^"]*)"', value) or re.search(r"name=([^;\s]+)", value)
    return m.group(1) if m else None


def text_of(value):
    """Header text as sent: encoded words decoded, raw Shift_JIS bytes shown
    as text."""
    if value is None:
        return ""
    raw = str(value).encode("ascii", "surrogateescape")
    if b"=?" in raw:
        try:
            return str(email.header.make_header(email.header.decode_header(str(value))))
        except (UnicodeError, LookupError, email.errors.HeaderParseError):
            pass
    return raw.decode("cp932", "replace")


def show(number, envelope, data, out):
    msg = email.message_from_bytes(unstuff(data), policy=email.policy.compat32)
    print(f"=== message {number}: {len(data)} bytes ===", file=out)
    for line in envelope:
        print("  " + line.decode("latin-1").rstrip(), file=out)
    for name in ("Subject", "From", "To", "Reply-To"):
        if raw_header(msg, name) is not None:
            print(f"{name}: {text_of(raw_header(msg, name))}", file=out)
    for part in msg.walk():
        if part.is_multipart():
            continue
        name = raw_filename(part)
        if name is None and part.get_content_maintype() == "text":
            raw = part.get_payload(decode=True) or b""
            charset = part.get_content_charset() or "us-ascii"
            try:
                text = raw.decode(charset)
            except (LookupError, UnicodeError):
                text = raw.decode(charset, "replace") if charset else raw.decode("latin-1")
            print("--- text ---", file=out)
            print(text.replace("\r\n", "\n").rstrip("\n"), file=out)
        else:
            payload = part.get_payload(decode=True) or b""
            print(f"--- attachment: {text_of(name)} ({len(payload)} bytes, "
                  f"{part.get_content_type()}) ---", file=out)
    print("=== end ===", file=out, flush=True)


class Stop(Exception):
    pass


def serve(args):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    listener.listen(4)
    if args.ready:
        with open(args.ready, "w") as f:
            f.write(f"{os.getpid()}\n")
    report = open(args.report, "a") if args.report else None
    count = 0
    try:
        while args.count == 0 or count < args.count:
            conn, _ = listener.accept()
            with conn:
                count += converse(conn, args, count, report)
    finally:
        listener.close()
        if report:
            report.close()


def converse(conn, args, count, report):
    """One connection; returns the number of messages it carried."""
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    conn.sendall(b"220 sink ready\r\n")
    buf = b""
    envelope = []
    done = 0
    while True:
        while b"\r\n" not in buf:
            chunk = conn.recv(65536)
            if not chunk:
                return done
            buf += chunk
        line, buf = buf.split(b"\r\n", 1)
        verb = line[:4].upper()
        if verb == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            start = time.monotonic()
            data, size, buf = receive_data(conn, buf, keep=not args.discard)
            if data is None:
                return done
            done += 1
            if report:
                report.write(f"{size} {time.monotonic() - start:.3f}\n")
                report.flush()
            if args.discard:
                print(f"message {count + done}: {size} bytes", flush=True)
            else:
                show(count + done, envelope, data, sys.stdout)
            envelope = []
            conn.sendall(b"250 accepted\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            return done
        else:
            envelope.append(line)
            conn.sendall(b"250 ok\r\n")


def receive_data(conn, buf, keep):
    """Reads the message up to its terminator. Returns (data or b"" when not
    kept, byte count, bytes after the terminator); data None at a close."""
    parts = [buf] if keep else []
    size = len(buf)
    tail = buf[-8:]
    window = buf
    while True:
        pos = window.find(TERMINATOR)
        if pos >= 0:
            # Bytes of the window past the terminator belong to the next command.
            extra = window[pos + len(TERMINATOR):]
            size -= len(extra)
            data = b"".join(parts)[:size] if keep else b""
            return data, size, extra
        chunk = conn.recv(1 << 20)
        if not chunk:
            return None, size, b""
        if keep:
            parts.append(chunk)
        size += len(chunk)
        window = tail + chunk
        tail = window[-8:]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = ap.add_mutually_exclusive_group()
    mode.add_argument("--print", action="store_true", help="show each message (default)")
    mode.add_argument("--discard", action="store_true", help="keep nothing, report sizes")
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=25)
    ap.add_argument("--count", type=int, default=0, help="stop after this many messages")
    ap.add_argument("--ready", help="file created once listening")
    ap.add_argument("--report", help="file that gets one size line per message")
    args = ap.parse_args()

    def stop(*_):
        raise Stop()

    signal.signal(signal.SIGTERM, stop)
    try:
        serve(args)
    except (Stop, KeyboardInterrupt):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
