#!/usr/bin/env python3
"""Compares the trees that the program and the pipeline left behind.

usage: check_tree.py MANIFEST PROGRAM_ROOT [PIPELINE_ROOT]

MANIFEST is the manifest.tsv that make_tree.py wrote; each ROOT holds a
converted copy of its DOCUMENT folder. For every invoice it checks that the
program left exactly the bytes of the reference conversion and the original
modification time, that every other file is untouched, and then compares the
pipeline's tree with the program's: every invoice whose bytes differ is
explained by the quirk the generator put into it, and any other difference
is reported as unexplained.

Exit status: 0 when the program is right and every difference is explained,
1 otherwise.
"""

import collections
import hashlib
import os
import sys

from make_tree import QUIRKS


def digest(path):
    with open(path, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def read_manifest(path):
    rows = []
    with open(path, encoding="utf-8") as source:
        for line in source:
            relative, role, kind, quirk, mtime, expected = line.rstrip("\n").split("\t")
            rows.append((relative, role, kind, quirk, int(mtime), expected))
    return rows


def check_contender(root, rows):
    """Checks one tree against the manifest; returns the digests of its
    files and the number of problems that concern the program."""
    digests = {}
    wrong = collections.defaultdict(list)
    for relative, role, kind, quirk, mtime, expected in rows:
        path = os.path.join(root, relative)
        try:
            info = os.stat(path)
            digests[relative] = digest(path)
        except OSError as error:
            wrong["missing"].append("%s (%s)" % (relative, error.strerror))
            continue
        if digests[relative] != expected:
            wrong["bytes differ from the reference" if role == "invoice"
                  else "a file that is no invoice was changed"].append(relative)
        if info.st_mtime_ns != mtime * 10**9:
            wrong["modification time not kept"].append(relative)
    for root_folder, _, names in os.walk(os.path.join(root, "DOCUMENT")):
        for name in names:
            if name.startswith(".invoice-converter.") or name.endswith(".tmp"):
                wrong["temporary file left behind"].append(
                    os.path.relpath(os.path.join(root_folder, name), root))
    return digests, wrong


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__.split("\n\n")[1])
    rows = read_manifest(sys.argv[1])
    invoices = [row for row in rows if row[1] == "invoice"]
    status = 0

    program, program_wrong = check_contender(sys.argv[2], rows)
    if program_wrong:
        status = 1
        for what, paths in sorted(program_wrong.items()):
            print("  PROGRAM WRONG: %s: %d files, e.g. %s" % (what, len(paths), paths[0]))
    else:
        print("  program:  all %d invoices equal the reference conversion, times kept; "
              "the %d other files untouched" % (len(invoices), len(rows) - len(invoices)))
    if len(sys.argv) == 3:
        return status

    pipeline, pipeline_wrong = check_contender(sys.argv[3], rows)
    differ = collections.defaultdict(list)
    for relative, role, kind, quirk, mtime, expected in rows:
        if relative in program and program.get(relative) != pipeline.get(relative):
            differ[quirk if role == "invoice" else "other"].append(relative)
    same = len(invoices) - sum(len(paths) for key, paths in differ.items() if key != "other")
    print("  pipeline: %d of %d invoices byte for byte the same as the program's" %
          (same, len(invoices)))
    for quirk, paths in sorted(differ.items()):
        if quirk in QUIRKS and quirk not in ("lower-case-tags", "no-blanks"):
            print("    %d differ: %s (e.g. %s)" % (len(paths), QUIRKS[quirk], paths[0]))
        else:
            status = 1
            print("    UNEXPLAINED: %d differ (%s), e.g. %s" % (len(paths), quirk, paths[0]))
    for what, paths in sorted(pipeline_wrong.items()):
        if what == "bytes differ from the reference":
            continue  # explained above, against the program
        status = 1
        print("    pipeline: %s: %d files, e.g. %s" % (what, len(paths), paths[0]))
    return status


if __name__ == "__main__":
    sys.exit(main())
