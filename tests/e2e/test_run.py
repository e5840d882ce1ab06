"""archver.exe under Wine: every run mode and bad input as exact bytes and
full exit codes; "/o" and "/w" on every version a prefix can pose as, with
the real releases' values written out, and the DLLs each run loads against
the do-nothing program's (user32 drags in a dozen more: only the Server
2003 R2 question may load it); the harness's quoting, on showargs.exe.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys

import pytest
import winehost

from behaviour import HINT, MODES, machine_answers, read_machine, report
from poses import (SERVER_2003_SP2, SERVER_2008_R2_SP1_DC, SERVER_2025, WINDOWS_10, WINDOWS_11,
                   WINDOWS_7_SP1, WINDOWS_XP_SP3, code_of)
from winehost import WIN10_BUILD, named_version, registry_version

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

# How the prefix is set and the "/w" output, by name; "/o" answers the
# version code.
VERSIONS = [pytest.param(*row[1:], id=row[0]) for row in [
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
    ("Windows 10", WINDOWS_10, report("Win10", 10, 0, 1, WIN10_BUILD, 256, "0.0", "")),
    ("Windows Server 2012 R2", registry_version("6.3", "9600", "ServerNT"),
     report("WS2K12 R2", 6, 3, 3, 9600, 0, "0.0", "")),
    ("Windows Server 2016", registry_version("10.0", "14393", "ServerNT"),
     report("WS2K16", 10, 0, 3, 14393, 0, "0.0", "")),
    # Every Windows since 10 reports 10.0; only the build tells them apart.
    ("Windows 11 23H2", WINDOWS_11, report("Win10", 10, 0, 1, 22631, 0, "0.0", "")),
    ("Windows Server 2025", SERVER_2025, report("WS2K16", 10, 0, 3, 26100, 0, "0.0", "")),
]]
# Arguments whose run loads what the do-nothing program loads on Windows 7,
# beside "/o" and "/w" on every version above.
LEAN_ON_WINDOWS_7 = [[], ["/v"], ["/b"], ["/?"]]




@pytest.fixture
def win7(wine, built):
    """The prefix as Windows 7 SP1, and what archver must answer there."""
    wine.use_version(WINDOWS_7_SP1)
    bits = {"win64": 64, "win32": 32}[built["arch"]]
    return dict(V=bits, B=bits // 32, O=WIN7_CODE, W=WIN7)


def test_answers_from_the_registry(wine, win7):
    """What the Windows runs take from the machine's registry."""
    assert machine_answers(read_machine(wine.system_program("cmd.exe"), wine.env), 0) == \
        (win7, 7601)


@pytest.mark.parametrize("args, out, code", MODES, ids=lambda v: repr(v)[:40])
def test_mode(wine, win7, args, out, code, built):
    assert wine.run(built["exe"], args) == (win7.get(out, out), b"", win7.get(code, code))


@pytest.mark.parametrize("args", QUOTING, ids=repr)
def test_quoting(wine, args, built):
    printed = b"".join(b"<%s>\r\n" % arg for arg in args)
    assert wine.run(built["showargs"], args) == (printed, b"", len(args))


@pytest.mark.parametrize("pattern", [b"?", b"*"])
def test_wildcard_among_files(wine, win7, tmp_path, pattern, built):
    """"?" and "*" reach the program as typed, not as the names of the
    one-letter files beside them."""
    for name in ("b", "w", "o", "v"):
        (tmp_path / name).touch()
    assert wine.run(built["exe"], [pattern], cwd=tmp_path) == (HINT, b"", 0)


@pytest.mark.parametrize("args, code", [([b"/w"], WIN7_CODE), ([b"/?"], 0), ([b"x"], 0)])
def test_full_device(wine, win7, args, code, built):
    """Output that cannot be written changes nothing."""
    with open("/dev/full", "wb") as full:
        assert wine.run(built["exe"], args, stdout=full)[1:] == (b"", code)


@pytest.mark.win64
def test_run_on_a_terminal(wine, built, terminal):
    """tools/run's harness on a terminal, in a copy of the booted 64-bit
    prefix beside it (hard links): archver's own bytes, then its code."""
    prefix = os.path.join(built["wine_dir"], "terminal-%d" % os.getpid())
    winehost.copy_prefix(os.path.join(built["wine_dir"], "win64"), prefix)
    command = [sys.executable, winehost.__file__, prefix, built["launch"], built["exe"], "a b",
               "/b"]
    try:
        done = subprocess.run(["script", "-qec", shlex.join(command), "/dev/null"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, timeout=300)
    finally:
        shutil.rmtree(prefix)
    assert done.stdout.replace(b"\r", b"") == HINT.replace(b"\r", b"") + b"exit code: 0\n"


@pytest.fixture(scope="module")
def baseline(wine, built):
    """The DLLs the do-nothing program loads."""
    return wine.loaded_dlls(built["nothing"], [])


@pytest.mark.versions
@pytest.mark.parametrize("setting, text", VERSIONS)
def test_version(wine, baseline, setting, text, built):
    """Each of VERSIONS, posed on 64-bit Windows: the answers, what Windows'
    own registry says, and the DLLs loaded."""
    code, text = code_of(setting), wine.with_build(text)
    wine.use_version(setting)
    assert wine.run(built["exe"], [b"/o"]) == (b"", b"", code)
    assert wine.run(built["exe"], [b"/w"]) == (text, b"", code)
    if setting[1]:  # a version that Wine writes in its registry
        suite = int(re.search(rb"SuiteMask += (\d+)", text).group(1))
        read, _ = machine_answers(read_machine(wine.system_program("cmd.exe"), wine.env), suite)
        assert (read["O"], read["W"]) == (code, text)
    for args in [["/o"], ["/w"]] + (LEAN_ON_WINDOWS_7 if setting == WINDOWS_7_SP1 else []):
        loaded = wine.loaded_dlls(built["exe"], args)
        if setting == SERVER_2003_SP2 and args == ["/w"]:
            assert "user32.dll" in loaded and set(baseline) < set(loaded)
        else:
            assert (args, loaded) == (args, baseline)
