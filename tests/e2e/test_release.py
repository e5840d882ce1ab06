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
import io
import json
import os
import py_compile
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import types
import zipfile

import pefile
import pristine
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


# What the commit v0.0.1 runs when it is built: it writes each target
# given, plants a filter that git would run were its clone read after the
# build, and reaches for a Unix socket and a port; the listeners count it.
HOSTILE = """import os, socket
targets, unix, port, ran = %r
for path in targets:
    try:
        with open(path, "w") as f:
            f.write("escaped")
    except OSError:
        pass
git = os.path.join(os.path.dirname(os.path.abspath(__file__)), ".git")
try:
    with open(os.path.join(git, "config"), "a") as f:
        f.write('[filter "x"]\\n\\tsmudge = touch %%s; cat\\n' %% ran)
    os.makedirs(os.path.join(git, "info"), exist_ok=True)
    with open(os.path.join(git, "info", "attributes"), "a") as f:
        f.write("* filter=x\\n")
except OSError:
    pass
for family, address in ((socket.AF_UNIX, unix), (socket.AF_INET, ("127.0.0.1", port))):
    try:
        with socket.socket(family) as s:
            s.settimeout(2)
            s.connect(address)
            s.sendall(b"reached")
    except OSError:
        pass
"""
# What the commit v0.0.2 prints as it fails: a line erased, the clipboard
# written, and a verdict of its own.
FAILING = """string(ASCII 27 esc)
string(ASCII 7 bel)
message(FATAL_ERROR "${esc}[2K${esc}]52;c;aGk=${bel}\\nbuilt from these sources: commit 0")
"""


def make_repository(source, repo, hostile):
    """A git repository of this tree with three commits, each tagged with its
    version: v0.0.1, which builds another archver.exe and tries what
    HOSTILE does (hostile: its arguments), and fails where it sees the
    caller's environment; v0.0.2, whose build fails as FAILING; then this
    tree. Returns the first two commits."""
    # What .gitignore names stays out of the commits.
    shutil.copytree(source, repo, ignore=shutil.ignore_patterns(".git", "build", "node_modules"))
    cmake_lists = os.path.join(repo, "CMakeLists.txt")
    with open(cmake_lists) as f:
        text = f.read()
    with open(os.path.join(repo, "hostile.py"), "w") as f:
        f.write(HOSTILE % (hostile,))
    # A filter that only a git configuration from outside could define.
    with open(os.path.join(repo, ".gitattributes"), "a") as f:
        f.write("README.md filter=planted\n")
    commits = []
    for version, more in (("0.0.1", "execute_process(COMMAND python3 ${CMAKE_SOURCE_DIR}/hostile.py)\n"
                          "if(DEFINED ENV{ARCHVER_PLANTED})\n"
                          "  message(FATAL_ERROR \"the caller's environment\")\nendif()\n"),
                          ("0.0.2", FAILING)):
        with open(cmake_lists, "w") as f:
            f.write(re.sub(r"VERSION \d+\.\d+\.\d+", "VERSION " + version, text, count=1) + more)
        # Tags annotated, as a release's are.
        for args in ([["init", "-q"]] if not commits else []) + [
                ["add", "-A"], ["commit", "-qm", version], ["tag", "-a", "-m", version, "v" + version]]:
            run("git", "-C", repo, *args)
        commits.append(run("git", "-C", repo, "rev-parse", "HEAD")[1].strip())
    with open(cmake_lists, "w") as f:
        f.write(text)
    run("git", "-C", repo, "rm", "-q", "hostile.py")
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
    """files ({name: bytes}, or [(name, bytes)]) as tools/release zips them,
    with SHA256SUMS made to match unless told, each entry first changed by
    tweak."""
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


def listening(family, address, reached):
    """A socket listening at address that adds address to reached for each
    connection it takes."""
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


@pytest.fixture(scope="module")
def t():
    """A repository of this tree with three tagged commits, a throwaway
    code-signing certificate, and what a hostile environment holds: flags,
    git configurations and attributes, a repository, programs first on PATH,
    a variable, and a Unix socket in the home of the user verifying and a
    port on 127.0.0.1, each listening."""
    with open(BUILT["exe"], "rb") as f:
        built = f.read()
    version = BUILT["version"]
    with tempfile.TemporaryDirectory() as work, \
            tempfile.TemporaryDirectory(dir="/var/tmp") as outside:
        # The verifying user, nobody where the tests run as root, reads the
        # checkout and keeps its state in a cache folder of its own.
        os.chmod(work, 0o755)
        os.chmod(outside, 0o755)
        # Its home, with the socket, outside /tmp, which the sandbox's own
        # /tmp would hide.
        cache, home = os.path.join(work, "cache"), os.path.join(outside, "home")
        os.mkdir(cache, 0o700)
        os.mkdir(home, 0o755)
        # Where the commit's build must write nothing: the checkout, the
        # home and cache folder of the user verifying, a folder anyone may
        # write and one that group root alone may write.
        repo = os.path.join(work, "repo")
        targets = [os.path.join(repo, "escaped"), os.path.join(home, "escaped"),
                   os.path.join(cache, "escaped"), os.path.join(outside, "open", "escaped")]
        os.mkdir(os.path.dirname(targets[-1]))
        os.chmod(os.path.dirname(targets[-1]), 0o777)
        if os.geteuid() == 0:
            os.chown(cache, NOBODY, NOBODY)
            os.chown(home, NOBODY, NOBODY)
            targets.append(os.path.join(outside, "group", "escaped"))
            os.mkdir(os.path.dirname(targets[-1]), 0o770)
        reached = []
        agent = os.path.join(home, "agent.sock")
        servers = [listening(socket.AF_UNIX, agent, reached),
                   listening(socket.AF_INET, ("127.0.0.1", 0), reached)]
        os.chmod(agent, 0o777)
        planted = os.path.join(work, "planted")
        os.mkdir(planted)
        commits = make_repository(BUILT["source_dir"], repo, (
            targets, agent, servers[1].getsockname()[1], os.path.join(planted, "ran")))
        commit = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
        cert, key, other = (os.path.join(work, n) for n in ("cert.pem", "key.pem", "other.pem"))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", cert, "-days", "2", "-subj", "/CN=archver test signer",
            "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        run("openssl", "genrsa", "-out", other, "2048")
        # Each program planted and the smudge filter leave a file in planted/
        # where they run.
        user_config = os.path.join(work, "gitconfig")
        with open(user_config, "w") as f:
            f.write("[core]\n\tautocrlf = true\n")
        config = os.path.join(work, "config")
        os.makedirs(os.path.join(config, "git"))
        with open(os.path.join(config, "git", "attributes"), "w") as f:
            f.write("*.md working-tree-encoding=UTF-16LE-BOM\n")
        for tool in PLANTED:
            with open(os.path.join(planted, tool), "w") as f:
                f.write("#!/bin/sh\ntouch '%s/ran'\nexit 1\n" % planted)
            os.chmod(os.path.join(planted, tool), 0o755)
        caller = os.path.join(work, "caller")
        run("git", "init", "-q", caller)
        run("git", "-C", caller, "commit", "-q", "--allow-empty", "-m", "the caller's")
        # Whether bubblewrap can make a sandbox here, as the user verifying,
        # asked apart from tools/verify's own, which the rows test.
        probe = subprocess.run((AS_NOBODY if os.geteuid() == 0 else []) + [
            pristine.BWRAP, "--unshare-all", "--ro-bind", "/", "/", "true"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT) \
            if os.path.exists(pristine.BWRAP) else types.SimpleNamespace(
                returncode=1, stdout=b"no bubblewrap")
        yield types.SimpleNamespace(
            no_sandbox=probe.returncode and probe.stdout.decode(errors="replace").strip(),
            source=BUILT["source_dir"], exe_path=BUILT["exe"], built=built, version=version,
            work=work, repo=repo, commit=commit, other_commit=commits[0], failing=commits[1],
            cert=cert, key=key, other=other, targets=targets, reached=reached,
            hostile=dict(FLAGS, GIT_CONFIG_GLOBAL=user_config, GIT_CONFIG_SYSTEM=user_config,
                         GIT_CONFIG_COUNT="2", GIT_CONFIG_KEY_0="core.autocrlf",
                         GIT_CONFIG_VALUE_0="true", GIT_CONFIG_KEY_1="filter.planted.smudge",
                         GIT_CONFIG_VALUE_1="touch '%s/ran'; cat" % planted,
                         GIT_DIR=os.path.join(caller, ".git"), XDG_CACHE_HOME=cache,
                         XDG_CONFIG_HOME=config, HOME=home, ARCHVER_PLANTED="1",
                         PATH=planted + os.pathsep + os.environ["PATH"]),
            planted=planted, caller=caller, cache=cache,
            releaser=Releaser(repo, work, version),
            address="https://github.com/someone/archver/releases/download/v" + version)
        for server in servers:
            server.close()


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


def hidden_entry(data, name, content):
    """data with a local entry of name before its central directory, which
    does not list it."""
    end = data.rfind(b"PK\x05\x06")
    start = struct.unpack_from("<I", data, end + 16)[0]
    local = pristine.zip_bytes([(name, content)], 0x60000000)
    local = local[:local.find(b"PK\x01\x02")]
    return (data[:start] + local + data[start:end + 16] + struct.pack("<I", start + len(local))
            + data[end + 20:])


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]


def test_verify(t, unsigned, planted):
    """tools/verify on the unsigned release and on zips made from it: every
    kind of forgery, each remade with SHA256SUMS to match, and the commits
    that try to reach out of their build."""
    unsigned = unsigned[2]
    commit, version = t.commit, t.version
    when = int(run("git", "-C", t.repo, "log", "-1", "--format=%ct")[1])
    exe = unsigned["archver.exe"]
    info = dict(line.split(" ", 1) for line in unsigned["BUILDINFO"].decode().splitlines())

    def forged(tweak=None, sums=True, first=(), **files):
        return zipped(list(first) + list(dict(unsigned, **files).items()), when, tweak, sums)

    def setting(name, value):
        return lambda entry: setattr(entry, name, value(entry) if callable(value) else value)

    def buildinfo(line, with_line):
        return re.sub(rb"(?m)^%s .*$" % line.encode(), with_line, unsigned["BUILDINFO"])

    def not_built(files, of=commit):
        return 1, ["NOT built from these sources: commit %s gives another %s" % (of, files)]
    same_files = not_built("zip of the same files")
    # Another toolchain is built where BUILDINFO's Debian release is made.
    other = forged(BUILDINFO=buildinfo("compiler", rb"compiler g++-mingw-w64-i686-win32 0.0"))
    then = "then, as an ordinary user: REPO/tools/verify ZIP"
    no_mmdebstrap = ["tools/verify: cannot check this zip here: mmdebstrap, which makes a root "
                     "of Debian %s, is not installed" % info.get("debian"),
                     "To check it, as root: apt-get install mmdebstrap uidmap", then]
    # This tree once more, in a commit no branch or tag reaches.
    untagged = run("git", "-C", t.repo, "commit-tree", "HEAD^{tree}", "-p", "HEAD", "-m",
                   "deleted")[1].strip()
    link = zipfile.ZipInfo("docs/recipes.md")
    # A tar of a root in a cache folder of the verifying user's, put there
    # by root.
    planted_cache = os.path.join(t.work, "planted-cache")
    kept = os.path.join(planted_cache, "archver-verify")
    if os.geteuid() == 0:
        os.makedirs(kept, 0o700)
        for path in (planted_cache, kept):
            os.chown(path, NOBODY, NOBODY)
        open(os.path.join(kept, "%s.tar" % info.get("debian")), "w").close()
    linked = os.path.join(t.work, "linked")
    os.symlink(t.cache, linked)
    built = (0, ["built from these sources: commit " + commit])
    keeping = "keeping nothing: the cache folder's archver-verify is not this user's alone"
    sudo = dict(start=[], SUDO_UID=str(NOBODY))
    assert_verify(t, [
        ("unsigned release", unsigned["zip"], built),
        ("unsigned release, started by sudo, the group from the password database",
         unsigned["zip"], (0, ["running as nobody (group %d), not as root" % NOBODY, keeping]
                           + built[1]), sudo),
        ("started as root, not by sudo", unsigned["zip"], (3, [
            "tools/verify: cannot check this zip here: it builds a commit, which it never does "
            "as root", "To check it, as an ordinary user: REPO/tools/verify ZIP"]), dict(start=[])),
        ("a changed byte in archver.exe", forged(**{"archver.exe": flipped(exe, len(exe) - 1)}),
         not_built("archver.exe, SHA256SUMS")),
        ("a byte of README.md changed, its CRC left", flipped(unsigned["zip"], unsigned["zip"].find(
            unsigned["README.md"]) + 9), not_built("README.md")),
        ("bytes before the first entry", b"MZ" * 8 + unsigned["zip"], same_files),
        ("bytes after the end record", unsigned["zip"] + b"PK", same_files),
        ("a zip comment", unsigned["zip"][:-2] + b"\x04\x00note", same_files),
        ("a local entry the central directory does not list",
         hidden_entry(unsigned["zip"], "crosscheck.cmd", b"@echo hidden"), same_files),
        ("mode 0666, which Info-ZIP extracts world-writable",
         forged(setting("external_attr", 0o100666 << 16)), same_files),
        ("the DOS directory bit, which bsdtar extracts as a folder",
         forged(setting("external_attr", lambda e: e.external_attr | 0x10)), same_files),
        ("version needed 6.3, which unzip skips", forged(setting("extract_version", 63)),
         same_files),
        ("dated 2107", forged(setting("date_time", (2107, 1, 1, 0, 0, 0))), same_files),
        ("deflated", forged(setting("compress_type", zipfile.ZIP_DEFLATED)), same_files),
        ("a document as a link", forged(lambda e: e.filename == link.filename and setattr(
            e, "external_attr", 0o120777 << 16)), same_files),
        ("an entry named with a C1 control", forged(**{"\x9b2K.txt": b""}),
         not_built("SHA256SUMS, \\x9b2K.txt")),
        ("a DLL beside archver.exe", forged(**{"version.dll": b"MZ"}),
         not_built("SHA256SUMS, version.dll")),
        ("an entry that climbs out of its folder", forged(**{"../run.cmd": b"@echo"}),
         not_built("SHA256SUMS, ../run.cmd")),
        ("archver.exe twice, a forged copy first", forged(first=[("archver.exe", b"MZ forged")]),
         not_built("archver.exe, SHA256SUMS")),
        ("archver.exe larger than a release's file", forged(**{"archver.exe": bytes(
            (4 << 20) + 1)}), not_built("archver.exe, SHA256SUMS")),
        ("BUILDINFO with a second commit line and free text", forged(
            BUILDINFO=unsigned["BUILDINFO"] + b"commit %s\nsigned by the maintainer\n"
            % commit.encode()), not_built("BUILDINFO, SHA256SUMS")),
        ("SHA256SUMS with CR LF, in another order", forged(sums=False, SHA256SUMS=b"".join(
            sorted(unsigned["SHA256SUMS"].replace(b"\n", b"\r\n").splitlines(True)))),
         not_built("SHA256SUMS")),
        ("SHA256SUMS listing a file the zip does not hold", forged(
            sums=False, SHA256SUMS=unsigned["SHA256SUMS"] + b"%s  version.dll\n" % (
                b"0" * 64)), not_built("SHA256SUMS")),
        ("an older release renamed as this version's", forged(BUILDINFO=unsigned[
            "BUILDINFO"].replace(commit.encode(), t.other_commit.encode())), (1, [
                "tools/verify: the zip's name says version %s, its commit is of v0.0.1"
                % version]), dict(name="archver-%s-win32.zip" % version)),
        ("BUILDINFO naming a git option", forged(BUILDINFO=b"commit --orphan=x\n"),
         (1, ["tools/verify: BUILDINFO names no commit"])),
        ("BUILDINFO naming a commit on no tag, as of a deleted branch", forged(
            BUILDINFO=unsigned["BUILDINFO"].replace(commit.encode(), untagged.encode())),
         (1, ["tools/verify: commit %s is not the commit of tag v%s here (%s)"
              % (untagged, version, commit)])),
        # Its build tries to write outside its folder, to plant a git filter,
        # to reach a socket and a port, and fails where it sees the caller's
        # environment.
        ("BUILDINFO naming a commit whose build reaches out", forged(
            BUILDINFO=unsigned["BUILDINFO"].replace(commit.encode(), t.other_commit.encode())),
         not_built("archver.exe, SHA256SUMS", t.other_commit)),
        ("BUILDINFO naming a commit whose build fails with a verdict of its own", forged(
            BUILDINFO=unsigned["BUILDINFO"].replace(commit.encode(), t.failing.encode())),
         (1, ["tools/verify: cmake --preset failed:"])),
        ("another compiler, no mmdebstrap", other, (3, no_mmdebstrap), {"PATH": "/nonexistent"}),
        ("another compiler, a zip named to run a command where its advice is pasted", other,
         (3, no_mmdebstrap[:2] + [then.replace("ZIP", "'ZIP'")]),
         {"PATH": "/nonexistent", "name": "archver-%s-win32$(cd;id>PWNED).zip" % version}),
        # State kept by another user, or through a link, is not used.
        ("another compiler, the kept root planted by another user", other,
         (3, ["not using %s/%s.tar: not a plain file of this user's alone"
              % (kept, info.get("debian"))] + no_mmdebstrap),
         {"PATH": "/nonexistent", "XDG_CACHE_HOME": planted_cache, "root": True}),
        ("another compiler, the cache folder a link", other, (3, [keeping] + no_mmdebstrap),
         {"PATH": "/nonexistent", "XDG_CACHE_HOME": linked}),
        ("another compiler, a Debian release unknown here", forged(BUILDINFO=buildinfo(
            "compiler", rb"compiler g++-mingw-w64-i686-win32 0.0").replace(
                b"\ndebian ", b"\ndebian x\x1b[2K")),
         (3, ["tools/verify: cannot check this zip here: BUILDINFO names no Debian release "
              "this tool knows: x\\x1b[2K" + info.get("debian", ""),
              "To check it, as root: on the Debian release whose archive has them: apt-get "
              "install --no-install-recommends cmake make git g++-mingw-w64-i686-win32=0.0 "
              + " ".join(info.get(name, "").replace(" ", "=") for name in ("binutils", "runtime")),
              then])),
        ("a compiler that is no Debian version", forged(BUILDINFO=buildinfo(
            "compiler", b"compiler g++-mingw-w64-i686-win32 0.0\x1b[2K")),
         (1, ["tools/verify: BUILDINFO names no compiler version of g++-mingw-w64-i686-win32"])),
    ])


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
    code byte, with its certificate table (data directory 4) filled with
    what is no signature, and grown inside it."""
    paths = types.SimpleNamespace(**{n: os.path.join(t.work, n + ".exe") for n in (
        "signed", "stripped", "tampered", "garbage", "grown")})
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
    # 64 bytes inside the certificate structure, its lengths and the PE
    # checksum made to match.
    grown = bytearray(signed[:table + size] + bytes(64) + signed[table + size:])
    struct.pack_into("<I", grown, table, struct.unpack_from("<I", signed, table)[0] + 64)
    pe = pefile.PE(data=bytes(grown))
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size = size + 64
    pe = pefile.PE(data=bytes(pe.write()))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    with open(paths.grown, "wb") as f:
        f.write(pe.write())
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
    on that, and on the zip with a signature grown by bytes that no build
    gives, which still verifies."""
    releaser = t.releaser
    status, output, files, _ = releaser.release(env=dict(ARCHVER_SIGNED_EXE=altered.signed))
    assert (status, files["archver.exe"]) == (0, signed), output
    assert_package(files, t.commit)
    assert_refused([(what, releaser.release(env=dict(ARCHVER_SIGNED_EXE=exe), older_zip=True))
                    for what, exe in [("signed exe with a changed code byte", altered.tampered),
                                      ("unsigned exe given as signed", altered.stripped),
                                      ("a certificate table of garbage given as signed",
                                       altered.garbage)]])
    when = int(run("git", "-C", t.repo, "log", "-1", "--format=%ct")[1])
    grown = open(altered.grown, "rb").read()
    assert run("osslsigncode", "verify", "-CAfile", t.cert, "-in", altered.grown)[0] == 0
    assert_verify(t, [
        ("signed release", files["zip"], (0, ["built from these sources: commit " + t.commit])),
        ("a certificate table of garbage", zipped(dict(files, **{"archver.exe": open(
            altered.garbage, "rb").read()}), when), (1, [
                "NOT built from these sources: commit %s gives another archver.exe, SHA256SUMS"
                % t.commit])),
        ("64 bytes more inside the signature", zipped(dict(files, **{"archver.exe": grown}),
                                                       when), (1, [
            "NOT built from these sources: commit %s gives another archver.exe, SHA256SUMS"
            % t.commit]))])


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
    """tools/verify on each (what, the zip's bytes, (exit status, what it
    concludes), more: the environment, "start" to start it otherwise than
    as nobody where the tests run as root, "name" the zip's file name,
    "root" where root alone can plant what it needs): with the hostile
    environment and a change to the checkout's README.md that is not
    committed, since the commit named is what counts. Rows this machine
    cannot run are said, once the others passed, as the test skipped."""
    uncommitted_change(t)
    got, wanted, not_run = {}, {}, []
    for what, data, want, *more in rows:
        more = dict(more[0] if more else {})
        start, by_root = more.pop("start", AS_NOBODY), more.pop("root", False)
        if (start != AS_NOBODY or by_root) and os.geteuid() != 0:
            not_run.append("%s: root alone starts it so" % what)
            continue
        if t.no_sandbox and want[0] != 3 and ("built from" in want[1][-1] or "failed" in want[1][-1]):
            not_run.append("%s: no sandbox here: %s" % (what, t.no_sandbox))
            continue
        package = os.path.join(t.work, more.pop("name", "verify.zip"))
        with open(package, "wb") as f:
            f.write(data)
        os.chmod(package, 0o644)
        status, output = run(*(start if os.geteuid() == 0 else []),
                             os.path.join(t.repo, "tools", "verify"), package,
                             env=dict(t.hostile, **more))
        os.remove(package)
        verdict = [line.replace(package, "ZIP").replace(t.cache, "CACHE").replace(t.repo, "REPO")
                   for line in output.splitlines() if re.match(
                       "built from|NOT built|tools/verify|To check|then,|not using|keeping no"
                       "|running as", line)]
        # Nothing from the zip or the build reaches the terminal unescaped,
        # C1 controls included; nothing the builds ran wrote outside their
        # folders, reached a socket or ran from PATH.
        controls = re.findall(r"[\x00-\x09\x0b-\x1f\x7f-\x9f]", output)
        escaped = [path for path in t.targets + [os.path.join(t.planted, "ran")]
                   if os.path.exists(path)] + t.reached
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
