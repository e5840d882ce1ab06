"""archver's behaviour table: what each argument list prints and the exit
code it ends with, as exact bytes and full 32-bit codes, under Wine
(tests/e2e/test_run.py) and on Windows itself. Where an answer depends on
the machine, it is taken from what the machine says elsewhere: its
registry, read through reg.exe, and the suite mask Python is told.

usage (on Windows, with Python): behaviour.py ARCHVER_EXE
    runs every row against ARCHVER_EXE and ends with "N passed, N failed",
    exiting 1 on any difference.
"""
import os
import re
import subprocess
import sys

import oracle
from checks import check, finish, reruns

HELP = (b"Help: archver.exe\r\n"
        b"    This Program can check that a process is running under WOW64.\r\n"
        b"    and Version of Windows OS (Win98-Win8.1 or W2K-WS2K12R2).\r\n\r\n"
        b"    [Memo] WOW64(Windows on Win64) is present in 64-bit Windows OS.\r\n\r\n"
        b"Usage:\r\n"
        b"       archver.exe [/v] [/b] [/o] [/w]\r\n\r\n"
        b"Options:\r\n"
        b"    /? Displays this help message.\r\n"
        b"    /v Returns two-digit version of Windows (32-bit or 64-bit).\r\n"
        b"       eg. 32-bit =32, 64-bit =64\r\n"
        b"    /b Returns single-digit version of Windows (32-bit or 64-bit).\r\n"
        b"       eg. 32-bit = 1, 64-bit = 2\r\n"
        b"    /o Returns four-digit OS version information\r\n"
        b"       (Platform Id, Major Version, Minor Version, Product Type).\r\n"
        b"       eg. Windows XP = 20511, Windows Server 2003    = 20523\r\n"
        b"           Windows 7  = 20611, Windows Server 2008 R2 = 20613\r\n"
        b"    /w Displays OS version information.\r\n\r\n"
        b"The default is to return two-digit version of Windows (32-bit or 64-bit).\r\n\r\n")
HINT = b"Please TypeIn:  archver.exe /? \r\n"


def report(label, major, minor, product, build, suite, service_pack, csd):
    """The bytes "/w" prints for an extended version record."""
    lines = [label, "PlatformId    = 2", "Version Major = %d" % major,
             "Version Minor = %d" % minor, "ProductType   = %d" % product,
             "BuildNumber   = %s" % build, "SuiteMask     = %d" % suite,
             "ServicePack   = %s" % service_pack, "CSDVersion    = %s" % csd]
    return "".join("  %s\r\n" % line for line in lines).encode() + b"\r\n"


# What each argument list prints and answers. "V" and "B" stand for the
# machine's two-digit and one-digit bitness answers, "O" for its version
# code and "W" for its "/w" report. The host's unit tests take their
# argument rows from here too (tests/unit/arguments.py).
MODES = [
    ([], b"", "V"),
    ([b"/?"], HELP, 0), ([b"-?"], HELP, 0), ([b"/?/b"], HELP, 0), ([b"?"], HINT, 0),
    ([b"/v"], b"", "V"), ([b"-V"], b"", "V"), ([b"v"], b"", "V"), ([b"Verbose"], b"", "V"),
    ([b"/b"], b"", "B"), ([b"-B"], b"", "B"), ([b"b"], b"", "B"), ([b"bogus"], b"", "B"),
    ([b"/o"], b"", "O"), ([b"-O"], b"", "O"), ([b"o"], b"", "O"),
    ([b"/w"], "W", "O"), ([b"-W"], "W", "O"), ([b"w"], "W", "O"), ([b"W"], "W", "O"),
    # Unknown letters and digits after a switch fall back to the default
    # silently, help included; without a switch they earn the hint.
    ([b"/h"], b"", "V"), ([b"-help"], b"", "V"), ([b"/1"], b"", "V"), ([b"//"], b"", "V"),
    ([b"h"], HINT, 0), ([b"x/b"], HINT, 0), ([b"1"], HINT, 0),
    # Bad input.
    ([b""], HINT, 0), ([b"/"], b"", "V"), ([b"-"], b"", "V"),
    ([b"\xe9"], HINT, 0), ([b"\xe9b"], HINT, 0), ([b"\xe9w"], HINT, 0),
    ([b"/\xe9"], b"", "V"),
    ([b"/b", b"/w"], b"", "B"), ([b"x", b"/b"], HINT, 0), ([b"/?", b"/o"], HELP, 0),
    ([b"/o" + b"x" * 1021], b"", "O"),
    ([b"/b" + b"x" * 1022], b"", "B"),
    ([b"w" * 30000], "W", "O"),
    ([b"?" * 1024], HINT, 0),
    # The exact bytes arrive: quotes, blanks and tabs are not taken as the
    # command line's own.
    ([b'"/w'], HINT, 0), ([b"\t/w"], HINT, 0), ([b" /w"], HINT, 0), ([b"", b"/b"], HINT, 0),
    ([b'/"'], b"", "V"), ([b"/\t"], b"", "V"), ([b'\\"/w', b"/o"], HINT, 0),
    ([b"b \\", b"/w"], b"", "B"),
]


# The keys the machine's answers come from, as reg.exe names them.
KEYS = {
    "version": r"HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion",
    "product": r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\ProductOptions",
    "service pack": r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Windows",
    "environment": r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager"
                   r"\Environment",
}
VALUE = re.compile(r"^\s+(\S+)\s+(REG_\w+)\s*(.*)$")


def read_machine(cmd, env=None):
    """{key: {value name: data}} of KEYS, read by reg.exe in one run of cmd
    (a command list); REG_DWORD data as numbers. Every Windows has values in
    each key: where reg.exe printed none, the keys are read once more (under
    load Wine now and then hands a program that cmd.exe starts no output),
    which the script's last line counts."""
    args = cmd + ["/d", "/c"]
    # The 64-bit view, as Windows itself keeps it, whatever cmd's bitness.
    for key in KEYS.values():
        args += [r"%SystemRoot%\System32\reg.exe", "query", key, "/reg:64", "&"]
    names = {path.lower(): name for name, path in KEYS.items()}
    for _ in range(2):
        done = subprocess.run(args[:-1], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        values = {name: {} for name in KEYS}
        key = None
        for line in done.stdout.decode(errors="replace").splitlines():
            if line.startswith("HKEY_"):
                key = names.get(line.strip().lower())
            elif key and VALUE.match(line):
                name, kind, data = VALUE.match(line).groups()
                values[key][name] = int(data, 16) if kind == "REG_DWORD" else data
        missing = [name for name in KEYS if not values[name]]
        if not missing:
            break
        print("reg.exe printed nothing for the %s key, read again" % " and ".join(missing))
        reruns.append("reading the registry")
    return values


def machine_answers(values, suite_mask):
    """What archver must answer on the machine that read_machine read:
    {"V", "B", "O", "W"}, and the build. Windows 10 and later keep
    CurrentVersion at 6.3 and the true version in two numbers."""
    version = values["version"]
    bits = 32 if values["environment"].get("PROCESSOR_ARCHITECTURE", "").lower() == "x86" else 64
    if "CurrentMajorVersionNumber" in version:
        major, minor = version["CurrentMajorVersionNumber"], version["CurrentMinorVersionNumber"]
    else:
        major, minor = (int(n) for n in version["CurrentVersion"].split("."))
    build = int(version["CurrentBuildNumber"])
    product = oracle.product_type(values["product"].get("ProductType", ""))
    csd = version.get("CSDVersion", "")
    service_pack = values["service pack"].get("CSDVersion", 0)
    text = report(oracle.label(major, minor, product, csd), major, minor, product, build,
                  suite_mask, "%d.%d" % (service_pack >> 8, service_pack & 0xFF), csd)
    return dict(V=bits, B=bits // 32, O=oracle.version_code(major, minor, product), W=text), build


def main():
    exe = os.path.abspath(sys.argv[1])
    answers, _ = machine_answers(read_machine([os.environ["ComSpec"]]),
                                 sys.getwindowsversion().suite_mask)
    print("this machine: %d-bit, version code %d" % (answers["V"], answers["O"]))

    for args, out, code in MODES:
        # The runtime's own quoting; the bytes reach archver through the
        # ANSI code page it reads its command line in.
        done = subprocess.run([exe] + [arg.decode("mbcs") for arg in args],
                              stdin=subprocess.DEVNULL, capture_output=True)
        name = repr(args)[:60]
        check(name + " stdout", done.stdout, answers.get(out, out))
        check(name + " stderr", done.stderr, b"")
        check(name + " exit code", done.returncode, answers.get(code, code))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
