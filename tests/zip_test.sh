#!/bin/bash
# The Windows ZIP holds garvelux.exe, the manual, the licence and the
# changes as text, the task definition, and the Group Policy template for
# the key the program reads, and nothing else; the exe
# carries its version information and manifest. The MSI, as msitools read
# it: a per-machine package with the tables its work needs and no script;
# its custom action exports its two entry points and carries the ZIP's
# definition.
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
for table in Property CustomAction MsiLockPermissionsEx Registry InstallExecuteSequence Component \
    File; do
    msiinfo export "$msi" $table >"$work/$table"
done
msiinfo suminfo "$msi" >"$work/suminfo"
i686-w64-mingw32-objdump -p "$1/garvelux-task.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' >"$work/exports"
wrestool --raw -x -t 10 -n 1 "$1/garvelux-task.dll" >"$work/definition"
python3 -m zipfile -e "$work/garvelux-$2-win32.zip" "$work"
for file in "$1/garvelux.exe" "$work/garvelux-$2-win32/garvelux.exe" "$1/garvelux-task.dll" \
    "$msi"; do
    if [ -n "${3:-}" ]; then
        osslsigncode verify ${GARVELUX_SIGN_CA:+-CAfile "$GARVELUX_SIGN_CA"} -in "$file" \
            >"$work/verify" 2>&1 || { cat "$work/verify"; echo "not signed: $file"; exit 1; }
        # An MSI's signature also covers its metadata.
        [ "$file" != "$msi" ] || msiinfo streams "$msi" | grep -qx $'\005MsiDigitalSignatureEx' ||
            { echo "no MsiDigitalSignatureEx: $msi"; exit 1; }
    elif osslsigncode extract-signature -in "$file" -out "$work/signature" >/dev/null 2>&1; then
        echo "signed without a certificate: $file"; exit 1
    fi
done
python3 - "$work" "$2" "$1/garvelux.exe" <<'PY'
import re, sys, zipfile
import xml.etree.ElementTree as ElementTree
work, version, exe = sys.argv[1:4]
archive = zipfile.ZipFile(work + "/garvelux-%s-win32.zip" % version)
folder = "garvelux-%s-win32/" % version
names = sorted(n for n in archive.namelist() if not n.endswith("/"))
assert names == [folder + n for n in ("CHANGELOG.txt", "LICENSE.txt", "garvelux-task.xml",
                                      "garvelux.exe", "garvelux.txt",
                                      "policy/en-US/garvelux.adml", "policy/garvelux.admx")], names
# The template: the values the program reads, under its key, as text within
# its capacities; each string and presentation it names, defined.
xml = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
admx_text = archive.read(folder + "policy/garvelux.admx").decode()
admx = ElementTree.fromstring(admx_text)
adml = ElementTree.fromstring(archive.read(folder + "policy/en-US/garvelux.adml"))
policies = admx.findall(".//%spolicy" % xml)
assert {p.get("key") for p in policies} == {"SOFTWARE\\Policies\\GARVELUX\\SLP",
                                          "SOFTWARE\\Policies\\GARVELUX"}, policies
assert sorted((t.get("valueName"), t.get("maxLength")) for t in admx.iter(xml + "text")) == [
    ("DAAddresses", "511"), ("Scopes", "255"), ("Server", "127")]
assert [(d.get("valueName"), d.get("minValue"), d.get("maxValue"))
        for d in admx.iter(xml + "decimal")] == [("MaxStepSeconds", "1", "315360000")]
defined = {(e.tag[len(xml):], e.get("id")) for e in adml.iter() if e.get("id")}
named = re.findall(r"\$\((string|presentation)\.(\w+)\)", admx_text)
assert set(named) <= defined and len(named) == 13, (named, defined)
assert {e.get("refId") for e in adml.iter(xml + "textBox")} == {"DAAddresses", "Scopes", "Server"}
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
# Any user may repair a per-machine product: SERVER is no secure property,
# and AdminUser follows the real token. Programs and Features offers no Change.
assert "SERVER" not in properties["SecureCustomProperties"].split(";"), properties
assert properties["MSIUSEREALADMINDETECTION"] == "1" and properties["ARPNOMODIFY"] == "1"
assert "Template: Intel;1033" in open(work + "/suminfo").read()
# No script action; the package's own actions and their types are held by
# the installs under Wine. SERVER settled before the components' conditions,
# checked once the folders are resolved; the old version removed inside the
# new one's transaction, after its script.
assert not [row for row in rows("CustomAction") if int(row[1]) & 0x3F in
            (5, 6, 21, 22, 37, 38, 53, 54)], rows("CustomAction")
step = {row[0]: int(row[2]) for row in rows("InstallExecuteSequence")}
# The task goes with the program by any route of removal (wixl would take
# the $ of a component's action state for its own).
condition = {row[0]: row[1] for row in rows("InstallExecuteSequence")}
assert "$Program=2 AND NOT UPGRADING" in condition["RemoveTask"], condition
assert step["RemoveFiles"] < step["UnmakeFolders"] < step["MakeFolders"] < step["CreateFolders"]
assert step["AppSearch"] < step["ChooseServer"] < step["CostFinalize"] < step["CheckValues"] \
    < step["InstallValidate"] < step["InstallInitialize"] < step["InstallExecute"] \
    < step["RemoveExistingProducts"] < step["InstallFinalize"], step
# The remembered server's component is evaluated again by every reinstall.
server = [row for row in rows("Component") if row[0] == "Server"][0]
assert int(server[3]) & 0x40 and server[4] == "SERVER", server
assert [row[4] for row in rows("File") if row[0] == "garvelux.exe"] == [version + ".0.0"]
# Both folders owned by SYSTEM, inheriting nothing; the owner's implicit
# rights (OW) taken away on each folder and what it holds; the program's
# folder writable by SYSTEM and the administrators alone; the log's folder
# granting no one else anything (the task's right to append comes with its
# registration).
locks = {row[1]: row[3] for row in rows("MsiLockPermissionsEx")}
aces = {lock: {trustee: (flags, rights) for flags, rights, trustee in
                 re.findall(r"\(A;(\w*);(\w+);;;(\w+)\)", sddl)} for lock, sddl in locks.items()}
for lock, sddl in locks.items():
    assert sddl.startswith("O:SYD:PAI(") and aces[lock]["OW"][0] == "OICI", sddl
assert aces["INSTALLDIR"] == {"SY": ("OICI", "FA"), "BA": ("OICI", "FA"),
                              "BU": ("OICI", "0x1200a9"), "OW": ("OICI", "0x1200a9")}, aces
assert aces["LOGDIR"] == {"SY": ("OICI", "FA"), "BA": ("OICI", "FA"), "OW": ("OICI", "FR")}, aces
exports = open(work + "/exports").read()
assert re.findall(r"^\s+\[ *\d+\] (\S+)$", exports, re.M) == ["MakeFolders", "SetTask"], exports
assert open(work + "/definition", "rb").read() == archive.read(folder + "garvelux-task.xml")
source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\GARVELUX"
assert sorted(row[2:5] for row in rows("Registry") if row[2] == source) == [
    [source, "-", ""], [source, "EventMessageFile", "#%[#garvelux.exe]"],
    [source, "TypesSupported", "#7"]], rows("Registry")
print("2 passed, 0 failed")
PY
