#!/bin/bash
# The Windows ZIP holds garvelux.exe and the manual as text, and nothing else.
# usage: zip_test.sh BUILD_DIR
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$1/CPackConfig.cmake" -B "$work" >/dev/null)
python3 - "$work/garvelux-0.10-win32.zip" <<'PY'
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = sorted(archive.namelist())
assert names == ["garvelux-0.10-win32/garvelux.exe", "garvelux-0.10-win32/garvelux.txt"], names
manual = archive.read("garvelux-0.10-win32/garvelux.txt")
assert manual.startswith(b"GARVELUX(1)") and b"\x08" not in manual and b"\r\n" in manual
assert archive.read("garvelux-0.10-win32/garvelux.exe")[:2] == b"MZ"
print("1 passed, 0 failed")
PY
