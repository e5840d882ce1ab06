"""archver.exe "/o" and "/w" on the Windows versions a Wine prefix can be set
to, with the expected values of the real releases written out here; and the
DLLs each run loads, against a do-nothing program from the same toolchain.
user32 alone drags in a dozen more, so it may be loaded only where the
report asks about Server 2003 R2.

usage: test_versions.py ARCHVER_EXE NOTHING_EXE win64 LAUNCH_EXE WINE_DIR
"""
import sys

from checks import check, finish, report
from winehost import (SERVER_2003_SP2, SERVER_2008_R2_SP1_DC, SERVER_2025, WINDOWS_10, WINDOWS_11,
                      WINDOWS_7_SP1, WINDOWS_XP_SP3, Prefix, named_version, registry_version)

# (name, how the prefix is set, "/o" exit code, "/w" output)
VERSIONS = [
    ("Windows XP SP3", WINDOWS_XP_SP3, 20511,
     report("WinXP", 5, 1, 1, 2600, 256, "3.0", "Service Pack 3")),
    ("Windows XP SP2, service-pack text in another case",
     registry_version("5.1", "2600", service_pack=2, csd="service pack 2"), 20511,
     report("WinXP SP2", 5, 1, 1, 2600, 0, "2.0", "service pack 2")),
    ("Windows Server 2003 SP2", SERVER_2003_SP2, 20523,
     report("WS2K3", 5, 2, 3, 3790, 256, "2.0", "Service Pack 2")),
    ("Windows 7 SP1", WINDOWS_7_SP1, 20611,
     report("Win7", 6, 1, 1, 7601, 0, "1.0", "Service Pack 1")),
    ("Windows Server 2008 R2 SP1 domain controller", SERVER_2008_R2_SP1_DC, 20612,
     report("WS2K8 R2", 6, 1, 2, 7601, 0, "1.0", "Service Pack 1")),
    # From Windows 8.1 on, only the compatibility manifest gets the true
    # version; without it every one of these reports 6.2.
    ("Windows 8.1", named_version("win81"), 20631,
     report("Win8.1", 6, 3, 1, 9600, 256, "0.0", "")),
    ("Windows 10", WINDOWS_10, 21001,
     report("Win10", 10, 0, 1, 18362, 256, "0.0", "")),
    ("Windows Server 2012 R2", registry_version("6.3", "9600", "ServerNT"), 20633,
     report("WS2K12 R2", 6, 3, 3, 9600, 0, "0.0", "")),
    ("Windows Server 2016", registry_version("10.0", "14393", "ServerNT"), 21003,
     report("WS2K16", 10, 0, 3, 14393, 0, "0.0", "")),
    # Every Windows since 10 reports 10.0; only the build tells them apart.
    ("Windows 11 23H2", WINDOWS_11, 21001, report("Win10", 10, 0, 1, 22631, 0, "0.0", "")),
    ("Windows Server 2025", SERVER_2025, 21003, report("WS2K16", 10, 0, 3, 26100, 0, "0.0", "")),
]
# Arguments whose run loads what the do-nothing program loads on Windows 7,
# beside "/o" and "/w" on every version above.
LEAN_ON_WINDOWS_7 = [[], ["/v"], ["/b"], ["/?"]]


def main():
    exe, nothing, arch, launcher, wine_dir = sys.argv[1:6]
    with Prefix("versions", arch, launcher, wine_dir) as wine:
        baseline = wine.loaded_dlls(nothing, [])
        print("a do-nothing program loads", baseline)
        for name, setting, code, text in VERSIONS:
            wine.use_version(setting)
            check(name + " /o", wine.run(exe, [b"/o"]), (b"", b"", code))
            check(name + " /w", wine.run(exe, [b"/w"]), (text, b"", code))
            for args in [["/o"], ["/w"]] + (LEAN_ON_WINDOWS_7 if setting == WINDOWS_7_SP1 else []):
                loaded = wine.loaded_dlls(exe, args)
                if setting == SERVER_2003_SP2 and args == ["/w"]:
                    check("%s %s loads user32 and more" % (name, args),
                          "user32.dll" in loaded and set(baseline) < set(loaded), True)
                else:
                    check("%s %s loads" % (name, args), loaded, baseline)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
