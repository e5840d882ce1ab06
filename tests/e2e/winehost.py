"""Runs Windows programs under Wine in a test's own prefix and reads back
exact standard output bytes and full 32-bit exit codes."""
import os
import re
import subprocess
import tempfile
import time

CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
PRODUCT_OPTIONS = r"HKLM\System\CurrentControlSet\Control\ProductOptions"
WINDOWS_CONTROL = r"HKLM\System\CurrentControlSet\Control\Windows"
WINE_SETTINGS = r"HKCU\Software\Wine"


def windows_path(path):
    """The Z: drive path Wine maps to a Linux path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    """One Wine prefix with a persistent wineserver, detached from our pipes
    so that reading a child's output never waits on the server."""

    def __init__(self, directory, arch, launcher):
        self.launcher = launcher
        self.env = dict(os.environ, WINEPREFIX=os.path.abspath(directory),
                        WINEARCH=arch, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self.wow64 = arch == "win64"

    def __enter__(self):
        # The server comes first, detached: one that a wine command started
        # would hold that command's output pipes open.
        os.makedirs(self.env["WINEPREFIX"], exist_ok=True)
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Creating a prefix now and then fails while others are being created;
        # another attempt finishes it.
        for attempt in range(3):
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
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, program, args, cwd=None, stdout=None):
        """Runs program with args (bytes, passed unaltered) and returns
        (stdout bytes, stderr bytes, exit code)."""
        words = [b'"' + windows_path(program).encode() + b'"']
        for arg in args:
            words.append(b'"' + arg + b'"' if arg == b"" or b" " in arg else arg)
        with tempfile.TemporaryDirectory() as scratch:
            command_file = os.path.join(scratch, "command")
            code_file = os.path.join(scratch, "code")
            with open(command_file, "wb") as f:
                f.write(b" ".join(words))
            done = subprocess.run(
                ["wine", self.launcher, windows_path(command_file), windows_path(code_file)],
                env=self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                stdout=stdout if stdout is not None else subprocess.PIPE,
                stderr=subprocess.PIPE, timeout=120)
            if done.returncode != 0:
                raise RuntimeError("launch.exe failed: %r" % done.stderr)
            with open(code_file) as f:
                code = int(f.read())
        return done.stdout or b"", done.stderr, code

    def loaded_dlls(self, program, args):
        """The DLLs that one run of program loads, by file name."""
        env = dict(self.env, WINEDEBUG="+loaddll")
        done = subprocess.run(["wine", program] + args, env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        names = re.findall(r'Loaded L"[^"]*\\\\([^"\\\\]+\.dll)"', done.stderr.decode())
        return sorted(set(name.lower() for name in names))

    def reg(self, *args):
        subprocess.run(["wine", "reg"] + list(args) + ["/f"], env=self.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)

    def use_version(self, setting):
        """("named", name) or ("registry", version, build, csd, service pack, product type)"""
        if setting[0] == "named":
            self.use_named_version(*setting[1:])
        else:
            self.use_registry_version(*setting[1:])

    def use_named_version(self, name):
        """Wine's own setting: win10, win81, win7, winxp, win2003, ..."""
        self.reg("add", WINE_SETTINGS, "/v", "Version", "/d", name)

    def use_registry_version(self, version, build, csd, service_pack, product_type):
        """The version Windows records in its registry, read by Wine when its
        own setting is absent. version is "6.1" or, from Windows 10 on, "10.0"."""
        subprocess.run(["wine", "reg", "delete", WINE_SETTINGS, "/v", "Version", "/f"],
                       env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # A 32-bit program on 64-bit Windows reads the 32-bit registry view.
        for view in (["/reg:32", "/reg:64"] if self.wow64 else [None]):
            for name, data in (("CurrentVersion", version), ("CurrentBuildNumber", build),
                               ("CSDVersion", csd)):
                self.reg("add", CURRENT_VERSION, "/v", name, "/d", data, *([view] if view else []))
        self.reg("add", WINDOWS_CONTROL, "/v", "CSDVersion", "/t", "REG_DWORD",
                 "/d", str(service_pack))
        self.reg("add", PRODUCT_OPTIONS, "/v", "ProductType", "/d", product_type)
