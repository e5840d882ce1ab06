"""What also runs on real Windows, under Wine's cmd.exe as the CI workflow
starts it on a runner, from a folder whose name holds blanks and
parentheses: crosscheck.cmd, and the recipes of the docs (the batch files and
the NSIS installer) through tests/windows/recipes.py. Five tests a cmd.exe:
the recipes on many versions, the recipes where archver gives no answer,
crosscheck.cmd with archver on many versions, with impostors of archver,
and what it says of its sources; under the cmd.exe of Windows' own bitness
(win64, win32) and the 32-bit one of 64-bit Windows (wow64), each first
checked to be of that bitness.

archver and crosscheck.cmd read the same registry here, so this proves the
script, not Windows: it agrees where archver is right, finds the copy
without a manifest and the do-nothing program wrong (but for the bitness
where Windows has no IsWow64Process), says where its sources disagree, names
a compatibility layer that changes the version or, without reg.exe (Windows
2000), what it could not check, and exits 2 without archver.exe. The recipes
print what recipes.py reads they must from the registry, on several
versions, multi-session hosts among them, and that archver did not answer
where it is missing or a stand-in ends with another code; recipes.py fails
where one prints anything else or on stderr, or ends with another
exit status.

usage: test_windows.py CROSSCHECK_CMD SOURCE_DIR ARCHVER_EXE NOTHING_EXE OBJCOPY MAKENSIS
                       test_{recipes,noanswer,crosscheck,impostors,sources}_{win64,wow64,win32}
                       win64|win32 LAUNCH_EXE WINE_DIR
"""
import glob
import hashlib
from collections import namedtuple
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

from checks import check, check_twice, finish
import recipes
from poses import (SERVER_2008_R2_SP1_DC, WIN10_BUILD, WINDOWS_10, WINDOWS_11, WINDOWS_7_SP1,
                   code_of)
import winehost
from winehost import (CMD_HOSTS, CURRENT_VERSION_32, Prefix, named_version, registry_version,
                      windows_path)

# A version the cross-check runs on: its name, how the registry is set, the
# machine that the registry and the environment name on a 64-bit prefix,
# and, for a run of its own, what that run is (Own). Wine's archver still
# runs on x64; on ARM64 and Itanium only the script's reading is shown.
Pose = namedtuple("Pose", "name setting machine own", defaults=("AMD64", None))
# A run of its own: the program (archver, the do-nothing program, which
# answers 0 as archver does to the bitness where Windows has no
# IsWow64Process), the environment, whether reg.exe is there, and what it
# finds: the checks that mismatch, those nothing answers, the problems with
# the sources, and what Wine's cmd may print on standard error besides.
Own = namedtuple("Own", "program env registry mismatches unknown sources stderr",
                 defaults=({}, True, [], [], [], b""))
BITNESS = ["no argument", "/v", "/b"]
# What registry values and folder names hold: what cmd would take for syntax,
# and a command that prints INJECTED where cmd runs it.
INJECTED = "INJECTED"
HOSTILE = '"&echo %s&rem %%PATH%% !x! (' % INJECTED
# What a stand-in certutil prints, in a row's environment (its runtime
# writes each line end as CR LF).
CERTUTIL = "ARCHVER_STANDIN_PRINT"
CERTUTIL_DONE = "CertUtil: -hashfile command completed successfully.\n"
VERSION_ANSWERS = ["/o", "/w", "/w BuildNumber"]
OTHER_BITNESS = {"win64": "x86", "win32": "AMD64"}
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
         own=Own("archver", mismatches=["/w BuildNumber"], sources=["disagree on version"])),
    Pose("PROCESSOR_ARCHITEW6432 naming the other bitness", WINDOWS_7_SP1,
         own=Own("archver", env={"PROCESSOR_ARCHITEW6432": OTHER_BITNESS}, unknown=BITNESS,
                 sources=["disagree on bitness"])),
    Pose("Windows 2000", named_version("win2k"),
         own=Own("nothing", registry=False, mismatches=["/w BuildNumber"],
                 unknown=BITNESS + ["/o", "/w"], sources=["cannot read the registry"])),
    Pose("Windows XP SP1", registry_version("5.1", "2600", service_pack=1),
         own=Own("nothing", mismatches=VERSION_ANSWERS, unknown=BITNESS)),
    Pose("Windows XP SP2", registry_version("5.1", "2600", service_pack=2),
         own=Own("nothing", mismatches=BITNESS + VERSION_ANSWERS)),
    Pose("Server 2003", registry_version("5.2", "3790", "ServerNT"),
         own=Own("nothing", mismatches=VERSION_ANSWERS, unknown=BITNESS)),
    Pose("Server 2003 SP1", registry_version("5.2", "3790", "ServerNT", service_pack=1),
         own=Own("nothing", mismatches=BITNESS + VERSION_ANSWERS)),
    # XP x64 is a workstation of 5.2, and has IsWow64Process.
    Pose("Windows XP x64", registry_version("5.2", "3790"),
         own=Own("nothing", mismatches=BITNESS + VERSION_ANSWERS)),
    Pose("Server 2003 domain controller", registry_version("5.2", "3790", "LanmanNT"),
         own=Own("nothing", mismatches=VERSION_ANSWERS, unknown=BITNESS)),
    # Only a 0 is no answer: a wrong bitness stays wrong, a right one agrees.
    Pose("Windows 2000, answers of 3", named_version("win2k"),
         own=Own("nothing", env={"ARCHVER_STANDIN_EXIT": "3"}, registry=False,
                 mismatches=BITNESS + ["/w BuildNumber", "help"], unknown=["/o", "/w"],
                 sources=["cannot read the registry"])),
    Pose("Windows XP SP1, archver answering", registry_version("5.1", "2600", service_pack=1),
         own=Own("archver")),
    Pose("a compatibility layer that changes the version", WINDOWS_7_SP1,
         own=Own("archver", env={"__COMPAT_LAYER": "~ RunAsInvoker WINXPSP3"},
                 sources=["compatibility layer WINXPSP3 in __COMPAT_LAYER"])),
    Pose("compatibility layers in mixed case", WINDOWS_7_SP1,
         own=Own("archver", env={"__COMPAT_LAYER": "~ RunAsInvoker VistaSP2 Win7RTM"},
                 sources=["compatibility layer VistaSP2 in __COMPAT_LAYER",
                          "compatibility layer Win7RTM in __COMPAT_LAYER"])),
    Pose("a compatibility layer in lower case", WINDOWS_7_SP1,
         own=Own("archver", env={"__COMPAT_LAYER": "winxpsp3"},
                 sources=["compatibility layer winxpsp3 in __COMPAT_LAYER"])),
    Pose("a compatibility layer that leaves it", WINDOWS_7_SP1,
         own=Own("archver", env={"__COMPAT_LAYER": "RunAsInvoker"})),
    # certutil's SHA-256 of archver.exe ({sha256}), from a stand-in: as
    # Windows 8 and later print it, as older ones do, and an error.
    Pose("certutil printing the hash", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "SHA256 hash of file:\n{sha256}\n" + CERTUTIL_DONE})),
    Pose("certutil printing the hash with blanks", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "SHA256 hash of file:\n{spaced}\n" + CERTUTIL_DONE})),
    # Data where cmd would see syntax: in the service pack's text, which
    # only the number of is read, and, with a run of its own, in the name
    # of the folder crosscheck.cmd and archver are in.
    Pose("a service pack's text holding " + HOSTILE,
         registry_version("6.1", "7601", service_pack=1, csd="Service Pack 1 " + HOSTILE),
         own=Own("archver")),
    # Every value it reads from the registry so: no build, and a product
    # type it knows none of, which Wine 8's cmd complains of once a word it
    # is compared with (it parses a comparison again once a for variable is
    # in it): that line alone may stand on standard error. The backslash at
    # the end of the service pack's text is what the harness must escape.
    Pose("every value holding " + HOSTILE,
         registry_version("6.1", HOSTILE, "WinNT" + HOSTILE, service_pack=1,
                          csd="Service Pack 1 " + HOSTILE + "\\", current="6.1" + HOSTILE),
         own=Own("archver", mismatches=["/w BuildNumber"], unknown=["/o", "/w"],
                 sources=["disagree on version", "disagree on product type"],
                 stderr=b"Syntax error\r\n")),
    # A line of anything but 64 hexadecimal digits is no SHA-256.
    Pose("certutil printing 63 hexadecimal digits", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "SHA256 hash of file:\n{sha256:.63}\n"
                                 + CERTUTIL_DONE})),
    Pose("certutil printing 65 hexadecimal digits", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "SHA256 hash of file:\n{sha256}0\n" + CERTUTIL_DONE})),
    Pose("certutil printing a digit that is not hexadecimal", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "SHA256 hash of file:\n{sha256:.63}g\n"
                                 + CERTUTIL_DONE})),
    Pose("certutil failing", WINDOWS_7_SP1,
         own=Own("archver", env={CERTUTIL: "CertUtil: -hashfile command FAILED: 0x80070002\n"
                                 "CertUtil: The system cannot find the file specified.\n"})),
]
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

ANSWERS = BITNESS + VERSION_ANSWERS + ["help"]

# (program, EXPECT_CODE right or wrong or unset, whether reg.exe is there,
# and from the version code: the checks that mismatch, those nothing answers,
# the problems with the sources). Without its manifest archver is told 6.2
# from Windows 8.1 on; the do-nothing program answers 0 to everything.
# Without the registry nothing tells the product type, so neither the code.
RUNS = [
    ("archver", "right", True, lambda code: ([], [], [])),
    ("archver", "wrong", True, lambda code: ([], [], ["disagree on version code"])),
    ("stripped", None, True, lambda code: (VERSION_ANSWERS if code >= 20630 else [], [], [])),
    ("nothing", None, True, lambda code: ([a for a in ANSWERS if a != "help"], [], [])),
    ("archver", None, False, lambda code: ([], ["/o", "/w"], ["cannot read the registry"])),
]


ARCH = {"win64": "AMD64", "win32": "x86"}
# A Windows 10 or 11 Enterprise multi-session host: a server's product type.
MULTI_SESSION = dict(product_type="ServerNT", edition="ServerRdsh")
# What the caller may hand the recipes: a variable named ERRORLEVEL, which
# hides cmd's own; and, from an emulated x64 program on ARM64, AMD64 as the
# machine in the environment, while the registry names ARM64.
ERRORLEVEL_SET = {"env": {"ERRORLEVEL": "1"}}
X64_PARENT_ON_ARM64 = {"machine": "ARM64", "env": {"PROCESSOR_ARCHITEW6432": "AMD64"}}
# The edition kept in the 64-bit registry view only, which a 32-bit cmd.exe
# does not read unless told.
EDITION_64_ONLY = {"registry": {CURRENT_VERSION_32: {"EditionID": None}}}

# A version the recipes run on: how the registry is set, the era the era
# recipe names, the name the 10.0 family recipe gives, and what else the row
# sets: the machine, the caller's environment, the registry.
Recipe = namedtuple("Recipe", "setting era name extra", defaults=({},))
RECIPE_VERSIONS = {
    "win64": [
        Recipe(WINDOWS_7_SP1, "Vista to 8.1", "Windows before 10, version code 20611",
               ERRORLEVEL_SET),
        Recipe(WINDOWS_11, "Windows 10 or later", "Windows 11 (build 22631)",
               X64_PARENT_ON_ARM64),
        # The first Windows 11 build.
        Recipe(registry_version("10.0", "22000"), "Windows 10 or later",
               "Windows 11 (build 22000)"),
        # A server's own edition, which is not the multi-session one.
        Recipe(registry_version("10.0", "26100", "ServerNT", edition="ServerDatacenter"),
               "Windows 10 or later", "Windows Server 2025 (build 26100)"),
        Recipe(registry_version("10.0", "26100", **MULTI_SESSION), "Windows 10 or later",
               "Windows 11 (build 26100)", EDITION_64_ONLY),
    ],
    "win32": [
        # Older than Vista: the installer aborts.
        Recipe(registry_version("5.1", "2600", service_pack=3), "older",
               "Windows before 10, version code 20511", ERRORLEVEL_SET),
        # The first version the era recipe and the installer accept.
        Recipe(registry_version("6.0", "6002", service_pack=2), "Vista to 8.1",
               "Windows before 10, version code 20601"),
        Recipe(WINDOWS_10, "Windows 10 or later", "Windows 10 (build %s)" % WIN10_BUILD),
        Recipe(registry_version("10.0", "20348", "LanmanNT"), "Windows 10 or later",
               "Windows Server 2022 (build 20348)"),
        Recipe(registry_version("10.0", "19045", **MULTI_SESSION), "Windows 10 or later",
               "Windows 10 (build 19045)"),
        Recipe(registry_version("10.0", "19045", "ServerNT", edition="ServerStandard"),
               "Windows 10 or later", "Windows Server (build 19045)"),
        Recipe(registry_version("10.0", "22631", **MULTI_SESSION), "Windows 10 or later",
               "Windows 11 (build 22631)"),
        Recipe(registry_version("10.0", "22631", "ServerNT"), "Windows 10 or later",
               "Windows Server (build 22631)"),
    ],
}

# recipes.py under a cmd.exe that also writes a line to standard output or
# to standard error: (what, shell line after the cmd.exe, its last line).
# The recipes found, each batch recipe, the installer. The line comes from
# the shell, not from cmd.exe, so the 32-bit prefix's alone runs these.
CHECKS = len(recipes.BATCH_OUTPUTS) * len(recipes.STARTS) + 2
WRONG = [("a line more on standard output", "echo noise", "1 passed, %d failed" % (CHECKS - 1)),
         ("a line on standard error", "echo noise >&2", "1 passed, %d failed" % (CHECKS - 1))]
# The recipes that ask archver, each run with archver missing and in its
# place a program ending with each code archver never answers; the quick
# start with one that answers only /b.
NO_ANSWER_CHECKS = (len(recipes.NO_ANSWER_OUTPUTS) * len(recipes.NO_ANSWER_CODES)
                    + len(recipes.QUICK_START_O) + len(recipes.STANDIN_INSTALLS))


def outcome(output):
    """(checks passed, mismatched, unanswered, problems with the sources,
    SHA-256 lines, lines that a planted command printed, last line)"""
    lines = output.decode(errors="replace").splitlines()

    def named(start):
        return [line[len(start):].split(":")[0] for line in lines if line.startswith(start)]

    return (named("ok        "), named("MISMATCH  "), named("unknown   "), named("SOURCES   "),
            [line[9:] for line in lines if line.startswith("SHA-256: ")],
            [line for line in lines if line.strip() in (INJECTED, "reg.bat ran")],
            lines[-1] if lines else "")


def hide(prefix, name, hidden):
    """Renames the program name in every system folder, or back."""
    for folder in ("system32", "syswow64"):
        path = os.path.join(prefix, "drive_c", "windows", folder, name)
        if os.path.exists(path if hidden else path + ".hidden"):
            os.rename(*((path, path + ".hidden") if hidden else (path + ".hidden", path)))


def standin(prefix, name, program):
    """Puts program in every system folder as name, or with None removes it."""
    for folder in ("system32", "syswow64"):
        path = os.path.join(prefix, "drive_c", "windows", folder, name)
        if program and os.path.isdir(os.path.dirname(path)):
            shutil.copy(program, path)
        elif os.path.exists(path):
            os.remove(path)


def in_cmd(variable):
    """Whether a variable of a cross-check's run is set by cmd itself: Wine
    10 sets the PROCESSOR_ ones for each process it starts, whatever its
    caller handed it, and every Wine sets TEMP from the registry."""
    return variable.startswith("PROCESSOR_") or variable == "TEMP"


def check_crosscheck(wine, host, arch, folder, exe, nothing, objcopy, part):
    """part crosscheck: the runs of archver in RUNS on each version that has
    no run of its own; impostors: the other programs of RUNS there; sources:
    the versions with a run of their own (sources that disagree or are
    missing, old Windows, compatibility layers) and a missing archver.exe."""
    programs = {"archver": None, "nothing": nothing,
                "stripped": os.path.join(folder, "stripped.exe"),
                "missing": os.path.join(folder, "missing.exe")}
    subprocess.run([objcopy, "--remove-section", ".rsrc", exe, programs["stripped"]], check=True)
    call = windows_path(os.path.join(folder, "crosscheck.cmd"))
    # Wine's certutil prints no hash: the script runs as where certutil is
    # missing, and must print no SHA-256 line.
    hide(wine.env["WINEPREFIX"], "certutil.exe", True)
    # A reg.bat and a reg.exe that answers nothing, where cmd.exe would find
    # them first for a bare "reg": the current folder and the script's; and
    # an icacls.bat that leaves a file where it runs.
    decoyed = os.path.join(os.path.dirname(folder), "icacls ran")
    for place in (folder, os.path.dirname(folder)):
        shutil.copy(nothing, os.path.join(place, "reg.exe"))
        for name, line in (("reg.bat", "@echo reg.bat ran"),
                           ("icacls.bat", '@echo ran> "%s"' % windows_path(decoyed))):
            with open(os.path.join(place, name), "w", newline="\r\n") as f:
                f.write(line + "\n")
    # TEMP is in the user's profile, where each Wine release puts it.
    users = os.path.join(wine.env["WINEPREFIX"], "drive_c", "users")
    sha256 = hashlib.sha256(open(exe, "rb").read()).hexdigest()

    def crosscheck(program, env, start="CALL "):
        # GitHub's cmd steps: %ComSpec% /D /E:ON /V:OFF /S /C "CALL "{0}"",
        # with the variables in_cmd names set first by cmd itself.
        command = '%s /D /E:ON /V:OFF /S /C "%s%s"%s"%s"' % (
            host, "".join('set "%s=%s"& ' % pair for pair in sorted(env.items())
                          if in_cmd(pair[0])), start, call,
            ' "%s"' % windows_path(programs[program]) if programs[program] else "")
        rest = {k: v for k, v in env.items() if not in_cmd(k)}
        return wine.run_command(command.encode(), cwd=os.path.dirname(folder), env=rest)

    for name, setting, machine, only in CROSSCHECK_VERSIONS:
        # A run of its own says what it finds; the others, what the code is.
        code = None if only else code_of(setting)
        if (arch == "win32" and machine != "AMD64") or bool(only) != (part == "sources"):
            continue
        # Wine hands the registry's machine to every process; a 32-bit one
        # on 64-bit Windows also sees it in PROCESSOR_ARCHITEW6432.
        wine.use_version(setting, {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": machine}}
                         if arch == "win64" else None)
        runs = RUNS
        if only:
            runs = [(only.program, None, only.registry,
                     lambda code: (only.mismatches, only.unknown, only.sources))]
        for program, expect, registry, want in runs:
            if part != "sources" and (program == "archver") != (part == "crosscheck"):
                continue
            env = {"EXPECT_CODE": str(code if expect == "right" else code + 1)} if expect else {}
            # What Windows hands a process on that machine: the 32-bit cmd.exe
            # of 64-bit Windows runs as x86.
            if machine != "AMD64":
                wow64 = host == CMD_HOSTS["win64"][1]
                env["PROCESSOR_ARCHITEW6432" if wow64 else "PROCESSOR_ARCHITECTURE"] = machine
            for variable, value in (only.env if only else {}).items():
                env[variable] = value.get(arch) if isinstance(value, dict) else value
            mismatches, unknown, sources = want(code)
            # A stand-in certutil in place of Wine's, which prints no hash.
            printed = env.get(CERTUTIL, "").format(sha256=sha256, spaced=" ".join(
                sha256[i:i + 2] for i in range(0, 64, 2)))
            if printed:
                # Wine starts its own certutil unless told to take the file.
                env = dict(env, WINEDLLOVERRIDES=wine.env["WINEDLLOVERRIDES"] + ";certutil.exe=n",
                           **{CERTUTIL: printed})
            # The hash is the line after the first, blanks left out.
            hashes = [sha256] if printed.split("\n")[1:2] == [sha256] or printed.split(
                "\n")[1:2] == [" ".join(sha256[i:i + 2] for i in range(0, 64, 2))] else []
            passed = [a for a in ANSWERS if a not in mismatches + unknown]
            status_want = 1 if mismatches or sources else 0
            last = "crosscheck: all agree" if status_want == 0 else \
                "crosscheck: %d mismatches with archver, %d problems with the " \
                "sources" % (len(mismatches), len(sources))
            what = "%s, %s, %s%s%s" % (name, host, program,
                                       ", EXPECT_CODE " + expect if expect else "",
                                       "" if registry else ", no reg.exe")
            # Standard error empty, or but for lines a row allows.
            allowed = only.stderr if only else b""
            expected = (status_want, (passed, mismatches, unknown, sources, hashes, [], last),
                        b"", [])

            def run_crosscheck():
                hide(wine.env["WINEPREFIX"], "reg.exe", not registry)
                standin(wine.env["WINEPREFIX"], "certutil.exe", printed and nothing)
                out, err, status = crosscheck(program, env)
                hide(wine.env["WINEPREFIX"], "reg.exe", False)
                standin(wine.env["WINEPREFIX"], "certutil.exe", None)
                # Nothing of the run is left in TEMP.
                left = [n for _, folders, files in os.walk(users) for n in folders + files
                        if n.startswith("archver")]
                return status, out, err, left

            check_twice(what, run_crosscheck, expected,
                        part=lambda got: (got[0], outcome(got[1]),
                                          got[2].replace(allowed, b"") if allowed else got[2],
                                          got[3]),
                        show=lambda got: got[1].decode(errors="replace"))

    check("%s, %s: icacls.bat beside it ran" % (host, part), os.path.exists(decoyed), False)
    if part != "sources":
        return
    # From a folder whose name cmd would take for syntax where unquoted,
    # started as a double click starts it. (A % in it is lost before the
    # script starts: cmd expands the line that starts it.)
    odd = os.path.join(os.path.dirname(folder), "R&D !x! (y)")
    os.mkdir(odd)
    for name in ("crosscheck.cmd", os.path.basename(exe)):
        shutil.copy(os.path.join(folder, name), odd)
    wine.use_version(WINDOWS_7_SP1)
    command = '%s /D /S /C ""%s""' % (host, windows_path(os.path.join(odd, "crosscheck.cmd")))
    out, err, status = wine.run_command(command.encode(), cwd=odd)
    check("%s, from %s" % (host, odd), (status, outcome(out)[-2:], err, out.splitlines()[:1]),
          (0, ([], "crosscheck: all agree"), b"",
           [b"crosscheck: " + windows_path(os.path.join(odd, os.path.basename(exe))).encode()]))
    # Without archver.exe: exit code 2, which Wine's cmd keeps only when
    # the script is started without CALL.
    out, err, status = crosscheck("missing", {}, start="")
    check("%s, missing archver.exe" % host, (status, outcome(out)[-1], err),
          (2, 'crosscheck: cannot find "%s"' % windows_path(programs["missing"]), b""))
    # TEMP naming a file: no folder of its own can be made in it.
    taken = windows_path(os.path.join(os.path.dirname(folder), "reg.exe"))
    out, err, status = crosscheck("archver", {"TEMP": taken}, start="")
    check("%s, TEMP naming a file" % host, (status, outcome(out)[-1], err),
          (2, 'crosscheck: cannot make a folder of its own in "%s"' % taken, b""))


# recipes.py's run: its status and first and last lines, and all it printed.
WHOLE_OUTPUT = dict(part=lambda got: got[:2], show=lambda got: got[2])


def check_recipes(wine, host, start, arch, folder, top, makensis, no_answer):
    """Without no_answer, recipes.py on each version of RECIPE_VERSIONS; with
    it, recipes.py where it must fail, and its no-answer runs. start is the
    command that starts host from Linux."""
    recipes.build_installer(top, folder, makensis, standin=no_answer)
    host_cmd = os.path.join(os.path.dirname(folder), "cmd")

    def run_recipes(setting, after="", mode=(), extra=None):
        with open(host_cmd, "w") as f:
            f.write("#!/bin/sh\n%s \"$@\"\nstatus=$?\n%s\nexit $status\n"
                    % (" ".join(shlex.quote(word) for word in start), after))
        os.chmod(host_cmd, 0o755)
        extra = extra or {}
        machine = {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": extra.get("machine", "AMD64")}}
        wine.use_version(setting, dict(extra.get("registry", {}),
                                       **(machine if arch == "win64" else {})))
        done = subprocess.run([sys.executable, recipes.__file__, top, folder, host_cmd]
                              + list(mode), env=dict(wine.env, **extra.get("env", {})),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300)
        output = done.stdout.decode(errors="replace")
        lines = output.splitlines()
        return done.returncode, lines[:1] + lines[-1:], output

    setting = RECIPE_VERSIONS[arch][-1].setting
    if no_answer:
        for what, after, last in WRONG if arch == "win32" else []:
            status, lines, _ = run_recipes(setting, after)
            check("recipes.py with " + what, (status, lines[-1:]), (1, [last]))
        check_twice("recipes.py no-answer, %s, ERRORLEVEL set" % host,
                    lambda: run_recipes(setting, mode=["no-answer"], extra=ERRORLEVEL_SET),
                    (0, ["%d passed, 0 failed" % NO_ANSWER_CHECKS]),
                    part=lambda got: (got[0], got[1][-1:]), show=WHOLE_OUTPUT["show"])
        return
    # What recipes.py expects it takes from the registry, as on a runner.
    for setting, era, name, extra in RECIPE_VERSIONS[arch]:
        code = code_of(setting)
        machine = "this machine: %s, %d, %s, %s" % (extra.get("machine", ARCH[arch]), code, era,
                                                    name)
        check_twice("recipes.py, %s, %s%s" % (name, host, "".join(", " + k for k in extra)),
                    lambda: run_recipes(setting, extra=extra),
                    (0, [machine, "%d passed, 0 failed" % CHECKS]), **WHOLE_OUTPUT)
    bare = [path for path in glob.glob(os.path.join(folder, "*.bat"))
            if b"\n" in open(path, "rb").read().replace(b"\r\n", b"")]
    check("batch files with a line end that is not CRLF", bare, [])


# Each test by the cmd.exe its name ends with: its prefix, that cmd.exe and
# the machine it runs as.
CMDS = {"win64": ("win64", CMD_HOSTS["win64"][0], b"AMD64"),
        "wow64": ("win64", CMD_HOSTS["win64"][1], b"x86"),
        "win32": ("win32", CMD_HOSTS["win32"][0], b"x86")}


def main():
    script, top, exe, nothing, objcopy, makensis, test, arch, launcher, wine_dir = sys.argv[1:11]
    # The test's own name, such as test_recipes_wow64 or test_sources_win32,
    # says what it checks and under which cmd.exe.
    part, name = test.split("_")[1:]
    prefix, host, runs_as = CMDS[name]
    check("%s on the prefix" % test, arch, prefix)
    with tempfile.TemporaryDirectory() as work, Prefix("windows", arch, launcher, wine_dir) as wine:
        folder = os.path.join(work, "archver 1.3 (x86)")
        os.mkdir(folder)
        shutil.copy(script, folder)
        shutil.copy(exe, folder)
        shutil.copy(nothing, os.path.join(folder, "nothing.exe"))
        # recipes.py starts host from Linux; the cross-check through the
        # launcher, as a runner's step does. Either is first checked to run
        # as it must.
        echo = ["/d", "/c", "echo %PROCESSOR_ARCHITECTURE%"]
        if part in ("recipes", "noanswer"):
            start = wine.system_program("cmd.exe", native=name != "wow64")
            out = subprocess.run(start + echo, env=wine.env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE).stdout
            check("%s runs as" % " ".join(start), out, runs_as + b"\r\n")
            check_recipes(wine, host, start, arch, folder, top, makensis, part == "noanswer")
        else:
            out = wine.run_command(b" ".join([host.encode()] + [a.encode() for a in echo]))[0]
            check("%s runs as" % host, out, runs_as + b"\r\n")
            check_crosscheck(wine, host, arch, folder, exe, nothing, objcopy, part)
    return finish(winehost.reruns)


if __name__ == "__main__":
    sys.exit(main())
