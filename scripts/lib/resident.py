#!/usr/bin/python3
"""Resident memory of a running process, from /proc: the one helper of scripts/bench,
scripts/measure-size and scripts/ci/longrun.

  resident.py [--labels] [--mappings FILE] [--child-named REGEX] PID FIELD...

Prints the kB of each FIELD of /proc/PID/status (VmRSS, VmHWM, RssAnon, RssFile, ...) on one line,
"?" for one that cannot be read (the process is gone, or the kernel has no such field); the exit
status is then 1. --labels prints "FIELD: N kB" for each instead. --mappings writes the resident kB
of each mapping (by file, "[anonymous]" for the rest), largest first, to FILE. --child-named
measures PID's first child instead, and only when its name (the status file's Name) matches REGEX:
the program a wrapper such as the fake board started.
"""
import argparse
import re
import sys

ME = "resident"


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def status_fields(text):
    """Field -> its value, from /proc/PID/status: the kB of a memory field, the text of the others."""
    fields = {}
    for line in (text or "").splitlines():
        name, _, value = line.partition(":")
        value = value.strip()
        fields[name] = value[:-3].strip() if value.endswith(" kB") else value
    return fields


def mappings(smaps):
    """(kB, mapping) of every mapping with resident pages, from /proc/PID/smaps, largest first: a
    file's mappings add up, and the ones without a file are "[anonymous]"."""
    rss, name = {}, "[anonymous]"
    for line in (smaps or "").splitlines():
        words = line.split()
        if re.match(r"[0-9a-f]+-", line):
            name = words[5] if len(words) > 5 else "[anonymous]"
        elif words[:1] == ["Rss:"]:
            rss[name] = rss.get(name, 0) + int(words[1])
    return sorted(((kb, n) for n, kb in rss.items() if kb > 0), key=lambda e: (e[0], f"{e[0]:6d} kB  {e[1]}"),
                  reverse=True)


def first_child(pid):
    children = (read(f"/proc/{pid}/task/{pid}/children") or "").split()
    return children[0] if children else None


def main(argv):
    parser = argparse.ArgumentParser(prog=ME, description="Resident memory of a running process (kB).")
    parser.add_argument("--labels", action="store_true", help='print "FIELD: N kB" for each field')
    parser.add_argument("--mappings", metavar="FILE", help="write the resident kB of each mapping to FILE")
    parser.add_argument("--child-named", metavar="REGEX", help="measure PID's first child, if its name matches")
    parser.add_argument("pid", metavar="PID", type=int)
    parser.add_argument("fields", metavar="FIELD", nargs="+", help="a field of /proc/PID/status, e.g. VmHWM")
    args = parser.parse_args(argv)

    pid = args.pid
    fields = {}
    if args.child_named is not None:
        pid = first_child(pid)
    if pid is not None:
        fields = status_fields(read(f"/proc/{pid}/status"))
        if args.child_named is not None and not re.match(args.child_named, fields.get("Name", "")):
            fields = {}
    values = [fields.get(f) or "?" for f in args.fields]
    if args.labels:
        print(" ".join(f"{f}: {v} kB" for f, v in zip(args.fields, values)))
    else:
        print(" ".join(values))
    if args.mappings:
        smaps = read(f"/proc/{pid}/smaps") if pid is not None and fields else None
        with open(args.mappings, "w", encoding="utf-8") as f:
            f.writelines(f"{kb:6d} kB  {name}\n" for kb, name in mappings(smaps))
    return 1 if "?" in values else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
