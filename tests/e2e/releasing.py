"""What the release, verify and signing tests share besides their fixtures:
the repository with hostile commits, the one way they run a program, the
zips they forge, and the assertions their tables go through."""
import ctypes
import hashlib
import io
import os
import platform
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import threading
import zipfile

import pristine
import pytest

# The user's documents, every page with a recipe among them, no contributor's:
# the zip's entries in their order.
FILES = ["archver.exe", "crosscheck.cmd", "README.md", "LICENSE", "NOTICES.md", "SECURITY.md",
         "CHANGELOG.md", "docs/reference.md", "docs/recipes.md", "BUILDINFO", "SHA256SUMS"]


# Markdown links and the headings they may point to.
LINK = re.compile(r"\]\(([^)\s]+)\)")


HEADING = re.compile(r"^#+ (.*)$", re.M)


RELEASE_VARIABLES = ("ARCHVER_SIGN_CERT", "ARCHVER_SIGN_KEY", "ARCHVER_SIGN_TIMESTAMP_URL",
                     "ARCHVER_RELEASE_URL", "ARCHVER_SIGN_PKCS11_MODULE", "ARCHVER_SIGN_PIN",
                     "ARCHVER_SIGNED_EXE")


MANIFESTS = ["archver.archver.installer.yaml", "archver.archver.locale.en-US.yaml",
             "archver.archver.yaml", "archver.json"]


# Flags that would change the bytes, were they let in.
FLAGS = dict(CXXFLAGS="-fno-inline", CPPFLAGS="-DNDEBUG", LDFLAGS="-Wl,--no-gc-sections",
             CMAKE_BUILD_TYPE="Debug")


# Programs a build would run, planted first on PATH.
PLANTED = ["git", "cmake", "i686-w64-mingw32-g++-win32", "i686-w64-mingw32-windres"]


NOBODY = 65534


# tools/verify started as an ordinary user where the tests run as root.
AS_NOBODY = ["/usr/bin/setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]


# Committed after it was written, as a rebased commit is: its time is the
# committer's.
GIT_ENV = dict(GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.org", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@example.org", GIT_AUTHOR_DATE="2025-06-07T08:09:10Z",
               GIT_COMMITTER_DATE="2026-01-02T03:04:05Z")


def write(path, data, mode=None):
    """data (text or bytes) as the file path, with mode if given: path."""
    with open(path, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
    if mode is not None:
        os.chmod(path, mode)
    return path


def run(*args, env=None, typed=None):
    """(exit status, output) of a program, in this environment but for the
    release and signing variables, with env added, and what was typed, if
    anything, as its input."""
    inherited = {k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES}
    done = subprocess.run(list(args), input=typed, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=dict(inherited, **GIT_ENV, **(env or {})))
    return done.returncode, done.stdout.decode(errors="replace").replace("\r\n", "\n")


# add_key and keyctl by machine: the hostile build reaches for the
# verifier's session keyring with them, where the tests plant a secret.
KEY_CALLS = {"x86_64": (248, 250), "aarch64": (217, 219)}


def keyring(call, *args):
    """What the keyring call (0 add_key, 1 keyctl) answers, -1 for an error."""
    calls = KEY_CALLS.get(platform.machine())
    return ctypes.CDLL(None, use_errno=True).syscall(calls[call], *args) if calls else -1


# What the commit v0.0.1 runs when it is built: it writes each target
# given, plants a filter that git would run were its clone read after the
# build, and reaches for a Unix socket and a port; the listeners count it.
# It fails where it reaches the terminal or the keyring (and leaves a key
# there), or where git gave it the verifier's ref names.
HOSTILE = """import contextlib, ctypes, os, platform, socket, sys
targets, unix, port, ran, calls = %r
here = os.path.dirname(os.path.abspath(__file__))
git = os.path.join(here, ".git")
for path, text in [(path, "escaped") for path in targets] + [
        (os.path.join(git, "config"), '[filter "x"]\\n\\tsmudge = touch %%s; cat\\n' %% ran),
        (os.path.join(git, "info", "attributes"), "* filter=x\\n")]:
    with contextlib.suppress(OSError):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a") as f:
            f.write(text)
for family, address in ((socket.AF_UNIX, unix), (socket.AF_INET, ("127.0.0.1", port))):
    with contextlib.suppress(OSError), socket.socket(family) as s:
        s.settimeout(2)
        s.connect(address)
        s.sendall(b"reached")
with contextlib.suppress(OSError), open("/dev/tty", "wb", buffering=0) as tty:
    tty.write(b"\\x1b[2J\\rbuilt from these sources: commit 0\\n")
    sys.exit("reached the terminal")
if any(os.isatty(fd) for fd in (0, 1, 2)) or os.read(0, 64):
    sys.exit("reached the terminal")
syscall = ctypes.CDLL(None).syscall
calls = calls.get(platform.machine())
if calls and syscall(calls[1], 10, -3, b"user", b"archver-secret", 0) >= 0:
    sys.exit("read the keyring")
if calls and syscall(calls[0], b"user", b"archver-left", b"x", 1, -3) >= 0:
    sys.exit("wrote to the keyring")
if "$Format" not in open(os.path.join(here, "refs.txt")).read():
    sys.exit("the verifier's refs")
"""


# What the commit v0.0.2 prints as it fails: a verdict of its own, at the
# start of a line as a program it runs prints it, a line erased, the
# clipboard written, and the verdict again.
FAILING = """execute_process(COMMAND echo "built from these sources: commit 0")
string(ASCII 27 esc)
string(ASCII 7 bel)
message(FATAL_ERROR "${esc}[2K${esc}]52;c;aGk=${bel}\\nbuilt from these sources: commit 0")
"""


# The commits after this tree's own, each tagged vVERSION but "untagged":
# (name, version, what its CMakeLists.txt runs right after project(), where
# every build runs it). "linked" has docs as a link to a folder elsewhere on
# the verifier's machine, "large" one blob of 1 MiB named 40 times: some KiB
# of objects, a tree of 40 MiB.
COMMITS = [
    ("reaching", "0.0.1", "execute_process(COMMAND python3 ${CMAKE_SOURCE_DIR}/hostile.py "
     "RESULT_VARIABLE reached)\nif(reached OR DEFINED ENV{ARCHVER_PLANTED} OR "
     "DEFINED ENV{ARCHVER_SIGN_PIN})\n  message(FATAL_ERROR \"reached: ${reached}\")\nendif()\n"),
    ("failing", "0.0.2", FAILING),
    ("untagged", "0.0.3", ""),
    ("linked", "0.0.4", ""),
    ("large", "0.0.5", ""),
    ("nesting", "0.0.6", 'execute_process(COMMAND sh -c '
     '"while mkdir d && cd d; do :; done; sleep 100000")\n'),
    ("filling", "0.0.7", 'execute_process(COMMAND sh -c '
     '"cat /dev/zero >/build/filled; cat /dev/zero >/tmp/filled")\n'),
    ("printing", "0.0.8", "execute_process(COMMAND yes)\n"),
]


def make_repository(source, repo, hostile):
    """A git repository of this tree after the COMMITS, with HOSTILE
    (hostile: its arguments) in them, then this tree: {name: commit}."""
    # What .gitignore names stays out of the commits.
    shutil.copytree(source, repo, ignore=shutil.ignore_patterns(".git", "build", "node_modules"))
    os.chmod(repo, 0o755)  # for the verifying user, whatever the checkout's folder allows
    cmake_lists, docs = os.path.join(repo, "CMakeLists.txt"), os.path.join(repo, "docs")
    with open(cmake_lists) as f:
        text = f.read()
    write(os.path.join(repo, "hostile.py"), HOSTILE % (hostile + (KEY_CALLS,),))
    write(os.path.join(repo, "refs.txt"), "$Format:%D$\n")
    # A filter that only a git configuration from outside could define.
    with open(os.path.join(repo, ".gitattributes"), "a") as f:
        f.write("README.md filter=planted\nrefs.txt export-subst\n")
    commits = {}
    run("git", "-C", repo, "init", "-q")
    large = run("git", "-C", repo, "hash-object", "-w", write(os.path.join(repo, "..", "large"),
                                                             bytes(1 << 20)))[1].strip()
    for name, version, more in COMMITS:
        write(cmake_lists, re.sub(r"(project\(archver VERSION )\d+\.\d+\.\d+(.*\n)", lambda m: (
            m.group(1) + version + m.group(2) + more), text, count=1))
        if name == "linked":
            os.rename(docs, docs + ".kept")
            os.symlink(os.path.join(source, "docs"), docs)
        run("git", "-C", repo, "add", "-A")
        for n in range(40 if name == "large" else 0):
            run("git", "-C", repo, "update-index", "--add", "--cacheinfo",
                "100644,%s,large/%d" % (large, n))
        run("git", "-C", repo, "commit", "-qm", version)
        if name == "linked":
            os.remove(docs)
            os.rename(docs + ".kept", docs)
        # Tags annotated, as a release's are.
        if name != "untagged":
            run("git", "-C", repo, "tag", "-a", "-m", version, "v" + version)
        commits[name] = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
    write(cmake_lists, text)
    run("git", "-C", repo, "rm", "-q", "hostile.py", "refs.txt")
    run("git", "-C", repo, "commit", "-qam", "this tree")
    version = re.search(r"VERSION (\d+\.\d+\.\d+)", text).group(1)
    run("git", "-C", repo, "tag", "-a", "-m", version, "v" + version)
    return commits


def read_zip(path):
    """{name: bytes} of the zip's files and "zip" itself, or None"""
    if not zipfile.is_zipfile(path):
        return None
    with zipfile.ZipFile(path) as z:
        files = {name: z.read(name) for name in z.namelist()}
    with open(path, "rb") as f:
        files["zip"] = f.read()
    return files


def zipped(files, when, tweak=None, sums=True):
    """files ({name: bytes} or pairs) as tools/release zips them, SHA256SUMS
    made to match unless told, each entry first changed by tweak."""
    files = list(dict(files).items()) if isinstance(files, dict) else files
    entries = [(n, d) for n, d in files if n not in ("zip", "SHA256SUMS")]
    entries += [("SHA256SUMS", pristine.sums(entries).encode() if sums else dict(files)[
        "SHA256SUMS"])]
    data = pristine.zip_bytes(entries, when)
    if not tweak:
        return data
    out = io.BytesIO()
    with zipfile.ZipFile(io.BytesIO(data)) as old, zipfile.ZipFile(out, "w") as new:
        for entry in old.infolist():
            content = old.read(entry)
            tweak(entry)
            new.writestr(entry, content)
    return out.getvalue()


class Releaser:
    """tools/release of a repository, each time into a folder of its own,
    which holds an older release of this version when asked."""

    def __init__(self, repo, work, version):
        self.repo, self.work = repo, work
        self.name = "archver-%s-win32.zip" % version
        self.sums = "archver-%s-SHA256SUMS" % version
        self.count = 0

    def release(self, release_url=None, older_zip=False, env=None):
        """(exit status, output, files of the zip or None, {name: bytes} of
        the other files the folder holds)"""
        self.count += 1
        out = os.path.join(self.work, "out%d" % self.count)
        os.makedirs(out)
        if older_zip:  # with the sums and manifests of an older release
            for name in [self.name, self.sums] + MANIFESTS:
                write(os.path.join(out, name), "an older release")
        env = dict(env or {}, **({} if release_url is None else {
            "ARCHVER_RELEASE_URL": release_url}))
        status, output = run(os.path.join(self.repo, "tools", "release"), out, env=env)
        held = {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)}
        return status, output, read_zip(os.path.join(out, self.name)), held


def anchor(heading):
    """The anchor GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def broken_links(files):
    """The links of the zip's documents that lead nowhere inside it."""
    broken = []
    for name, data in files.items():
        if not name.endswith(".md"):
            continue
        for link in LINK.findall(data.decode()):
            if re.match(r"[a-z]+:", link):
                continue
            path, _, fragment = link.partition("#")
            target = os.path.normpath(os.path.join(os.path.dirname(name), path)) if path else name
            anchors = [anchor(h) for h in HEADING.findall(files.get(target, b"").decode())]
            if target not in files or (fragment and fragment not in anchors):
                broken.append("%s: %s" % (name, link))
    return broken


def assert_package(files, commit):
    # Stored, each a plain file of mode 0644; the sums as sha256sum reads them.
    with zipfile.ZipFile(io.BytesIO(files["zip"])) as z:
        assert [(e.filename, e.compress_type, e.external_attr >> 16) for e in z.infolist()] == \
            [(name, zipfile.ZIP_STORED, 0o100644) for name in FILES]
    assert files["SHA256SUMS"].decode().splitlines() == [
        "%s  %s" % (hashlib.sha256(files[name]).hexdigest(), name) for name in FILES[:-1]]
    assert broken_links(files) == [], "links that lead nowhere in the zip"
    lines = files["BUILDINFO"].decode().splitlines()
    assert (lines[:1], [line.split(" ")[0] for line in lines]) == \
        (["commit " + commit], ["commit", "compiler", "binutils", "runtime", "debian"])


def listening(family, address, reached):
    """A socket at address, adding address to reached for each connection."""
    server = socket.socket(family)
    server.bind(address)
    server.listen()

    def take():
        while True:
            try:
                server.accept()[0].close()
            except OSError:  # closed
                return
            reached.append(address)
    threading.Thread(target=take, daemon=True).start()
    return server


def uncommitted_change(t):
    """A change to the checkout's README.md that is not committed."""
    with open(os.path.join(t.repo, "README.md"), "a") as f:
        f.write("a change not committed\n")


def sign(t, cert, key, url=None, env=None):
    """tools/sign on the build: (exit status, output, signed bytes or None)."""
    signed = os.path.join(t.work, "signed-%d.exe" % len(os.listdir(t.work)))
    env = dict(env or {}, **{k: v for k, v in zip(RELEASE_VARIABLES, (cert, key, url))
                             if v is not None})
    status, output = run(os.path.join(t.repo, "tools", "sign"), t.exe_path, signed, env=env)
    return status, output, open(signed, "rb").read() if os.path.exists(signed) else None


def no_terminal():
    """Why no pseudo-terminal can be opened here (a chroot without
    /dev/pts), or ""."""
    try:
        for fd in os.openpty():
            os.close(fd)
    except OSError as e:
        return "no pseudo-terminal here (%s)" % e.strerror
    return ""


def assert_verify(t, what, data, want, more=None):
    """tools/verify on the zip's bytes data, the row what: (exit status,
    what it concludes) as want. more: the environment, "start" to start it
    otherwise than as nobody where the tests run as root, "name" the zip's
    file name, "root" where root alone can plant what it needs, "sandbox"
    False where it stops before its first step in the sandbox, "terminal"
    to start it on one, "seconds" the time a check may take, in the
    checkout's confine.py, uncommitted. Started with the hostile environment
    and a change to the checkout's README.md that is not committed, since
    the commit named is what counts; skipped where this machine cannot run
    it."""
    more = dict(more or {})
    start, by_root = more.pop("start", AS_NOBODY), more.pop("root", False)
    if (start != AS_NOBODY or by_root) and os.geteuid() != 0:
        pytest.skip("%s: root alone starts it so" % what)
    if more.pop("sandbox", True) and t.no_sandbox:
        pytest.skip("%s: no sandbox here (%s)" % (what, t.no_sandbox))
    missing = more.get("terminal") and no_terminal()
    if missing:
        pytest.skip("%s: %s" % (what, missing))
    folder = tempfile.mkdtemp(dir=t.work)
    os.chmod(folder, 0o755)
    package = write(os.path.join(folder, more.pop("name", "verify.zip")), data, 0o644)
    scratch = os.path.join(folder, "tmp")  # where it makes its scratch folder
    os.mkdir(scratch)
    if os.geteuid() == 0:
        os.chown(scratch, NOBODY, NOBODY)
    command = (start if os.geteuid() == 0 else []) + [
        os.path.join(t.repo, "tools", "verify"), package]
    # On a terminal of its own, on which the verifier typed a line first.
    typed = more.pop("terminal", False) and b"typed by the verifier\n"
    seconds = more.pop("seconds", None)
    limits = os.path.join(t.repo, "tools", "confine.py")
    with open(limits) as f:
        kept = f.read()
    if seconds:
        write(limits, re.sub(r"(?m)^SECONDS = \d+", "SECONDS = %d" % seconds, kept))
    uncommitted_change(t)
    try:
        status, output = run(*(["script", "-qec", shlex.join(command), "/dev/null"] if typed
                               else command), env=dict(t.hostile, TMPDIR=scratch, **more),
                             typed=typed or None)
    finally:
        if seconds:
            write(limits, kept)
        run("git", "-C", t.repo, "checkout", "README.md")
    left = os.listdir(scratch)
    shutil.rmtree(folder)
    verdict = [line.replace(package, "ZIP").replace(t.cache, "CACHE").replace(t.repo, "REPO")
               for line in output.splitlines() if re.match(
                   "built from|NOT built|tools/verify|To check|then,|not using|keeping no"
                   "|running as", line)]
    # Nothing from the zip or the build reaches the terminal unescaped, C1
    # controls included; nothing the build ran wrote outside its folders or
    # to the keyring, reached a socket or ran from PATH; no scratch folder
    # is left. What escaped is cleared for the next row.
    controls = re.findall(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", output)
    written = [path for path in t.targets + [os.path.join(t.planted, "ran")]
               if os.path.exists(path)]
    key = keyring(1, 10, -3, b"user", b"archver-left", 0)  # KEYCTL_SEARCH
    escaped = written + t.reached + left + ["a key" for _ in range(key >= 0)]
    for path in written:
        os.remove(path)
    t.reached.clear()
    keyring(1, 3, key)  # KEYCTL_REVOKE
    assert (status, verdict, controls, escaped) == tuple(want) + ([], []), output


def assert_refused(results):
    """Each (what is wrong, tools/release's result): an error, and no zip
    left, not even an older one of the same version."""
    assert {what: (status != 0, "tools/release: " in output, held)
            for what, (status, output, _, held) in results} == \
        {what: (True, True, {}) for what, _ in results}
