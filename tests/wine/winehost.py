"""Runs Windows programs under Wine in a prefix of their own and reads back
exact standard output bytes and full 32-bit exit codes. Shared by tools/run,
tools/benchmark and the end-to-end tests.

usage: winehost.py PREFIX_DIR LAUNCH_EXE PROGRAM [ARGUMENT...]
    runs PROGRAM with the arguments exactly as given, on a 64-bit prefix,
    and prints its full exit code (a Linux exit status keeps only 8 bits)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
PRODUCT_OPTIONS = r"HKLM\System\CurrentControlSet\Control\ProductOptions"
WINDOWS_CONTROL = r"HKLM\System\CurrentControlSet\Control\Windows"
WINE_SETTINGS = r"HKCU\Software\Wine"

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def named_version(name):
    """Wine's own setting: win10, win81, win7, winxp, win2003, ..."""
    return ("named", name)


def registry_version(version, build, product_type="WinNT", service_pack=0, csd=None):
    """The version Windows records in its registry, read by Wine when its own
    setting is absent. version is "6.1" or, from Windows 10 on, "10.0";
    product_type is WinNT, ServerNT or LanmanNT; the service-pack text is
    "Service Pack N" unless csd gives another."""
    if csd is None:
        csd = "Service Pack %d" % service_pack if service_pack else ""
    return ("registry", version, build, csd, service_pack << 8, product_type)


# Wine 8's named win7 and win2008r2 report each other's product type, so
# these two come through the registry.
WINDOWS_7_SP1 = registry_version("6.1", "7601", service_pack=1)
SERVER_2008_R2_SP1_DC = registry_version("6.1", "7601", "LanmanNT", service_pack=1)
WINDOWS_XP_SP3 = named_version("winxp")
SERVER_2003_SP2 = named_version("win2003")
WINDOWS_10 = named_version("win10")
WINDOWS_11 = registry_version("10.0", "22631")
SERVER_2025 = registry_version("10.0", "26100", "ServerNT")


def windows_path(path):
    """The Z: drive path Wine maps to a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def quote_argument(arg):
    """arg (bytes) as the runtime's argument splitting reads it back
    unchanged: quoted when empty or holding a blank, tab or quote; inside
    quotes, each quote and the backslashes right before it or before the
    closing quote are escaped, since only there do backslashes escape."""
    if arg and not re.search(rb'[ \t\n\v"]', arg):
        return arg
    quoted = re.sub(rb'(\\*)"', lambda m: m.group(1) * 2 + b'\\"', arg)
    quoted = re.sub(rb"(\\+)$", lambda m: m.group(1) * 2, quoted)
    return b'"' + quoted + b'"'


def command_line(program, args):
    """The Windows command line that starts program with args (bytes)."""
    words = [b'"' + windows_path(program).encode() + b'"']
    return b" ".join(words + [quote_argument(arg) for arg in args])


class Prefix:
    """One Wine prefix with a persistent wineserver, detached from our pipes
    so that reading a child's output never waits on the server. A prefix
    takes 0.6 GB (32-bit) to 1.3 GB (64-bit), so it is removed when done
    unless kept for the next run."""

    def __init__(self, directory, arch, launcher, keep=False):
        self.launcher = launcher
        self.keep = keep
        self.env = dict(os.environ, WINEPREFIX=os.path.abspath(directory),
                        WINEARCH=arch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.wow64 = arch == "win64"

    def __enter__(self):
        # The server comes first, detached: one that a wine command started
        # would hold that command's output pipes open.
        os.makedirs(self.env["WINEPREFIX"], exist_ok=True)
        subprocess.run(["wineserver", "-p"], env=self.env, **QUIET)
        # Creating a prefix now and then fails while others are being created;
        # another attempt finishes it.
        for _ in range(3):
            with tempfile.TemporaryFile() as log:
                boot = subprocess.run(["wineboot", "-i"], env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=log)
                if boot.returncode == 0:
                    return self
                log.seek(0)
                print("wineboot -i failed (%d): %s" % (boot.returncode, log.read()[-500:]))
            time.sleep(2)
        raise RuntimeError("cannot create the Wine prefix " + self.env["WINEPREFIX"])

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)
        if not self.keep:
            subprocess.run(["wineserver", "-w"], env=self.env, **QUIET)
            shutil.rmtree(self.env["WINEPREFIX"])

    def run(self, program, args, cwd=None, stdout=None):
        """Runs program with args (bytes, received unchanged) and returns
        (stdout bytes, stderr bytes, exit code)."""
        return self.run_command(command_line(program, args), cwd, stdout)

    def run_command(self, command, cwd=None, stdout=None, env=None):
        """Runs a whole Windows command line (bytes) through the launcher,
        with env's variables added to its environment."""
        with tempfile.TemporaryDirectory() as scratch:
            command_file = os.path.join(scratch, "command")
            code_file = os.path.join(scratch, "code")
            with open(command_file, "wb") as f:
                f.write(command)
            done = subprocess.run(
                ["wine", self.launcher, windows_path(command_file), windows_path(code_file)],
                env=dict(self.env, **(env or {})), cwd=cwd, stdin=subprocess.DEVNULL,
                stdout=stdout if stdout is not None else subprocess.PIPE,
                stderr=subprocess.PIPE, timeout=300)
            if done.returncode != 0:
                raise RuntimeError("launch.exe failed: %r" % done.stderr)
            with open(code_file) as f:
                written = f.read()
            if not written.isdigit():
                raise RuntimeError("launch.exe wrote no exit code (is the disk full?): %r"
                                   % done.stderr)
            code = int(written)
        return done.stdout or b"", done.stderr, code

    def loaded_dlls(self, program, args):
        """The DLLs that one run of program loads, by file name."""
        env = dict(self.env, WINEDEBUG="+loaddll")
        done = subprocess.run(["wine", program] + args, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        names = re.findall(r'Loaded L"[^"]*\\\\([^"\\\\]+\.dll)"', done.stderr.decode())
        return sorted(set(name.lower() for name in names))

    def reg(self, *args, check=True):
        subprocess.run(["wine", "reg"] + list(args) + ["/f"], env=self.env, check=check, **QUIET)

    def use_version(self, setting):
        """Makes Wine report the version that named_version or
        registry_version describes."""
        if setting[0] == "named":
            self.reg("add", WINE_SETTINGS, "/v", "Version", "/d", setting[1])
            return
        version, build, csd, service_pack, product_type = setting[1:]
        self.reg("delete", WINE_SETTINGS, "/v", "Version", check=False)
        # A 32-bit program on 64-bit Windows reads the 32-bit registry view.
        # From Windows 10 on, the version is also kept as two numbers, which
        # Wine writes as Windows does and removes for older versions.
        major, minor = version.split(".")
        for view in ([["/reg:32"], ["/reg:64"]] if self.wow64 else [[]]):
            for name, data in (("CurrentVersion", version), ("CurrentBuildNumber", build),
                               ("CSDVersion", csd)):
                self.reg("add", CURRENT_VERSION, "/v", name, "/d", data, *view)
            for name, data in (("CurrentMajorVersionNumber", major),
                               ("CurrentMinorVersionNumber", minor)):
                if int(major) >= 10:
                    self.reg("add", CURRENT_VERSION, "/v", name, "/t", "REG_DWORD", "/d", data,
                             *view)
                else:
                    self.reg("delete", CURRENT_VERSION, "/v", name, *view, check=False)
        self.reg("add", WINDOWS_CONTROL, "/v", "CSDVersion", "/t", "REG_DWORD",
                 "/d", str(service_pack))
        self.reg("add", PRODUCT_OPTIONS, "/v", "ProductType", "/d", product_type)


def main():
    prefix_dir, launcher, program = sys.argv[1:4]
    args = [os.fsencode(arg) for arg in sys.argv[4:]]
    with Prefix(prefix_dir, "win64", launcher, keep=True) as wine:
        _, _, code = wine.run(program, args, stdout=sys.stdout)
    print("exit code: %d" % code)


if __name__ == "__main__":
    main()
