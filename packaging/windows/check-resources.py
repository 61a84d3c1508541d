#!/usr/bin/env python3
"""Reads back what Windows shows of a program before it runs, from the .exe
itself: the icon's sizes, the version information and the manifest, and
checks them against what every shipped program must carry.

Usage: check-resources.py VERSION [--window EXE]... [--console EXE]...
                                  [--installer EXE]...
  --window     a window program: icon, version information, manifest
               (asInvoker, per-monitor DPI awareness v2 first, long paths)
  --console    a console program: icon and version information
  --installer  the installer: icon and version information (makensis writes
               no OriginalFilename)
Prints one line per program; exit status 1 when any check fails, 2 on a bad
command line.
"""

import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

PRODUCT = "KORVALEN Firmware Updater"
COMPANY = "KORVALEN"
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
RESOURCE_DIRECTORY, FIXED_FILE_INFO_SIGNATURE = 2, 0xFEEF04BD


class BadFile(Exception):
    pass


def read_resources(data):
    """{type: {name: bytes}} of a PE file's resources (first language of each)."""
    if data[:2] != b"MZ":
        raise BadFile("no MZ header: not a Windows program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise BadFile("no PE header")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if directories < optional:
        raise BadFile("unknown optional header 0x%x" % magic)
    resources_rva, resources_size = struct.unpack_from("<II", data,
                                                       directories + 8 * RESOURCE_DIRECTORY)
    table = optional + optional_size
    spans = []
    for i in range(sections):
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        spans.append((rva, max(size, raw_size), raw))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise BadFile("address 0x%x is in no section" % rva)

    if resources_rva == 0 or resources_size == 0:
        return {}
    try:
        base = offset(resources_rva)
    except BadFile:
        raise BadFile("the resource directory (0x%x) lies in no section" % resources_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            if name & 0x80000000:
                at = base + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", data, at)[0]
                name = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            yield name, target

    resources = {}
    for kind, names in entries(0):
        if not names & 0x80000000:
            continue
        for name, languages in entries(names & 0x7FFFFFFF):
            if not languages & 0x80000000:
                continue
            for _, leaf in entries(languages & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                start = offset(rva)
                resources.setdefault(kind, {})[name] = data[start:start + size]
                break
    return resources


def icon_sizes(resources):
    """(problems, sizes) of the first icon group, checked against its images."""
    groups = resources.get(RT_GROUP_ICON, {})
    if not groups:
        return ["no icon"], []
    group = next(iter(groups.values()))
    problems = []
    count = struct.unpack_from("<H", group, 4)[0]
    sizes = []
    for i in range(count):
        width, height, _, _, _, _, size, image_id = struct.unpack_from("<BBBBHHIH", group,
                                                                       6 + 14 * i)
        sizes.append(width or 256)
        image = resources.get(RT_ICON, {}).get(image_id)
        if image is None or len(image) != size:
            problems.append("the %d-pixel image is missing or cut" % (width or 256))
        elif (width or 256) != (height or 256):
            problems.append("the %d-pixel image is not square" % (width or 256))
    return problems + ([] if sizes else ["the icon has no images"]), sorted(sizes)


def version_info(block):
    """(fixed file version, {string name: value}) of a VS_VERSIONINFO block."""
    strings, fixed = {}, None

    def walk(at, end, depth):
        nonlocal fixed
        while at + 6 <= end:
            length, value_length, text = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            value_bytes = value_length * 2 if text else value_length
            value = block[value_at:value_at + value_bytes]
            if key == "VS_VERSION_INFO" and value_length >= 52:
                signature, _, ms, ls = struct.unpack_from("<IIII", value)
                if signature == FIXED_FILE_INFO_SIGNATURE:
                    fixed = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
            if depth == 3 and text:
                strings[key] = value.decode("utf-16-le").rstrip("\0")
            children = (value_at + value_bytes + 3) & ~3
            walk(children, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(0, len(block), 0)
    return fixed, strings


def local(tag):
    return tag.rsplit("}", 1)[-1]


def manifest_settings(text):
    root = ElementTree.fromstring(text)
    found = {}
    for element in root.iter():
        name = local(element.tag)
        if name == "requestedExecutionLevel":
            found[name] = element.get("level", "")
        elif name in ("dpiAware", "dpiAwareness", "longPathAware"):
            found[name] = (element.text or "").strip()
    return found


def check(path, kind, version):
    problems = []
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            resources = read_resources(f.read())
    except OSError as e:
        return name + ": " + e.strerror, ["cannot be read"]
    except BadFile as e:
        return "%s: %s" % (name, e), ["not a readable Windows program"]
    except (struct.error, IndexError, UnicodeDecodeError):
        return "%s: cut short or damaged" % name, ["not a readable Windows program"]
    facts = []

    icon_problems, sizes = icon_sizes(resources)
    problems += icon_problems
    if sizes and sizes != ICON_SIZES:
        problems.append("icon sizes %s, not %s" % (sizes, ICON_SIZES))
    facts.append("icon " + " ".join(map(str, sizes)) if sizes else "no icon")

    versions = list(resources.get(RT_VERSION, {}).values())
    if not versions:
        problems.append("no version information")
    else:
        fixed, strings = version_info(versions[0])
        wanted = {"ProductName": PRODUCT, "CompanyName": COMPANY,
                  "FileVersion": version, "ProductVersion": version}
        if kind != "installer":
            wanted["OriginalFilename"] = name
        for key, value in wanted.items():
            if strings.get(key) != value:
                problems.append("%s is %r, not %r" % (key, strings.get(key), value))
        for key in ("FileDescription", "LegalCopyright"):
            if not strings.get(key):
                problems.append("no " + key)
        parts = tuple(int(p) for p in version.split(".")) + (0, 0, 0)
        if fixed != parts[:4]:
            problems.append("fixed file version %s, not %s" % (fixed, parts[:4]))
        facts.append("version %s (%s)" % (strings.get("FileVersion"),
                                          strings.get("FileDescription")))

    manifests = list(resources.get(RT_MANIFEST, {}).values())
    if kind == "window":
        if not manifests:
            problems.append("no manifest")
        else:
            try:
                settings = manifest_settings(manifests[0])
            except ElementTree.ParseError as e:
                settings = {}
                problems.append("the manifest is no XML: %s" % e)
            awareness = [a.strip() for a in settings.get("dpiAwareness", "").split(",")]
            if settings.get("requestedExecutionLevel") != "asInvoker":
                problems.append("the manifest asks for %r, not asInvoker"
                                % settings.get("requestedExecutionLevel"))
            if awareness[0] != "PerMonitorV2" or "PerMonitor" not in awareness[1:]:
                problems.append("DPI awareness %r, not PerMonitorV2 with PerMonitor after it"
                                % settings.get("dpiAwareness"))
            if settings.get("dpiAware", "").lower() != "true/pm":
                problems.append("the older dpiAware is %r, not true/pm" % settings.get("dpiAware"))
            if settings.get("longPathAware", "").lower() != "true":
                problems.append("not longPathAware")
            facts.append("manifest " + ", ".join("%s=%s" % item for item in sorted(settings.items())))
    return name + ": " + "; ".join(facts), problems


def main(argv):
    if len(argv) < 4 or len(argv) % 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    version = argv[1]
    jobs = []
    for option, path in zip(argv[2::2], argv[3::2]):
        kind = {"--window": "window", "--console": "console", "--installer": "installer"}.get(option)
        if kind is None:
            print("unknown option %s" % option, file=sys.stderr)
            return 2
        jobs.append((path, kind))
    failures = 0
    for path, kind in jobs:
        line, problems = check(path, kind, version)
        print(line)
        for problem in problems:
            print("FAIL: %s: %s" % (path, problem), file=sys.stderr)
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
