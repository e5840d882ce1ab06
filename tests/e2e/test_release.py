"""tools/release and tools/verify, run in a git repository made from this
tree. The release (test_release_package): the zip, its sums and the
manifests for a release address, the same whatever the environment holds;
tools/verify accepts it and finds a changed byte or BUILDINFO; bad input
fails, leaving no zip. Signing (test_signing_*): tools/sign with a throwaway
code-signing certificate, from a file and from a PKCS#11 token: the exe
verifies with a SHA-256 digest, answers as the unsigned one does, strips
back to it and is the same from run to run; tools/release ships it and
tools/verify accepts it; a key or timestamp server that fails leaves no
signed file. The tools' parts that need no build: tests/host.
"""
import hashlib
import http.server
import json
import os
import py_compile
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import types
import zipfile

import pefile
import pytest
import yaml

from conftest import BUILT

# The user's documents, every page that holds a recipe among them; no
# contributor's document.
FILES = ["BUILDINFO", "CHANGELOG.md", "LICENSE", "README.md", "SECURITY.md", "SHA256SUMS",
         "archver.exe", "crosscheck.cmd", "docs/recipes.md", "docs/reference.md"]
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
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
# Programs a build would run, planted first on PATH.
PLANTED = ["git", "cmake", "i686-w64-mingw32-g++-win32", "i686-w64-mingw32-windres"]
NOBODY = 65534
# tools/verify started as an ordinary user where the tests run as root.
AS_NOBODY = ["/usr/bin/setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
GIT_ENV = dict(GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.org", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@example.org", GIT_AUTHOR_DATE="2026-01-02T03:04:05Z",
               GIT_COMMITTER_DATE="2026-01-02T03:04:05Z")


def run(*args, env=None):
    """(exit status, output as text)"""
    done = subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=dict(os.environ, **GIT_ENV, **(env or {})))
    return done.returncode, done.stdout.decode(errors="replace")


def make_repository(source, repo):
    """A git repository of this tree with two commits, each tagged with its
    version: the first of another version, which builds another
    archver.exe, then this tree. Returns the first commit."""
    # What .gitignore names stays out of the commits.
    shutil.copytree(source, repo, ignore=shutil.ignore_patterns(".git", "build", "node_modules"))
    cmake_lists = os.path.join(repo, "CMakeLists.txt")
    with open(cmake_lists) as f:
        text = f.read()
    with open(cmake_lists, "w") as f:
        f.write(re.sub(r"VERSION \d+\.\d+\.\d+", "VERSION 0.0.1", text, count=1))
        # What a hostile commit's build would write outside its own folder.
        f.write("execute_process(COMMAND sh -c \"%s\")\n" % "; ".join(
            "echo escaped > '%s'" % path for path in escapes(repo)))
    # A filter that only a git configuration from outside could define.
    with open(os.path.join(repo, ".gitattributes"), "a") as f:
        f.write("README.md filter=planted\n")
    # Tags annotated, as a release's are.
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "other"],
                 ["tag", "-a", "-m", "0.0.1", "v0.0.1"]):
        run("git", "-C", repo, *args)
    first = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
    with open(cmake_lists, "w") as f:
        f.write(text)
    run("git", "-C", repo, "commit", "-qam", "this tree")
    version = re.search(r"VERSION (\d+\.\d+\.\d+)", text).group(1)
    run("git", "-C", repo, "tag", "-a", "-m", version, "v" + version)
    return first


def escapes(repo):
    """Where the build of a commit tools/verify checks must write nothing:
    the shared /tmp, the checkout, the cache folder of the user verifying."""
    work = os.path.dirname(repo)
    return ["/tmp/archver-escaped", os.path.join(repo, "escaped"),
            os.path.join(work, "cache", "archver-verify", "escaped")]


def read_zip(path):
    """{name: bytes} of the zip's files and "zip" itself, or None"""
    if not zipfile.is_zipfile(path):
        return None
    with zipfile.ZipFile(path) as z:
        files = {name: z.read(name) for name in z.namelist()}
    with open(path, "rb") as f:
        files["zip"] = f.read()
    return files


def write_zip(path, files):
    """files ({name: bytes}) as a zip again, with SHA256SUMS made to match."""
    entries = [(name, data) for name, data in files.items() if name not in ("zip", "SHA256SUMS")]
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in entries)
    entries.append(("SHA256SUMS", sums.encode()))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, data)


class Releaser:
    """Runs the repository's tools/release into an output folder of its own
    each time, one that already holds a zip of this version when asked."""

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
                with open(os.path.join(out, name), "wb") as f:
                    f.write(b"an older release")
        env = dict({k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES},
                   **(env or {}))
        if release_url is not None:
            env["ARCHVER_RELEASE_URL"] = release_url
        done = subprocess.run([os.path.join(self.repo, "tools", "release"), out], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        held = {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)}
        return done.returncode, done.stdout.decode(), read_zip(os.path.join(out, self.name)), held


class TimestampServer:
    """An RFC 3161 time-stamp authority on 127.0.0.1, answered by openssl ts
    with a certificate of its own: (its address, its CA certificate)."""

    def __init__(self, work):
        self.folder = os.path.join(work, "tsa")
        os.makedirs(self.folder)
        f = self.folder
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
            f + "/ca.key", "-out", f + "/ca.pem", "-days", "30", "-subj", "/CN=test TSA root")
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f + "/tsa.key",
            "-out", f + "/tsa.csr", "-subj", "/CN=test TSA")
        with open(f + "/tsa.ext", "w") as out:
            out.write("extendedKeyUsage=critical,timeStamping\n")
        run("openssl", "x509", "-req", "-in", f + "/tsa.csr", "-CA", f + "/ca.pem", "-CAkey",
            f + "/ca.key", "-CAcreateserial", "-days", "30", "-extfile", f + "/tsa.ext",
            "-out", f + "/tsa.pem")
        with open(f + "/tsa.cnf", "w") as out:
            out.write("[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\n"
                      "serial = {0}/serial\nsigner_cert = {0}/tsa.pem\ncerts = {0}/ca.pem\n"
                      "signer_key = {0}/tsa.key\nsigner_digest = sha256\n"
                      "default_policy = 1.2.3.4.1\ndigests = sha256\n"
                      "ess_cert_id_alg = sha256\n".format(f))
        with open(f + "/serial", "w") as out:
            out.write("01\n")

    def __enter__(self):
        folder = self.folder

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                with open(folder + "/query", "wb") as query:
                    query.write(self.rfile.read(int(self.headers["Content-Length"])))
                run("openssl", "ts", "-reply", "-config", folder + "/tsa.cnf", "-queryfile",
                    folder + "/query", "-out", folder + "/reply")
                with open(folder + "/reply", "rb") as reply:
                    body = reply.read()
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return "http://127.0.0.1:%d/" % self.server.server_port, folder + "/ca.pem"

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def anchor(heading):
    """The anchor GitHub gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def broken_links(files):
    """The links of the zip's documents that lead nowhere inside it; links
    to the web are left alone."""
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
    assert sorted(n for n in files if n != "zip") == FILES
    sums = "".join(sorted("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                          for name, data in files.items() if name not in ("zip", "SHA256SUMS")))
    assert "".join(sorted(files["SHA256SUMS"].decode().splitlines(True))) == sums
    assert broken_links(files) == [], "links that lead nowhere in the zip"
    lines = files["BUILDINFO"].decode().splitlines()
    assert (lines[:1], [line.split(" ")[0] for line in lines]) == \
        (["commit " + commit], ["commit", "compiler", "binutils", "runtime", "debian"])


@pytest.fixture(scope="module")
def t():
    """A repository of this tree with two tagged commits, a throwaway
    code-signing certificate, and what a hostile environment holds."""
    with open(BUILT["exe"], "rb") as f:
        built = f.read()
    version = BUILT["version"]
    with tempfile.TemporaryDirectory() as work:
        repo = os.path.join(work, "repo")
        for path in escapes(repo):
            if os.path.exists(path):
                os.remove(path)
        other_commit = make_repository(BUILT["source_dir"], repo)
        commit = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
        cert, key, other = (os.path.join(work, n) for n in ("cert.pem", "key.pem", "other.pem"))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", cert, "-days", "2", "-subj", "/CN=archver test signer",
            "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        run("openssl", "genrsa", "-out", other, "2048")
        # The verifying user, nobody where the tests run as root, reads the
        # checkout and keeps its state in a cache folder of its own.
        os.chmod(work, 0o755)
        cache = os.path.join(work, "cache")
        os.mkdir(cache, 0o700)
        if os.geteuid() == 0:
            os.chown(cache, NOBODY, NOBODY)
        # Flags, git configurations, a repository and programs first on PATH
        # that would change the bytes or run, were they let in: each program
        # and the smudge filter leave a file in planted/ where they run.
        planted = os.path.join(work, "planted")
        os.mkdir(planted)
        user_config = os.path.join(work, "gitconfig")
        with open(user_config, "w") as f:
            f.write("[core]\n\tautocrlf = true\n")
        for tool in PLANTED:
            with open(os.path.join(planted, tool), "w") as f:
                f.write("#!/bin/sh\ntouch '%s/ran'\nexit 1\n" % planted)
            os.chmod(os.path.join(planted, tool), 0o755)
        caller = os.path.join(work, "caller")
        run("git", "init", "-q", caller)
        run("git", "-C", caller, "commit", "-q", "--allow-empty", "-m", "the caller's")
        # The sandbox tools/verify builds in, as the user it builds as.
        sys.path.append(os.path.join(BUILT["source_dir"], "tools"))
        import pristine
        try:
            probe = subprocess.run((AS_NOBODY if os.geteuid() == 0 else []) + pristine.sandbox(
                "/", work) + ["true"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except OSError as e:  # no bubblewrap
            probe = types.SimpleNamespace(returncode=1, stdout=str(e).encode())
        yield types.SimpleNamespace(
            no_sandbox=probe.returncode and probe.stdout.decode(errors="replace").strip(),
            source=BUILT["source_dir"], exe_path=BUILT["exe"], built=built, version=version,
            work=work, repo=repo, commit=commit, other_commit=other_commit, cert=cert, key=key,
            other=other,
            hostile=dict(FLAGS, GIT_CONFIG_GLOBAL=user_config, GIT_CONFIG_SYSTEM=user_config,
                         GIT_CONFIG_COUNT="2", GIT_CONFIG_KEY_0="core.autocrlf",
                         GIT_CONFIG_VALUE_0="true", GIT_CONFIG_KEY_1="filter.planted.smudge",
                         GIT_CONFIG_VALUE_1="touch '%s/ran'; cat" % planted,
                         GIT_DIR=os.path.join(caller, ".git"), XDG_CACHE_HOME=cache,
                         PATH=planted + os.pathsep + os.environ["PATH"]),
            planted=planted, caller=caller, cache=cache,
            releaser=Releaser(repo, work, version),
            address="https://github.com/someone/archver/releases/download/v" + version)


@pytest.fixture(scope="module")
def unsigned(t):
    """The unsigned release: (exit status, output, files of the zip, what
    the folder holds)."""
    return t.releaser.release()


def test_unsigned_release(t, unsigned):
    """The testing-off build of the release is the very file the tests ran."""
    status, output, files, held = unsigned
    assert (status, "unsigned" in output, files is not None) == (0, True, True), output
    assert sorted(held) == [t.releaser.sums, t.releaser.name], "no manifests without an address"
    assert held[t.releaser.sums] == ("%s  %s\n" % (hashlib.sha256(files["zip"]).hexdigest(),
                                                   t.releaser.name)).encode()
    assert_package(files, t.commit)
    assert files["archver.exe"] == t.built
    # It looks for no test tool, and warnings are not errors.
    with open(os.path.join(t.repo, "build", "release-x86", "build", "CMakeCache.txt")) as f:
        assert [line.strip() for line in f if line.startswith("ARCHVER_")] == \
            ["ARCHVER_LAUNCHER:BOOL=OFF", "ARCHVER_WERROR:BOOL=OFF"]


def test_manifests(t):
    """The manifests name the release's address and the zip's hash."""
    releaser, version = t.releaser, t.version
    status, output, released, held = releaser.release(release_url=t.address)
    assert (status, sorted(held)) == (0, sorted(MANIFESTS + [releaser.name, releaser.sums])), \
        output
    assert sorted(held[releaser.sums].decode().splitlines()) == \
        sorted("%s  %s" % (hashlib.sha256(held[name]).hexdigest(), name)
               for name in [releaser.name] + MANIFESTS)
    winget = [yaml.safe_load(held[name]) for name in MANIFESTS[:3]]
    scoop = json.loads(held[MANIFESTS[3]])
    zip_url = t.address + "/" + releaser.name
    installer = winget[0]["Installers"][0]
    assert ([m.get("PackageVersion") for m in winget] + [scoop.get("version")],
            [installer.get("InstallerUrl"), scoop.get("url")],
            [installer.get("InstallerSha256", "").lower(), scoop.get("hash")]) == \
        ([version] * 4, [zip_url] * 2, [hashlib.sha256(released["zip"]).hexdigest()] * 2)
    # What winget and Scoop take from them, and one publisher everywhere.
    schemas = [re.findall(rb"\.(\d+\.\d+\.\d+)\.schema\.json\n", held[name])
               for name in MANIFESTS[:3]]
    publishers = [re.findall(pattern, open(os.path.join(t.source, name)).read())
                  for name, pattern in (("res/archver.rc", r'"CompanyName", "(.*)"'),
                                        ("LICENSE", r"Copyright \(c\) \d+ (.*)"))]
    assert ([[v.decode() for v in found] for found in schemas], installer.get("Architecture"),
            scoop.get("bin"), (scoop.get("autoupdate") or {}).get("url"), publishers) == \
        ([[m.get("ManifestVersion")] for m in winget], "x86", "archver.exe",
         zip_url.replace(version, "$version"), [[winget[1].get("Publisher")]] * 2)


@pytest.fixture(scope="module")
def planted(t):
    """Untracked modules that Python would take first, for the releases and
    tools/verify's rows: bytecode of a tool's module that is never checked
    against its source, and modules named as installed ones; and an
    untracked header in the checkout. Removed when done."""
    header = os.path.join(t.repo, "src", "windows.h")
    with open(header, "w") as f:
        f.write("#error an untracked header\n")
    module = os.path.join(t.work, "planted.py")
    with open(module, "w") as f:
        f.write("raise SystemExit('planted module ran')\n")
    cached = os.path.join(t.repo, "tools", "__pycache__",
                          "buildinfo.%s.pyc" % sys.implementation.cache_tag)
    py_compile.compile(module, cached, doraise=True,
                       invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)
    modules = [header, cached] + [os.path.join(t.repo, "tools", name)
                                  for name in ("yaml.py", "tempfile.py")]
    for path in modules[2:]:
        shutil.copy(module, path)
    yield
    for path in modules:
        os.remove(path)


def test_release_whatever_the_environment(t, unsigned, planted):
    """Flags in the environment, the user's git configuration, programs
    first on PATH and what is planted in the checkout stay out: the release
    is what a pristine clone of the commit builds. So is a release from a
    clone made where git writes CR LF, and from a checkout of another user's
    released as root, as a workflow's container does."""
    head = run("git", "-C", t.caller, "rev-parse", "HEAD")[1]
    status, output, files, _ = t.releaser.release(env=t.hostile)
    assert (status, files == unsigned[2], os.path.exists(os.path.join(t.planted, "ran")),
            run("git", "-C", t.caller, "rev-parse", "HEAD")[1]) == (0, True, False, head), output
    crlf = os.path.join(t.work, "crlf")
    run("git", "-c", "core.autocrlf=true", "clone", "-q", t.repo, crlf)
    owned = os.path.join(t.work, "owned")
    shutil.copytree(t.repo, owned, symlinks=True, ignore=shutil.ignore_patterns("build"))
    for folder, folders, names in os.walk(owned) if os.geteuid() == 0 else ():
        for name in [folder] + [os.path.join(folder, n) for n in folders + names]:
            os.lchown(name, NOBODY, NOBODY)
    for checkout in (crlf, owned):
        status, output, files, _ = Releaser(checkout, checkout + ".out", t.version).release()
        assert (checkout, status, files == unsigned[2]) == (checkout, 0, True), output
    # The tools' host tests, in that clone as here: how many passed.
    passed = [re.findall(r"(?m)^(\d+) passed", subprocess.run(
        [sys.executable, "-B", "-m", "pytest", "-q", os.path.join(checkout, "tests", "host")],
        stdout=subprocess.PIPE).stdout.decode()) for checkout in (t.source, crlf)]
    assert passed[1] == (passed[0] or ["none"]), "host tests in a clone made with autocrlf"


def uncommitted_change(t):
    """A change to the checkout's README.md that is not committed."""
    with open(os.path.join(t.repo, "README.md"), "a") as f:
        f.write("a change not committed\n")


def test_verify(t, unsigned, planted):
    """tools/verify on the unsigned release and on zips made from it."""
    unsigned = unsigned[2]
    commit, version = t.commit, t.version
    exe = unsigned["archver.exe"]
    changed = dict(unsigned, **{"archver.exe": exe[:-1] + bytes([exe[-1] ^ 1])})

    def buildinfo(line, with_line):
        return dict(unsigned, BUILDINFO=re.sub(rb"(?m)^%s .*$" % line.encode(), with_line,
                                               unsigned["BUILDINFO"]))
    # Another toolchain is built where BUILDINFO's Debian release is made.
    other = buildinfo("compiler", rb"compiler g++-mingw-w64-i686-win32 0.0")
    check_here = "To check this zip: "
    # This tree once more, in a commit no branch or tag reaches.
    untagged = run("git", "-C", t.repo, "commit-tree", "HEAD^{tree}", "-p", "HEAD", "-m",
                   "deleted")[1].strip()
    info = dict(line.split(" ", 1) for line in unsigned["BUILDINFO"].decode().splitlines())
    renamed = dict(unsigned, BUILDINFO=unsigned["BUILDINFO"].replace(
        commit.encode(), t.other_commit.encode()))
    # Where the tests run as root, tools/verify goes on as nobody, who has no
    # cache folder.
    keeping = ["keeping no root: the cache folder's archver-verify is not this user's alone"]
    no_mmdebstrap = ["tools/verify: cannot build with BUILDINFO's toolchain here: mmdebstrap, "
                     "which makes a root of Debian %s, is not installed" % info.get("debian"),
                     check_here + "apt-get install mmdebstrap && tools/verify ZIP"]
    # A tar of a root in the verifying user's cache folder, put there by root.
    kept = os.path.join(t.cache, "archver-verify")
    if os.geteuid() == 0:
        os.makedirs(kept, 0o700)
        os.chown(kept, NOBODY, NOBODY)
        open(os.path.join(kept, "%s.tar" % info.get("debian")), "w").close()
    linked = os.path.join(t.work, "linked")
    os.symlink(t.cache, linked)
    assert_verify(t, [
        # How every other zip is refused: tests/host.
        ("bytes after the end record", unsigned["zip"] + b"PK",
         (1, ["tools/verify: 2 bytes after the end record"])),
        ("unsigned release, started as an ordinary user", unsigned,
         (0, ["built from these sources: commit " + commit]), {"start": AS_NOBODY}),
        ("unsigned release", unsigned,
         (0, ["built from these sources: commit " + commit])),
        ("a changed byte in archver.exe", changed,
         (1, ["NOT built from these sources: commit %s gives another archver.exe" % commit])),
        ("another compiler, no mmdebstrap", other,
         (3, (keeping if os.geteuid() == 0 else []) + no_mmdebstrap),
         {"PATH": "/nonexistent"}),
        # Placed by its compiler, which is this machine's.
        ("another runtime, BUILDINFO without its Debian release", dict(
            buildinfo("runtime", b"runtime mingw-w64-i686-dev 0.0"), BUILDINFO=buildinfo(
                "runtime", b"runtime mingw-w64-i686-dev 0.0")["BUILDINFO"].replace(
                    b"debian " + info.get("debian", "").encode() + b"\n", b"")),
         (3, (keeping if os.geteuid() == 0 else []) + no_mmdebstrap),
         {"PATH": "/nonexistent"}),
        # State kept by another user, or through a link, is not used.
        ("another compiler, the kept root planted by another user", other,
         (3, ["not using CACHE/archver-verify/%s.tar: not a plain file of this user's alone"
              % info.get("debian")] + no_mmdebstrap),
         {"start": AS_NOBODY, "PATH": "/nonexistent"}),
        ("another compiler, the cache folder a link", other,
         (3, keeping + no_mmdebstrap),
         {"start": AS_NOBODY, "PATH": "/nonexistent", "XDG_CACHE_HOME": linked}),
        ("another compiler, a Debian release unknown here",
         dict(other, BUILDINFO=other["BUILDINFO"].replace(b"\ndebian ", b"\ndebian x\x1b[2K")),
         (3, ["tools/verify: cannot build with BUILDINFO's toolchain here: BUILDINFO "
              "names no Debian release this tool knows: x\\x1b[2K" + info.get("debian", ""),
              check_here + "on the Debian release whose archive has them, as root: "
              "apt-get install --no-install-recommends cmake make git "
              "g++-mingw-w64-i686-win32=0.0 %s && tools/verify ZIP" % " ".join(
                  info.get(name, "").replace(" ", "=") for name in ("binutils", "runtime"))])),
        ("a compiler that is no Debian version",
         buildinfo("compiler", b"compiler g++-mingw-w64-i686-win32 0.0\x1b[2K"),
         (1, ["tools/verify: BUILDINFO names no compiler version of g++-mingw-w64-i686-win32"])),
        ("BUILDINFO naming a git option", dict(unsigned, BUILDINFO=b"commit --orphan=x\n"),
         (1, ["tools/verify: BUILDINFO names no commit"])),
        ("BUILDINFO naming a commit on no tag, as of a deleted branch",
         dict(unsigned, BUILDINFO=unsigned["BUILDINFO"].replace(
             commit.encode(), untagged.encode())),
         (1, ["tools/verify: commit %s is not the commit of tag v%s here (%s)"
              % (untagged, version, commit)])),
        ("BUILDINFO naming another commit", renamed,
         (1, ["NOT built from these sources: commit %s gives another archver.exe"
              % t.other_commit]))])


def test_refused(t):
    """An uncommitted change, a document committed as a link to what the
    release's own environment, and so its signing secrets, would be read
    from, a release tag without the v (every other address refused:
    tests/host): an error, and no zip left behind, not even an older one of
    the same version."""
    releaser, version = t.releaser, t.version
    uncommitted_change(t)
    dirty = releaser.release(older_zip=True)
    run("git", "-C", t.repo, "checkout", "README.md")
    changelog = os.path.join(t.repo, "CHANGELOG.md")
    os.remove(changelog)
    os.symlink("/proc/self/environ", changelog)
    run("git", "-C", t.repo, "commit", "-qam", "a link")
    linked = releaser.release(older_zip=True)
    run("git", "-C", t.repo, "reset", "-q", "--hard", "HEAD~1")
    assert linked[1].strip().splitlines()[-1:] == \
        ["tools/release: CHANGELOG.md is committed as a symbolic link, not as a plain file"]
    assert_refused([("uncommitted change", dirty), ("a document committed as a link", linked),
                    ("release tag without the v", releaser.release(release_url=t.address.replace(
                        "/v" + version, "/" + version), older_zip=True))])


def sign(t, cert, key, url=None, env=None):
    """tools/sign on the build, with the key and timestamp server given:
    (exit status, output, the signed file's bytes or None)."""
    signed = os.path.join(t.work, "signed-%d.exe" % len(os.listdir(t.work)))
    env = dict({k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES},
               **(env or {}))
    env.update({k: v for k, v in zip(RELEASE_VARIABLES, (cert, key, url)) if v is not None})
    done = subprocess.run([os.path.join(t.repo, "tools", "sign"), t.exe_path, signed], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    data = open(signed, "rb").read() if os.path.exists(signed) else None
    return done.returncode, done.stdout.decode(errors="replace"), data




@pytest.fixture(scope="module")
def signed(t):
    """The build signed by tools/sign with the key from a file."""
    status, output, signed_exe = sign(t, t.cert, t.key)
    assert status == 0 and signed_exe is not None, output
    return signed_exe


def test_signing_twice(t, signed):
    """Times taken from the clock would differ a second or more later."""
    time.sleep(2)
    assert sign(t, t.cert, t.key)[2] == signed


@pytest.fixture(scope="module")
def token(t):
    """The same key in a PKCS#11 token, SoftHSM2's made here, and a stand-in
    osslsigncode first on PATH that records the arguments of each call and
    the mode of the PIN file it is handed, then signs: the environment that
    holds both, and the record."""
    tokens = os.path.join(t.work, "tokens")
    os.makedirs(tokens)
    with open(os.path.join(t.work, "softhsm2.conf"), "w") as f:
        f.write("directories.tokendir = %s\n" % tokens)
    env = dict(SOFTHSM2_CONF=os.path.join(t.work, "softhsm2.conf"))
    run("softhsm2-util", "--init-token", "--free", "--label", "archver", "--pin", "1234",
        "--so-pin", "5678", env=env)
    run("softhsm2-util", "--import", t.key, "--token", "archver", "--label", "signer", "--id",
        "01", "--pin", "1234", env=env)
    signer, calls = os.path.join(t.work, "signer"), os.path.join(t.work, "signer.log")
    os.makedirs(signer)
    with open(os.path.join(signer, "osslsigncode"), "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$@" >> %s\nprev=\nfor a in "$@"; do\n'
                '  [ "$prev" = -readpass ] && stat -c "mode %%a" "$a" >> %s\n  prev=$a\n'
                'done\nexec %s "$@"\n' % (calls, calls, shutil.which("osslsigncode")))
    os.chmod(os.path.join(signer, "osslsigncode"), 0o755)
    return dict(env, ARCHVER_SIGN_PKCS11_MODULE=SOFTHSM,
                PATH=signer + os.pathsep + os.environ["PATH"]), calls


KEY_URI = "pkcs11:token=archver;object=signer;type=private"


# The URI after the key's, the PIN apart, what osslsigncode is handed after
# the key's URI: signed as from the file, where it is handed no more; libp11
# takes no query attribute but the PIN.
@pytest.mark.parametrize("uri, pin, rest", [
    pytest.param("", "1234", "", id="PIN in ARCHVER_SIGN_PIN"),
    pytest.param(";pin-value=1234", None, "", id="PIN in the URI"),
    pytest.param("?pin-value=1234", None, "", id="PIN in the URI's query"),
    pytest.param(";pin-value=%31%32%33%34", None, "", id="PIN percent-encoded"),
    pytest.param("?pin-value=%312%334&module-name=softhsm2", None, "?module-name=softhsm2",
                 id="PIN in the query, another attribute after it")])
def test_signing_with_a_token(t, signed, token, uri, pin, rest):
    """Signed with the key in the token; the PIN kept off osslsigncode's
    command line, in a file of its owner's."""
    env, calls = token
    open(calls, "w").close()
    _, output, from_token = sign(t, t.cert, KEY_URI + uri,
                                 env=dict(env, **({"ARCHVER_SIGN_PIN": pin} if pin else {})))
    if not rest:
        assert from_token == signed, output
    recorded = open(calls).read().splitlines()
    assert ([line for line in recorded if "1234" in line or "pin-value" in line],
            [line for line in recorded if line.startswith("mode ")],
            [line for line in recorded if line.startswith("pkcs11:")]) == \
        ([], ["mode 600"], [KEY_URI + rest])


@pytest.fixture(scope="module")
def altered(t, signed):
    """The signed exe as a file, stripped of its signature, with a changed
    code byte, and with its certificate table (data directory 4) filled
    with what is no signature."""
    paths = types.SimpleNamespace(**{n: os.path.join(t.work, n + ".exe") for n in (
        "signed", "stripped", "tampered", "garbage")})
    with open(paths.signed, "wb") as f:
        f.write(signed)
    run("osslsigncode", "remove-signature", "-in", paths.signed, "-out", paths.stripped)
    code = pefile.PE(data=signed).sections[0].PointerToRawData + 16
    with open(paths.tampered, "wb") as f:
        f.write(signed[:code] + bytes([signed[code] ^ 1]) + signed[code + 1:])
    table = pefile.PE(data=signed).OPTIONAL_HEADER.DATA_DIRECTORY[4]
    table, size = table.VirtualAddress, table.Size
    with open(paths.garbage, "wb") as f:
        f.write(signed[:table + 8] + b"\x5a" * (size - 8) + signed[table + size:])
    return paths


def test_signing_verifies(t, altered):
    """A SHA-256 digest; stripped, the unsigned build; a changed code byte
    fails."""
    status, output = run("osslsigncode", "verify", "-CAfile", t.cert, "-in", altered.signed)
    assert (status, re.findall(r"Message digest algorithm\s*: (\w+)", output)[:1]) == \
        (0, ["SHA256"])
    assert open(altered.stripped, "rb").read() == t.built
    assert run("osslsigncode", "verify", "-CAfile", t.cert, "-in", altered.tampered)[0] != 0


def test_signing_with_a_timestamp(t, signed):
    """A timestamp from an RFC 3161 server (openssl ts, here on 127.0.0.1)
    keeps the signature valid after the certificate expires; without one it
    is not."""
    with TimestampServer(t.work) as (server, authority):
        stamped = sign(t, t.cert, t.key, url=server)[2]
    later = str(int(time.time()) + 10 * 86400)
    path = os.path.join(t.work, "stamped.exe")
    verified = []
    for exe in (stamped or b"", signed):
        with open(path, "wb") as f:
            f.write(exe)
        verified.append(run("osslsigncode", "verify", "-CAfile", t.cert, "-TSA-CAfile",
                            authority, "-time", later, "-in", path)[0] == 0)
    assert verified == [True, False]


def test_signing_release(t, signed, altered):
    """Released as the release workflow releases it: the signed file, once
    it is this build with a signature that holds its digest; tools/verify
    on that."""
    releaser = t.releaser
    status, output, files, _ = releaser.release(env=dict(ARCHVER_SIGNED_EXE=altered.signed))
    assert (status, files["archver.exe"]) == (0, signed), output
    assert_package(files, t.commit)
    assert_refused([(what, releaser.release(env=dict(ARCHVER_SIGNED_EXE=exe), older_zip=True))
                    for what, exe in [("signed exe with a changed code byte", altered.tampered),
                                      ("unsigned exe given as signed", altered.stripped),
                                      ("a certificate table of garbage given as signed",
                                       altered.garbage)]])
    assert_verify(t, [
        ("signed release", files, (0, ["built from these sources: commit " + t.commit])),
        ("a certificate table of garbage", dict(files, **{"archver.exe": open(
            altered.garbage, "rb").read()}),
         (1, ["tools/verify: archver.exe: no signature that holds the file's SHA-256 digest"]))])


@pytest.mark.parametrize("args", [[b"/o"], [b"/b"], [b"/w"], [b"/?"]], ids=repr)
def test_signing_leaves_the_answers(wine, altered, args):
    assert wine.run(altered.signed, args) == wine.run(BUILT["exe"], args)


@pytest.mark.parametrize("cert, key, url", [
    pytest.param("cert", "none.pem", None, id="missing key"),
    pytest.param("cert", "other", None, id="key of another certificate"),
    pytest.param("cert", "LICENSE", None, id="key that is no PEM"),
    pytest.param("cert", None, None, id="certificate without key"),
    pytest.param("cert", "key", "closed", id="timestamp server that does not answer")])
def test_signing_refused(t, cert, key, url):
    """An error, and no signed file."""
    # A port nothing listens on: the timestamp cannot be had.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        closed = "http://127.0.0.1:%d" % s.getsockname()[1]
    paths = dict(cert=t.cert, key=t.key, other=t.other, LICENSE=os.path.join(t.repo, "LICENSE"),
                 closed=closed)
    status, output, written = sign(t, paths[cert], paths.get(key, key and os.path.join(
        t.work, key)), paths.get(url))
    assert (status, "tools/sign: " in output, written) == (1, True, None), output


def assert_verify(t, rows):
    """tools/verify on each (what, the zip's files, or its bytes, (exit
    status, what it concludes), the environment and how to start it if
    more): with flags and a git configuration in the environment that would
    change the bytes, and a change to the checkout's README.md that is not
    committed, since the commit named is what counts. Rows this machine
    cannot run are said, once the others passed, as the test skipped."""
    uncommitted_change(t)
    got, wanted, not_run = {}, {}, []
    for what, files, want, *more in rows:
        more = dict(more[0] if more else {})
        start = more.pop("start", [])
        if start and os.geteuid() != 0:
            not_run.append("%s: root alone starts it as another user" % what)
            continue
        if t.no_sandbox and any("built from these sources" in line for line in want[1]):
            not_run.append("%s: no sandbox here: %s" % (what, t.no_sandbox))
            continue
        package = os.path.join(t.work, "verify.zip")
        if isinstance(files, bytes):
            with open(package, "wb") as f:
                f.write(files)
        else:
            write_zip(package, files)
        os.chmod(package, 0o644)
        status, output = run(*start, os.path.join(t.repo, "tools", "verify"), package,
                             env=dict(t.hostile, **more))
        verdict = [line.replace(package, "ZIP").replace(t.cache, "CACHE")
                   for line in output.splitlines() if re.search(
                       "built from these sources|^tools/verify|^To check|^not using|^keeping no"
                       "|^running as", line)]
        # Started as root, it goes on as nobody.
        if os.geteuid() == 0 and not start:
            want = (want[0], ["running as nobody, not as root"] + want[1])
        # Nothing from the zip reaches the terminal unescaped, C1 controls
        # included; nothing the builds ran wrote outside their folders or
        # ran from PATH.
        controls = re.findall(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", output)
        escaped = [path for path in escapes(t.repo) + [os.path.join(t.planted, "ran")]
                   if os.path.exists(path)]
        got[what], wanted[what] = (status, verdict, controls, escaped), want + ([], [])
    run("git", "-C", t.repo, "checkout", "README.md")
    assert got == wanted
    if not_run:
        pytest.skip("not run here, the other rows passed: " + "; ".join(not_run))


def assert_refused(results):
    """Each (what is wrong, tools/release's result): an error, and no zip
    left behind, not even an older one of the same version."""
    assert {what: (status != 0, "tools/release: " in output, held)
            for what, (status, output, _, held) in results} == \
        {what: (True, True, {}) for what, _ in results}
