#!/usr/bin/env python3
"""Reads the resources of tolvex.exe back out of the PE file and checks them:
the version information (fixed numbers and both string tables, English and
Japanese, against the version CMake gives) and the application manifest
(asInvoker, Windows 10/11, long paths, no UTF-8 code page).

    python3 tools/win-resources.py tolvex.exe 1.1.0

Prints what it found; exits 1 with the differences when any check fails.
"""

import struct
import sys
import xml.etree.ElementTree as ET

RT_VERSION, RT_MANIFEST = 16, 24
WIN10_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
NS_ASM1 = "urn:schemas-microsoft-com:asm.v1"
NS_ASM3 = "urn:schemas-microsoft-com:asm.v3"
NS_COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
NS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"


def resources(pe):
    """{(type, id): bytes} of every resource (the first language of each)."""
    (lfanew,) = struct.unpack_from("<I", pe, 0x3C)
    if pe[:2] != b"MZ" or pe[lfanew:lfanew + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, opt_size = struct.unpack_from("<H12xH", pe, lfanew + 6)
    opt = lfanew + 24
    magic = struct.unpack_from("<H", pe, opt)[0]
    dirs = opt + (112 if magic == 0x20B else 96)
    rsrc_rva, _ = struct.unpack_from("<II", pe, dirs + 2 * 8)
    table = []
    for i in range(sections):
        s = opt + opt_size + 40 * i
        vsize, rva, raw_size, raw = struct.unpack_from("<IIII", pe, s + 8)
        table.append((rva, max(vsize, raw_size), raw))

    def at(rva):
        for start, size, raw in table:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} in no section")

    base = at(rsrc_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<12xHH", pe, base + offset)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", pe, base + offset + 16 + 8 * i)
            yield name, target

    found = {}
    for rtype, t in entries(0):
        for rid, r in entries(t & 0x7FFFFFFF):
            _, leaf = next(entries(r & 0x7FFFFFFF))
            data_rva, size = struct.unpack_from("<II", pe, base + leaf)
            found.setdefault((rtype, rid), pe[at(data_rva):at(data_rva) + size])
    return found


def version_blocks(data, pos=0, end=None):
    """The VS_VERSIONINFO tree: (key, value bytes, value type, children)."""
    end = len(data) if end is None else end
    nodes = []
    while pos + 6 <= end:
        length, value_len, vtype = struct.unpack_from("<HHH", data, pos)
        if length == 0:
            break
        k = pos + 6
        while data[k:k + 2] != b"\0\0":
            k += 2
        key = data[pos + 6:k].decode("utf-16-le")
        v = (k + 2 + 3) & ~3
        vbytes = value_len * 2 if vtype == 1 else value_len
        value = data[v:v + vbytes]
        children = version_blocks(data, (v + vbytes + 3) & ~3, pos + length)
        nodes.append((key, value, vtype, children))
        pos = (pos + length + 3) & ~3
    return nodes


def check(exe, version):
    problems = []
    res = resources(open(exe, "rb").read())
    parts = [int(p) for p in version.split(".")]

    info = res.get((RT_VERSION, 1))
    if info is None:
        problems.append("no version resource")
    else:
        (root_key, fixed, _, children), = version_blocks(info)
        sig, _, fms, fls, pms, pls = struct.unpack_from("<6I", fixed)
        numbers = [fms >> 16, fms & 0xFFFF, fls >> 16, fls & 0xFFFF]
        product = [pms >> 16, pms & 0xFFFF, pls >> 16, pls & 0xFFFF]
        print(f"version resource: file {numbers}, product {product}")
        if root_key != "VS_VERSION_INFO" or sig != 0xFEEF04BD:
            problems.append("version resource is malformed")
        if numbers != parts + [0] or product != parts + [0]:
            problems.append(f"fixed version {numbers}/{product}, not {version}")
        tables = {}
        translations = b""
        for key, _, _, kids in children:
            if key == "StringFileInfo":
                for lang, _, _, strings in kids:
                    tables[lang.lower()] = {k: v.decode("utf-16-le").rstrip("\0")
                                            for k, v, _, _ in strings}
            elif key == "VarFileInfo":
                translations = b"".join(v for k, v, _, _ in kids if k == "Translation")
        common = {"ProductName": "Tolvex", "FileVersion": version, "ProductVersion": version,
                  "LegalCopyright": "Copyright (c) 2026 The Tolvex authors",
                  "OriginalFilename": "tolvex.exe"}
        wanted = {"040904b0": dict(common, FileDescription="Tolvex mail sender"),
                  "041104b0": dict(common, FileDescription="Tolvex メール送信")}
        for lang, want in wanted.items():
            have = tables.get(lang, {})
            for k, v in want.items():
                print(f"  {lang} {k} = {have.get(k)!r}")
                if have.get(k) != v:
                    problems.append(f"{lang} {k} is {have.get(k)!r}, not {v!r}")
        pairs = set(struct.iter_unpack("<HH", translations))
        if not {(0x409, 1200), (0x411, 1200)} <= pairs:
            problems.append(f"Translation lists {sorted(pairs)}")

    manifest = res.get((RT_MANIFEST, 1))
    if manifest is None:
        problems.append("no application manifest (RT_MANIFEST 1)")
    else:
        root = ET.fromstring(manifest)
        level = root.find(f"{{{NS_ASM3}}}trustInfo/{{{NS_ASM3}}}security/"
                          f"{{{NS_ASM3}}}requestedPrivileges/{{{NS_ASM3}}}requestedExecutionLevel")
        oses = [e.get("Id") for e in root.iter(f"{{{NS_COMPAT}}}supportedOS")]
        long_paths = [e.text for e in root.iter(f"{{{NS_2016}}}longPathAware")]
        code_pages = [e for e in root.iter() if e.tag.endswith("}activeCodePage")]
        print(f"manifest: level {level.get('level') if level is not None else None}, "
              f"supportedOS {oses}, longPathAware {long_paths}")
        if root.tag != f"{{{NS_ASM1}}}assembly":
            problems.append("manifest is not an assembly")
        if level is None or level.get("level") != "asInvoker":
            problems.append("manifest does not ask for asInvoker")
        if WIN10_11 not in oses:
            problems.append("manifest does not declare Windows 10/11")
        if long_paths != ["true"]:
            problems.append("manifest is not longPathAware")
        if code_pages:
            problems.append("manifest declares an activeCodePage")
    return problems


def main():
    exe, version = sys.argv[1], sys.argv[2]
    problems = check(exe, version)
    if problems:
        sys.exit("tolvex.exe's resources: " + "; ".join(problems))


if __name__ == "__main__":
    main()
