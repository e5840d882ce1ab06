"""crosscheck.cmd, and the docs' recipes through tests/windows/recipes.py,
under Wine's cmd.exe as the CI workflow starts them on a runner, from a
folder whose name holds blanks and parentheses. archver and crosscheck.cmd
read the same registry here, so this proves the script, not Windows. Each
run takes the cmd.exe that --cmd names: that of Windows' own bitness
(win64, win32) or the 32-bit one of 64-bit Windows (wow64), on the prefix
of its bitness, each first checked to run as that machine; a row runs
under the hosts its markers name.
"""
import contextlib
import glob
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import types
from collections import namedtuple

import pytest

import recipes
from oracle import PRODUCT_TYPES
from poses import SERVER_2008_R2_SP1_DC, WINDOWS_10, WINDOWS_11, WINDOWS_7_SP1, code_of, facts
from winehost import CMD_HOSTS, CURRENT_VERSION_32, WIN10_BUILD, again, named_version, \
    registry_version, windows_path

# Each cmd.exe by its --cmd name: prefix, command line, machine.
Shell = namedtuple("Shell", "name prefix host runs_as")
SHELLS = [Shell("win64", "win64", CMD_HOSTS["win64"][0], b"AMD64"),
          Shell("wow64", "win64", CMD_HOSTS["win64"][1], b"x86"),
          Shell("win32", "win32", CMD_HOSTS["win32"][0], b"x86")]
ARCH = {"win64": "AMD64", "win32": "x86"}

# Where a row runs: the cmd.exe hosts whose answer can differ for it. Each
# host reads the bitness from the environment and the registry its own way
# (a 64-bit cmd, the 32-bit one of 64-bit Windows, that of 32-bit Windows),
# and a 64-bit machine's only on a 64-bit prefix; what the registry, ver,
# certutil or the caller's variables say is parsed alike by every cmd.exe.
EVERY = ("win64", "wow64", "win32")
SIXTY_FOUR = ("win64", "wow64")


def hosted(group, hosts):
    """The marks of a row of group that runs under hosts."""
    return [getattr(pytest.mark, mark) for mark in [group] + list(hosts)]


# A row: what it shows, the pose, the hosts it runs on; the program
# (archver; stripped, archver without its manifest; nothing.exe, which
# answers 0 as archver does to the bitness where Windows has no
# IsWow64Process; missing), the machine (on ARM64 and Itanium only the
# script's reading is shown), the environment (a dict: a value per prefix),
# whether reg.exe is there, EXPECT_CODE right or wrong, the checks that
# mismatch, those nothing answers, the problems with the sources ({env} and
# {reg}: the machines each names, {ver}: what Wine's ver says, {code}: the
# registry's version code), what Wine's cmd may add on stderr, the
# "Windows:" line where the pose alone does not tell it, how it is started
# (CALL as a runner's step does; "" without, which alone keeps exit 2 in
# Wine's cmd; or "double click", from a folder whose name cmd would parse),
# and the last line of a run that ends before its checks, with exit 2.
Row = namedtuple("Row", "name setting hosts program machine env registry expect mismatches "
                 "unknown sources stderr windows start ends",
                 defaults=("archver", "AMD64", {}, True, None, [], [], [], b"", None, "CALL ",
                           None))
BITNESS = ["no argument", "/v", "/b"]
VERSION_ANSWERS = ["/o", "/w", "/w BuildNumber"]
ANSWERS = BITNESS + VERSION_ANSWERS + ["help"]
NO_REGISTRY = ["registry", "EXPECT_CODE", "/o", "/w"]
# Registry values and folder names: cmd syntax, printing INJECTED if run.
INJECTED = "INJECTED"
HOSTILE = '"&echo %s&rem %%PATH%% !x! (' % INJECTED
# What a stand-in certutil prints: {sha256} is archver.exe's, {spaced} with
# blanks between the bytes, as some versions print it.
CERTUTIL = "ARCHVER_STANDIN_PRINT"
HASHED = "SHA256 hash of file:\n%s\nCertUtil: -hashfile command completed successfully.\n"
SERVER_2012_R2_DC = registry_version("6.3", "9600", "LanmanNT")

CROSSCHECK = [
    # archver on each version, EXPECT_CODE right: the bitness on each host
    # of its machine, the version on one.
    Row("Windows 7 SP1", WINDOWS_7_SP1, EVERY, expect="right"),
    Row("Server 2012 R2 domain controller", SERVER_2012_R2_DC, ["wow64"], expect="right"),
    Row("Windows 10, registry as Windows keeps it", WINDOWS_10, ["win32"], expect="right"),
    Row("Windows 11 23H2", WINDOWS_11, ["win64"], expect="right"),
    Row("Server 2022", registry_version("10.0", "20348", "ServerNT"), ["wow64"], expect="right"),
    Row("Windows 11 on ARM64", WINDOWS_11, SIXTY_FOUR, machine="ARM64", expect="right"),
    Row("Server 2008 R2 on Itanium", SERVER_2008_R2_SP1_DC, SIXTY_FOUR, machine="IA64",
        expect="right"),
    # One line of the script.
    Row("Windows 10, EXPECT_CODE wrong", WINDOWS_10, ["wow64"], expect="wrong", sources=[
        "disagree on version code: EXPECT_CODE {wrong}, registry {code}"]),
    # Without reg.exe the environment alone tells the bitness, on each host,
    # and ver the version; nothing tells the product type.
    Row("Windows 7 SP1, no reg.exe", WINDOWS_7_SP1, EVERY, registry=False, expect="right",
        unknown=NO_REGISTRY),
    Row("Windows 10, no reg.exe", WINDOWS_10, ["win64"], registry=False, expect="right",
        unknown=NO_REGISTRY),
    # Without its manifest archver is told 6.2 from 8.1 on, whatever the shell.
    Row("Windows 7 SP1, archver without its manifest", WINDOWS_7_SP1, ["win32"],
        program="stripped"),
    Row("Server 2012 R2 domain controller, archver without its manifest", SERVER_2012_R2_DC,
        ["win64"], program="stripped", mismatches=VERSION_ANSWERS),
    Row("Windows 7 SP1, nothing.exe", WINDOWS_7_SP1, ["wow64"], program="nothing",
        mismatches=BITNESS + VERSION_ANSWERS),
    Row("ver saying another build than the registry",
        named_version("win10", registry_version("10.0", "22631", current="6.3")), ["win64"],
        mismatches=["/w BuildNumber"],
        sources=["disagree on version: registry 10.0.22631, ver 10.0." + WIN10_BUILD]),
    # The other bitness named in the environment, by each host.
    Row("PROCESSOR_ARCHITEW6432 naming the other bitness", WINDOWS_7_SP1, EVERY,
        env={"PROCESSOR_ARCHITEW6432": {"win64": "x86", "win32": "AMD64"}}, unknown=BITNESS,
        sources=["disagree on bitness: environment {env}, registry {reg}"]),
    Row("Windows 2000", named_version("win2k"), ["win32"], program="nothing", registry=False,
        mismatches=["/w BuildNumber"], unknown=["registry"] + BITNESS + ["/o", "/w"]),
    # nothing.exe where IsWow64Process is missing or there (XP x64, a
    # workstation of 5.2, has it): the version and service pack's reading.
    *[Row(name, registry_version(version, build, product, service_pack=sp), [host],
          program="nothing", mismatches=(BITNESS if wow64 else []) + VERSION_ANSWERS,
          unknown=[] if wow64 else BITNESS)
      for name, version, build, product, sp, wow64, host in [
          ("Windows XP SP1", "5.1", "2600", "WinNT", 1, False, "win32"),
          ("Windows XP SP2", "5.1", "2600", "WinNT", 2, True, "win32"),
          ("Server 2003", "5.2", "3790", "ServerNT", 0, False, "win32"),
          ("Server 2003 SP1", "5.2", "3790", "ServerNT", 1, True, "wow64"),
          ("Windows XP x64", "5.2", "3790", "WinNT", 0, True, "win64"),
          ("Server 2003 domain controller", "5.2", "3790", "LanmanNT", 0, False, "wow64")]],
    # Only a 0 is no answer: a wrong bitness stays wrong, a right one agrees.
    Row("Windows 2000, answers of 3", named_version("win2k"), ["win32"], program="nothing",
        env={"ARCHVER_STANDIN_EXIT": "3"}, registry=False,
        mismatches=BITNESS + ["/w BuildNumber", "help"], unknown=["registry", "/o", "/w"]),
    Row("Windows XP SP1, archver answering", registry_version("5.1", "2600", service_pack=1),
        ["win32"]),
    # The service pack's number, with cmd syntax right after the digit.
    Row("Windows XP SP1, the number in its service pack's text followed by " + HOSTILE,
        registry_version("5.1", "2600", service_pack=1, csd="Service Pack 1" + HOSTILE),
        ["wow64"]),
    # Compatibility layers, each the problem of those that change the version.
    *[Row(name, WINDOWS_7_SP1, [host], env={"__COMPAT_LAYER": layers}, sources=[
        "compatibility layer %s in __COMPAT_LAYER: Windows reports another version to archver"
        % layer for layer in changing]) for name, layers, changing, host in [
            ("a compatibility layer that changes the version", "~ RunAsInvoker WINXPSP3",
             ["WINXPSP3"], "win64"),
            ("compatibility layers in mixed case", "~ RunAsInvoker VistaSP2 Win7RTM",
             ["VistaSP2", "Win7RTM"], "wow64"),
            ("a compatibility layer in lower case", "winxpsp3", ["winxpsp3"], "win32"),
            ("a compatibility layer that leaves it", "RunAsInvoker", [], "win64")]],
    # certutil's output (CERTUTIL), from System32 as each host finds it: a
    # line of anything but 64 hexadecimal digits is no SHA-256.
    *[Row("certutil printing " + name, WINDOWS_7_SP1, hosts, env={CERTUTIL: HASHED % line})
      for name, line, hosts in [
          ("the hash", "{sha256}", EVERY), ("the hash with blanks", "{spaced}", ["win32"]),
          ("63 hexadecimal digits", "{sha256:.63}", ["wow64"]),
          ("65 hexadecimal digits", "{sha256}0", ["win64"]),
          ("a digit that is not hexadecimal", "{sha256:.63}g", ["wow64"])]],
    Row("certutil failing", WINDOWS_7_SP1, ["win64"], env={
        CERTUTIL: "CertUtil: -hashfile command FAILED: 0x80070002\n"
                  "CertUtil: The system cannot find the file specified.\n"}),
    Row("a service pack's text holding " + HOSTILE,
        registry_version("6.1", "7601", service_pack=1, csd="Service Pack 1 " + HOSTILE),
        ["win32"]),
    # Every value so: no build, an unknown product type, which Wine 8's cmd
    # complains of on stderr (it parses a comparison with a for variable
    # again); the harness must escape the backslash ending the text.
    Row("every value holding " + HOSTILE,
        registry_version("6.1", HOSTILE, "WinNT" + HOSTILE, service_pack=1,
                         csd="Service Pack 1 " + HOSTILE + "\\", current="6.1" + HOSTILE),
        ["wow64"], mismatches=["/w BuildNumber"], unknown=["/o", "/w"],
        sources=["disagree on version: registry 6.1.0, ver {ver}",
                 "disagree on product type: registry unrecognised"],
        stderr=b"Syntax error\r\n", windows="{env} / {reg} ({bits}-bit), version 6.1 "
        "build 0 (ver: {ver}), unrecognised (type ): version code "),
    # Odd starts: as a double click starts it (a % in the folder's name is
    # lost before the script starts: cmd expands the line that starts it),
    # and the two ends with exit 2.
    Row("started as a double click, from a folder whose name cmd would parse", WINDOWS_7_SP1,
        ["win64"], start="double click"),
    Row("without archver", WINDOWS_7_SP1, ["win32"], program="missing", start="",
        ends='cannot find "{missing}"'),
    Row("TEMP naming a file", WINDOWS_7_SP1, ["wow64"], env={"TEMP": "{taken}"}, start="",
        ends='cannot make a folder of its own in "{taken}"'),
]
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

# Windows 10 or 11 Enterprise multi-session: a server's product type. What
# the caller may hand the recipes: a variable ERRORLEVEL, which hides cmd's;
# from an emulated x64 program on ARM64, AMD64 in the environment. The
# edition in the 64-bit registry view only, which a 32-bit cmd.exe must ask.
MULTI_SESSION = dict(product_type="ServerNT", edition="ServerRdsh")
ERRORLEVEL_SET = {"env": {"ERRORLEVEL": "1"}}
X64_PARENT_ON_ARM64 = {"machine": "ARM64", "env": {"PROCESSOR_ARCHITEW6432": "AMD64"}}
EDITION_64_ONLY = {"registry": {CURRENT_VERSION_32: {"EditionID": None}}}

# A version the recipes run on: the registry, the era the era recipe names,
# the 10.0 family recipe's name, the hosts, and the machine, environment or
# registry. What the registry says is parsed alike by every cmd.exe: one
# host a version, but where the bitness or the registry's view decides.
Recipe = namedtuple("Recipe", "setting era name hosts extra", defaults=({},))
TEN = "Windows 10 or later"
RECIPES = [
    Recipe(WINDOWS_7_SP1, "Vista to 8.1", "Windows before 10, version code 20611", ["win64"],
           ERRORLEVEL_SET),
    Recipe(WINDOWS_11, TEN, "Windows 11 (build 22631)", SIXTY_FOUR, X64_PARENT_ON_ARM64),
    # The first Windows 11 build.
    Recipe(registry_version("10.0", "22000"), TEN, "Windows 11 (build 22000)", ["win64"]),
    # A server's own edition, which is not the multi-session one.
    Recipe(registry_version("10.0", "26100", "ServerNT", edition="ServerDatacenter"), TEN,
           "Windows Server 2025 (build 26100)", ["win64"]),
    Recipe(registry_version("10.0", "26100", **MULTI_SESSION), TEN, "Windows 11 (build 26100)",
           SIXTY_FOUR, EDITION_64_ONLY),
    # Older than Vista: the installer aborts.
    Recipe(registry_version("5.1", "2600", service_pack=3), "older",
           "Windows before 10, version code 20511", ["win32"], ERRORLEVEL_SET),
    # The first version the era recipe and the installer accept.
    Recipe(registry_version("6.0", "6002", service_pack=2), "Vista to 8.1",
           "Windows before 10, version code 20601", ["win32"]),
    Recipe(WINDOWS_10, TEN, "Windows 10 (build %s)" % WIN10_BUILD, ["win32"]),
    Recipe(registry_version("10.0", "20348", "LanmanNT"), TEN,
           "Windows Server 2022 (build 20348)", ["win32"]),
    Recipe(registry_version("10.0", "19045", **MULTI_SESSION), TEN, "Windows 10 (build 19045)",
           ["win32"]),
    Recipe(registry_version("10.0", "19045", "ServerNT", edition="ServerStandard"), TEN,
           "Windows Server (build 19045)", ["win32"]),
    Recipe(registry_version("10.0", "22631", **MULTI_SESSION), TEN, "Windows 11 (build 22631)",
           ["win32"]),
    Recipe(registry_version("10.0", "22631", "ServerNT"), TEN, "Windows Server (build 22631)",
           ["win32"]),
]

# The checks recipes.py makes: the recipes found, each batch recipe from
# each start, the installer; where archver gives no answer, each recipe
# that asks it with each code archver never answers, the quick start with
# a program that answers only /b, the installer around a stand-in.
CHECKS = len(recipes.BATCH_OUTPUTS) * len(recipes.STARTS) + 2
NO_ANSWER_CHECKS = (len(recipes.NO_ANSWER_OUTPUTS) * len(recipes.NO_ANSWER_CODES)
                    + len(recipes.QUICK_START_O) + len(recipes.STANDIN_INSTALLS))
# A cmd.exe that also writes a line, to standard output and to standard
# error in turn: every check that runs it fails.
NOISY = 'n=$(($(cat "$0.noise" 2>/dev/null) + 1)); echo $n >"$0.noise"; ' \
    '[ $((n % 2)) = 0 ] && echo noise >&2 || echo noise'


def outcome(output):
    """(first line, checks passed, mismatched, unanswered, problems with the
    sources, SHA-256, what planted commands printed, "Windows:" line, last
    line)"""
    lines = output.decode(errors="replace").splitlines()

    def named(start):
        return [line[len(start):].split(":")[0] for line in lines if line.startswith(start)]

    return (lines[:1], named("ok        "), named("MISMATCH  "), named("unknown   "),
            [line[10:] for line in lines if line.startswith("SOURCES   ")],
            [line[9:] for line in lines if line.startswith("SHA-256: ")],
            [line for line in lines if line.strip() in (INJECTED, "reg.bat ran")],
            [line[9:] for line in lines if line.startswith("Windows: ")],
            lines[-1] if lines else "")


@contextlib.contextmanager
def in_system(prefix, name, program):
    """program (None: nothing) as name in each system folder for a while."""
    paths = [os.path.join(prefix, "drive_c", "windows", folder, name)
             for folder in ("system32", "syswow64")]
    paths = [path for path in paths if os.path.isdir(os.path.dirname(path))]
    kept = ".kept%d" % id(paths)  # apart from an outer call's
    for path in paths:
        if os.path.exists(path):
            os.rename(path, path + kept)
        if program:
            shutil.copy(program, path)
    try:
        yield
    finally:
        for path in paths:
            if os.path.exists(path):
                os.remove(path)
            if os.path.exists(path + kept):
                os.rename(path + kept, path)


def new_folder(built, parent):
    """A folder whose name holds blanks and parentheses, in a folder of its
    own, with crosscheck.cmd, archver.exe and nothing.exe."""
    folder = os.path.join(str(parent), "archver 1.3 (x86)")
    os.mkdir(folder)
    shutil.copy(os.path.join(built["source_dir"], "crosscheck.cmd"), folder)
    shutil.copy(built["exe"], folder)
    shutil.copy(built["nothing"], os.path.join(folder, "nothing.exe"))
    return folder


@pytest.fixture(scope="module")
def start(wine, built):
    """The cmd.exe --cmd names: the shell, the command that starts it
    from Linux (as recipes.py does) and the sources; it and the one a
    runner's step starts (through the launcher) checked to run as they must."""
    shell = next(shell for shell in SHELLS if shell.name == built["cmd"])
    assert shell.prefix == wine.arch
    echo = ["/d", "/c", "echo %PROCESSOR_ARCHITECTURE%"]
    command = wine.system_program("cmd.exe", native=shell.name != "wow64")
    assert subprocess.run(command + echo, env=wine.env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE).stdout == shell.runs_as + b"\r\n"
    assert wine.run_command(" ".join([shell.host] + echo).encode())[0] == \
        shell.runs_as + b"\r\n"
    return types.SimpleNamespace(shell=shell, command=command, source_dir=built["source_dir"])


def in_cmd(variable):
    """Whether cmd itself sets a variable of a cross-check's run: Wine 10
    sets the PROCESSOR_ ones for each process it starts, whatever its caller
    handed it, and every Wine sets TEMP from the registry."""
    return variable.startswith("PROCESSOR_") or variable == "TEMP"


@pytest.fixture(scope="module")
def crosscheck(wine, built, start, tmp_path_factory):
    """crosscheck.cmd in a folder of its own beside decoys, and in one whose
    name cmd would parse, Wine's certutil (which prints no hash) hidden;
    run(program, env, start) as a runner's cmd step starts it (or as Row's
    start says), program's path its argument: (stdout, stderr, status)."""
    folder = new_folder(built, tmp_path_factory.mktemp("crosscheck"))
    odd = os.path.join(os.path.dirname(folder), "R&D !x! (y)")
    os.mkdir(odd)
    for name in ("crosscheck.cmd", "archver.exe"):
        shutil.copy(os.path.join(folder, name), odd)
    programs = {"archver": None, "nothing": built["nothing"],
                "stripped": os.path.join(folder, "stripped.exe"),
                "missing": os.path.join(folder, "missing.exe")}
    subprocess.run([built["objcopy"], "--remove-section", ".rsrc", built["exe"],
                    programs["stripped"]], check=True)
    # A reg.bat and a reg.exe that answers nothing, where cmd.exe would find
    # them first for a bare "reg": the current folder and the script's; and
    # an icacls.bat that leaves a file where it runs.
    decoyed = os.path.join(os.path.dirname(folder), "icacls ran")
    for place in (folder, os.path.dirname(folder)):
        shutil.copy(built["nothing"], os.path.join(place, "reg.exe"))
        for name, line in (("reg.bat", "@echo reg.bat ran"),
                           ("icacls.bat", '@echo ran> "%s"' % windows_path(decoyed))):
            with open(os.path.join(place, name), "w", newline="\r\n") as f:
                f.write(line + "\n")

    shell = start.shell

    def run(program, env, start="CALL "):
        if start == "double click":
            return wine.run_command(('%s /D /S /C ""%s""' % (shell.host, windows_path(
                os.path.join(odd, "crosscheck.cmd")))).encode(), cwd=odd)
        # GitHub's cmd steps: %ComSpec% /D /E:ON /V:OFF /S /C "CALL "{0}"",
        # with the variables in_cmd names set first by cmd itself.
        command = '%s /D /E:ON /V:OFF /S /C "%s%s"%s"%s"' % (
            shell.host, "".join('set "%s=%s"& ' % pair for pair in sorted(env.items())
                                if in_cmd(pair[0])), start,
            windows_path(os.path.join(folder, "crosscheck.cmd")),
            ' "%s"' % windows_path(programs[program]) if programs[program] else "")
        rest = {k: v for k, v in env.items() if not in_cmd(k)}
        return wine.run_command(command.encode(), cwd=os.path.dirname(folder), env=rest)

    with in_system(wine.env["WINEPREFIX"], "certutil.exe", None):
        # TEMP is in the user's profile, where each Wine release puts it.
        yield dict(run=run, folder=folder, odd=odd, programs=programs, decoyed=decoyed,
                   shell=shell, nothing=built["nothing"],
                   users=os.path.join(wine.env["WINEPREFIX"], "drive_c", "users"),
                   sha256=hashlib.sha256(open(built["exe"], "rb").read()).hexdigest())


def windows_line(row, arch, env, ver):
    """The "Windows:" line crosscheck.cmd prints for row, and the machines
    the environment and the registry name ({env}, {reg}) beside what Wine's
    ver says ({ver}): the bitness they agree on, the version and build,
    "ver"'s (Wine's win10 tells its own build), the product type and the
    version code."""
    native = ARCH[arch].replace("AMD64", row.machine)
    names = dict(env=env.get("PROCESSOR_ARCHITEW6432") or env.get("PROCESSOR_ARCHITECTURE")
                 or native, reg=native if row.registry else "", ver=ver)
    bits = {"x86": 32}.get(names["env"], 64)
    names["bits"] = "" if names["reg"] and bits != {"x86": 32}.get(names["reg"], 64) else bits
    version, build, product = facts(row.setting)
    product = product if row.registry else ""
    line = "{env} / {reg} ({bits}-bit), " + "version %s build %s (ver: %s.%s), %s (type %s): " \
        "version code %s" % (version, build, version, WIN10_BUILD if row.setting[0] == "win10"
                             else build, product, PRODUCT_TYPES.get(product.lower(), ""),
                             code_of(row.setting) if product else "")
    return (row.windows or line).format(**names), names


@pytest.mark.parametrize("row", [pytest.param(row, id=row.name, marks=hosted(
    "crosscheck", row.hosts)) for row in CROSSCHECK])
def test_crosscheck(wine, crosscheck, row, request):
    """What crosscheck.cmd prints and ends with for the row."""
    # Wine hands the registry's machine to every process.
    wine.use_version(row.setting, {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": row.machine}}
                     if wine.arch == "win64" else None)
    code = code_of(row.setting) if row.expect else None
    env = {"EXPECT_CODE": str(code + (row.expect == "wrong"))} if row.expect else {}
    if row.machine != "AMD64":
        env["PROCESSOR_ARCHITEW6432" if crosscheck["shell"].name == "wow64"
            else "PROCESSOR_ARCHITECTURE"] = row.machine
    for variable, value in row.env.items():
        env[variable] = value.get(wine.arch) if isinstance(value, dict) else value
    # Where the registry holds no version Wine can read, ver says Wine's
    # default, which differs between its releases: asked where a row names it.
    ver = "{ver}" in repr(row) and wine.run_command(
        (crosscheck["shell"].host + " /d /c ver").encode())[0].decode().split()[-1]
    windows, names = windows_line(row, wine.arch, env, ver)
    # A stand-in certutil in place of Wine's, which prints no hash; the hash
    # is its line after the first, blanks left out.
    sha256 = crosscheck["sha256"]
    names.update(code=code, wrong=code and code + 1, sha256=sha256,
                 spaced=" ".join(sha256[i:i + 2] for i in range(0, 64, 2)),
                 missing=windows_path(crosscheck["programs"]["missing"]),
                 taken=windows_path(os.path.join(os.path.dirname(crosscheck["folder"]),
                                                 "reg.exe")))
    env = {variable: value.format(**names) for variable, value in env.items()}
    printed = env.get(CERTUTIL, "")
    if printed:
        # Wine starts its own certutil unless told to take the file.
        env["WINEDLLOVERRIDES"] = wine.env["WINEDLLOVERRIDES"] + ";certutil.exe=n"
    hashes = [sha256] if printed.split("\n")[1:2] in ([sha256], [names["spaced"]]) else []
    sources = [wine.with_build(problem.format(**names)) for problem in row.sources]
    passed = [a for a in ANSWERS if a not in row.mismatches + row.unknown]
    last = "crosscheck: %d mismatches with archver, %d problems with the sources" % (
        len(row.mismatches), len(sources)) if row.mismatches or sources else \
        "crosscheck: all agree"
    # Standard error empty, or but for lines a row allows; nothing of the
    # run left in TEMP, and icacls.bat beside it did not run.
    if row.ends:
        last = "crosscheck: " + row.ends.format(**names)
        expected = (2, ([last], [], [], [], [], [], [], [], last), b"", [], False)
    else:
        checked = crosscheck["programs"][row.program] or os.path.join(
            crosscheck["odd" if row.start == "double click" else "folder"], "archver.exe")
        first = "crosscheck: " + windows_path(checked)
        expected = (1 if row.mismatches or sources else 0,
                    ([first], passed, row.mismatches, row.unknown, sources, hashes, [],
                     [wine.with_build(windows)], last), b"", [], False)
    prefix = wine.env["WINEPREFIX"]

    def attempt():
        with in_system(prefix, "reg.exe", None) if not row.registry else \
                contextlib.nullcontext(), \
                in_system(prefix, "certutil.exe", printed and crosscheck["nothing"]):
            out, err, status = crosscheck["run"](row.program, env, row.start)
        left = [n for _, folders, files in os.walk(crosscheck["users"])
                for n in folders + files if n.startswith("archver")]
        return (status, outcome(out), err.replace(row.stderr, b"") if row.stderr else err, left,
                os.path.exists(crosscheck["decoyed"])), out

    assert again(request.node.name, attempt, lambda got: got[0] == expected,
                 show=lambda got: got[1].decode(errors="replace"))[0] == expected


def run_recipes(wine, start, folder, setting, after="", mode=(), extra=None):
    """recipes.py with start's cmd.exe, posed as setting, a shell line run
    after it: status, first and last lines, all it printed."""
    host_cmd = os.path.join(os.path.dirname(folder), "cmd")
    with open(host_cmd, "w") as f:
        f.write("#!/bin/sh\n%s \"$@\"\nstatus=$?\n%s\nexit $status\n"
                % (shlex.join(start.command), after))
    os.chmod(host_cmd, 0o755)
    extra = extra or {}
    machine = {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": extra.get("machine", "AMD64")}}
    wine.use_version(setting, dict(extra.get("registry", {}),
                                   **(machine if wine.arch == "win64" else {})))
    done = subprocess.run([sys.executable, recipes.__file__, start.source_dir, folder, host_cmd]
                          + list(mode), env=dict(wine.env, **extra.get("env", {})),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=300)
    output = done.stdout.decode(errors="replace")
    lines = output.splitlines()
    return done.returncode, lines[:1] + lines[-1:], output


@pytest.fixture(scope="module")
def installers(built, tmp_path_factory):
    """A folder with the installers the build made (tests/e2e/CMakeLists.txt)."""
    folder = new_folder(built, tmp_path_factory.mktemp("recipes"))
    shutil.copytree(built["installers"], folder, dirs_exist_ok=True)
    return folder


@pytest.mark.parametrize("recipe", [pytest.param(
    recipe, marks=hosted("recipes", recipe.hosts),
    id=recipe.name + "".join(", " + k for k in recipe.extra)) for recipe in RECIPES])
def test_recipes(wine, start, installers, recipe, request):
    """What recipes.py expects it takes from the registry, as on a runner."""
    machine = wine.with_build("this machine: %s, %d, %s, %s" % (
        recipe.extra.get("machine", ARCH[wine.arch]), code_of(recipe.setting), recipe.era,
        recipe.name))
    want = (0, [machine, "%d passed, 0 failed" % CHECKS])
    got = again(request.node.name, lambda: run_recipes(wine, start, installers, recipe.setting,
                                                       extra=recipe.extra),
                lambda got: got[:2] == want, show=lambda got: got[2])
    assert got[:2] == want
    bare = [path for path in glob.glob(os.path.join(installers, "*.bat"))
            if b"\n" in open(path, "rb").read().replace(b"\r\n", b"")]
    assert bare == [], "batch files with a line end that is not CRLF"


# The noise comes from the shell, not from cmd.exe: one host.
@pytest.mark.recipes
@pytest.mark.win32
def test_recipes_py_failing(wine, start, installers):
    status, lines, _ = run_recipes(wine, start, installers, WINDOWS_10, NOISY)
    assert (status, lines[-1:]) == (1, ["1 passed, %d failed" % (CHECKS - 1)])


# What no answer is does not depend on the shell: one host.
@pytest.mark.recipes
@pytest.mark.wow64
def test_noanswer(wine, start, installers, request):
    """recipes.py's no-answer runs, with ERRORLEVEL set."""
    want = (0, ["%d passed, 0 failed" % NO_ANSWER_CHECKS])
    got = again(request.node.name, lambda: run_recipes(
        wine, start, installers, WINDOWS_11, mode=["no-answer"], extra=ERRORLEVEL_SET),
        lambda got: (got[0], got[1][-1:]) == want, show=lambda got: got[2])
    assert (got[0], got[1][-1:]) == want
