"""archver.exe "/o" and "/w" on the Windows versions a Wine prefix can be set
to. Expected values are those of the real releases, written out here.

usage: test_versions.py ARCHVER_EXE LAUNCH_EXE PREFIX_DIR
"""
import sys

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
]


def main():
    exe, launcher, prefix_dir = sys.argv[1:4]
    failures = []
    with Prefix(prefix_dir, "win64", launcher) as wine:
        for name, setting, code, text in VERSIONS:
            if setting[0] == "named":
                wine.use_named_version(setting[1])
            else:
                wine.use_registry_version(*setting[1:])
            for args, want in (([b"/o"], (b"", b"", code)), ([b"/w"], (text, b"", code))):
                got = wine.run(exe, args)
                if got != want:
                    failures.append("%s %s:\n    got  %r\n    want %r" % (name, args, got, want))
    for failure in failures:
        print("FAIL", failure)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
