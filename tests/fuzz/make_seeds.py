#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz corpora (tests/fuzz/corpus/<target>/
seed-*): the sample command files with the files they name, command files
of the tests, texts with the code page 932 characters whose trail byte is a
backslash or a bar, and real server dialogues. Seeds are rewritten; entries
the fuzzer added are left alone."""

import pathlib

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = HERE.parent.parent / "samples"


def sj(text):
    return text.encode("cp932")


def crlf(*lines):
    return b"".join(sj(line) + b"\r\n" for line in lines)


def with_files(command, files):
    out = command
    for name, data in files:
        out += b"\n@@@@ " + sj(name) + b"\n" + data
    return out


def command_file_seeds():
    part = crlf("Content-Type: text/plain; charset=iso-2022-jp", "", "部品の本文です。")
    yield "sample-attach", with_files((SAMPLES / "command-attach.txt").read_bytes(),
                                      [("売上.csv", b"a,b\r\n1,2\r\n"), ("資料\\表.pdf", b"%PDF-1.4\n\xff\x00")])
    yield "sample-parts", with_files((SAMPLES / "command-parts.txt").read_bytes(),
                                     [("部品1.txt", part), ("部品2.txt", part)])
    yield "sample-plain", (SAMPLES / "command-plain.txt").read_bytes()
    yield "sample-repeat", (SAMPLES / "command-repeat.txt").read_bytes()
    yield "tex", with_files(crlf("#HOS=mail.example", "#TO=to@example.jp", "#TEX=report.txt", "", "見出し"),
                            [("report.txt", sj("表示 ソフト 能力\r\n二行目\r三行目\n四行目"))])
    yield "cat-pipe", with_files(crlf("cat 報告.txt |mail a@example.jp, b@example.jp", "Subject: 件名です",
                                      "Reply-To: 係 <desk@example.jp>", "本文"),
                                 [("報告.txt", sj("報告の本文\r\n"))])
    yield "bin-pipe", with_files(crlf("bin a.bin,表.bin |mail x@example.jp"),
                                 [("a.bin", bytes(range(256))), ("表.bin", b"")])
    yield "numbers", crlf("#WAI=+5", "#MOR=-32768", "#TER=32767", "#TO=a@example.jp", "body")
    yield "bad-number", crlf("#WAI=5x", "body")
    yield "lf-and-cr", b"#HOS=h\n#TO=a@example.jp,\r#SUB=\x95\x5c\x83\x5c\x94\x5c\r\n\nbody\x81"
    yield "many-recipients", crlf("#TO=" + ",".join(f"r{i}@example.jp" for i in range(100)), "x")
    utf8 = "#TO=a@example.jp\r\n\r\n日本語の本文です。よろしく。\r\n".encode()
    yield "bom-invalid", b"\xef\xbb\xbf" + utf8 + b"\xff\r\n"
    yield "utf16-lone-surrogate", b"\xff\xfe" + utf8.decode().encode("utf-16-le") + b"\x00\xd8"
    yield "utf16-odd", b"\xfe\xff" + utf8.decode().encode("utf-16-be") + b"\x00"
    yield "damaged-utf8", utf8 + b"\x81" + "以上".encode()
    yield "tex-utf16-bad", with_files(crlf("#TO=a@example.jp", "#TEX=r.txt", "", "x"),
                                      [("r.txt", b"\xff\xfe" + "一\n二".encode("utf-16-le") + b"\x3d\xd8")])
    yield "backslash-tilde", crlf("#TO=a@example.jp", "#SUB=保存先 C:\\share\\月報 ~user", "",
                                  "保存先：C:\\share\\月報", "http://example.jp/~user/ 表ソ能")
    yield "long-line", crlf("#TO=a, b,c" + ",x@example.jp" * 90, "", ("漢字かなabc\\" * 150) + "終", "a" * 1200)
    yield "names", crlf('#FRO="山田 太郎" <yamada@example.jp>', "#TO=鈴木 <s@example.jp>, 表ソ能, t@example.jp",
                        "#REP=係 desk@example.jp", "#FOR=icon", "#DEL", "#NEX=x", "#KIL", "",
                        "Subj", "Repl", "ｶﾀｶﾅ 半角")
    # Quoted display names holding "," and "<", an unclosed quote, and
    # attachment paths with "/".
    yield "quoted-names", with_files(
        crlf("#HOS=h", '#FRO="Evil <boss@corp.example>" <t@x.jp>',
             '#TO="Suzuki, Ichiro" <s@x.jp>, "表", "x, y" <y@x>',
             '#CC="a\\", b" <c@x>, O"Brien <o@x>', '#BCC="unclosed, b@x',
             '#REP="係, 窓口" <desk@x.jp>', "#ATT=/path/to/報告書.pdf,資料/表.bin", "", "本文"),
        [("/path/to/報告書.pdf", b"%PDF-1.4\n"), ("資料/表.bin", b"x")])
    yield "utf8-quoted", (b'#CHR=utf-8\r\n#TO="\xe2\x80\x9c\\", x" <a@b>, c@d\r\n'
                          b'#FRO="\xe8\xa1\xa8 <boss@corp>" <t@x.jp>\r\n\r\nbody\r\n')
    # A misspelled directive before the secrets, and a body that merely
    # begins with "#".
    yield "misspelled-directive", crlf("#HOS=h", "#SCE=starttls", "#USR=yamada", "#PAS=secret",
                                       "#TO=a@example.jp", "", "body")
    yield "hash-body", crlf("#TO=a@example.jp", "#1 売上", "#SUB=x", "本文")


def sjis_seeds():
    yield "plain", sj("夜間バッチ完了のお知らせ")
    yield "trail-5c-7c", sj("表示・ソフト・能力・十・竹 \\|") + b"\\|"
    yield "katakana", sj("ｶﾀｶﾅ ﾃｽﾄ") + b" \xa1\xdf"
    yield "vendor", sj("①㈱㍻髙﨑∵¬ⅰ") + b"\xfa\x40\xfc\x4b\xfc\x4c\xf0\x40\xed\x40\xee\xfc"
    yield "broken", b"\x81\r\n\x82\x20\xe0\x7f\x81\x00\x00 \x80\xa0\xfd\xfe\xff\x1b$B"
    yield "spaces", b"   \x81\x40 a \x81\x40   "
    yield "backslash-tilde", sj("保存先：C:\\share\\月報\r\n~user 表ソ能\\ 月~")
    yield "long-line", sj("漢字かなabc\\~" * 200)


def text_file_seeds():
    yield "crlf", sj("一行目\r\n二行目\r\n")
    yield "cr-alone", b"a\rb\rc\r"
    yield "lf-alone", sj("表\n能\nソ")
    yield "no-end", sj("  前後に空白  ")
    yield "lead-at-end", b"abc\x81"
    yield "lead-before-cr", b"\x81\r\x81\n\x81\r\n"
    yield "empty-lines", b"\r\r\r\n\r"
    yield "bom-invalid", b"\xef\xbb\xbf" + "一行目\r\n".encode() + b"\xe6\x97"
    yield "utf16-lone-surrogate", b"\xff\xfe" + "一\n二".encode("utf-16-le") + b"\x00\xdc"
    yield "utf16-odd", b"\xfe\xff" + "一\r\n二".encode("utf-16-be") + b"\x41"
    yield "damaged-utf8", "日本語の本文です。\n".encode() + b"\xc0" + "以上".encode()


def source_text_seeds():
    # The first byte chooses the #CHR setting.
    for name, data in text_file_seeds():
        yield name, b"\x00" + data
    yield "backslash-after-kanji", b"\x03" + sj("月報 C:\\share\\ ~user")


def header_seeds():
    yield "subject", sj("夜間バッチ完了のお知らせ")
    yield "long-subject", sj("日本語 表ソ能 十竹 test " * 5)
    yield "address-list", sj('"山田 太郎" <yamada@example.jp>, 鈴木 一郎 <s@example.jp>,t@example.jp')
    yield "quoted", sj('"表\\"ソ" <a@example.jp>, "plain" <b@example.jp>')
    yield "bare", sj("表@example.jp, 名前だけ, <only@example.jp>")
    yield "path", sj("C:\\資料\\表.pdf")
    yield "value", sj("#TO = 表 , 能 , ")
    yield "long-name", sj("とても長い添付ファイルの名前で折り返しが必要になるもの_2026年12月分.xlsx")
    yield "ascii", b"From <a@example.jp>, b@example.jp"
    yield "quoted-angle", sj('"Evil <boss@corp.example>" <t@x.jp>, "Suzuki, Ichiro" <s@x.jp>')
    yield "unclosed-quote", sj('O"Brien 表 <o@x>, b@y')
    yield "slash-path", sj("/path/to/報告書.pdf")


def header_seeds_for_each_function():
    # The first byte chooses: 0 subject, 1 address field, 2 attachment
    # name, 3 the small functions.
    for name, text in header_seeds():
        for k in range(4):
            yield f"{name}-{k}", bytes([k]) + text


def session_seeds():
    ok = b"a"  # the send completes, then the reply arrives
    full = [b"220 mail.example ESMTP Postfix\r\n", b"250 mail.example\r\n", b"250 2.1.0 Ok\r\n",
            b"250 2.1.5 Ok\r\n", b"354 End data with <CR><LF>.<CR><LF>\r\n",
            b"250 2.0.0 Ok: queued as 4F2A1\r\n", b"221 2.0.0 Bye\r\n"]
    yield "postfix", b"\x00" + b"\x00".join(ok + r for r in full)
    two = [full[0], full[1], full[2], full[3], full[3], full[4], full[5], full[6]]
    yield "two-recipients", b"\x04" + b"\x00".join(ok + r for r in two)
    yield "multiline-ehlo", b"\x00" + b"\x00".join(ok + r for r in [
        b"220-mail.example ESMTP\r\n220 ready\r\n", b"250-mail.example\r\n250 OK\r\n"] + full[2:])
    yield "reply-first-split", b"\x10" + b"\x00".join(b"g" + r for r in full)
    yield "rejected-rcpt", b"\x00" + b"\x00".join(ok + r for r in full[:3] + [b"550 5.1.1 <r1@example.jp>: Recipient address rejected\r\n"])
    yield "rejected-message", b"\x20" + b"\x00".join(ok + r for r in full[:5] + [b"552 5.3.4 Message size exceeds fixed limit\r\n", b"221 Bye\r\n"])
    yield "greeting-refused", b"\x00" + ok + b"554 5.7.1 no thanks\r\n"
    yield "no-completion", b"\x00" + b"\x00".join([ok + full[0], b"`" + full[1]])
    yield "silent", b"\x00" + b"\x00".join([ok + full[0], b"i"])
    yield "no-connect", b"\x02"
    yield "connect-error", b"\x03"
    # EHLO with AUTH (password "secret"): a 535 echoing the AUTH PLAIN line,
    # the password and their Base64; the same after AUTH LOGIN.
    ehlo = b"250-mail.example\r\n250 AUTH "
    yield "echo-plain", b"\x40" + b"\x00".join(ok + r for r in [
        full[0], ehlo + b"PLAIN\r\n",
        b"535 5.7.8 not accepted: AUTH PLAIN AHVzZXIAc2VjcmV0 secret c2VjcmV0\r\n"])
    yield "echo-login", b"\x40" + b"\x00".join(ok + r for r in [
        full[0], ehlo + b"LOGIN\r\n", b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n",
        b"535-c2VjcmV0\r\n535 secret\r\n"])
    yield "echo-unasked", b"\x40" + b"\x00".join(ok + r for r in [
        full[0], ehlo + b"PLAIN\r\n", b"235 ok\r\n250 secret\r\n"])
    # Submission without TLS (EHLO, AUTH PLAIN): hostile and closing servers.
    closes = b"q"  # the send completes, the reply arrives, the server closes
    sub = [b"220 mail.example ESMTP\r\n", b"250-mail.example\r\n250-SIZE 20\r\n250 AUTH PLAIN\r\n",
           b"235 2.7.0 ok\r\n", b"250 2.1.0 Ok\r\n", b"250 2.1.5 Ok\r\n", b"354 go ahead\r\n",
           b"250 2.0.0 queued\r\n", b"221 2.0.0 Bye\r\n"]
    bye = b"421 4.3.2 shutting down\r\n"

    def dialogue(replies, controls=None):
        controls = controls or {}
        return b"\x40" + b"\x00".join(controls.get(i, ok) + r for i, r in enumerate(replies))

    yield "sub-size-exact", dialogue(sub)
    yield "sub-accepted-then-421", dialogue(sub[:6] + [sub[6] + bye])
    yield "sub-accepted-then-421-close", dialogue(sub[:6] + [sub[6] + bye], {6: closes})
    yield "sub-221-with-close", dialogue(sub, {7: closes})
    yield "sub-421-after-mail", dialogue(sub[:3] + [sub[3] + bye])
    yield "sub-421-answering-rcpt", dialogue(sub[:3] + [sub[3], bye])
    yield "sub-no-code", dialogue(sub[:3] + [b"hello there\r\n"])
    yield "sub-four-digits", dialogue(sub[:4] + [b"2500 ok\r\n"])
    yield "sub-refusal-quit", dialogue(sub[:4] + [b"550 5.1.1 unknown\r\n", sub[7]])
    yield "sub-refusal-close", dialogue(sub[:4] + [b"550 5.1.1 unknown\r\n"], {4: closes})
    yield "sub-refusal-silent-quit", dialogue(sub[:4] + [b"553 5.1.8 bad\r\n", b""], {5: b"i"})


def token_reply_seeds():
    yield "microsoft", b"\x00" + (b'{"token_type":"Bearer","scope":"https://outlook.office.com/SMTP.Send",'
                                   b'"expires_in":3599,"ext_expires_in":3599,"access_token":"eyJ0eXAi",'
                                   b'"refresh_token":"0.AAAA-rt"}')
    yield "google", b"\x00" + (b'{"access_token":"ya29.a0Af","expires_in":"3599","refresh_token":"1//0g",'
                                b'"scope":"https://mail.google.com/","token_type":"Bearer"}')
    yield "refused", b"\x01" + (b'{"error":"invalid_grant","error_description":"AADSTS700082: '
                                 b'The refresh token has expired.\r\n\xe8\xa1\xa8"}')
    yield "pending", b"\x01" + b'{"error":"authorization_pending"}'
    yield "not-json", b"\x03" + b"<html>Service Unavailable</html>"
    yield "wrong-types", b"\x00" + b'{"access_token":7,"token_type":"mac","expires_in":-5}'
    yield "device-code", b"\x00" + (b'{"device_code":"GmRh","user_code":"TOLV-EX42","verification_uri":'
                                     b'"https://microsoft.com/devicelogin","expires_in":900,"interval":5}')
    # A secret of the run ("fz-Secret-42") echoed, the reply's own token
    # echoed, a redirect, tokens outside b64token.
    yield "echo-secret", b"\x01" + (b'{"error":"invalid_client","error_description":"client_secret='
                                     b'fz-Secret-42 fz-Secret%2D42 fz-Secret-42"}')
    yield "echo-own-token", b"\x00" + b'{"error":"x","error_description":"at-own","access_token":"at-own"}'
    yield "redirect-302", b"\x04"
    yield "token-control", b"\x00" + b'{"access_token":"at\\u0001auth=Bearer x","token_type":"Bearer"}'
    yield "refresh-newline", b"\x00" + b'{"access_token":"at","refresh_token":"rt\\n2"}'
    yield "redirect-code", b"\x00GET /?state=st-1&code=4%2F0Ab+c%zz&scope=x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    yield "redirect-denied", b"\x00GET /?error=access_denied&error_description=%E8%A1%A8%0A&state=st-1 HTTP/1.1\r\n\r\n"
    yield "redirect-forged", b"\x00GET /?code=c&state=st-2 HTTP/1.1\r\n\r\n"
    yield "redirect-error-without-state", b"\x00GET /?error=x HTTP/1.1\r\n\r\n"
    # Numbers whose sums overflowed, or whose waits never ended.
    for name, number in [("max", b"9223372036854775807"), ("min", b"-9223372036854775808"),
                         ("unsigned-max", b"18446744073709551615"),
                         ("beyond-64-bits", b"99999999999999999999999"),
                         ("quoted-nine-digits", b'"999999999"'), ("float", b"1e300")]:
        yield f"expires-in-{name}", b"\x00" + (b'{"access_token":"a","token_type":"Bearer","expires_in":'
                                               + number + b'}')
        yield f"device-{name}", b"\x00" + (b'{"device_code":"d","user_code":"U-1","verification_uri":'
                                           b'"https://x.test/d","expires_in":' + number
                                           + b',"interval":' + number + b'}')
    yield "device-hour-interval", b"\x00" + (b'{"device_code":"d","user_code":"U-1","verification_uri":'
                                             b'"https://x.test/d","expires_in":5,"interval":3600}')


def proxy_reply_seeds():
    # The first byte picks the proxy: 0 HTTP, 1 HTTP with a user, 2 SOCKS5, 3 SOCKS5 with a user.
    yield "http-open", b"\x00HTTP/1.1 200 Connection established\r\nVia: p\r\n\r\n220 ready\r\n"
    yield "http-open-split", b"\x00HTTP/1.0 2|||00 OK\n|||\n220 ready\r\n"
    yield "http-407", b"\x01HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n"
    yield "http-503", b"\x04HTTP/1.1 503 Service Unavailable\r\n\r\n"
    yield "http-not-http", b"\x00SSH-2.0-x\r\n\r\n"
    yield "socks-open", b"\x02\x05\x00|||\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x38220 ready\r\n"
    yield "socks-open-name", b"\x06\x05\x00|||\x05\x00\x00\x03\x04host\x00\x19"
    yield "socks-open-v6", b"\x02\x05\x00|||\x05\x00\x00\x04" + bytes(16) + b"\x00\x19"
    yield "socks-auth", b"\x03\x05\x02|||\x01\x00|||\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00"
    yield "socks-auth-refused", b"\x03\x05\x02|||\x01\x01"
    yield "socks-no-method", b"\x02\x05\xff"
    yield "socks-host-unreachable", b"\x02\x05\x00|||\x05\x04\x00\x01"
    yield "socks-bad-type", b"\x02\x05\x00|||\x05\x00\x00\x09\x00\x00"
    # The proxy echoing the password in its status line.
    yield "echoed-password", b"\x04HTTP/1.1 407 pw-\x95\x5c-secret\r\n\r\n"


def html_body_seeds():
    yield "report-sjis", sj('<html><head><meta http-equiv="Content-Type" content="text/html; charset=Shift_JIS">'
                            "<title>夜間報告</title></head><body><h1>表ソ能</h1><p>売上&amp;在庫<br>竹|</p>"
                            '<img src="charts/売上.png"><img src="charts/売上.png"><img src="http://x/a.png">'
                            '<table><tr><th>A</th><td>1</td></tr></table><a href="https://x.jp/">詳細</a></body></html>')
    yield "meta-utf8", '<meta charset="utf-8"><META CHARSET=euc-jp><p>日本語&#x8868;&#12477;&nbsp;&bogus;</p>'.encode()
    yield "sources", (b"<img src=../a.png><img src='/abs.png'><img src=\"C:\\x.png\"><img src=\"data:,x\">"
                      b"<img src=a.png?x><img src=b.gif/><img alt=x src = 'c&amp;d.svg'><img src=\"")
    yield "raw-text", (b"<!-- <img src=c.png> --><script>'<img src=d.png>'</script><style>p{}</style>"
                       b"<pre>a  b\r\n c</pre><a href=#x>y</a><a href=\"u\">u</a><br/><li>z")
    yield "utf16", "\ufeff<p>表示</p><img src=\"図.png\">".encode("utf-16-le")


def main():
    for target, seeds in [("command_file", command_file_seeds), ("sjis_text", sjis_seeds),
                          ("text_file", text_file_seeds), ("source_text", source_text_seeds), ("header_text", header_seeds_for_each_function),
                          ("smtp_session", session_seeds), ("token_reply", token_reply_seeds),
                          ("proxy_reply", proxy_reply_seeds),
                          ("html_body", html_body_seeds)]:
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds():
            (folder / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
