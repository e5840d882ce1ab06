"""Builds archver.exe from a commit the way a release is built and checked:
from a fresh clone of the committed tree, so nothing untracked or
uncommitted in the checkout gets in, in a fresh build directory with
testing off, and with no compiler, linker or CMake setting from the
environment. Shared by tools/release and tools/verify, with the list of
files a release ships."""
import os
import shlex
import shutil
import subprocess

# What CMake or the compiler would take from the environment and build into
# the bytes: flags, and CMake's own settings (build type, toolchain file, ...).
FLAG_VARIABLES = ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS", "RCFLAGS")


# What a release ships, in this order, each under the name the commit's tree
# gives it; archver.exe, first, is built. The docs keep their folder, so
# their links to each other hold inside the zip.
SHIPPED = ["archver.exe", "crosscheck.cmd", "README.md", "LICENSE", "SECURITY.md", "CHANGELOG.md",
           "docs/reference.md", "docs/recipes.md"]


def shipped_bytes(source, exe, name):
    """The bytes a release ships under name: the built exe, or the file as
    the commit in the clone source holds it, checked out as git would
    (crosscheck.cmd with CRLF). Only a plain file of the commit is shipped,
    never a symbolic link, a submodule or anything else it might lead to."""
    if name == "archver.exe":
        with open(exe, "rb") as f:
            return f.read()
    listed = git_output(source, "ls-tree", "-z", "HEAD", "--", name).rstrip(b"\0").decode()
    mode = listed.split(" ", 1)[0]
    if mode not in ("100644", "100755"):
        raise BuildError("%s is committed as %s, not as a plain file"
                         % (name, KINDS.get(mode, "mode " + mode) if listed else "nothing"))
    return git_output(source, "cat-file", "--filters", "HEAD:" + name)


KINDS = {"120000": "a symbolic link", "160000": "a submodule", "040000": "a folder"}


class BuildError(Exception):
    pass


# Variables that hold the signing secrets, which only the signing step
# sees: not git, CMake, make, the compiler or the commit's CMake code.
SECRETS = "ARCHVER_SIGN_"


# Where the build and git are looked for: Debian's own folders, never a
# folder the caller put first on PATH.
SYSTEM_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"


def clean_environment():
    return dict({k: v for k, v in os.environ.items() if k not in FLAG_VARIABLES
                 and not k.startswith("CMAKE_") and not k.startswith(SECRETS)}, PATH=SYSTEM_PATH)


def git_environment():
    """The environment for git: none of the signing secrets and no GIT_*
    variable the caller set (a repository, a work tree, configuration
    entries), and neither the user's nor the system's configuration, any of
    which could change the bytes it checks out (core.autocrlf, filters) or
    the repository it works on."""
    return dict({k: v for k, v in os.environ.items()
                 if not k.startswith(SECRETS) and not k.startswith("GIT_")},
                GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL=os.devnull, PATH=SYSTEM_PATH)


def trusted(repository):
    """git's options that trust repository (its work tree and its .git)
    whoever owns it: the global configuration that would say so is shut out."""
    path = os.path.abspath(repository)
    return ["-c", "safe.directory=" + path, "-c", "safe.directory=" + os.path.join(path, ".git")]


def git(repository, *args):
    return ["git"] + trusted(repository) + ["-C", repository] + list(args)


def git_output(source, *args):
    done = subprocess.run(git(source, *args), env=git_environment(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise BuildError("git %s failed:\n%s" % (args[0], done.stderr.decode(errors="replace")))
    return done.stdout


def run(args, env=None):
    """What args print, once they ran without error; the tools run every
    program through here."""
    done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        raise BuildError("%s failed:\n%s" % (" ".join(args[:2]),
                                             done.stdout.decode(errors="replace")))
    return done.stdout


# Where a sandboxed build sees its clone and build folders.
INSIDE = "/tmp/archver"


def sandbox(root, folder):
    """bubblewrap's command line that runs a command on the system in root
    ("/" for this machine's), read-only, with folder writable as INSIDE,
    a /tmp, /dev and /proc of its own, no network and no other process in
    sight: whatever the commit's build runs can write nothing else."""
    return ["bwrap", "--ro-bind", root, "/", "--tmpfs", "/tmp", "--dev", "/dev",
            "--proc", "/proc", "--bind", folder, INSIDE, "--chdir", INSIDE, "--unshare-all",
            "--die-with-parent", "--new-session", "--"]


def build(repository, commit, directory, root=None, reachable_only=False):
    """Clones repository into directory/src (directory removed first), checks
    out commit and builds it in directory/build; with root, in a sandbox on
    the system in root ("/" for this machine's), by that system's CMake and
    compiler. With reachable_only, the clone takes only what the
    repository's branches and tags reach, as a clone from elsewhere would.
    Returns (the clone, archver.exe)."""
    shutil.rmtree(directory, ignore_errors=True)
    source, binary = os.path.join(directory, "src"), os.path.join(directory, "build")
    local = ["--no-local"] if reachable_only else []
    # A clone that is not local reads the repository through an upload-pack
    # of its own, which takes no -c of the command that starts it.
    upload = " ".join(["git"] + [shlex.quote(word) for word in trusted(repository)]
                      + ["upload-pack"])
    run(["git"] + trusted(repository) + ["clone", "--quiet", "--no-checkout",
                                          "--upload-pack", upload] + local
        + [repository, source], env=git_environment())
    try:
        run(git(source, "checkout", "--quiet", commit), env=git_environment())
    except BuildError:
        raise BuildError("commit %s is not in %s: fetch it first" % (commit, repository))
    env = clean_environment()
    inside, there = [], {source: source, binary: binary}
    if root:
        inside = sandbox(root, directory)
        there = {path: os.path.join(INSIDE, os.path.basename(path)) for path in there}
    run(inside + ["cmake", "--preset", "windows-x86", "-S", there[source], "-B", there[binary],
                  "-DBUILD_TESTING=OFF"], env=env)
    run(inside + ["cmake", "--build", there[binary], "--target", "archver"], env=env)
    return source, os.path.join(binary, "archver.exe")
