"""archver.exe under Wine. test_run_win64 and test_run_win32: every run mode
and bad input, checked as the exact bytes on standard output and the full
32-bit exit code. test_versions_win64: "/o" and "/w" on every version a
prefix can pose as, with the expected values of the real releases written
out here, and the DLLs each run loads against a do-nothing program from the
same toolchain: user32 alone drags in a dozen more, so it may be loaded
only where the report asks about Server 2003 R2.

The harness's own quoting is proven on showargs.exe, which prints every
argument it received: archver reads only two bytes of its first one.

usage: test_run.py ARCHVER_EXE SHOWARGS_EXE NOTHING_EXE TEST win64|win32 LAUNCH_EXE WINE_DIR
"""
import os
import re
import sys
import tempfile

from behaviour import HINT, check_modes, machine_answers, read_machine, report
from checks import check, finish
from poses import (SERVER_2003_SP2, SERVER_2008_R2_SP1_DC, SERVER_2025, WIN10_BUILD, WINDOWS_10,
                   WINDOWS_11, WINDOWS_7_SP1, WINDOWS_XP_SP3, code_of)
import winehost
from winehost import Prefix, named_version, registry_version

# Windows 7 SP1 set through the registry, the version the mode table runs on.
WIN7 = report("Win7", 6, 1, 1, 7601, 0, "1.0", "Service Pack 1")
WIN7_CODE = code_of(WINDOWS_7_SP1)

# Arguments that must reach a program byte for byte through the harness's
# quoting: backslashes are literal except before a quote, where they and the
# quote are escaped, and before the closing quote that a blank or tab calls for.
QUOTING = [
    [b"plain"], [b"a\\b", b"c:\\dir\\"], [b"\\\\server\\share"],
    [b'say "hi"'], [b'"'], [b'""'], [b'a\\"b'], [b'a\\\\"b'], [b'\\"'],
    [b"a b\\"], [b"a b\\\\"], [b"a\tb\\"],
    [b" lead", b"trail ", b"\t"], [b""], [b"", b"", b"x"],
]

# (name, how the prefix is set, "/w" output); "/o" answers its version code.
VERSIONS = [
    ("Windows XP SP3", WINDOWS_XP_SP3,
     report("WinXP", 5, 1, 1, 2600, 256, "3.0", "Service Pack 3")),
    ("Windows XP SP2, service-pack text in another case",
     registry_version("5.1", "2600", service_pack=2, csd="service pack 2"),
     report("WinXP SP2", 5, 1, 1, 2600, 0, "2.0", "service pack 2")),
    ("Windows Server 2003 SP2", SERVER_2003_SP2,
     report("WS2K3", 5, 2, 3, 3790, 256, "2.0", "Service Pack 2")),
    ("Windows 7 SP1", WINDOWS_7_SP1, WIN7),
    # Printed as the registry holds it, which the harness writes escaped.
    ("Windows 7 SP1, quotes and a backslash in the service pack's text",
     registry_version("6.1", "7601", service_pack=1, csd='Service Pack 1 "x" \\'),
     report("Win7", 6, 1, 1, 7601, 0, "1.0", 'Service Pack 1 "x" \\')),
    ("Windows Server 2008 R2 SP1 domain controller", SERVER_2008_R2_SP1_DC,
     report("WS2K8 R2", 6, 1, 2, 7601, 0, "1.0", "Service Pack 1")),
    # From Windows 8.1 on, only the compatibility manifest gets the true
    # version; without it every one of these reports 6.2.
    ("Windows 8.1", named_version("win81"), report("Win8.1", 6, 3, 1, 9600, 256, "0.0", "")),
    ("Windows 10", WINDOWS_10, report("Win10", 10, 0, 1, int(WIN10_BUILD), 256, "0.0", "")),
    ("Windows Server 2012 R2", registry_version("6.3", "9600", "ServerNT"),
     report("WS2K12 R2", 6, 3, 3, 9600, 0, "0.0", "")),
    ("Windows Server 2016", registry_version("10.0", "14393", "ServerNT"),
     report("WS2K16", 10, 0, 3, 14393, 0, "0.0", "")),
    # Every Windows since 10 reports 10.0; only the build tells them apart.
    ("Windows 11 23H2", WINDOWS_11, report("Win10", 10, 0, 1, 22631, 0, "0.0", "")),
    ("Windows Server 2025", SERVER_2025, report("WS2K16", 10, 0, 3, 26100, 0, "0.0", "")),
]
# Arguments whose run loads what the do-nothing program loads on Windows 7,
# beside "/o" and "/w" on every version above.
LEAN_ON_WINDOWS_7 = [[], ["/v"], ["/b"], ["/?"]]


def main():
    exe, showargs, nothing, test, arch, launcher, wine_dir = sys.argv[1:8]
    answers = dict({"win64": {"V": 64, "B": 2}, "win32": {"V": 32, "B": 1}}[arch], O=WIN7_CODE,
                   W=WIN7)
    with Prefix("run", arch, launcher, wine_dir) as wine:
        if test.startswith("test_versions"):
            check_versions(wine, exe, nothing)
            return finish(winehost.reruns)
        wine.use_version(WINDOWS_7_SP1)

        # The answers that Windows runs take from the machine's registry.
        read = machine_answers(read_machine(wine.system_program("cmd.exe"), wine.env), 0)
        check("answers from the registry", read, (answers, 7601))
        check_modes(lambda args: wine.run(exe, args), answers)

        for args in QUOTING:
            printed = b"".join(b"<%s>\r\n" % arg for arg in args)
            check("arguments %r" % args, wine.run(showargs, args), (printed, b"", len(args)))

        # "?" and "*" reach the program as typed, not as the names of the
        # one-letter files beside them.
        with tempfile.TemporaryDirectory() as directory:
            for name in ("b", "w", "o", "v"):
                open(os.path.join(directory, name), "w").close()
            for pattern in (b"?", b"*"):
                got = wine.run(exe, [pattern], cwd=directory)
                check("%r among files" % pattern, got, (HINT, b"", 0))

        # Output that cannot be written changes nothing.
        for args, code in (([b"/w"], WIN7_CODE), ([b"/?"], 0), ([b"x"], 0)):
            with open("/dev/full", "wb") as full:
                got = wine.run(exe, args, stdout=full)
            check("%r to a full device" % args, got[1:], (b"", code))

    return finish(winehost.reruns)


def check_versions(wine, exe, nothing):
    """Each of VERSIONS, posed on 64-bit Windows: the answers, what Windows'
    own registry says, and the DLLs loaded."""
    baseline = wine.loaded_dlls(nothing, [])
    for name, setting, text in VERSIONS:
        code = code_of(setting)
        wine.use_version(setting)
        check(name + " /o", wine.run(exe, [b"/o"]), (b"", b"", code))
        check(name + " /w", wine.run(exe, [b"/w"]), (text, b"", code))
        if setting[1]:  # a version that Wine writes in its registry
            suite = int(re.search(rb"SuiteMask += (\d+)", text).group(1))
            values = read_machine(wine.system_program("cmd.exe"), wine.env)
            read, _ = machine_answers(values, suite)
            check(name + " from the registry", (read["O"], read["W"]), (code, text))
        for args in [["/o"], ["/w"]] + (LEAN_ON_WINDOWS_7 if setting == WINDOWS_7_SP1 else []):
            loaded = wine.loaded_dlls(exe, args)
            if setting == SERVER_2003_SP2 and args == ["/w"]:
                check("%s %s loads user32 and more" % (name, args),
                      "user32.dll" in loaded and set(baseline) < set(loaded), True)
            else:
                check("%s %s loads" % (name, args), loaded, baseline)


if __name__ == "__main__":
    sys.exit(main())
