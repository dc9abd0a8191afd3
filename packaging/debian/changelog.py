#!/usr/bin/env python3
"""Writes CHANGELOG.md as a Debian changelog, or with "rpm" as an RPM package's
%changelog, on standard output: one entry a release, its paragraphs and list
items as the entry's items.

usage: changelog.py CHANGELOG.md PACKAGE "NAME <EMAIL>" [rpm]"""

import datetime
import re
import sys

source, package, maintainer = sys.argv[1:4]
rpm = sys.argv[4:] == ["rpm"]
releases = re.split(r"^## ", open(source, encoding="utf-8").read(), flags=re.M)[1:]
for release in releases:
    heading, _, body = release.partition("\n")
    version, date = re.match(r"(\S+) \S+ (\d{4}-\d\d-\d\d)", heading).groups()
    day = datetime.datetime.strptime(date, "%Y-%m-%d")
    items = [[line.strip() for line in block.strip().removeprefix("- ").splitlines()]
             for block in re.split(r"\n\s*\n|\n(?=- )", body.strip())]
    if rpm:
        # Every release is its version's first package; rpm expands macros
        # in the text, so a % is doubled.
        print("* %s %s - %s-1" % (day.strftime("%a %b %d %Y"), maintainer, version))
        print("\n".join("- " + "\n  ".join(lines) for lines in items).replace("%", "%%") + "\n")
        continue
    print("%s (%s) unstable; urgency=medium\n" % (package, version))
    for lines in items:
        print("  * " + "\n    ".join(lines))
    print("\n -- %s  %s\n" % (maintainer, day.strftime("%a, %d %b %Y 00:00:00 +0000")))
