"""A release's tree, build and zip, made alike by tools/release and, again,
by tools/verify: the commit's tree taken out by git before anything is
built; archver.exe built from it, testing off, with nothing of the
caller's environment (for verify, in a sandbox); the zip from the files."""
import hashlib
import io
import os
import re
import shlex
import shutil
import stat
import subprocess
import time
import zipfile

# What a release ships, in this order, each under the name the commit's tree
# gives it; archver.exe, first, is built. The docs keep their folder, so
# their links to each other hold inside the zip.
SHIPPED = ["archver.exe", "crosscheck.cmd", "README.md", "LICENSE", "NOTICES.md", "SECURITY.md",
           "CHANGELOG.md", "docs/reference.md", "docs/recipes.md"]
# No file a release ships comes near this; nothing larger is read.
LARGEST_FILE = 4 << 20

# Where the build and git are looked for: Debian's own folders, never a
# folder the caller put first on PATH.
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
# Variables that hold the signing secrets, which only the signing step sees.
SECRETS = "ARCHVER_SIGN_"
BWRAP = "/usr/bin/bwrap"


class BuildError(Exception):
    pass


def printable(text):
    """text as it may be printed: anything but printable ASCII and line ends
    escaped, so that it cannot move or recolour the terminal (C1 controls
    such as \\x9b included)."""
    return "".join(c if " " <= c <= "~" or c == "\n" else "\\x%02x" % ord(c) if ord(c) < 256
                   else "\\u%04x" % ord(c) for c in str(text))


def run(args, env=None):
    """What args print, once they ran without error; the tools run every
    program through here. What failed is told with its output indented, so
    no line of it passes for a line of the tool's own."""
    done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    # A command in the sandbox is named without the sandbox's.
    shown = args[args.index("--") + 1:] if args[0] == BWRAP else args
    if done.returncode != 0:
        raise BuildError("%s failed:\n%s" % (" ".join(shown[:2]), "".join(
            "    " + line for line in done.stdout.decode(errors="replace").splitlines(True))))
    return done.stdout


def trusted(repository):
    """git's options that trust repository, its work tree and its .git,
    whoever owns it, and take no attributes file from outside it."""
    path = os.path.abspath(repository)
    return ["-c", "safe.directory=" + path, "-c", "safe.directory=" + os.path.join(path, ".git"),
            "-c", "core.attributesFile=" + os.devnull]


def git(repository, *args):
    """What git prints of repository, trusted whoever owns it, with none of
    the signing secrets, no GIT_* variable of the caller's (a repository, a
    work tree, configuration entries), and no configuration or attributes
    file but the repository's own and the commit's: any of them could change
    the bytes it gives (core.autocrlf, filters, encodings)."""
    env = dict({k: v for k, v in os.environ.items()
                if not k.startswith(SECRETS) and not k.startswith("GIT_")},
               GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.devnull, GIT_ATTR_NOSYSTEM="1",
               PATH=SYSTEM_PATH)
    return run(["git"] + trusted(repository) + ["-C", os.path.abspath(repository)] + list(args),
               env=env)


def source_tree(repository, commit, directory):
    """directory/src (directory made anew): the commit's tree as git checks
    it out, by git archive of a bare clone, which has no attributes file."""
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    bare, tar = os.path.join(directory, "git"), os.path.join(directory, "tree.tar")
    source = os.path.join(directory, "src")
    # The clone reads the repository through an upload-pack of its own,
    # which takes no -c of the command that starts it.
    upload = shlex.join(["git"] + trusted(repository) + ["upload-pack"])
    git(repository, "clone", "--quiet", "--bare", "--template=", "--upload-pack", upload,
        repository, bare)
    try:
        git(bare, "archive", "--format=tar", "-o", tar, commit)
    except BuildError:
        raise BuildError("commit %s is not in %s: fetch it first" % (commit, repository))
    os.mkdir(source)
    run(["tar", "-x", "--no-same-owner", "-f", tar, "-C", source], env={"PATH": SYSTEM_PATH})
    return source


def read_plain(path, name):
    """The bytes of path, a plain file, never what a link leads to."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = 0
    if not stat.S_ISREG(mode):
        raise BuildError("%s is committed as %s, not as a plain file" % (name, (
            "a symbolic link" if stat.S_ISLNK(mode) else "a folder" if stat.S_ISDIR(mode)
            else "something else" if mode else "nothing")))
    with open(os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK), "rb") as f:
        data = f.read(LARGEST_FILE + 1)
    if len(data) > LARGEST_FILE:
        raise BuildError("%s: larger than a release's file can be" % name)
    return data


def shipped_files(source):
    """[(name, bytes)] of what a release ships but archver.exe, from the tree."""
    return [(name, read_plain(os.path.join(source, name), name)) for name in SHIPPED[1:]]


def sandbox(root, source, binary):
    """bubblewrap's command line that shows a command the toolchain of the
    system in root ("/" for this machine's) and nothing else of it: /usr, the
    links of a merged /usr, /etc/alternatives (which names the compiler); the
    tree source read-only as /src, binary writable as /build; its own /tmp,
    /dev and /proc; no network, process, /home, /run, /var or variable."""
    args = [BWRAP, "--unshare-all", "--die-with-parent", "--new-session", "--clearenv",
            "--setenv", "PATH", SYSTEM_PATH, "--setenv", "HOME", "/tmp",
            "--ro-bind", os.path.join(root, "usr"), "/usr"]
    for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        path = os.path.join(root, name)
        if os.path.islink(path):
            args += ["--symlink", os.readlink(path), "/" + name]
        elif os.path.isdir(path):
            args += ["--ro-bind", path, "/" + name]
    return args + ["--ro-bind-try", os.path.join(root, "etc", "alternatives"), "/etc/alternatives",
                   "--ro-bind", source, "/src", "--bind", binary, "/build", "--tmpfs", "/tmp",
                   "--dev", "/dev", "--proc", "/proc", "--chdir", "/build", "--"]


def build(source, binary, root=None):
    """archver.exe's bytes, built from the tree source in the folder binary;
    with root, in the sandbox on the system in root."""
    os.makedirs(binary, exist_ok=True)
    there, inside = (source, binary), []
    if root:
        there, inside = ("/src", "/build"), sandbox(root, source, binary)
    env = {"PATH": SYSTEM_PATH, "HOME": binary}
    # The toolchain file alone: no preset, no option, so no test or its tools.
    run(inside + ["cmake", "-S", there[0], "-B", there[1], "--toolchain",
                  os.path.join(there[0], "cmake", "i686-w64-mingw32.cmake")], env=env)
    run(inside + ["cmake", "--build", there[1], "--target", "archver"], env=env)
    return read_plain(os.path.join(binary, "archver.exe"), "archver.exe")


def sums(files):
    """sha256sum's format over [(name, bytes)]."""
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)


def release_files(exe, shipped, buildinfo):
    """[(name, bytes)] of the zip: archver.exe, the shipped files, BUILDINFO,
    and SHA256SUMS over all of them."""
    files = [("archver.exe", exe)] + shipped + [("BUILDINFO", buildinfo)]
    return files + [("SHA256SUMS", sums(files).encode())]


def zip_bytes(files, when):
    """The zip of [(name, bytes)], the same bytes on any machine: stored, as a
    compressor's output may change with its version, each a plain file of
    mode 0644 dated when."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as package:
        for name, data in files:
            entry = zipfile.ZipInfo(name, time.gmtime(when)[:6])
            entry.create_system = 3
            entry.external_attr = (stat.S_IFREG | 0o644) << 16
            package.writestr(entry, data)
    return out.getvalue()


def project_version(cmake_lists):
    """The version in project() of CMakeLists.txt's bytes, or None."""
    match = re.search(rb"project\(archver VERSION (\d+\.\d+\.\d+)", cmake_lists)
    return match and match.group(1).decode()
