"""archver.exe "/o" and "/w" on the Windows versions a Wine prefix can be set
to. Expected values are those of the real releases, written out here.

usage: test_versions.py ARCHVER_EXE LAUNCH_EXE PREFIX_DIR
"""
import sys

from checks import check, finish
from winehost import Prefix
from test_run import report

# (name, how the prefix is set, "/o" exit code, "/w" output)
VERSIONS = [
    ("Windows XP SP3", ("named", "winxp"), 20511,
     report("WinXP", 5, 1, 1, 2600, 256, "3.0", "Service Pack 3")),
    ("Windows XP SP2, service-pack text in another case",
     ("registry", "5.1", "2600", "service pack 2", 0x200, "WinNT"), 20511,
     report("WinXP SP2", 5, 1, 1, 2600, 0, "2.0", "service pack 2")),
    ("Windows Server 2003 SP2", ("named", "win2003"), 20523,
     report("WS2K3", 5, 2, 3, 3790, 256, "2.0", "Service Pack 2")),
    ("Windows 7 SP1", ("registry", "6.1", "7601", "Service Pack 1", 0x100, "WinNT"), 20611,
     report("Win7", 6, 1, 1, 7601, 0, "1.0", "Service Pack 1")),
    ("Windows Server 2008 R2 SP1 domain controller",
     ("registry", "6.1", "7601", "Service Pack 1", 0x100, "LanmanNT"), 20612,
     report("WS2K8 R2", 6, 1, 2, 7601, 0, "1.0", "Service Pack 1")),
    # From Windows 8.1 on, only the compatibility manifest gets the true
    # version; without it every one of these reports 6.2.
    ("Windows 8.1", ("named", "win81"), 20631,
     report("Win8.1", 6, 3, 1, 9600, 256, "0.0", "")),
    ("Windows 10", ("named", "win10"), 21001,
     report("Win10", 10, 0, 1, 18362, 256, "0.0", "")),
    ("Windows Server 2012 R2", ("registry", "6.3", "9600", "", 0, "ServerNT"), 20633,
     report("WS2K12 R2", 6, 3, 3, 9600, 0, "0.0", "")),
    ("Windows Server 2016", ("registry", "10.0", "14393", "", 0, "ServerNT"), 21003,
     report("WS2K16", 10, 0, 3, 14393, 0, "0.0", "")),
]


def main():
    exe, launcher, prefix_dir = sys.argv[1:4]
    with Prefix(prefix_dir, "win64", launcher) as wine:
        for name, setting, code, text in VERSIONS:
            wine.use_version(setting)
            check(name + " /o", wine.run(exe, [b"/o"]), (b"", b"", code))
            check(name + " /w", wine.run(exe, [b"/w"]), (text, b"", code))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
