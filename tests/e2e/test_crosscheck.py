"""crosscheck.cmd under Wine's cmd.exe, started as GitHub starts a cmd step,
from a folder whose name holds blanks and parentheses. Here archver and the
script read the same registry, so this proves the script, not Windows: it
agrees where archver is right, finds the copy without a manifest and the
do-nothing program wrong, says where its sources disagree, without reg.exe,
as on Windows 2000, says what it could not check, and without archver.exe
exits 2.

usage: test_crosscheck.py CROSSCHECK_CMD ARCHVER_EXE NOTHING_EXE OBJCOPY native|wow64
                          win64|win32 LAUNCH_EXE WINE_DIR
    native runs the cmd.exe of Windows' own bitness, wow64 the 32-bit one of
    64-bit Windows
"""
import os
import shutil
import subprocess
import sys
import tempfile

from checks import check, finish
from winehost import (CMD_HOSTS, SERVER_2008_R2_SP1_DC, WINDOWS_10, WINDOWS_11, WINDOWS_7_SP1, Prefix,
                      named_version, registry_version, windows_path)

# (name, how the registry is set, version code, the machine that the
# registry and the environment name on a 64-bit prefix, and for sources that
# disagree, what the run of archver finds: checks that mismatch, those
# nothing answers, problems with the sources). Wine's archver still runs on
# x64; on ARM64 and Itanium only the script's reading is shown.
VERSIONS = [
    ("Windows 7 SP1", WINDOWS_7_SP1, 20611, "AMD64", None),
    ("Server 2012 R2 domain controller", registry_version("6.3", "9600", "LanmanNT"), 20632,
     "AMD64", None),
    ("Windows 10, registry as Windows keeps it", WINDOWS_10, 21001, "AMD64", None),
    ("Windows 11 23H2", WINDOWS_11, 21001, "AMD64", None),
    ("Server 2022", registry_version("10.0", "20348", "ServerNT"), 21003, "AMD64", None),
    ("Windows 11 on ARM64", WINDOWS_11, 21001, "ARM64", None),
    ("Server 2008 R2 on Itanium", SERVER_2008_R2_SP1_DC, 20612, "IA64", None),
    ("ver saying another build than the registry",
     named_version("win10", registry_version("10.0", "22631", current="6.3")), 21001, "AMD64",
     (["/w BuildNumber"], [], ["disagree on version"])),
    ("PROCESSOR_ARCHITEW6432 naming the other bitness", WINDOWS_7_SP1, 20611, "AMD64",
     ([], ["no argument", "/v", "/b"], ["disagree on bitness"])),
]
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

ANSWERS = ["no argument", "/v", "/b", "/o", "/w", "/w BuildNumber", "help"]
VERSION_ANSWERS = ["/o", "/w", "/w BuildNumber"]

# (program, EXPECT_CODE right or wrong or unset, whether reg.exe is there,
# and from the version code: the checks that mismatch, those nothing answers,
# the problems with the sources). Without its manifest archver is told 6.2
# from Windows 8.1 on; the do-nothing program answers 0 to everything.
# Without the registry nothing tells the product type, so neither the code.
RUNS = [
    ("archver", None, True, lambda code: ([], [], [])),
    ("archver", "right", True, lambda code: ([], [], [])),
    ("archver", "wrong", True, lambda code: ([], [], ["disagree on version code"])),
    ("stripped", None, True, lambda code: (VERSION_ANSWERS if code >= 20630 else [], [], [])),
    ("nothing", None, True, lambda code: ([a for a in ANSWERS if a != "help"], [], [])),
    ("archver", None, False, lambda code: ([], ["/o", "/w"], ["cannot read the registry"])),
]


def outcome(output):
    """(checks passed, mismatched, unanswered, problems with the sources, last line)"""
    lines = output.decode(errors="replace").splitlines()

    def named(start):
        return [line[len(start):].split(":")[0] for line in lines if line.startswith(start)]

    return (named("ok        "), named("MISMATCH  "), named("unknown   "), named("SOURCES   "),
            lines[-1] if lines else "")


def hide_reg(prefix, hidden):
    """Renames reg.exe in every system folder, as Windows 2000 lacks it."""
    for folder in ("system32", "syswow64"):
        path = os.path.join(prefix, "drive_c", "windows", folder, "reg.exe")
        if os.path.exists(path if hidden else path + ".hidden"):
            os.rename(*((path, path + ".hidden") if hidden else (path + ".hidden", path)))


def main():
    script, exe, nothing, objcopy, cmd, arch, launcher, wine_dir = sys.argv[1:9]
    hosts = CMD_HOSTS[arch][1:] if cmd == "wow64" else CMD_HOSTS[arch][:1]
    with tempfile.TemporaryDirectory() as work, \
            Prefix("crosscheck", arch, launcher, wine_dir) as wine:
        folder = os.path.join(work, "archver 1.3 (x86)")
        os.mkdir(folder)
        shutil.copy(script, folder)
        shutil.copy(exe, folder)
        programs = {"archver": None, "nothing": nothing,
                    "stripped": os.path.join(folder, "stripped.exe"),
                    "missing": os.path.join(folder, "missing.exe")}
        subprocess.run([objcopy, "--remove-section", ".rsrc", exe, programs["stripped"]],
                       check=True)
        call = windows_path(os.path.join(folder, "crosscheck.cmd"))

        def crosscheck(host, program, env, start="CALL "):
            # GitHub's cmd steps: %ComSpec% /D /E:ON /V:OFF /S /C "CALL "{0}""
            command = '%s /D /E:ON /V:OFF /S /C "%s"%s"%s"' % (
                host, start, call,
                ' "%s"' % windows_path(programs[program]) if programs[program] else "")
            return wine.run_command(command.encode(), cwd=work, env=env)

        for name, setting, code, machine, disagree in VERSIONS:
            if arch == "win32" and machine != "AMD64":
                continue
            # Wine hands the registry's machine to every process; a 32-bit one
            # on 64-bit Windows also sees it in PROCESSOR_ARCHITEW6432.
            wine.use_version(setting, {ENVIRONMENT: {"PROCESSOR_ARCHITECTURE": machine}}
                             if arch == "win64" else None)
            for host in hosts:
                for program, expect, registry, want in RUNS[:1] if disagree else RUNS:
                    env = {"EXPECT_CODE": str(code if expect == "right" else code + 1)} \
                        if expect else {}
                    if machine != "AMD64" and host == CMD_HOSTS["win64"][1]:
                        env["PROCESSOR_ARCHITEW6432"] = machine
                    if disagree and disagree[1]:
                        env["PROCESSOR_ARCHITEW6432"] = "x86" if arch == "win64" else "AMD64"
                    hide_reg(wine.env["WINEPREFIX"], not registry)
                    out, err, status = crosscheck(host, program, env)
                    hide_reg(wine.env["WINEPREFIX"], False)
                    mismatches, unknown, sources = disagree or want(code)
                    passed = [a for a in ANSWERS if a not in mismatches + unknown]
                    status_want = 1 if mismatches or sources else 0
                    last = "crosscheck: all agree" if status_want == 0 else \
                        "crosscheck: %d mismatches with archver, %d problems with the " \
                        "sources" % (len(mismatches), len(sources))
                    what = "%s, %s, %s%s%s" % (name, host, program,
                                               ", EXPECT_CODE " + expect if expect else "",
                                               "" if registry else ", no reg.exe")
                    check(what, (status, outcome(out), err),
                          (status_want, (passed, mismatches, unknown, sources, last), b""))
                    if status != status_want:
                        print(out.decode(errors="replace"))

        # Without archver.exe: exit code 2, which Wine's cmd keeps only when
        # the script is started without CALL.
        for host in hosts:
            out, err, status = crosscheck(host, "missing", {}, start="")
            check("%s, missing archver.exe" % host, (status, outcome(out)[4], err),
                  (2, 'crosscheck: cannot find "%s"' % windows_path(programs["missing"]), b""))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
