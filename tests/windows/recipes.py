"""The docs' recipes as the tests run them, under Wine and on Windows: each
fenced block after a line "<!-- recipe: NAME -->" in README.md or
docs/*.md, as NAME.bat or NAME.ps1 beside archver.exe, the nsis block as
example-setup.exe; and what each must print on this machine, as its
registry tells.

usage (on Debian, with NSIS): recipes.py installer TOP DIR [MAKENSIS]
    builds DIR/example-setup.exe around DIR/archver.exe, recording in
    decided.txt what it decided, and another around DIR/nothing.exe in
    DIR/stand-in installer
usage (on Windows, with Python): recipes.py TOP DIR CMD [no-answer]
    runs the recipes in DIR under CMD, as on this Windows they must run,
    and prints what it expects first; with no-answer, the batch recipes
    where archver is missing or ends with a code it never answers, and the
    stand-in installer. Ends with "N passed, N failed"; exits 1 on any
    difference.
"""
import glob
import itertools
import os
import re
import shutil
import subprocess
import sys

from behaviour import machine_answers, read_machine
from checks import check, finish

# What each batch recipe prints, by name; each ends with exit status 0.
BATCH_OUTPUTS = {
    "quick-start": "{bits}-bit Windows\n{era}\n",
    "architecture": "Windows runs on {arch}\n",
    "windows-10-family": "{name}\n",
    "every-switch": "archver /b answered {one}\narchver /v answered {bits}\n"
                    "archver /o answered {code}\n",
}
# The PowerShell recipes, on Windows ($LASTEXITCODE stays 0 without archver).
NO_ANSWER_POWERSHELL = {"quick-start-powershell": "archver did not answer: {ps_code}\n",
                        "windows-10-family-powershell": "archver did not answer: {ps_code}\n"}
POWERSHELL_OUTPUTS = {"quick-start-powershell": "{bits}-bit Windows\n",
                      "windows-10-family-powershell": "{name}\n"}
# Where archver gives no answer; each ends with exit status 1.
NO_ANSWER_OUTPUTS = {
    "quick-start": "archver did not answer /b: {code}\n",
    "windows-10-family": "archver did not answer: {code}\n",
    "every-switch": "archver did not answer /b: {code}\narchver did not answer /v: {code}\n"
                    "{started}\n",
}
MARKER = re.compile(r"<!-- recipe: (.*?) -->")
RECIPE = re.compile(r"^<!-- recipe: ([\w-]+) -->\n```(\w+)\n(.*?)^```$", re.M | re.S)
# Missing (cmd's 9009), and codes archver never answers: 0 where Windows
# cannot tell, a program that did not start (216: another machine type),
# one ended from outside (a debugger's 0x40010004, -1).
NO_ANSWER_CODES = [None, 0, 216, 0x40010004, -1]
MISSING = 9009
# The quick start where /b answers 2 but /o no version code: as above, and
# just below and above every version code.
QUICK_START_O = [0x40010004, 216, -1, 19999, 30000]

# The installer records what it decided; an aborted one exits 2.
NSIS_RECORDER = ["Function .onInstSuccess", r'FileOpen $9 "$EXEDIR\decided.txt" w',
                 r'FileWrite $9 "$0 $1 $INSTDIR$\r$\n"', "FileClose $9", "FunctionEnd"]
INSTALLED = ("installer 0\n{one} {code} C:\\Program Files\\Example\n"
             "installer 0\n{one} {code} C:\\Chosen Example\n")
ABORTED = "installer 2\ninstaller 2\n"
# The installer around nothing.exe, ending with these codes for each switch
# or for any: an answer to /o only, no answer to /o, answers to both.
STANDIN = "stand-in installer"
STANDIN_INSTALLS = [
    ({"ARCHVER_STANDIN_EXIT": "21001"}, ABORTED),
    ({"ARCHVER_STANDIN_EXIT_O": str(0x40010004), "ARCHVER_STANDIN_EXIT_B": "2"}, ABORTED),
    ({"ARCHVER_STANDIN_EXIT_O": "20611", "ARCHVER_STANDIN_EXIT_B": "2"},
     INSTALLED.format(one=2, code=20611)),
]
# The installer unpacks archver.exe below a %TEMP% named with a blank: an
# unquoted path would start temp.exe, which answers 0. It runs as it comes,
# and with a directory the user chose.
INSTALLER_BAT = r"""@echo off
setlocal
cd /d "%~dp0"
set ERRORLEVEL=
set "TEMP=%~dp0temp folder"
set "TMP=%~dp0temp folder"
if not exist "%TEMP%" mkdir "%TEMP%"
copy /y archver.exe temp.exe >nul
call :install
call :install /D=C:\Chosen Example
exit /b 0
:install
if exist decided.txt del decided.txt
example-setup.exe /S %*
echo installer %ERRORLEVEL%
if exist decided.txt type decided.txt
"""
# Each batch file started by its full path from the system folder, as "Run
# as administrator" and Task Scheduler do, or ("here") from its own folder,
# as a double click does, with decoys first on PATH and in that folder.
RUN_BAT = r"""@set "PATH=%~dp0decoy;%PATH%"
@cd /d "%SystemRoot%\System32"
@if defined PROCESSOR_ARCHITEW6432 cd /d "%SystemRoot%\SysWOW64"
@if "%~2"=="here" cd /d "%~dp0"
@call "%~dp0%~1"
"""
DECOYS = ["find.exe", "findstr.exe", "reg.exe"]
# What the decoys print: every value the recipes read, wrong.
DECOY_OUTPUT = {"ARCHVER_STANDIN_PRINT": "".join(
    "    %s    REG_SZ    decoy\n" % name
    for name in ("PROCESSOR_ARCHITECTURE", "EditionID", "CurrentBuildNumber", "BuildNumber"))}
STARTS = {"from the system folder": [], "from its own folder": ["here"]}

# The 10.0 family's servers by build; any other is "Windows Server".
SERVERS = {14393: "Windows Server 2016", 17763: "Windows Server 2019",
           20348: "Windows Server 2022", 25398: "Windows Server 23H2",
           26100: "Windows Server 2025"}


def expected(values):
    """What the recipes must print on the machine whose registry values
    read_machine read: {arch, bits, one, code, era, name}."""
    answers, build = machine_answers(values, 0)
    code = answers["O"]
    era = ("Windows 10 or later" if code >= 21000 else "Vista to 8.1" if code >= 20600
           else "older")
    # Windows 10 and 11 Enterprise multi-session report product type 3.
    if code % 10 == 1 or values["version"].get("EditionID", "").lower() == "serverrdsh":
        name = "Windows 11" if build >= 22000 else "Windows 10"
    else:
        name = SERVERS.get(build, "Windows Server")
    if code < 21000:
        name = "Windows before 10, version code %d" % code
    else:
        name += " (build %d)" % build
    return dict(arch=values["environment"]["PROCESSOR_ARCHITECTURE"], bits=answers["V"],
                one=answers["B"], code=code, era=era, name=name)


def recipes(top):
    """{name: (language, text)} of the recipes marked in README.md and
    docs/*.md under top; a marker with no fenced block right after it
    stops the run."""
    found = {}
    for path in [os.path.join(top, "README.md")] + sorted(glob.glob(os.path.join(top, "docs",
                                                                                "*.md"))):
        with open(path) as f:
            text = f.read()
        for name, language, recipe in RECIPE.findall(text):
            if name in found:
                raise SystemExit("recipe %s twice in the docs" % name)
            found[name] = (language, recipe)
        for name in MARKER.findall(text):
            if name not in found:
                raise SystemExit("%s: recipe %s has no fenced block right after its marker"
                                 % (path, name))
    return found


def build_installer(top, directory, makensis="makensis"):
    """example-setup.exe around archver.exe in directory, and another around
    nothing.exe in its folder STANDIN."""
    language, text = recipes(top).get("installer", (None, None))
    if language != "nsis":
        raise SystemExit("no nsis recipe named installer in the docs of " + top)
    folders = [directory, os.path.join(directory, STANDIN)]
    os.makedirs(folders[1], exist_ok=True)
    shutil.copy(os.path.join(directory, "nothing.exe"), os.path.join(folders[1], "archver.exe"))
    for folder in folders:
        with open(os.path.join(folder, "setup.nsi"), "w") as f:
            f.write(text)
        subprocess.run([makensis, "-V2", "setup.nsi"] + ["-X" + line for line in NSIS_RECORDER],
                       cwd=folder, check=True)


def write_recipes(found, directory, nothing):
    """Writes NAME.bat and NAME.ps1 for the recipes found, installer.bat and
    run.bat, with CRLF line ends, and the decoys."""
    texts = dict(("%s.%s" % (name, {"bat": "bat", "powershell": "ps1"}[language]), text)
                 for name, (language, text) in found.items() if language != "nsis")
    texts.update({"installer.bat": INSTALLER_BAT, "run.bat": RUN_BAT})
    for name, text in texts.items():
        with open(os.path.join(directory, name), "w", newline="\r\n") as f:
            f.write(text)
    os.makedirs(os.path.join(directory, "decoy"), exist_ok=True)
    for decoy in DECOYS:
        shutil.copy(nothing, os.path.join(directory, "decoy", decoy))
        shutil.copy(nothing, os.path.join(directory, decoy))


def run(args, directory, env=None):
    done = subprocess.run(args, cwd=directory, env=dict(os.environ, **(env or {})),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    return done.stdout, done.stderr, done.returncode


def run_batch(cmd, directory, batch, env=None, start=()):
    return run([cmd, "/d", "/c", "run.bat", batch] + list(start), directory, env)


def run_powershell(cmd, directory, script, env=None):
    """Under the PowerShell of the cmd.exe's bitness, from its system folder."""
    bits = "SysWOW64" if "syswow64" in cmd.lower() else "System32"
    system = os.path.join(os.environ["SystemRoot"], bits)
    return run([os.path.join(system, r"WindowsPowerShell\v1.0\powershell.exe"), "-NoProfile",
                "-ExecutionPolicy", "Bypass", "-File", os.path.join(directory, script)], system,
               env)


def crlf(text):
    return text.replace("\n", "\r\n").encode()


def check_no_answer(top, directory, cmd):
    """Each recipe that asks archver, where archver is missing and where a
    program in its place ends with a code archver never answers; the quick
    start where only /b answers; the installer around a stand-in."""
    nothing = os.path.join(directory, "nothing.exe")
    folder = os.path.join(directory, "no answer")
    os.makedirs(folder, exist_ok=True)
    write_recipes(recipes(top), folder, nothing)
    shutil.copy(os.path.join(directory, STANDIN, "example-setup.exe"), folder)
    # (what, whether nothing.exe stands in for archver, script, how it runs,
    # its variables, what it prints, exit status); cmd and PowerShell say on
    # stderr, in the system's language, what they missed where archver is
    # missing.
    runs = []
    for code in NO_ANSWER_CODES:
        values = dict(code=MISSING, ps_code=0, started="archver.exe is not beside this script") \
            if code is None else dict(code=code, ps_code=code,
                                      started="archver did not answer /o: %d" % code)
        env = {} if code is None else {"ARCHVER_STANDIN_EXIT": str(code)}
        outputs = [("%s.bat" % name, run_batch, want) for name, want in NO_ANSWER_OUTPUTS.items()]
        if os.name == "nt":
            outputs += [("%s.ps1" % name, run_powershell, want)
                        for name, want in NO_ANSWER_POWERSHELL.items()]
        runs += [("%s, archver %s" % (script, "missing" if code is None else "ending %d" % code),
                  code is not None, script, runner, env, want.format(**values), 1)
                 for script, runner, want in outputs]
    runs += [("quick-start.bat, /b answering 2, /o %d" % code, True, "quick-start.bat",
              run_batch, {"ARCHVER_STANDIN_EXIT_B": "2", "ARCHVER_STANDIN_EXIT_O": str(code)},
              "64-bit Windows\narchver did not answer /o: %d\n" % code, 1)
             for code in QUICK_START_O]
    runs += [("installer around the stand-in, %s" % codes, True, "installer.bat", run_batch,
              codes, want, 0) for codes, want in STANDIN_INSTALLS]
    archver = os.path.join(folder, "archver.exe")
    for what, standing_in, script, runner, env, want, status in runs:
        if standing_in and not os.path.exists(archver):
            shutil.copy(nothing, archver)
        elif not standing_in and os.path.exists(archver):
            os.remove(archver)
        out, err, got = runner(cmd, folder, script, env)
        check("%s under %s" % (what, cmd), (out, err if standing_in else b"", got),
              (crlf(want), b"", status))


def main():
    if sys.argv[1] == "installer":
        build_installer(*sys.argv[2:5])
        return 0
    top, directory, cmd = sys.argv[1:4]
    if sys.argv[4:] == ["no-answer"]:
        check_no_answer(top, directory, cmd)
        return finish()
    values = expected(read_machine([cmd]))
    print("this machine: {arch}, {code}, {era}, {name}".format(**values))
    found = recipes(top)
    check("recipes in the docs", sorted(found),
          sorted(list(BATCH_OUTPUTS) + list(POWERSHELL_OUTPUTS) + ["installer"]))
    write_recipes(found, directory, os.path.join(directory, "nothing.exe"))
    for (name, want), (start, how) in itertools.product(BATCH_OUTPUTS.items(), STARTS.items()):
        check("%s.bat under %s, %s" % (name, cmd, start),
              run_batch(cmd, directory, name + ".bat", DECOY_OUTPUT, how),
              (crlf(want.format(**values)), b"", 0))
    installer = (ABORTED if values["code"] < 20600 else INSTALLED).format(**values)
    check("installer under %s" % cmd, run_batch(cmd, directory, "installer.bat"),
          (crlf(installer), b"", 0))
    if os.name == "nt":
        for name, want in POWERSHELL_OUTPUTS.items():
            check("%s.ps1" % name, run_powershell(cmd, directory, name + ".ps1"),
                  (crlf(want.format(**values)), b"", 0))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
