"""crosscheck.cmd, and the docs' recipes through tests/windows/recipes.py,
under Wine's cmd.exe as the CI workflow starts them on a runner, from a
folder whose name holds blanks and parentheses. archver and crosscheck.cmd
read the same registry here, so this proves the script, not Windows. Each
test takes the cmd.exe that ARCHVER_CMD names: that of Windows' own
bitness (win64, win32) or the 32-bit one of 64-bit Windows (wow64), on the
prefix of its bitness, each first checked to run as that machine.
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

# Each cmd.exe by its ARCHVER_CMD name: prefix, command line, machine.
Shell = namedtuple("Shell", "name prefix host runs_as")
SHELLS = [Shell("win64", "win64", CMD_HOSTS["win64"][0], b"AMD64"),
          Shell("wow64", "win64", CMD_HOSTS["win64"][1], b"x86"),
          Shell("win32", "win32", CMD_HOSTS["win32"][0], b"x86")]
ARCH = {"win64": "AMD64", "win32": "x86"}

# A version the cross-check runs on: the registry, the machine it and the
# environment name on a 64-bit prefix (on ARM64 and Itanium only the
# script's reading is shown), and a run of its own: the program (archver, or
# nothing.exe, which answers 0 as archver does to the bitness where Windows
# has no IsWow64Process), the environment, whether reg.exe is there, the
# checks that mismatch, those nothing answers, the problems with the sources
# ({env} and {reg}: the machines each names, {ver}: what Wine's ver says),
# what Wine's cmd may add on stderr, and the "Windows:" line where the pose
# alone does not tell it.
Pose = namedtuple("Pose", "name setting machine own", defaults=("AMD64", None))
Own = namedtuple("Own", "program env registry mismatches unknown sources stderr windows",
                 defaults=({}, True, [], [], [], b"", None))
BITNESS = ["no argument", "/v", "/b"]
VERSION_ANSWERS = ["/o", "/w", "/w BuildNumber"]
ANSWERS = BITNESS + VERSION_ANSWERS + ["help"]
# Registry values and folder names: cmd syntax, printing INJECTED if run.
INJECTED = "INJECTED"
HOSTILE = '"&echo %s&rem %%PATH%% !x! (' % INJECTED
# What a stand-in certutil prints: {sha256} is archver.exe's, {spaced} with
# blanks between the bytes, as Windows before 8 prints it.
CERTUTIL = "ARCHVER_STANDIN_PRINT"
HASHED = "SHA256 hash of file:\n%s\nCertUtil: -hashfile command completed successfully.\n"


CROSSCHECK_VERSIONS = [
    Pose("Windows 7 SP1", WINDOWS_7_SP1),
    Pose("Server 2012 R2 domain controller", registry_version("6.3", "9600", "LanmanNT")),
    Pose("Windows 10, registry as Windows keeps it", WINDOWS_10),
    Pose("Windows 11 23H2", WINDOWS_11),
    Pose("Server 2022", registry_version("10.0", "20348", "ServerNT")),
    Pose("Windows 11 on ARM64", WINDOWS_11, machine="ARM64"),
    Pose("Server 2008 R2 on Itanium", SERVER_2008_R2_SP1_DC, machine="IA64"),
    Pose("ver saying another build than the registry",
         named_version("win10", registry_version("10.0", "22631", current="6.3")),
         own=Own("archver", mismatches=["/w BuildNumber"], sources=[
             "disagree on version: registry 10.0.22631, ver 10.0." + WIN10_BUILD])),
    Pose("PROCESSOR_ARCHITEW6432 naming the other bitness", WINDOWS_7_SP1,
         own=Own("archver", env={"PROCESSOR_ARCHITEW6432": {"win64": "x86", "win32": "AMD64"}},
                 unknown=BITNESS,
                 sources=["disagree on bitness: environment {env}, registry {reg}"])),
    Pose("Windows 2000", named_version("win2k"),
         own=Own("nothing", registry=False, mismatches=["/w BuildNumber"],
                 unknown=["registry"] + BITNESS + ["/o", "/w"])),
    # nothing.exe where IsWow64Process is missing or there (XP x64, a
    # workstation of 5.2, has it).
    *[Pose(name, registry_version(version, build, product, service_pack=sp), own=Own(
        "nothing", mismatches=(BITNESS if wow64 else []) + VERSION_ANSWERS,
        unknown=[] if wow64 else BITNESS)) for name, version, build, product, sp, wow64 in [
            ("Windows XP SP1", "5.1", "2600", "WinNT", 1, False),
            ("Windows XP SP2", "5.1", "2600", "WinNT", 2, True),
            ("Server 2003", "5.2", "3790", "ServerNT", 0, False),
            ("Server 2003 SP1", "5.2", "3790", "ServerNT", 1, True),
            ("Windows XP x64", "5.2", "3790", "WinNT", 0, True),
            ("Server 2003 domain controller", "5.2", "3790", "LanmanNT", 0, False)]],
    # Only a 0 is no answer: a wrong bitness stays wrong, a right one agrees.
    Pose("Windows 2000, answers of 3", named_version("win2k"),
         own=Own("nothing", env={"ARCHVER_STANDIN_EXIT": "3"}, registry=False,
                 mismatches=BITNESS + ["/w BuildNumber", "help"],
                 unknown=["registry", "/o", "/w"])),
    Pose("Windows XP SP1, archver answering", registry_version("5.1", "2600", service_pack=1),
         own=Own("archver")),
    # The service pack's number, with cmd syntax right after the digit.
    Pose("Windows XP SP1, the number in its service pack's text followed by " + HOSTILE,
         registry_version("5.1", "2600", service_pack=1, csd="Service Pack 1" + HOSTILE),
         own=Own("archver")),
    # Compatibility layers, each the problem of those that change the version.
    *[Pose(name, WINDOWS_7_SP1, own=Own("archver", env={"__COMPAT_LAYER": layers}, sources=[
        "compatibility layer %s in __COMPAT_LAYER: Windows reports another version to archver"
        % layer for layer in changing])) for name, layers, changing in [
            ("a compatibility layer that changes the version", "~ RunAsInvoker WINXPSP3",
             ["WINXPSP3"]),
            ("compatibility layers in mixed case", "~ RunAsInvoker VistaSP2 Win7RTM",
             ["VistaSP2", "Win7RTM"]),
            ("a compatibility layer in lower case", "winxpsp3", ["winxpsp3"]),
            ("a compatibility layer that leaves it", "RunAsInvoker", [])]],
    # certutil's output (CERTUTIL): a line of anything but 64 hexadecimal
    # digits is no SHA-256.
    *[Pose("certutil printing " + name, WINDOWS_7_SP1, own=Own("archver", env={
        CERTUTIL: HASHED % line})) for name, line in [
            ("the hash", "{sha256}"), ("the hash with blanks", "{spaced}"),
            ("63 hexadecimal digits", "{sha256:.63}"), ("65 hexadecimal digits", "{sha256}0"),
            ("a digit that is not hexadecimal", "{sha256:.63}g")]],
    Pose("a service pack's text holding " + HOSTILE,
         registry_version("6.1", "7601", service_pack=1, csd="Service Pack 1 " + HOSTILE),
         own=Own("archver")),
    # Every value so: no build, an unknown product type, which Wine 8's cmd
    # complains of on stderr (it parses a comparison with a for variable
    # again); the harness must escape the backslash ending the text.
    Pose("every value holding " + HOSTILE,
         registry_version("6.1", HOSTILE, "WinNT" + HOSTILE, service_pack=1,
                          csd="Service Pack 1 " + HOSTILE + "\\", current="6.1" + HOSTILE),
         own=Own("archver", mismatches=["/w BuildNumber"], unknown=["/o", "/w"],
                 sources=["disagree on version: registry 6.1.0, ver {ver}",
                          "disagree on product type: registry unrecognised"],
                 stderr=b"Syntax error\r\n", windows="{env} / {reg} ({bits}-bit), version 6.1 "
                 "build 0 (ver: {ver}), unrecognised (type ): version code ")),
    Pose("certutil failing", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "CertUtil: -hashfile command FAILED: 0x80070002\n"
                                 "CertUtil: The system cannot find the file specified.\n"})),
]
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

# The runs on each version without a run of its own: the program, what it
# finds from the version code (as Own), EXPECT_CODE right, wrong or unset,
# and whether reg.exe is there. Without its manifest archver is told 6.2
# from 8.1 on; without the registry nothing tells the product type.
Run = namedtuple("Run", "program finds expect registry", defaults=(None, True))
RUNS = [
    Run("archver", lambda code: ([], [], []), "right"),
    Run("archver", lambda code: ([], [], ["disagree on version code: EXPECT_CODE %d, registry %d"
                                          % (code + 1, code)]), "wrong"),
    Run("stripped", lambda code: (VERSION_ANSWERS if code >= 20630 else [], [], [])),
    Run("nothing", lambda code: (ANSWERS[:-1], [], [])),
    Run("archver", lambda code: ([], ["registry", "EXPECT_CODE", "/o", "/w"], []), "right",
        registry=False),
]

# Windows 10 or 11 Enterprise multi-session: a server's product type. What
# the caller may hand the recipes: a variable ERRORLEVEL, which hides cmd's;
# from an emulated x64 program on ARM64, AMD64 in the environment. The
# edition in the 64-bit registry view only, which a 32-bit cmd.exe must ask.
MULTI_SESSION = dict(product_type="ServerNT", edition="ServerRdsh")
ERRORLEVEL_SET = {"env": {"ERRORLEVEL": "1"}}
X64_PARENT_ON_ARM64 = {"machine": "ARM64", "env": {"PROCESSOR_ARCHITEW6432": "AMD64"}}
EDITION_64_ONLY = {"registry": {CURRENT_VERSION_32: {"EditionID": None}}}

# A version the recipes run on: the registry, the era the era recipe names,
# the 10.0 family recipe's name, and the machine, environment or registry.
Recipe = namedtuple("Recipe", "setting era name extra", defaults=({},))
TEN = "Windows 10 or later"
RECIPE_VERSIONS = {
    "win64": [
        Recipe(WINDOWS_7_SP1, "Vista to 8.1", "Windows before 10, version code 20611",
               ERRORLEVEL_SET),
        Recipe(WINDOWS_11, TEN, "Windows 11 (build 22631)", X64_PARENT_ON_ARM64),
        # The first Windows 11 build.
        Recipe(registry_version("10.0", "22000"), TEN, "Windows 11 (build 22000)"),
        # A server's own edition, which is not the multi-session one.
        Recipe(registry_version("10.0", "26100", "ServerNT", edition="ServerDatacenter"), TEN,
               "Windows Server 2025 (build 26100)"),
        Recipe(registry_version("10.0", "26100", **MULTI_SESSION), TEN,
               "Windows 11 (build 26100)", EDITION_64_ONLY),
    ],
    "win32": [
        # Older than Vista: the installer aborts.
        Recipe(registry_version("5.1", "2600", service_pack=3), "older",
               "Windows before 10, version code 20511", ERRORLEVEL_SET),
        # The first version the era recipe and the installer accept.
        Recipe(registry_version("6.0", "6002", service_pack=2), "Vista to 8.1",
               "Windows before 10, version code 20601"),
        Recipe(WINDOWS_10, TEN, "Windows 10 (build %s)" % WIN10_BUILD),
        Recipe(registry_version("10.0", "20348", "LanmanNT"), TEN,
               "Windows Server 2022 (build 20348)"),
        Recipe(registry_version("10.0", "19045", **MULTI_SESSION), TEN, "Windows 10 (build 19045)"),
        Recipe(registry_version("10.0", "19045", "ServerNT", edition="ServerStandard"), TEN,
               "Windows Server (build 19045)"),
        Recipe(registry_version("10.0", "22631", **MULTI_SESSION), TEN, "Windows 11 (build 22631)"),
        Recipe(registry_version("10.0", "22631", "ServerNT"), TEN, "Windows Server (build 22631)"),
    ],
}

# The checks recipes.py makes: the recipes found, each batch recipe from
# each start, the installer; where archver gives no answer, each recipe
# that asks it with each code archver never answers, the quick start with
# a program that answers only /b, the installer around a stand-in.
CHECKS = len(recipes.BATCH_OUTPUTS) * len(recipes.STARTS) + 2
NO_ANSWER_CHECKS = (len(recipes.NO_ANSWER_OUTPUTS) * len(recipes.NO_ANSWER_CODES)
                    + len(recipes.QUICK_START_O) + len(recipes.STANDIN_INSTALLS))
# recipes.py under a cmd.exe that also writes a line to standard output or
# to standard error: (what, shell line after the cmd.exe, its last line).
WRONG = [("a line more on standard output", "echo noise", "1 passed, %d failed" % (CHECKS - 1)),
         ("a line on standard error", "echo noise >&2", "1 passed, %d failed" % (CHECKS - 1))]


def outcome(output):
    """(checks passed, mismatched, unanswered, problems with the sources,
    SHA-256, what planted commands printed, "Windows:" line, last line)"""
    lines = output.decode(errors="replace").splitlines()

    def named(start):
        return [line[len(start):].split(":")[0] for line in lines if line.startswith(start)]

    return (named("ok        "), named("MISMATCH  "), named("unknown   "),
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
    """The cmd.exe ARCHVER_CMD names: the shell, the command that starts it
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
    """crosscheck.cmd in a folder of its own beside decoys, Wine's certutil
    (which prints no hash) hidden; run(program, env, start) as a runner's
    cmd step starts it, program's path its argument: (stdout, stderr, status)."""
    folder = new_folder(built, tmp_path_factory.mktemp("crosscheck"))
    programs = {"archver": None, "nothing": built["nothing"],
                "stripped": os.path.join(folder, "stripped.exe"),
                "missing": os.path.join(folder, "missing.exe")}
    subprocess.run([built["objcopy"], "--remove-section", ".rsrc", built["exe"],
                    programs["stripped"]], check=True)
    call = windows_path(os.path.join(folder, "crosscheck.cmd"))
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
        # GitHub's cmd steps: %ComSpec% /D /E:ON /V:OFF /S /C "CALL "{0}"",
        # with the variables in_cmd names set first by cmd itself.
        command = '%s /D /E:ON /V:OFF /S /C "%s%s"%s"%s"' % (
            shell.host, "".join('set "%s=%s"& ' % pair for pair in sorted(env.items())
                                if in_cmd(pair[0])), start, call,
            ' "%s"' % windows_path(programs[program]) if programs[program] else "")
        rest = {k: v for k, v in env.items() if not in_cmd(k)}
        return wine.run_command(command.encode(), cwd=os.path.dirname(folder), env=rest)

    with in_system(wine.env["WINEPREFIX"], "certutil.exe", None):
        # TEMP is in the user's profile, where each Wine release puts it.
        yield dict(run=run, folder=folder, programs=programs, decoyed=decoyed,
                   shell=shell, nothing=built["nothing"],
                   users=os.path.join(wine.env["WINEPREFIX"], "drive_c", "users"),
                   sha256=hashlib.sha256(open(built["exe"], "rb").read()).hexdigest())


def crosscheck_rows(kind):
    """The (version, run) pairs of a kind: crosscheck, archver's RUNS on each
    version without a run of its own; impostors, the other RUNS there;
    sources, the versions with a run of their own."""
    for pose in CROSSCHECK_VERSIONS:
        # A 32-bit prefix runs as x64 machines alone.
        marks = [getattr(pytest.mark, kind), pytest.mark.win64] + (
            [pytest.mark.win32] if pose.machine == "AMD64" else [])
        if pose.own and kind == "sources":
            own = pose.own
            finds = (own.mismatches, own.unknown, own.sources)
            yield pytest.param(pose, Run(own.program, lambda code, finds=finds: finds,
                                         registry=own.registry), id=pose.name, marks=marks)
        for run in RUNS if not pose.own and kind != "sources" else []:
            if (run.program == "archver") == (kind == "crosscheck"):
                yield pytest.param(pose, run, id="%s, %s%s%s" % (
                    pose.name, run.program, ", EXPECT_CODE " + run.expect if run.expect else "",
                    "" if run.registry else ", no reg.exe"), marks=marks)


def windows_line(pose, run, arch, env, ver):
    """The "Windows:" line crosscheck.cmd prints for run on pose, and the
    machines the environment and the registry name ({env}, {reg}) beside
    what Wine's ver says ({ver}): the bitness they agree on, the version and
    build, "ver"'s (Wine's win10 tells its own build), the product type and
    the version code."""
    name, setting, machine, own = pose
    native = ARCH[arch].replace("AMD64", machine)
    names = dict(env=env.get("PROCESSOR_ARCHITEW6432") or env.get("PROCESSOR_ARCHITECTURE")
                 or native, reg=native if run.registry else "", ver=ver)
    bits = {"x86": 32}.get(names["env"], 64)
    names["bits"] = "" if names["reg"] and bits != {"x86": 32}.get(names["reg"], 64) else bits
    version, build, product = facts(setting)
    product = product if run.registry else ""
    line = "{env} / {reg} ({bits}-bit), " + "version %s build %s (ver: %s.%s), %s (type %s): " \
        "version code %s" % (version, build, version, WIN10_BUILD if setting[0] == "win10" else
                             build, product, PRODUCT_TYPES.get(product.lower(), ""),
                             code_of(setting) if product else "")
    return (own and own.windows or line).format(**names), names


def assert_crosscheck(wine, crosscheck, pose, run, what):
    """What crosscheck.cmd prints and ends with for run on pose."""
    name, setting, machine, own = pose
    code = None if own else code_of(setting)
    # Wine hands the registry's machine to every process.
    wine.use_version(setting, {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": machine}}
                     if wine.arch == "win64" else None)
    env = {"EXPECT_CODE": str(code if run.expect == "right" else code + 1)} if run.expect else {}
    if machine != "AMD64":
        env["PROCESSOR_ARCHITEW6432" if crosscheck["shell"].name == "wow64"
            else "PROCESSOR_ARCHITECTURE"] = machine
    for variable, value in (own.env if own else {}).items():
        env[variable] = value.get(wine.arch) if isinstance(value, dict) else value
    mismatches, unknown, sources = run.finds(code)
    # Where the registry holds no version Wine can read, ver says Wine's
    # default, which differs between its releases: asked where a row names it.
    ver = "{ver}" in repr(own) and wine.run_command(
        (crosscheck["shell"].host + " /d /c ver").encode())[0].decode().split()[-1]
    windows, names = windows_line(pose, run, wine.arch, env, ver)
    sources = [wine.with_build(problem.format(**names)) for problem in sources]
    # A stand-in certutil in place of Wine's, which prints no hash; the hash
    # is its line after the first, blanks left out.
    sha256 = crosscheck["sha256"]
    spaced = " ".join(sha256[i:i + 2] for i in range(0, 64, 2))
    printed = env.get(CERTUTIL, "").format(sha256=sha256, spaced=spaced)
    if printed:
        # Wine starts its own certutil unless told to take the file.
        env = dict(env, WINEDLLOVERRIDES=wine.env["WINEDLLOVERRIDES"] + ";certutil.exe=n",
                   **{CERTUTIL: printed})
    hashes = [sha256] if printed.split("\n")[1:2] in ([sha256], [spaced]) else []
    passed = [a for a in ANSWERS if a not in mismatches + unknown]
    last = "crosscheck: %d mismatches with archver, %d problems with the sources" % (
        len(mismatches), len(sources)) if mismatches or sources else "crosscheck: all agree"
    # Standard error empty, or but for lines a row allows; nothing of the
    # run left in TEMP, and icacls.bat beside it did not run.
    allowed = own.stderr if own else b""
    expected = (1 if mismatches or sources else 0, (passed, mismatches, unknown, sources, hashes,
                                                     [], [wine.with_build(windows)], last),
                b"", [], False)
    prefix = wine.env["WINEPREFIX"]

    def attempt():
        with in_system(prefix, "reg.exe", None) if not run.registry else contextlib.nullcontext(), \
                in_system(prefix, "certutil.exe", printed and crosscheck["nothing"]):
            out, err, status = crosscheck["run"](run.program, env)
        left = [n for _, folders, files in os.walk(crosscheck["users"])
                for n in folders + files if n.startswith("archver")]
        return (status, outcome(out), err.replace(allowed, b"") if allowed else err, left,
                os.path.exists(crosscheck["decoyed"])), out

    assert again(what, attempt, lambda got: got[0] == expected,
                 show=lambda got: got[1].decode(errors="replace"))[0] == expected


@pytest.mark.parametrize("pose, run", [row for kind in ("crosscheck", "impostors", "sources")
                                       for row in crosscheck_rows(kind)])
def test_crosscheck(wine, crosscheck, pose, run, request):
    assert_crosscheck(wine, crosscheck, pose, run, request.node.name)


@pytest.mark.sources
@pytest.mark.win64
@pytest.mark.win32
def test_sources_from_a_folder_cmd_would_parse(wine, crosscheck, start):
    """Started as a double click starts it. (A % in the name is lost before
    the script starts: cmd expands the line that starts it.)"""
    odd = os.path.join(os.path.dirname(crosscheck["folder"]), "R&D !x! (y)")
    os.mkdir(odd)
    for name in ("crosscheck.cmd", "archver.exe"):
        shutil.copy(os.path.join(crosscheck["folder"], name), odd)
    wine.use_version(WINDOWS_7_SP1)
    command = '%s /D /S /C ""%s""' % (crosscheck["shell"].host,
                                      windows_path(os.path.join(odd, "crosscheck.cmd")))
    out, err, status = wine.run_command(command.encode(), cwd=odd)
    got = outcome(out)
    assert (status, got[5], got[-1], err, out.splitlines()[:1]) == \
        (0, [], "crosscheck: all agree", b"",
         [b"crosscheck: " + windows_path(os.path.join(odd, "archver.exe")).encode()])


# Exit code 2, which Wine's cmd keeps only when the script is started
# without CALL: (what, the program, TEMP or None, the last line).
EXIT_2 = [("without archver", "missing", None, 'cannot find "{missing}"'),
          ("TEMP naming a file", "archver", "{taken}",
           'cannot make a folder of its own in "{taken}"')]


@pytest.mark.sources
@pytest.mark.win64
@pytest.mark.win32
@pytest.mark.parametrize("program, temp, last", [row[1:] for row in EXIT_2],
                         ids=[row[0] for row in EXIT_2])
def test_sources_exit_2(crosscheck, program, temp, last):
    names = dict(missing=windows_path(crosscheck["programs"]["missing"]), taken=windows_path(
        os.path.join(os.path.dirname(crosscheck["folder"]), "reg.exe")))
    out, err, status = crosscheck["run"](program, {"TEMP": temp.format(**names)} if temp else {},
                                         start="")
    assert (status, outcome(out)[-1], err) == (2, "crosscheck: " + last.format(**names), b"")


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


@pytest.mark.recipes
@pytest.mark.parametrize("recipe", [
    pytest.param(recipe, marks=getattr(pytest.mark, prefix), id=recipe.name + "".join(
        ", " + k for k in recipe.extra)) for prefix, rows in RECIPE_VERSIONS.items()
    for recipe in rows])
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


# The line comes from the shell, not from cmd.exe: the 32-bit prefix's
# alone runs these.
@pytest.mark.noanswer
@pytest.mark.win32
@pytest.mark.parametrize("after, last", [row[1:] for row in WRONG], ids=[row[0] for row in WRONG])
def test_noanswer_recipes_py_failing(wine, start, installers, after, last):
    setting = RECIPE_VERSIONS[wine.arch][-1].setting
    status, lines, _ = run_recipes(wine, start, installers, setting, after)
    assert (status, lines[-1:]) == (1, [last])


@pytest.mark.noanswer
@pytest.mark.win64
@pytest.mark.win32
def test_noanswer(wine, start, installers, request):
    """recipes.py's no-answer runs, with ERRORLEVEL set."""
    want = (0, ["%d passed, 0 failed" % NO_ANSWER_CHECKS])
    got = again(request.node.name, lambda: run_recipes(
        wine, start, installers, RECIPE_VERSIONS[wine.arch][-1].setting, mode=["no-answer"],
        extra=ERRORLEVEL_SET), lambda got: (got[0], got[1][-1:]) == want, show=lambda got: got[2])
    assert (got[0], got[1][-1:]) == want
