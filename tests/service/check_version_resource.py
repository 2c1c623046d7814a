#!/usr/bin/python3
# check_version_resource.py EXE VERSION - reads the version resource back from
# the built executable with pefile and checks what Explorer's Details tab
# shows: the strings, and the fixed numbers matching the version text.
import sys

import pefile

exe, version = sys.argv[1], sys.argv[2]
pe = pefile.PE(exe)
strings = {}
for info in getattr(pe, "FileInfo", [[]])[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
expected = {
    "CompanyName": "Quillet Hollin",
    "FileDescription": "Quillet Hollin Gateway",
    "ProductName": "Quillet Hollin Gateway",
    "FileVersion": version,
    "ProductVersion": version,
    "LegalCopyright": "Copyright (c) 2009 Quillet Hollin",
}
failures = [f"{k}: {strings.get(k)!r}, expected {v!r}" for k, v in expected.items() if strings.get(k) != v]
# "1.01" is 1.1.0.0 in the fixed part, which is what Windows compares.
numbers = [int(n) for n in version.split(".")] + [0, 0, 0]
fixed = pe.VS_FIXEDFILEINFO[0]
for name, ms, ls in (("file", fixed.FileVersionMS, fixed.FileVersionLS),
                     ("product", fixed.ProductVersionMS, fixed.ProductVersionLS)):
    got = [ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF]
    if got != numbers[:4]:
        failures.append(f"fixed {name} version {got}, expected {numbers[:4]}")
for failure in failures:
    print("FAIL:", failure)
print("version resource:", strings)
sys.exit(1 if failures else 0)
