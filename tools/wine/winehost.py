"""Runs Windows programs under Wine in a prefix of their own, posing as the
Windows version asked for, and reads back exact standard output bytes and
full 32-bit exit codes. Used by tools/run, tools/benchmark and the tests;
it holds no test's data and checks nothing of a test's.

usage: winehost.py PREFIX_DIR LAUNCH_EXE PROGRAM [ARGUMENT...]
    runs PROGRAM with the arguments exactly as given, on a 64-bit prefix
    kept in PREFIX_DIR, and prints its full exit code (a Linux exit status
    keeps only 8 bits)
       winehost.py boot|unchanged WINE_DIR win64|win32
    boots the prefix that the tests copy, unless one booted by this Wine is
    there (every build and test run shares it); or checks, when the tests
    are done, that none changed one of its files, removing it and failing
    where one did
"""
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

# What the harness ran once more where Wine lost it (again): it says so
# where it does, and a test run counts these.
reruns = []

CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
CURRENT_VERSION_32 = r"HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion"
PRODUCT_OPTIONS = r"HKLM\System\CurrentControlSet\Control\ProductOptions"
WINDOWS_CONTROL = r"HKLM\System\CurrentControlSet\Control\Windows"
WINE_SETTINGS = r"HKCU\Software\Wine"

# Each cmd.exe a prefix has: on 64-bit Windows the 64-bit one and the 32-bit
# one, which reads another registry view and sees PROCESSOR_ARCHITEW6432.
CMD_HOSTS = {
    "win64": [r"C:\windows\sysnative\cmd.exe", r"C:\windows\system32\cmd.exe"],
    "win32": [r"C:\windows\system32\cmd.exe"],
}

# The loader of 64-bit programs; "wine" starts 32-bit ones.
WINE64 = "/usr/lib/wine/wine64"

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def named_version(name, registry=None):
    """Wine's own setting: win10, win81, win7, winxp, win2003, ...; with a
    registry_version, over a registry that says so."""
    return name, registry and registry[1]


def registry_version(version, build, product_type="WinNT", service_pack=0, csd=None,
                     current=None, edition=None):
    """The version Windows records in its registry, read by Wine when its own
    setting is absent. version is "6.1" or, from Windows 10 on, "10.0";
    product_type is WinNT, ServerNT or LanmanNT; the service-pack text is
    "Service Pack N" unless csd gives another. CurrentVersion holds version,
    which Wine reads, unless current gives what Windows 10 and later keep
    there (6.3). edition is the EditionID, such as ServerRdsh."""
    if csd is None:
        csd = "Service Pack %d" % service_pack if service_pack else ""
    return None, (version, build, csd, service_pack << 8, product_type, current or version,
                  edition)


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


def boot(directory, arch):
    """Creates a Wine prefix in directory and stops its server, so that its
    registry is on disk."""
    env = wine_env(directory, arch)
    os.makedirs(directory, exist_ok=True)
    # The server comes first, detached: one that a wine command started would
    # hold that command's output pipes open.
    subprocess.run(["wineserver", "-p"], env=env, **QUIET)
    # Creating a prefix now and then fails while others are being created;
    # another attempt finishes it.
    until_done("wineboot -i", ["wineboot", "-i"], env, tries=3, pause=2)
    return env


def again(what, run, done, tries=2, pause=0, show=str):
    """run() until done(result), tries times at most: under load Wine now
    and then fails a program it starts, or hands one that cmd.exe starts no
    output. Says each result that is not done, shown with show(), and
    counts it in reruns; a fault fails every time. Returns the last result."""
    for attempt in range(tries):
        got = run()
        if done(got) or attempt == tries - 1:
            return got
        # Indented, so that no line of it reads as the caller's own.
        print("%s: not done, run again; it gave:" % what)
        print("".join("    %s\n" % line for line in show(got).splitlines()), end="")
        reruns.append(what)
        time.sleep(pause)


def until_done(what, command, env, tries=2, pause=0):
    """Runs command until it ends with 0 (again), raising where the last try
    failed too. What it prints goes to a file: Wine's services, which the
    first program of a prefix starts, would hold a pipe open for good."""
    def attempt():
        with tempfile.TemporaryFile() as log:
            done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT)
            log.seek(0)
            return done.returncode, log.read()[-500:].decode(errors="replace").strip()

    status, output = again(what, attempt, lambda got: got[0] == 0, tries, pause,
                           show=lambda got: "exit status %d: %s" % got)
    if status:
        raise RuntimeError("%s failed %d times: %s" % (what, tries, output))


def stop(env):
    subprocess.run(["wineserver", "-k"], env=env, **QUIET)
    subprocess.run(["wineserver", "-w"], env=env, **QUIET)


def wine_env(directory, arch):
    # No .NET or HTML engine to install, and no menu entries or file
    # associations written into the user's desktop. Each Windows program
    # Wine starts reads the registry's time zones in turn until one matches
    # the local one: Kabul's is the first, UTC's some fifty later, and that
    # search is a quarter of what starting a small program costs. Nothing
    # run here depends on the time of day.
    env = dict(os.environ, WINEPREFIX=os.path.abspath(directory), WINEARCH=arch,
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d",
               TZ="Asia/Kabul")
    env.pop("DISPLAY", None)
    return env


# A test's prefix is a copy of the one booted for the test run: hard links
# but for the files that Wine rewrites in place, the registry and the
# precompiled setup files (windows/inf/*.pnf). A file of the booted prefix
# changed after it was booted would have been written through a link, and
# the test run fails at its end.
REWRITTEN_IN_PLACE = (".reg", ".pnf")


def copy_prefix(base, directory):
    def link_or_copy(source, target):
        if source.endswith(REWRITTEN_IN_PLACE):
            shutil.copy2(source, target)
        else:
            os.link(source, target)
    shutil.copytree(base, directory, symlinks=True, copy_function=link_or_copy)


class Prefix:
    """A Wine prefix with a persistent wineserver, detached from our pipes so
    that reading a child's output never waits on the server. In a test, a
    copy of the run's booted prefix for its bitness (wine_dir given), removed
    when done; otherwise booted in directory and kept for the next time."""

    def __init__(self, directory, arch, launcher, wine_dir=None):
        self.launcher = launcher
        self.base = wine_dir and os.path.join(wine_dir, arch)
        if self.base:
            directory = os.path.join(wine_dir, "%s-%d" % (directory, os.getpid()))
        self.env = wine_env(directory, arch)
        self.arch, self.wow64 = arch, arch == "win64"
        self.posed = None
        self.wine_dir = wine_dir

    def __enter__(self):
        if self.base:
            copy_prefix(self.base, self.env["WINEPREFIX"])
        else:
            boot(self.env["WINEPREFIX"], self.env["WINEARCH"])
        subprocess.run(["wineserver", "-p"], env=self.env, **QUIET)
        # Wine starts its services (services.exe, device drivers, plugplay,
        # the desktop a program may need) with the first program, which hands
        # them its output pipes, and stops them when no program runs: every
        # run then waits, up to seconds, for its pipe to close. An idle
        # cmd.exe keeps them running, and a first run here starts them, the
        # desktop too, with none of our pipes; through "start", or the first
        # "start" of a test would leave what it starts holding a runner's
        # pipes, and the runner waiting for good.
        cmd = self.system_program("cmd.exe")
        self.keeper = subprocess.Popen(cmd, env=self.env, stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(cmd + ["/c", 'start "" /wait cmd /c exit'], env=self.env, **QUIET)
        return self

    def __exit__(self, *exc):
        self.keeper.stdin.close()
        self.keeper.wait()
        if self.base:
            stop(self.env)
            shutil.rmtree(self.env["WINEPREFIX"])
        else:
            subprocess.run(["wineserver", "-k"], env=self.env, **QUIET)

    def system_program(self, name, native=True):
        """The command that starts the system program NAME, or with native
        False the 32-bit one of 64-bit Windows, as one Windows process: a
        bare name, or System32 through the 32-bit loader of a 64-bit prefix,
        first starts another process that looks the program up."""
        if not self.wow64:
            return ["wine", "C:\\windows\\system32\\" + name]
        if native:
            return [WINE64, "C:\\windows\\system32\\" + name]
        return ["wine", "C:\\windows\\syswow64\\" + name]

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
            # Under load Wine now and then fails to create the process
            # (launch.exe: "cannot start: error 1359"): started again.
            def launch():
                return subprocess.run(
                    ["wine", self.launcher, windows_path(command_file), windows_path(code_file)],
                    env=dict(self.env, **(env or {})), cwd=cwd, stdin=subprocess.DEVNULL,
                    stdout=stdout if stdout is not None else subprocess.PIPE,
                    stderr=subprocess.PIPE, timeout=300)
            done = again("launch.exe " + command[:60].decode(errors="replace"), launch,
                         lambda done: done.returncode == 0,
                         show=lambda done: done.stderr.decode(errors="replace"))
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

    def set_registry(self, keys):
        """Sets values in one registry import: {key: {name: text, number or
        None to delete}}, with keys under HKLM and HKCU; on 64-bit Windows
        through the 64-bit reg.exe, whose view names the 32-bit one
        Wow6432Node."""
        self.posed = None
        lines = ["Windows Registry Editor Version 5.00"]
        for key, values in keys.items():
            lines.append("\n[%s]" % key.replace("HKLM", "HKEY_LOCAL_MACHINE", 1)
                         .replace("HKCU", "HKEY_CURRENT_USER", 1))
            for name, data in values.items():
                if data is None:
                    lines.append('"%s"=-' % name)
                elif isinstance(data, int):
                    lines.append('"%s"=dword:%08x' % (name, data))
                else:
                    lines.append('"%s"="%s"' % (name, data.replace("\\", "\\\\")
                                                .replace('"', '\\"')))
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "values.reg")
            with open(path, "w", newline="\r\n") as f:
                f.write("\n".join(lines) + "\n")
            # A second import tells a passing failure from a bad file.
            until_done("reg import", self.system_program("reg.exe")
                       + ["import", windows_path(path)], self.env)

    def with_build(self, text):
        """text (str or bytes) with WIN10_BUILD replaced by the build this
        Wine's win10 reports, as the boot recorded it (record_builds)."""
        mark = WIN10_BUILD.encode() if isinstance(text, bytes) else WIN10_BUILD
        if mark not in text:
            return text
        with open(os.path.join(self.wine_dir, "builds")) as f:
            build = dict(line.split() for line in f)["win10"]
        return text.replace(mark, build.encode() if isinstance(text, bytes) else build)

    def use_version(self, setting, more=None):
        """Makes Wine report the version that named_version or
        registry_version describes, setting more values ({key: {name: data}},
        None deleting a value) in the same import; nothing where that is
        how the prefix was last set."""
        if self.posed == repr((setting, more)):
            return
        name, registry = setting
        keys = {WINE_SETTINGS: {"Version": name}}
        if registry:
            version, build, csd, service_pack, product_type, current, edition = registry
            # A 32-bit program on 64-bit Windows reads the 32-bit registry
            # view. From Windows 10 on, the version is also kept as two
            # numbers, which Wine writes as Windows does and removes for
            # older versions.
            major, minor = (int(n) for n in version.split("."))
            values = dict(CurrentMajorVersionNumber=major if major >= 10 else None,
                          CurrentMinorVersionNumber=minor if major >= 10 else None,
                          CurrentVersion=current, CurrentBuildNumber=self.with_build(build),
                          CSDVersion=csd,
                          EditionID=edition)
            for key in [CURRENT_VERSION] + ([CURRENT_VERSION_32] if self.wow64 else []):
                keys[key] = values
            keys[WINDOWS_CONTROL] = {"CSDVersion": service_pack}
            keys[PRODUCT_OPTIONS] = {"ProductType": product_type}
        for key, values in (more or {}).items():
            keys[key] = dict(keys.get(key, {}), **values)
        self.set_registry(keys)
        self.posed = repr((setting, more))


# Named versions whose build differs between Wine releases.
NAMED_BUILDS = ["win10"]
# Stands for the build Wine's win10 reports, in a pose and in what a test
# expects of it; the prefix puts in the build its boot recorded (posed).
WIN10_BUILD = "<win10 build>"


def record_builds(env, wine_dir):
    """Writes WINE_DIR/builds: each of NAMED_BUILDS and the build that cmd's
    ver reports under it, "win10 19043" a line. The prefix is left with
    Wine's own default."""
    lines = []
    wine_key = ["HKCU\\Software\\Wine", "/v", "Version", "/f"]
    for name in NAMED_BUILDS:
        # A program reads the version as it starts: ver in a cmd.exe of its own.
        subprocess.run(["wine", "reg", "add"] + wine_key + ["/d", name], env=env, **QUIET)
        out = subprocess.run(["wine", "cmd", "/d", "/c", "ver"], env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        subprocess.run(["wine", "reg", "delete"] + wine_key, env=env, **QUIET)
        build = re.search(rb"\d+\.\d+\.(\d+)", out)
        if not build:
            raise RuntimeError("ver printed no version under %s: %r" % (name, out))
        lines.append("%s %s\n" % (name, build.group(1).decode()))
    with tempfile.NamedTemporaryFile("w", dir=wine_dir, delete=False) as f:
        f.writelines(lines)
    os.replace(f.name, os.path.join(wine_dir, "builds"))


def keep_booted(action, wine_dir, arch):
    """The booted prefix of WINE_DIR for arch, with a stamp that names the
    Wine that booted it; a lock keeps two test runs from booting it at once."""
    base = os.path.join(wine_dir, arch)
    stamp = base + ".booted"
    os.makedirs(wine_dir, exist_ok=True)
    with open(base + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if action == "boot":
            version = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                                     check=True).stdout
            if os.path.isdir(base) and os.path.exists(stamp) and \
                    open(stamp, "rb").read() == version and \
                    os.path.exists(os.path.join(wine_dir, "builds")):
                print("%s booted by %s is there" % (base, version.decode().strip()))
                return 0
            shutil.rmtree(base, ignore_errors=True)
            env = boot(base, arch)
            record_builds(env, wine_dir)
            stop(env)
            with open(stamp, "wb") as f:
                f.write(version)
            return 0
        booted = os.path.getmtime(stamp)
        changed = [os.path.join(folder, name) for folder, _, names in os.walk(base)
                   for name in names if os.lstat(os.path.join(folder, name)).st_mtime > booted]
        for path in changed:
            print("a test changed %s in the booted prefix" % path)
        if changed:
            shutil.rmtree(base)
            os.remove(stamp)
        return 1 if changed else 0


def main():
    if sys.argv[1] in ("boot", "unchanged"):
        return keep_booted(*sys.argv[1:4])
    prefix_dir, launcher, program = sys.argv[1:4]
    args = [os.fsencode(arg) for arg in sys.argv[4:]]
    # What the program prints is read through pipes, as the tests read it,
    # and written here: on a terminal Wine's own console would paint it with
    # escape sequences, and under load lose it before it painted it.
    with Prefix(prefix_dir, "win64", launcher) as wine:
        out, err, code = wine.run(program, args)
    sys.stdout.buffer.write(out)
    sys.stdout.buffer.flush()
    sys.stderr.buffer.write(err)
    print("exit code: %d" % code)
    return 0


if __name__ == "__main__":
    sys.exit(main())
