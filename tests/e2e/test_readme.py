"""The README's recipes, taken from README.md itself and run under Wine: every
batch block under cmd.exe, as the Windows runners run them, and the NSIS
recipe compiled with makensis into an installer that runs silently, on
several Windows versions.

usage: test_readme.py README ARCHVER_EXE MAKENSIS win64|win32 LAUNCH_EXE PREFIX_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

from checks import check, failures, finish
import recipes
from recipes import blocks, differences, write_recipes
from winehost import (SERVER_2025, WINDOWS_10, WINDOWS_11, WINDOWS_7_SP1, WINDOWS_XP_SP3, Prefix,
                      registry_version)

# Per bitness: the cmd.exe hosts, and what the native architecture is.
HOSTS = {
    "win64": ([r"C:\windows\sysnative\cmd.exe", r"C:\windows\system32\cmd.exe"],
              dict(arch="AMD64", bits=64, one=2, instdir=r"C:\Program Files\Example")),
    "win32": ([r"C:\windows\system32\cmd.exe"],
              dict(arch="x86", bits=32, one=1, instdir=r"C:\Program Files\Example")),
}

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
        (WINDOWS_XP_SP3, 20511, "older", "Windows before 10, version code 20511"),
        # The first version the era recipe and the installer accept.
        (registry_version("6.0", "6002", service_pack=2), 20601, "Vista to 8.1",
         "Windows before 10, version code 20601"),
        (WINDOWS_10, 21001, "Windows 10 or later", "Windows 10 (build 18362)"),
        (registry_version("10.0", "20348", "LanmanNT"), 21002, "Windows 10 or later",
         "Windows Server 2022 (build 20348)"),
    ],
}

# The installer records what it decided; an aborted one records nothing.
NSIS_RECORDER = ["Function .onInstSuccess", r'FileOpen $9 "$EXEDIR\decided.txt" w',
                 'FileWrite $9 "$0 $1 $INSTDIR"', "FileClose $9", "FunctionEnd"]
NSIS_ABORTED = 2  # the installer's exit code after Abort


def main():
    readme, exe, makensis, arch, launcher, prefix_dir = sys.argv[1:7]
    nsis = blocks(readme, "nsis")
    check("NSIS blocks in README.md", len(nsis), 1)
    hosts, facts = HOSTS[arch]

    with tempfile.TemporaryDirectory() as work, Prefix(prefix_dir, arch, launcher) as wine:
        shutil.copy(exe, os.path.join(work, "archver.exe"))
        batches = write_recipes(readme, work)
        with open(os.path.join(work, "setup.nsi"), "w") as f:
            f.write(nsis[0] if nsis else "")
        subprocess.run([makensis, "-V2", "setup.nsi"] + ["-X" + line for line in NSIS_RECORDER],
                       cwd=work, check=True)

        for setting, code, era, name in VERSIONS[arch]:
            wine.use_version(setting)
            values = dict(facts, code=code, era=era, name=name)
            for host in hosts:
                def run(batch):
                    return wine.run_command(b"%s /d /c %s" % (host.encode(), batch.encode()),
                                            cwd=work)[:2]
                failures.extend("%s, %s: %s" % (name, host, difference)
                                for difference in differences(batches, run, values))

            decided = os.path.join(work, "decided.txt")
            if os.path.exists(decided):
                os.remove(decided)
            _, _, status = wine.run(os.path.join(work, "example-setup.exe"), [b"/S"], cwd=work)
            recorded = open(decided).read() if os.path.exists(decided) else None
            if code < 20600:
                check(name + " installer aborts", (status, recorded), (NSIS_ABORTED, None))
            else:
                check(name + " installer decides", (status, recorded),
                      (0, "%(one)d %(code)d %(instdir)s" % values))

        # recipes.py as the CI workflow starts it on Windows, on the last
        # version above, with Wine's cmd.exe standing in for the runner's:
        # started from a Windows process, which alone sees sysnative.
        host_cmd = os.path.join(work, "cmd")
        for host in hosts:
            with open(host_cmd, "w") as f:
                f.write("#!/bin/sh\nexec wine cmd /c '%s' \"$@\"\n" % host)
            os.chmod(host_cmd, 0o755)
            done = subprocess.run([sys.executable, recipes.__file__, readme, work, host_cmd,
                                   facts["arch"], str(code), era, name], env=wine.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=300)
            check("recipes.py with %s" % host, (done.returncode, done.stdout.splitlines()[-1:]),
                  (0, [b"%s: 0 recipes differ" % host_cmd.encode()]))
    return finish()


if __name__ == "__main__":
    sys.exit(main())
