"""Start-up cost of archver.exe under Wine: the DLLs a run loads, against a
do-nothing program from the same toolchain. user32 alone drags in a dozen
more, so it may be loaded only where the report asks about Server 2003 R2.

usage: test_startup.py ARCHVER_EXE NOTHING_EXE LAUNCH_EXE PREFIX_DIR
"""
import sys

from checks import check, finish
from winehost import SERVER_2003_SP2, WINDOWS_7_SP1, WINDOWS_XP_SP3, Prefix

# (Windows version, arguments, loads user32)
RUNS = [
    (WINDOWS_7_SP1, [], False), (WINDOWS_7_SP1, ["/v"], False), (WINDOWS_7_SP1, ["/b"], False),
    (WINDOWS_7_SP1, ["/o"], False), (WINDOWS_7_SP1, ["/w"], False),
    (WINDOWS_7_SP1, ["/?"], False), (WINDOWS_XP_SP3, ["/w"], False),
    (SERVER_2003_SP2, ["/o"], False), (SERVER_2003_SP2, ["/w"], True),
]


def main():
    exe, nothing, launcher, prefix_dir = sys.argv[1:5]
    with Prefix(prefix_dir, "win64", launcher) as wine:
        baseline = wine.loaded_dlls(nothing, [])
        print("a do-nothing program loads", baseline)
        for setting, args, user32 in RUNS:
            wine.use_version(setting)
            loaded = wine.loaded_dlls(exe, args)
            print(setting[1], args, "loads", len(loaded), "DLLs")
            if user32:
                check("%s %s loads user32 and more" % (setting, args),
                      "user32.dll" in loaded and set(baseline) < set(loaded), True)
            else:
                check("%s %s loads" % (setting, args), loaded, baseline)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
