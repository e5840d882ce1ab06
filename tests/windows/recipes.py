"""The README's recipes as the tests run them, under Wine and on Windows:
every ```bat block of README.md as recipeN.bat beside archver.exe, the first
```powershell block as recipe.ps1, the ```nsis block as example-setup.exe,
and what each must print.

usage (on Debian, with NSIS): recipes.py installer README.md DIR
    builds DIR/example-setup.exe from the NSIS recipe, recording in
    decided.txt beside it what the installer decided
usage (on Windows, with Python): recipes.py README.md DIR CMD ARCH CODE ERA NAME
    writes the recipes into DIR, which holds archver.exe and
    example-setup.exe, runs each batch file and the installer under CMD and
    compares what they print with what they must print on this Windows: ARCH
    the native architecture (AMD64, ARM64, x86), CODE the version code, ERA
    and NAME what the version recipes name it. Ends with "N passed, N
    failed", and exits 1 on any difference.
"""
import os
import re
import subprocess
import sys

from checks import check, finish

# What each batch block prints, in README order, then the installer.
BATCH_OUTPUTS = [
    "Windows runs on {arch}\n",
    "{bits}-bit Windows\n{era}\n",
    "{name}\n",
    "archver /b answered {one}\narchver /v answered {bits}\nVersion code: {code}\n",
    "{installer}",
]

# The installer records what it decided; an aborted one records nothing and
# exits 2.
NSIS_RECORDER = ["Function .onInstSuccess", r'FileOpen $9 "$EXEDIR\decided.txt" w',
                 r'FileWrite $9 "$0 $1 $INSTDIR$\r$\n"', "FileClose $9", "FunctionEnd"]
INSTALLED = "installer 0\n{one} {code} C:\\Program Files\\Example\n"
ABORTED = "installer 2\n"
# The installer unpacks archver.exe below %TEMP%, here a folder named with a
# blank: a path to it that is not quoted starts the program at the blank,
# temp.exe, a copy of archver that answers 0 to what it is given.
INSTALLER_BAT = r"""@echo off
set "TEMP=%~dp0temp folder"
set "TMP=%~dp0temp folder"
if not exist "%TEMP%" mkdir "%TEMP%"
copy /y archver.exe temp.exe >nul
if exist decided.txt del decided.txt
start "" /wait example-setup.exe /S
echo installer %ERRORLEVEL%
if exist decided.txt type decided.txt
"""


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


def write_recipes(readme, directory):
    """Writes recipeN.bat, installer.bat and recipe.ps1 with CRLF line ends;
    returns the batch file names."""
    texts = blocks(readme, "bat") + [INSTALLER_BAT]
    names = ["recipe%d.bat" % n for n in range(len(texts) - 1)] + ["installer.bat"]
    for name, text in zip(names, texts):
        with open(os.path.join(directory, name), "w", newline="\r\n") as f:
            f.write(text)
    with open(os.path.join(directory, "recipe.ps1"), "w", newline="\r\n") as f:
        f.write(blocks(readme, "powershell")[0])
    return names


def main():
    if sys.argv[1] == "installer":
        build_installer(*sys.argv[2:4])
        return 0
    readme, directory, cmd, arch, code, era, name = sys.argv[1:8]
    bits, one = (32, 1) if arch == "x86" else (64, 2)
    values = dict(arch=arch, bits=bits, one=one, code=code, era=era, name=name)
    values["installer"] = (ABORTED if int(code) < 20600 else INSTALLED).format(**values)
    names = write_recipes(readme, directory)
    check("batch blocks in README.md and the installer", len(names), len(BATCH_OUTPUTS))
    for batch, want in zip(names, BATCH_OUTPUTS):
        done = subprocess.run([cmd, "/d", "/c", batch], cwd=directory, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check("%s under %s" % (batch, cmd), (done.stdout, done.stderr),
              (want.format(**values).replace("\n", "\r\n").encode(), b""))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
