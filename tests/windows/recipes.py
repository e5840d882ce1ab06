"""The README's recipes as the tests run them, under Wine and on Windows:
every ```bat block of README.md as recipeN.bat beside archver.exe, the first
```powershell block as recipe.ps1, the ```nsis block as example-setup.exe,
and what each must print on this machine, as its registry tells.

usage (on Debian, with NSIS): recipes.py installer README.md DIR
    builds DIR/example-setup.exe from the NSIS recipe, recording in
    decided.txt beside it what the installer decided
usage (on Windows, with Python): recipes.py README.md DIR CMD [no-answer]
    writes the recipes into DIR, which holds archver.exe, nothing.exe and
    example-setup.exe, runs each batch file and the installer under CMD
    with a find.exe and a findstr.exe first on PATH that print nothing, and
    compares what they print with what they must print on this Windows;
    first prints that. With no-answer, runs each batch recipe that asks
    archver in a folder without it, and with nothing.exe in its place
    ending with each code archver never answers. Ends with "N passed, N
    failed", and exits 1 on any difference.
"""
import os
import re
import shutil
import subprocess
import sys

from behaviour import machine_answers, read_machine
from checks import check, finish

# What each batch block prints, in README order, then the installer.
BATCH_OUTPUTS = [
    "Windows runs on {arch}\n",
    "{bits}-bit Windows\n{era}\n",
    "{name}\n",
    "archver /b answered {one}\narchver /v answered {bits}\narchver /o answered {code}\n",
    "{installer}",
]
# What the blocks that ask archver print where it gives no answer, ending
# with {code} or missing.
NO_ANSWER_OUTPUTS = [
    None,
    "archver did not answer /b: {code}\narchver did not answer /o: {code}\n",
    "archver did not answer: {code}\n",
    "archver did not answer /b: {code}\narchver did not answer /v: {code}\n{started}\n",
]
# cmd's code for a program it cannot find, and codes archver never answers:
# 0 where Windows cannot tell, what Windows reports for a program that did
# not start, such as 216 (another machine type; 193, not a program, is of
# the same kind), and the codes of a program ended from outside, above and
# below every version code (a debugger's 0x40010004, -1).
NO_ANSWER_CODES = [None, 0, 216, 0x40010004, -1]
MISSING = 9009

# The installer records what it decided; an aborted one records nothing and
# exits 2.
NSIS_RECORDER = ["Function .onInstSuccess", r'FileOpen $9 "$EXEDIR\decided.txt" w',
                 r'FileWrite $9 "$0 $1 $INSTDIR$\r$\n"', "FileClose $9", "FunctionEnd"]
INSTALLED = ("installer 0\n{one} {code} C:\\Program Files\\Example\n"
             "installer 0\n{one} {code} C:\\Chosen Example\n")
ABORTED = "installer 2\ninstaller 2\n"
# The installer unpacks archver.exe below %TEMP%, here a folder named with a
# blank: a path to it that is not quoted starts the program at the blank,
# temp.exe, a copy of archver that answers 0 to what it is given. It runs
# once as it comes, once with the directory the user chose.
INSTALLER_BAT = r"""@echo off
set "TEMP=%~dp0temp folder"
set "TMP=%~dp0temp folder"
if not exist "%TEMP%" mkdir "%TEMP%"
copy /y archver.exe temp.exe >nul
call :install
call :install /D=C:\Chosen Example
goto :eof
:install
if exist decided.txt del decided.txt
start "" /wait example-setup.exe /S %*
echo installer %ERRORLEVEL%
if exist decided.txt type decided.txt
"""
# Each batch file runs with programs first on PATH that print nothing.
RUN_BAT = '@set "PATH=%~dp0decoy;%PATH%"\r\n@call %*\r\n'
DECOYS = ["find.exe", "findstr.exe"]

# The 10.0 family's servers by build; what else reports product type 2 or
# 3 is "Windows Server".
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


def blocks(readme, language):
    with open(readme) as f:
        return re.findall(r"^```%s\n(.*?)^```$" % language, f.read(), re.M | re.S)


def build_installer(readme, directory, makensis="makensis"):
    nsis = blocks(readme, "nsis")
    if len(nsis) != 1:
        raise SystemExit("%d NSIS blocks in %s, not 1" % (len(nsis), readme))
    with open(os.path.join(directory, "setup.nsi"), "w") as f:
        f.write(nsis[0])
    subprocess.run([makensis, "-V2", "setup.nsi"] + ["-X" + line for line in NSIS_RECORDER],
                   cwd=directory, check=True)


def write_recipes(readme, directory, nothing):
    """Writes recipeN.bat, installer.bat, run.bat and recipe.ps1 with CRLF
    line ends, and the decoys; returns the batch file names."""
    texts = blocks(readme, "bat") + [INSTALLER_BAT]
    names = ["recipe%d.bat" % n for n in range(len(texts) - 1)] + ["installer.bat"]
    for name, text in zip(names, texts):
        with open(os.path.join(directory, name), "w", newline="\r\n") as f:
            f.write(text)
    with open(os.path.join(directory, "recipe.ps1"), "w", newline="\r\n") as f:
        f.write(blocks(readme, "powershell")[0])
    with open(os.path.join(directory, "run.bat"), "w", newline="") as f:
        f.write(RUN_BAT)
    os.makedirs(os.path.join(directory, "decoy"), exist_ok=True)
    for decoy in DECOYS:
        shutil.copy(nothing, os.path.join(directory, "decoy", decoy))
    return names


def run_batch(cmd, directory, batch, env=None):
    done = subprocess.run([cmd, "/d", "/c", "run.bat", batch], cwd=directory,
                          env=dict(os.environ, **(env or {})), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.stdout, done.stderr


def crlf(text):
    return text.replace("\n", "\r\n").encode()


def check_no_answer(readme, directory, cmd):
    """Each recipe that asks archver, where archver is missing and where a
    program in its place ends with a code archver never answers."""
    nothing = os.path.join(directory, "nothing.exe")
    folder = os.path.join(directory, "no answer")
    os.makedirs(folder, exist_ok=True)
    names = write_recipes(readme, folder, nothing)
    for code in NO_ANSWER_CODES:
        if code is None:
            if os.path.exists(os.path.join(folder, "archver.exe")):
                os.remove(os.path.join(folder, "archver.exe"))
            values = dict(code=MISSING, started="archver.exe is not beside this script")
        else:
            shutil.copy(nothing, os.path.join(folder, "archver.exe"))
            values = dict(code=code, started="archver did not answer /o: %d" % code)
        for batch, want in zip(names, NO_ANSWER_OUTPUTS):
            if want is None:
                continue
            out, err = run_batch(cmd, folder, batch,
                                 {} if code is None else {"ARCHVER_STANDIN_EXIT": str(code)})
            # cmd says on stderr, in the system's language, what it missed.
            check("%s under %s, archver %s" % (batch, cmd, "missing" if code is None else
                                               "ending %d" % code),
                  (out, err if code is not None else b""), (crlf(want.format(**values)), b""))


def main():
    if sys.argv[1] == "installer":
        build_installer(*sys.argv[2:4])
        return 0
    readme, directory, cmd = sys.argv[1:4]
    if sys.argv[4:] == ["no-answer"]:
        check_no_answer(readme, directory, cmd)
        return finish()
    values = expected(read_machine([cmd]))
    print("this machine: {arch}, {code}, {era}, {name}".format(**values))
    values["installer"] = (ABORTED if values["code"] < 20600 else INSTALLED).format(**values)
    names = write_recipes(readme, directory, os.path.join(directory, "nothing.exe"))
    check("batch blocks in README.md and the installer", len(names), len(BATCH_OUTPUTS))
    for batch, want in zip(names, BATCH_OUTPUTS):
        check("%s under %s" % (batch, cmd), run_batch(cmd, directory, batch),
              (crlf(want.format(**values)), b""))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
