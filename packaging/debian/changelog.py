#!/usr/bin/env python3
"""Writes CHANGELOG.md as a Debian changelog on standard output: one entry
a release, its paragraphs and list items as the entry's items.

usage: changelog.py CHANGELOG.md PACKAGE "NAME <EMAIL>\""""

import datetime
import re
import sys

source, package, maintainer = sys.argv[1:4]
releases = re.split(r"^## ", open(source, encoding="utf-8").read(), flags=re.M)[1:]
for release in releases:
    heading, _, body = release.partition("\n")
    version, date = re.match(r"(\S+) \S+ (\d{4}-\d\d-\d\d)", heading).groups()
    print("%s (%s) unstable; urgency=medium\n" % (package, version))
    for block in re.split(r"\n\s*\n|\n(?=- )", body.strip()):
        lines = [line.strip() for line in block.strip().removeprefix("- ").splitlines()]
        print("  * " + "\n    ".join(lines))
    day = datetime.datetime.strptime(date, "%Y-%m-%d")
    print("\n -- %s  %s\n" % (maintainer, day.strftime("%a, %d %b %Y 00:00:00 +0000")))
