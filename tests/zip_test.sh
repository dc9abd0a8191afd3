#!/bin/bash
# The Windows ZIP holds garvelux.exe, the manual, the licence and the
# changes as text, and the task definition, and nothing else; the exe
# carries its version information and manifest. The MSI, as msitools read
# it: a per-machine package of version 0.10 with the tables its work needs.
# usage: zip_test.sh BUILD_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$1/CPackConfig.cmake" -B "$work" >/dev/null)
wrestool --raw -x -t 16 "$1/garvelux.exe" >"$work/version"
wrestool --raw -x -t 24 "$1/garvelux.exe" >"$work/manifest"
msi=$1/garvelux-0.10-win32.msi
msiinfo tables "$msi" | sort >"$work/tables"
for table in Property CustomAction InstallExecuteSequence LockPermissions; do
    msiinfo export "$msi" $table >"$work/$table"
done
msiinfo suminfo "$msi" >"$work/suminfo"
python3 - "$work" <<'PY'
import re, sys, zipfile
work = sys.argv[1]
archive = zipfile.ZipFile(work + "/garvelux-0.10-win32.zip")
folder = "garvelux-0.10-win32/"
names = sorted(archive.namelist())
assert names == [folder + n for n in ("CHANGELOG.txt", "LICENSE.txt", "garvelux-task.xml",
                                      "garvelux.exe", "garvelux.txt")], names
manual = archive.read(folder + "garvelux.txt")
assert manual.startswith(b"GARVELUX(1)") and b"\x08" not in manual and b"\r\n" in manual
assert archive.read(folder + "LICENSE.txt").startswith(b"ISC License\r\n")
assert archive.read(folder + "CHANGELOG.txt").startswith(b"# Changelog\r\n")
assert archive.read(folder + "garvelux.exe")[:2] == b"MZ"
task = archive.read(folder + "garvelux-task.xml")  # UTF-16, as Windows writes one
assert task.decode("utf-16").startswith('<?xml version="1.0" encoding="UTF-16"?>\r\n'), task[:80]

# VERSIONINFO: the fixed part (signature, then file and product versions
# 0.10.0.0), and the strings, in UTF-16.
version = open(work + "/version", "rb").read()
fixed = version[version.index(b"\xbd\x04\xef\xfe"):]
assert fixed[8:24] == b"\x0a\x00\x00\x00\x00\x00\x00\x00" * 2, fixed[8:24]
strings = version.decode("utf-16-le", "replace")
for key, value in [("FileVersion", "0.10"), ("ProductVersion", "0.10"),
                   ("ProductName", "GARVELUX"),
                   ("FileDescription", "Sets the clock from a NetWare file server"),
                   ("LegalCopyright", "Copyright (c) 2026 the GARVELUX developers; ISC licence")]:
    assert re.search(key + "\0+" + re.escape(value) + "\0", strings), key

manifest = open(work + "/manifest", "rb").read().decode()
assert 'level="asInvoker"' in manifest
for windows in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
    assert '<supportedOS Id="{%s}"/>' % windows in manifest, windows
tables = open(work + "/tables").read().split()
for table in ("Binary", "CreateFolder", "CustomAction", "File", "InstallExecuteSequence",
              "LockPermissions", "Property", "Upgrade"):
    assert table in tables, table
def rows(table):
    return [line.split("\t") for line in open(work + "/" + table).read().splitlines()[3:]]
properties = dict(rows("Property"))
assert properties["ProductVersion"] == "0.10" and properties["ALLUSERS"] == "1", properties
assert properties["UpgradeCode"] == "{C1E0561D-ABA2-4DAD-9BFD-7AB93269337A}"
assert "Template: Intel;1033" in open(work + "/suminfo").read()
sequence = dict((row[0], row[1:]) for row in rows("InstallExecuteSequence"))
assert sequence["RegisterTask"][0] == "SERVER AND NOT REMOVE", sequence
assert sequence["DeleteTask"][0] == 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE', sequence
assert int(sequence["InstallFiles"][1]) < int(sequence["RegisterTask"][1])
# The log folder: LOCAL SERVICE reads, writes and lists; only it and the
# administrators may write.
assert sorted(rows("LockPermissions")) == sorted([
    ["LOGDIR", "CreateFolder", "", user, permission] for user, permission in [
        ("LocalService", "-536870912"), ("Administrators", "268435456"),
        ("LocalSystem", "268435456"), ("Users", "-1610612736")]]), rows("LockPermissions")
print("2 passed, 0 failed")
PY
