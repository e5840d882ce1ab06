"""A release's tree, build and zip, made alike by tools/release and, again,
by tools/verify: the commit's tree taken out by git before anything is
built; archver.exe built from it, testing off, with nothing of the
caller's environment (for verify, in a sandbox); the zip from the files."""
import hashlib
import io
import os
import re
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


class BuildError(Exception):
    pass


def printable(text):
    """text as it may be printed: anything but printable ASCII and line ends
    escaped, so that it cannot move or recolour the terminal (C1 controls
    such as \\x9b included)."""
    return "".join(c if " " <= c <= "~" or c == "\n" else "\\x%02x" % ord(c) if ord(c) < 256
                   else "\\u%04x" % ord(c) for c in str(text))


def run(args, env=None):
    """What args print, once they ran without error: a program of one's own
    tree or of Debian's (the release's build, mmdebstrap). What failed is
    told with its output indented, so no line of it passes for a line of
    the tool's own."""
    done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise failed(" ".join(args[:2]), done.stdout)
    return done.stdout


def failed(what, output):
    """The BuildError that says what failed, its output indented."""
    return BuildError("%s failed:\n%s" % (what, "".join(
        "    " + line for line in output.decode(errors="replace").splitlines(True))))


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


# A release's sources are some 400 KB in some 100 files; no larger tree is
# taken out.
TREE_BYTES, TREE_ENTRIES = 32 << 20, 4096
# git on a repository's objects and refs alone, in a git folder of its own:
# no configuration, hook or attributes file of the repository's or the
# caller's reaches it, export-subst and export-ignore are off (they would
# put ref names in a tree or leave files out), and git is "$@" in a script,
# whose standard output alone is read.
IN_GIT = """exec 2>/dev/null
git=$(mktemp -d) && git init -q --bare --template= "$git" && mkdir "$git/info" &&
echo "* -export-subst -export-ignore" >"$git/info/attributes" &&
echo "$1/objects" >"$git/objects/info/alternates" && cp -R "$1/refs/." "$git/refs" &&
{ [ ! -f "$1/packed-refs" ] || cp "$1/packed-refs" "$git"; } || exit 1
shift
set -- git --git-dir="$git" "$@"
(%s)
status=$?
rm -rf "$git"
exit $status"""
# What git needs of the environment: none of the caller's configuration.
GIT_ENV = {"GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull, "GIT_ATTR_NOSYSTEM": "1",
           "HOME": "/nonexistent"}
# When the commit was made, then git's listing of its tree; the tree as git
# checks it out, as a tar file.
LISTING = """"$@" log -1 --format=%ct "$0" && exec "$@" ls-tree -r -l -z --full-tree "$0"
"""
EXPORT = """exec "$@" archive --format=tar "$0"
"""
# The size of each file named, one line each (and their total), then their
# bytes, from a tar.
FROM_TAR = """out=$(mktemp -d) && tar=$1 && shift && tar -x -f "$tar" -C "$out" -- "$@" 2>/dev/null && cd "$out" &&
wc -c -- "$@" && cat -- "$@"
status=$?
rm -rf "$out"
exit $status"""


def host(args, inputs=(), env=None, most=None):
    """(exit status, output) of args run here as tools/release runs each
    step on the tree, with no variable but PATH and env: confine.run's
    counterpart for a tree of one's own."""
    done = subprocess.run(args, env=dict(env or {}, PATH=SYSTEM_PATH), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return done.returncode, done.stdout


def in_git(runner, git_dir, script, commit, most):
    """(exit status, output) of script run through runner on the objects and
    refs of the repository whose git folder (the common one of its work
    trees) is git_dir, as IN_GIT says, with commit as its $0."""
    inputs = [os.path.join(git_dir, name) for name in ("objects", "refs", "packed-refs")]
    return runner(["sh", "-c", IN_GIT % script, commit, git_dir], env=GIT_ENV, most=most,
                  inputs=[path for path in inputs if os.path.exists(path)])


def read_plain(path, name):
    """The bytes of path, a plain file, never what a link leads to."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        mode = 0
    if not stat.S_ISREG(mode):
        raise BuildError("%s is %s, not a plain file" % (name, "something else" if mode
                                                         else "missing"))
    with open(os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK), "rb") as f:
        data = f.read(LARGEST_FILE + 1)
    if len(data) > LARGEST_FILE:
        raise BuildError("%s: larger than a release's file can be" % name)
    return data


def check_tree(listing):
    """Raises BuildError unless git's listing of a tree (ls-tree -r -l -z)
    is within TREE_BYTES and TREE_ENTRIES and holds CMakeLists.txt and each
    shipped file as a plain file, with no link on its way."""
    modes, size = {}, 0
    for entry in listing.split(b"\0")[:-1]:
        fields, _, path = entry.partition(b"\t")
        mode, _, _, length = fields.split()
        modes[path.decode(errors="replace")] = mode
        size += int(length) if length.isdigit() else 0
    if len(modes) > TREE_ENTRIES or size > TREE_BYTES:
        raise BuildError("its tree is larger than a release's sources can be (%d files, %d MiB)"
                         % (TREE_ENTRIES, TREE_BYTES >> 20))
    kinds = {b"120000": "a symbolic link", b"160000": "a submodule"}
    for name in ["CMakeLists.txt"] + SHIPPED[1:]:
        parts = name.split("/")
        for folder in ("/".join(parts[:n]) for n in range(1, len(parts))):
            if folder in modes:
                raise BuildError("%s is committed as %s, not as a folder" % (
                    folder, kinds.get(modes[folder], "a file")))
        if modes.get(name) not in (b"100644", b"100755"):
            raise BuildError("%s is committed as %s, not as a plain file" % (
                name, kinds.get(modes.get(name), "nothing")))


def take_out(runner, git_dir, commit, folder):
    """(the commit's time, {name: bytes} of its CMakeLists.txt and the files
    a release ships, its tree as a tar file in folder) of the repository
    whose git folder (the common one of its work trees) is git_dir, each
    step through runner: the tree's listing checked before it is taken
    out, and no file read through a link."""
    status, output = in_git(runner, git_dir, LISTING, commit, TREE_ENTRIES << 10)
    when, _, listing = output.partition(b"\n")
    if status != 0 or not when.isdigit():
        raise BuildError("git cannot list the commit's tree")
    check_tree(listing)
    tar = os.path.join(folder, "tree.tar")
    status, output = in_git(runner, git_dir, EXPORT, commit,
                            TREE_BYTES + (TREE_ENTRIES << 11) + (1 << 20))
    if status != 0:
        raise BuildError("git cannot take the commit's tree out")
    with open(tar, "wb") as f:
        f.write(output)
    files = from_tar(runner, tar, ["CMakeLists.txt"] + SHIPPED[1:])
    return int(when), dict(files), tar


def from_tar(runner, tar, names):
    """[(name, bytes)] of the plain files names in the tar file tar."""
    status, output = runner(["sh", "-c", FROM_TAR, "sh", tar] + names, inputs=[tar],
                            most=len(names) * (LARGEST_FILE + 16))
    if status != 0:
        raise failed("tar -x", output)
    lines = output.split(b"\n", len(names) + 1)
    data, files = lines.pop(), []
    for name, line in zip(names, lines):
        size = line.split()[0]
        if int(size) > LARGEST_FILE:
            raise BuildError("%s: larger than a release's file can be" % name)
        files.append((name, data[:int(size)]))
        data = data[int(size):]
    return files


def build(source, binary):
    """archver.exe's bytes, built from the tree source in the folder binary."""
    os.makedirs(binary, exist_ok=True)
    env = {"PATH": SYSTEM_PATH, "HOME": binary}
    # The toolchain file alone: no preset, no option, so no test or its tools.
    run(["cmake", "-S", source, "-B", binary, "--toolchain",
         os.path.join(source, "cmake", "i686-w64-mingw32.cmake")], env=env)
    run(["cmake", "--build", binary, "--target", "archver"], env=env)
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
