#!/usr/bin/env python3
"""The Windows release: the zip, and the winget and Scoop manifests made
from it.

    win-release.py zip EXE VERSION OUT_DIR
        packs OUT_DIR/tolvex-VERSION-win64.zip: tolvex.exe, LICENSE and
        THIRD-PARTY-NOTICES.txt (each once it is in the tree), the Japanese
        guide, every tracked file under samples/; every entry dated by
        SOURCE_DATE_EPOCH or else the last commit outside packaging/, so
        the same source packs the same bytes. Reads the zip back.
    win-release.py manifests ZIP VERSION OUT_DIR
        writes OUT_DIR/winget/manifests/t/Tolvex/Tolvex/VERSION/*.yaml and
        OUT_DIR/scoop/tolvex.json, carrying the zip's SHA-256.
    win-release.py check ZIP VERSION DIR [--packaging PACKAGING]
        reads the manifests under DIR back (JSON with json, YAML with a
        reader of the subset written here, and with PyYAML when it is
        there) and checks version, URL, SHA-256 and the files they name
        against the zip; with --packaging, that the committed manifests say
        the same apart from the hash.

Texts are written by hand: no package beyond Python's own is needed.
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import time
import zipfile

# Where a release is published: the zip of version v is at RELEASE_URL.format(version=v).
PROJECT_URL = "https://github.com/tolvex/tolvex"
RELEASE_URL = PROJECT_URL + "/releases/download/v{version}/tolvex-{version}-win64.zip"
PACKAGE_ID = "Tolvex.Tolvex"
MANIFEST_VERSION = "1.6.0"
EXE_IN_ZIP = "tolvex/tolvex.exe"
# Files of the other side of the release, packed once they are in the tree.
NOTICES = ["LICENSE", "THIRD-PARTY-NOTICES.txt"]

SHORT_EN = "Unattended mail sender for Japanese desktops"
DESCRIPTION_EN = (
    "Tolvex reads its whole job from command.txt in the folder it starts in (server, sender, "
    "recipients, subject, body, attachments), composes one Japanese MIME message (ISO-2022-JP, "
    "or UTF-8 where that cannot carry the text) and delivers it over SMTP or mail submission "
    "(STARTTLS or implicit TLS, SMTP AUTH, OAuth 2.0). It can wait before the first send and "
    "repeat it on a schedule, and logs each delivery as one line of LOG.txt. It runs from a "
    "scheduler or a batch file.")
SHORT_JA = "日本語のデスクトップ向けの無人メール送信プログラム"
DESCRIPTION_JA = (
    "Tolvex は、起動したフォルダーの command.txt に書かれた内容（サーバー、差出人、宛先、件名、"
    "本文、添付ファイル）を読み、日本語のメール（ISO-2022-JP、表せない文字があるときは UTF-8）"
    "を作って SMTP またはメール サブミッション（STARTTLS、暗黙の TLS、SMTP 認証、OAuth 2.0）"
    "で送信します。最初の送信までの待ち時間と定期的な繰り返し送信を指定でき、配送ごとに "
    "LOG.txt に 1 行を記録します。タスク スケジューラーやバッチ ファイルから実行できます。")


def zip_name(version):
    return f"tolvex-{version}-win64.zip"


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest().upper()


def git(*args):
    return subprocess.run(["git", *args], capture_output=True, check=True).stdout


# ---- the zip ------------------------------------------------------------

def zip_entries(exe):
    entries = [(exe, EXE_IN_ZIP)]
    for name in NOTICES:
        if git("ls-files", name).strip() or os.path.exists(name):
            entries.append((name, "tolvex/" + name))
        else:
            print(f"{name} is not in the tree yet: left out of the zip", file=sys.stderr)
    entries.append(("docs/ja/使い方.txt", "tolvex/使い方.txt"))
    # Every tracked file under samples/, folders kept (the attachment sample
    # names 資料\表.pdf).
    for p in sorted(git("ls-files", "-z", "samples").decode().split("\0")):
        if p:
            entries.append((p, "tolvex/" + p))
    return entries


def source_date():
    stamp = os.environ.get("SOURCE_DATE_EPOCH")
    if not stamp:
        stamp = git("log", "-1", "--format=%ct", "--", ".", ":(exclude)packaging").strip() or b"0"
    # A zip's dates are local times from 1980 on; they are kept in UTC here.
    return max(time.gmtime(int(stamp))[:6], (1980, 1, 1, 0, 0, 0))


def make_zip(exe, version, out_dir):
    out = os.path.join(out_dir, zip_name(version))
    entries = zip_entries(exe)
    date = source_date()
    tmp = out + ".new"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for src, name in entries:
            # Names are stored in UTF-8 (the zip format's flag 0x800), which
            # Windows' own zip folder reads correctly.
            info = zipfile.ZipInfo(name, date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(src, "rb") as f:
                z.writestr(info, f.read())
    os.replace(tmp, out)

    # Read back: every entry is there with the bytes it was made from.
    with zipfile.ZipFile(out) as z:
        names = z.namelist()
        problems = [n for s, n in entries if n not in names or z.read(n) != open(s, "rb").read()]
        for need in (EXE_IN_ZIP, "tolvex/使い方.txt", "tolvex/samples/command-plain.txt"):
            if need not in names:
                problems.append(need)
        if not z.read(EXE_IN_ZIP).startswith(b"MZ"):
            problems.append("tolvex.exe is not a Windows program")
        for info in z.infolist():
            print(f"{info.file_size:9d}  {info.filename}")
    if problems:
        sys.exit("release zip is missing or differs in: " + ", ".join(problems))
    print(f"wrote {out} ({os.path.getsize(out)} bytes, SHA-256 {sha256(out)})")


# ---- the manifests ------------------------------------------------------

def yaml_scalar(value):
    """A YAML scalar of `value`, quoted where a plain one would be read
    otherwise (a number, a boolean, a colon or hash that means something)."""
    text = str(value)
    plain = (text and text == text.strip() and ": " not in text and " #" not in text
             and text[0] not in "-?:,[]{}#&*!|>'\"%@`"
             and text.lower() not in ("true", "false", "yes", "no", "null", "on", "off", "~")
             and not re.fullmatch(r"[-+]?(\d[\d_]*)?\.?\d*([eE][-+]?\d+)?", text))
    return text if plain else "'" + text.replace("'", "''") + "'"


def yaml_text(kind, fields):
    """One winget manifest: the schema line, then `fields` (a value, or a
    list of dicts), then its type and version."""
    lines = [f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}."
             f"{MANIFEST_VERSION}.schema.json", ""]
    for key, value in [*fields.items(), ("ManifestType", kind), ("ManifestVersion",
                                                                  MANIFEST_VERSION)]:
        if isinstance(value, list):
            lines.append(f"{key}:")
            for item in value:
                if isinstance(item, dict):
                    for i, (k, v) in enumerate(item.items()):
                        lines.append(f"{'- ' if i == 0 else '  '}{k}: {yaml_scalar(v)}")
                else:
                    lines.append(f"- {yaml_scalar(item)}")
        else:
            lines.append(f"{key}: {yaml_scalar(value)}")
    return "\n".join(lines) + "\n"


def winget_dir(out_dir, version):
    return os.path.join(out_dir, "winget", "manifests", "t", "Tolvex", "Tolvex", version)


def manifests(version, digest):
    """{relative path: text} of every manifest for the zip of `digest`."""
    url = RELEASE_URL.format(version=version)
    head = {"PackageIdentifier": PACKAGE_ID, "PackageVersion": version}
    locale = {"Publisher": "The Tolvex authors", "PublisherUrl": PROJECT_URL.rsplit("/", 1)[0],
              "PackageName": "Tolvex", "PackageUrl": PROJECT_URL, "License": "MIT",
              "LicenseUrl": f"{PROJECT_URL}/blob/v{version}/LICENSE"}
    wdir = os.path.join("winget", "manifests", "t", "Tolvex", "Tolvex", version)
    files = {
        f"{PACKAGE_ID}.yaml": yaml_text("version", {**head, "DefaultLocale": "en-US"}),
        f"{PACKAGE_ID}.installer.yaml": yaml_text("installer", {
            **head,
            "InstallerType": "zip",
            "NestedInstallerType": "portable",
            "NestedInstallerFiles": [{"RelativeFilePath": EXE_IN_ZIP.replace("/", "\\"),
                                      "PortableCommandAlias": "tolvex"}],
            "Installers": [{"Architecture": "x64", "InstallerUrl": url,
                            "InstallerSha256": digest}],
        }),
        f"{PACKAGE_ID}.locale.en-US.yaml": yaml_text("defaultLocale", {
            **head, "PackageLocale": "en-US", **locale, "ShortDescription": SHORT_EN,
            "Description": DESCRIPTION_EN, "Moniker": "tolvex",
            "Tags": ["email", "smtp", "japanese", "shift-jis"],
            "ReleaseNotesUrl": f"{PROJECT_URL}/releases/tag/v{version}",
        }),
        f"{PACKAGE_ID}.locale.ja-JP.yaml": yaml_text("locale", {
            **head, "PackageLocale": "ja-JP", **locale, "ShortDescription": SHORT_JA,
            "Description": DESCRIPTION_JA,
        }),
    }
    out = {os.path.join(wdir, name): text for name, text in files.items()}
    scoop = {
        "version": version,
        "description": SHORT_EN,
        "homepage": PROJECT_URL,
        "license": "MIT",
        "url": url,
        "hash": digest.lower(),
        "extract_dir": "tolvex",
        "bin": "tolvex.exe",
        "checkver": {"github": PROJECT_URL},
        "autoupdate": {"url": RELEASE_URL.replace("{version}", "$version")},
    }
    out[os.path.join("scoop", "tolvex.json")] = json.dumps(scoop, indent=4) + "\n"
    return out


def write_manifests(zip_path, version, out_dir):
    for rel, text in manifests(version, sha256(zip_path)).items():
        path = os.path.join(out_dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        print(f"wrote {path}")


# ---- reading them back ----------------------------------------------------

def read_yaml(text):
    """The subset of YAML written above: `key: scalar`, and `key:` followed by
    a list of scalars or of one-level maps. Anything else is an error."""
    def scalar(s):
        if s.startswith("'"):
            if not s.endswith("'") or len(s) < 2:
                raise ValueError(f"unclosed quote: {s}")
            return s[1:-1].replace("''", "'")
        return s

    out, current = {}, None
    for n, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        m = re.fullmatch(r"(- |  )?([A-Za-z0-9]+):(?: (.*))?", line)
        item = re.fullmatch(r"- (.+)", line)
        if m and m.group(1) is None:
            key, value = m.group(2), m.group(3)
            if key in out:
                raise ValueError(f"line {n}: {key} twice")
            out[key] = scalar(value) if value is not None else []
            current = key if value is None else None
        elif current is not None and m and m.group(3) is not None:
            if m.group(1) == "- ":
                out[current].append({})
            elif not out[current] or not isinstance(out[current][-1], dict):
                raise ValueError(f"line {n}: continuation without an item")
            out[current][-1][m.group(2)] = scalar(m.group(3))
        elif current is not None and item:
            out[current].append(scalar(item.group(1)))
        else:
            raise ValueError(f"line {n}: not understood: {line!r}")
    return out


def load_yaml(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    data = read_yaml(text)
    try:
        import yaml  # PyYAML, where it is installed: the full reading must agree
    except ImportError:
        return data, text
    full = yaml.safe_load(text)
    if full != data:
        raise ValueError(f"{path}: YAML reads {full!r}, not {data!r}")
    return data, text


def check(zip_path, version, root, packaging=None):
    problems = []
    digest = sha256(zip_path)
    url = RELEASE_URL.format(version=version)
    names = zipfile.ZipFile(zip_path).namelist()
    wdir = winget_dir(root, version)

    with open(os.path.join(root, "scoop", "tolvex.json"), encoding="utf-8") as f:
        scoop = json.load(f)
    print(f"scoop: version {scoop.get('version')}, hash {scoop.get('hash')}")
    for key, want in (("version", version), ("url", url), ("hash", digest.lower()),
                      ("license", "MIT")):
        if scoop.get(key) != want:
            problems.append(f"scoop {key} is {scoop.get(key)!r}, not {want!r}")
    if f"{scoop.get('extract_dir')}/{scoop.get('bin')}" not in names:
        problems.append("scoop's extract_dir/bin is not in the zip")
    auto = scoop.get("autoupdate", {}).get("url", "")
    if auto.replace("$version", version) != url or "$version" not in auto:
        problems.append(f"scoop autoupdate url {auto!r}")
    if not scoop.get("checkver", {}).get("github"):
        problems.append("scoop has no checkver")

    wanted = {"version": f"{PACKAGE_ID}.yaml", "installer": f"{PACKAGE_ID}.installer.yaml",
              "defaultLocale": f"{PACKAGE_ID}.locale.en-US.yaml",
              "locale": f"{PACKAGE_ID}.locale.ja-JP.yaml"}
    found = sorted(os.listdir(wdir))
    if found != sorted(wanted.values()):
        problems.append(f"winget folder holds {found}")
    docs = {}
    for kind, name in wanted.items():
        data, text = load_yaml(os.path.join(wdir, name))
        docs[kind] = data
        schema = f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}.{MANIFEST_VERSION}.schema.json"
        if text.splitlines()[0] != schema:
            problems.append(f"{name}: no schema line")
        for key, want in (("PackageIdentifier", PACKAGE_ID), ("PackageVersion", version),
                          ("ManifestType", kind), ("ManifestVersion", MANIFEST_VERSION)):
            if data.get(key) != want:
                problems.append(f"{name}: {key} is {data.get(key)!r}, not {want!r}")
    inst = docs["installer"]
    installers = inst.get("Installers", [])
    print(f"winget: {len(installers)} installer(s), "
          f"SHA-256 {[i.get('InstallerSha256') for i in installers]}")
    if installers != [{"Architecture": "x64", "InstallerUrl": url, "InstallerSha256": digest}]:
        problems.append(f"winget installers are {installers!r}")
    nested = inst.get("NestedInstallerFiles", [])
    if (inst.get("InstallerType"), inst.get("NestedInstallerType")) != ("zip", "portable") or \
            [(n.get("RelativeFilePath", "").replace("\\", "/"), n.get("PortableCommandAlias"))
             for n in nested] != [(EXE_IN_ZIP, "tolvex")]:
        problems.append(f"winget nested installer is {nested!r}")
    for kind in ("defaultLocale", "locale"):
        d = docs[kind]
        for key, want in (("License", "MIT"), ("Publisher", "The Tolvex authors"),
                          ("PackageName", "Tolvex")):
            if d.get(key) != want:
                problems.append(f"{kind}: {key} is {d.get(key)!r}")
        if not d.get("ShortDescription"):
            problems.append(f"{kind}: no ShortDescription")
    if (docs["version"].get("DefaultLocale"), docs["defaultLocale"].get("PackageLocale"),
            docs["locale"].get("PackageLocale")) != ("en-US", "en-US", "ja-JP"):
        problems.append("winget locales are not en-US (default) and ja-JP")
    if not re.search("[ぁ-んァ-ン]", docs["locale"].get("Description", "")):
        problems.append("the ja-JP description is not Japanese")

    if packaging:
        # The committed manifests: those of this version, the hash aside
        # (it changes with every change to what the zip holds).
        made = manifests(version, digest)
        for rel, text in made.items():
            path = os.path.join(packaging, rel)
            if not os.path.exists(path):
                problems.append(f"{path} is missing: run tools/package-win.sh --packaging")
                continue
            with open(path, encoding="utf-8") as f:
                kept = f.read()
            unhashed = [re.sub(r"(InstallerSha256: |\"hash\": \")[0-9A-Fa-f]{64}", r"\1", t)
                        for t in (kept, text)]
            if unhashed[0] != unhashed[1]:
                problems.append(f"{path} differs from what this build makes: "
                                "run tools/package-win.sh --packaging")
            elif kept != text:
                print(f"note: {path} names the zip of another build")
    return problems


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "zip":
        make_zip(*args)
    elif cmd == "manifests":
        write_manifests(*args)
    elif cmd == "check":
        packaging = None
        if "--packaging" in args:
            i = args.index("--packaging")
            packaging = args[i + 1]
            del args[i:i + 2]
        problems = check(*args, packaging=packaging)
        if problems:
            sys.exit("release manifests: " + "; ".join(problems))
        print("release manifests: version, URL and SHA-256 agree with the zip")
    else:
        sys.exit(f"unknown command {cmd}")


if __name__ == "__main__":
    main()
