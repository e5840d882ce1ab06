"""BUILDINFO: what a release's bytes depend on besides its sources, written
by tools/release and read by tools/verify. One "name value" line each: the
commit, then the cross compiler, binutils and MinGW-w64 runtime packages
with their versions, which are what builds the exe, and the Debian release
whose archive has them (bookworm, trixie). The Debian point release is not:
one commit and one toolchain give the same zip on any."""
import os
import subprocess

PACKAGES = [("compiler", "g++-mingw-w64-i686-win32"), ("binutils", "binutils-mingw-w64-i686"),
            ("runtime", "mingw-w64-i686-dev")]


def toolchain(root="/"):
    """[(name, version)] of this machine's toolchain, or of the system in
    root, as its dpkg database says; "unknown" where it does not know it."""
    found = []
    for name, package in PACKAGES:
        try:
            done = subprocess.run(["/usr/bin/dpkg-query", "--admindir",
                                   os.path.join(root, "var/lib/dpkg"), "-W", "-f=${Version}",
                                   package],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            version = done.stdout.decode().strip() if done.returncode == 0 else ""
        except OSError:
            version = ""
        found.append((name, "%s %s" % (package, version or "unknown")))
    return found


def debian():
    """The codename of this machine's Debian release, "unknown" without one."""
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    except OSError:
        fields = {}
    return fields.get("VERSION_CODENAME", "").strip('"') or "unknown"


def write(commit, tools, release):
    """BUILDINFO's bytes: the commit, the toolchain as toolchain() gives it,
    the Debian release's codename."""
    lines = [("commit", commit)] + tools + [("debian", release)]
    return "".join("%s %s\n" % pair for pair in lines).encode()


def read(data):
    """{name: value} of a BUILDINFO file's bytes, whatever they are."""
    return dict(line.split(" ", 1) for line in data.decode(errors="replace").splitlines()
                if " " in line)

