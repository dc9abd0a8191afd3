#!/bin/bash
# The Windows ZIP holds garvelux.exe, the manual, the licence and the
# changes as text, and the task definition, and nothing else; the exe
# carries its version information and manifest. The MSI, as msitools read
# it: a per-machine package with the tables its work needs and no script.
# All of them, and the exe's banner, name the project's version. With a
# signing certificate, the exe (built and zipped), the custom action and
# the MSI carry signatures that osslsigncode verifies, against the CA in
# GARVELUX_SIGN_CA when set; without, none is signed.
# usage: zip_test.sh BUILD_DIR VERSION [SIGN_CERT]
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$1/CPackConfig.cmake" -B "$work" >/dev/null)
wrestool --raw -x -t 16 "$1/garvelux.exe" >"$work/version"
wrestool --raw -x -t 24 "$1/garvelux.exe" >"$work/manifest"
msi=$1/garvelux-$2-win32.msi
msiinfo tables "$msi" | sort >"$work/tables"
for table in Property CustomAction MsiLockPermissionsEx Registry; do
    msiinfo export "$msi" $table >"$work/$table"
done
msiinfo suminfo "$msi" >"$work/suminfo"
python3 -m zipfile -e "$work/garvelux-$2-win32.zip" "$work"
for file in "$1/garvelux.exe" "$work/garvelux-$2-win32/garvelux.exe" "$1/garvelux-task.dll" \
    "$msi"; do
    if [ -n "${3:-}" ]; then
        osslsigncode verify ${GARVELUX_SIGN_CA:+-CAfile "$GARVELUX_SIGN_CA"} -in "$file" \
            >"$work/verify" 2>&1 || { cat "$work/verify"; echo "not signed: $file"; exit 1; }
    elif osslsigncode extract-signature -in "$file" -out "$work/signature" >/dev/null 2>&1; then
        echo "signed without a certificate: $file"; exit 1
    fi
done
python3 - "$work" "$2" "$1/garvelux.exe" <<'PY'
import re, sys, zipfile
work, version, exe = sys.argv[1:4]
archive = zipfile.ZipFile(work + "/garvelux-%s-win32.zip" % version)
folder = "garvelux-%s-win32/" % version
names = sorted(archive.namelist())
assert names == [folder + n for n in ("CHANGELOG.txt", "LICENSE.txt", "garvelux-task.xml",
                                      "garvelux.exe", "garvelux.txt")], names
manual = archive.read(folder + "garvelux.txt")
assert manual.startswith(b"GARVELUX(1)") and b"\x08" not in manual and b"\r\n" in manual
assert archive.read(folder + "LICENSE.txt").startswith(b"ISC License\r\n")
assert archive.read(folder + "CHANGELOG.txt").startswith(b"# Changelog\r\n")
assert archive.read(folder + "garvelux.exe")[:2] == b"MZ"
task = archive.read(folder + "garvelux-task.xml").decode("utf-16")  # as Windows writes one
assert task.startswith('<?xml version="1.0" encoding="UTF-16"?>\r\n'), task[:80]
for text in (task, manual.decode()):  # 64-bit Windows puts the MSI elsewhere
    assert "C:\\Program Files\\GARVELUX" not in text
banner = b"\r\n GARVELUX version %s, sets this clock from a NetWare server\r\n" % version.encode()
assert banner in open(exe, "rb").read()

# VERSIONINFO: the fixed part (signature, then file and product versions
# MAJOR.MINOR.0.0), and the strings, in UTF-16.
resource = open(work + "/version", "rb").read()
fixed = resource[resource.index(b"\xbd\x04\xef\xfe"):]
major, minor = (int(n) for n in version.split("."))
assert fixed[8:24] == (minor.to_bytes(2, "little") + major.to_bytes(2, "little") +
                       b"\0" * 4) * 2, fixed[8:24]
strings = resource.decode("utf-16-le", "replace")
for key, value in [("FileVersion", version), ("ProductVersion", version),
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
for table in ("AppSearch", "Binary", "CreateFolder", "CustomAction", "File",
              "InstallExecuteSequence", "MsiLockPermissionsEx", "Property", "Registry",
              "RegLocator", "Upgrade"):
    assert table in tables, table
assert "LockPermissions" not in tables  # Windows Installer 5 refuses both
def rows(table):
    return [line.split("\t") for line in open(work + "/" + table).read().splitlines()[3:]]
properties = dict(rows("Property"))
assert properties["ProductVersion"] == version and properties["ALLUSERS"] == "1", properties
assert properties["UpgradeCode"] == "{C1E0561D-ABA2-4DAD-9BFD-7AB93269337A}"
assert "SERVER" in properties["SecureCustomProperties"].split(";"), properties
assert "Template: Intel;1033" in open(work + "/suminfo").read()
# No script action; the package's own actions, their types and sequence,
# and the Upgrade row are held by the installs under Wine.
assert not [row for row in rows("CustomAction") if int(row[1]) & 0x3F in
            (5, 6, 21, 22, 37, 38, 53, 54)], rows("CustomAction")
# The log folder's permissions in SDDL, which names accounts by alias.
assert [row[:3] for row in rows("MsiLockPermissionsEx")] == [
    ["LogFolder", "LOGDIR", "CreateFolder"]]
source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GARVELUX"
assert sorted(row[2:5] for row in rows("Registry") if row[2] == source) == [
    [source, "-", ""], [source, "EventMessageFile", "#%[#garvelux.exe]"],
    [source, "TypesSupported", "#7"]], rows("Registry")
print("2 passed, 0 failed")
PY
