"""The README's recipes as the tests run them, under Wine and on Windows:
every ```bat block of README.md as recipeN.bat beside archver.exe, the first
```powershell block as recipe.ps1, and what each batch file must print.

usage (on Windows, with Python): recipes.py README.md DIR CMD ARCH CODE ERA NAME
    writes the recipes into DIR, which holds archver.exe, runs each batch
    file under CMD and compares what it prints with what the README's
    recipes must print on this Windows: ARCH the native architecture (AMD64,
    ARM64, x86), CODE the version code, ERA and NAME what the version
    recipes name it. Exits 1 on any difference.
"""
import os
import re
import subprocess
import sys

# What each batch block prints, in README order.
BATCH_OUTPUTS = [
    "Windows runs on {arch}\n",
    "{bits}-bit Windows\n{era}\n",
    "{name}\n",
    "archver /b answered {one}\narchver /v answered {bits}\nVersion code: {code}\n",
]


def blocks(readme, language):
    with open(readme) as f:
        return re.findall(r"^```%s\n(.*?)^```$" % language, f.read(), re.M | re.S)


def write_recipes(readme, directory):
    """Writes recipeN.bat and recipe.ps1; returns the batch file names."""
    names = []
    for number, text in enumerate(blocks(readme, "bat")):
        names.append("recipe%d.bat" % number)
        with open(os.path.join(directory, names[-1]), "w", newline="\r\n") as f:
            f.write(text)
    with open(os.path.join(directory, "recipe.ps1"), "w", newline="\r\n") as f:
        f.write(blocks(readme, "powershell")[0])
    return names


def differences(names, run, values):
    """Runs each batch file through run(name) -> (stdout, stderr) bytes and
    returns what differs from BATCH_OUTPUTS filled in with values."""
    found = []
    if len(names) != len(BATCH_OUTPUTS):
        found.append("%d batch blocks in README.md, not %d" % (len(names), len(BATCH_OUTPUTS)))
    for name, want in zip(names, BATCH_OUTPUTS):
        want = want.format(**values).replace("\n", "\r\n").encode()
        got = run(name)
        if got != (want, b""):
            found.append("%s:\n    got  %r\n    want %r" % (name, got, (want, b"")))
    return found


def main():
    readme, directory, cmd, arch, code, era, name = sys.argv[1:8]
    bits, one = (32, 1) if arch == "x86" else (64, 2)
    values = dict(arch=arch, bits=bits, one=one, code=code, era=era, name=name)

    def run(batch):
        done = subprocess.run([cmd, "/d", "/c", batch], cwd=directory, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return done.stdout, done.stderr

    found = differences(write_recipes(readme, directory), run, values)
    for difference in found:
        print("FAIL", difference)
    print("%s: %d recipes differ" % (cmd, len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
