"""The README's recipes, taken from README.md itself and run under Wine by
tests/windows/recipes.py as the CI workflow runs it on Windows: every batch
block and the NSIS installer, under each cmd.exe of the prefix, on several
Windows versions; and recipes.py itself failing where a recipe prints
something else or anything on standard error.

usage: test_readme.py README ARCHVER_EXE MAKENSIS win64|win32 LAUNCH_EXE WINE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

from checks import check, finish
import recipes
from winehost import (CMD_HOSTS, SERVER_2025, WINDOWS_10, WINDOWS_11, WINDOWS_7_SP1,
                      WINDOWS_XP_SP3, Prefix, registry_version)

ARCH = {"win64": "AMD64", "win32": "x86"}

# (Windows version, version code, era, name of the 10.0 family recipe)
VERSIONS = {
    "win64": [
        (WINDOWS_7_SP1, 20611, "Vista to 8.1", "Windows before 10, version code 20611"),
        (WINDOWS_11, 21001, "Windows 10 or later", "Windows 11 (build 22631)"),
        # The first Windows 11 build.
        (registry_version("10.0", "22000"), 21001, "Windows 10 or later",
         "Windows 11 (build 22000)"),
        (SERVER_2025, 21003, "Windows 10 or later", "Windows Server 2025 (build 26100)"),
    ],
    "win32": [
        # Older than Vista: the installer aborts.
        (WINDOWS_XP_SP3, 20511, "older", "Windows before 10, version code 20511"),
        # The first version the era recipe and the installer accept.
        (registry_version("6.0", "6002", service_pack=2), 20601, "Vista to 8.1",
         "Windows before 10, version code 20601"),
        (WINDOWS_10, 21001, "Windows 10 or later", "Windows 10 (build 18362)"),
        (registry_version("10.0", "20348", "LanmanNT"), 21002, "Windows 10 or later",
         "Windows Server 2022 (build 20348)"),
    ],
}

# recipes.py told to expect another name, and under a cmd.exe that also
# writes to standard error: (what, the name it expects, shell line after the
# cmd.exe, its last line).
CHECKS = len(recipes.BATCH_OUTPUTS) + 1  # the count of blocks, then each batch file
WRONG = [("another name", "Windows 12", "", "%d passed, 1 failed" % (CHECKS - 1)),
         ("a line on standard error", None, "echo noise >&2",
          "1 passed, %d failed" % (CHECKS - 1))]


def main():
    readme, exe, makensis, arch, launcher, wine_dir = sys.argv[1:7]
    with tempfile.TemporaryDirectory() as work, Prefix("readme", arch, launcher, wine_dir) as wine:
        shutil.copy(exe, os.path.join(work, "archver.exe"))
        recipes.build_installer(readme, work, makensis)
        host_cmd = os.path.join(work, "cmd")

        def run_recipes(host, setting, code, era, name, after=""):
            # Wine's cmd.exe stands in for the runner's, started from a
            # Windows process, which alone sees sysnative.
            with open(host_cmd, "w") as f:
                f.write("#!/bin/sh\nwine cmd /c '%s' \"$@\"\nstatus=$?\n%s\nexit $status\n"
                        % (host, after))
            os.chmod(host_cmd, 0o755)
            wine.use_version(setting)
            done = subprocess.run([sys.executable, recipes.__file__, readme, work, host_cmd,
                                   ARCH[arch], str(code), era, name], env=wine.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=300)
            return done.returncode, done.stdout.decode(errors="replace").splitlines()

        for setting, code, era, name in VERSIONS[arch]:
            for host in CMD_HOSTS[arch]:
                check("recipes.py, %s, %s" % (name, host), run_recipes(host, setting, code, era, name),
                      (0, ["%d passed, 0 failed" % CHECKS]))
        with_crlf = []
        for name in os.listdir(work):
            if name.endswith(".bat"):
                with open(os.path.join(work, name), "rb") as f:
                    text = f.read()
                with_crlf.append(text.count(b"\r\n") == text.count(b"\n") > 0)
        check("batch files with CRLF line ends", with_crlf, [True] * len(recipes.BATCH_OUTPUTS))

        setting, code, era, name = VERSIONS[arch][-1]
        for what, wrong_name, after, last in WRONG:
            status, lines = run_recipes(CMD_HOSTS[arch][0], setting, code, era, wrong_name or name,
                                        after)
            check("recipes.py with " + what, (status, lines[-1:]), (1, [last]))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
