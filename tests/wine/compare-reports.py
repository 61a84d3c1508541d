#!/usr/bin/env python3
"""Compares two korvalen-fw JSON reports field for field, leaving out what
differs between runs or systems by nature: timings and paths.
--ignore KEY (repeatable) leaves out more, such as the request count of an
update that ran in real time, whose busy polls follow the wall clock."""
import json
import sys

# Keys whose values are times or places on one machine.
VARYING = {"path", "elapsed_ms", "ms", "seconds", "duration_ms", "started", "finished"}


def strip(value):
    if isinstance(value, dict):
        return {k: strip(v) for k, v in value.items() if k not in VARYING and not is_time(k)}
    if isinstance(value, list):
        return [strip(v) for v in value]
    return value


def is_time(key):
    return key.endswith("_ms") or key.endswith("_seconds") or key in ("time", "elapsed")


def differences(a, b, where="$"):
    if type(a) is not type(b):
        yield f"{where}: {a!r} != {b!r}"
    elif isinstance(a, dict):
        for key in sorted(set(a) | set(b)):
            if key not in a or key not in b:
                yield f"{where}.{key}: only in {'Linux' if key in a else 'Windows'}"
            else:
                yield from differences(a[key], b[key], f"{where}.{key}")
    elif isinstance(a, list):
        if len(a) != len(b):
            yield f"{where}: {len(a)} items != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b)):
            yield from differences(x, y, f"{where}[{i}]")
    elif a != b:
        yield f"{where}: {a!r} != {b!r}"


def main():
    args = sys.argv[1:]
    while "--ignore" in args:
        at = args.index("--ignore")
        VARYING.add(args[at + 1])
        del args[at:at + 2]
    reports = []
    for name in args[0:2]:
        with open(name, "rb") as f:
            reports.append(json.loads(f.read().decode("utf-8")))
    linux, windows = (strip(r) for r in reports)
    found = list(differences(linux, windows))
    for line in found:
        print(line, file=sys.stderr)
    compared = sum(1 for _ in walk(linux))
    print(f"{args[1]}: {compared} fields compared, {len(found)} differ")
    return 1 if found or compared == 0 else 0


def walk(value):
    if isinstance(value, dict):
        for v in value.values():
            yield from walk(v)
    elif isinstance(value, list):
        for v in value:
            yield from walk(v)
    else:
        yield value


if __name__ == "__main__":
    sys.exit(main())
