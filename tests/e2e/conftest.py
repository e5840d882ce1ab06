"""What the end-to-end tests share: what a preset built (--build), the
cmd.exe they run under (--cmd) and a Wine prefix of its bitness, the repository the
release tests release and what they release and sign (helpers in
releasing.py), and a last line counting what the harness ran again."""
import glob
import importlib.util
import os
import py_compile
import shutil
import socket
import subprocess
import tempfile
import types

import confine
import pytest
import winehost

# pytest explains the assertions in releasing.py too.
pytest.register_assert_rewrite("releasing")
from releasing import (AS_NOBODY, FLAGS, NOBODY, PLANTED, Releaser, keyring, listening,
                       make_repository, no_terminal, run, sign, write)

# The cmd.exe a run takes: that of 64-bit Windows, the 32-bit one there, or
# that of 32-bit Windows; the prefix of its bitness runs every test.
HOSTS = ["win64", "wow64", "win32"]


def pytest_addoption(parser):
    parser.addoption("--build", metavar="DIR", required=True,
                     help="a preset's build folder, such as build/windows-x86: what it built")
    parser.addoption("--cmd", choices=HOSTS, default="win64",
                     help="the cmd.exe to run under, and its prefix: %(default)s by default")


def pytest_collection_modifyitems(config, items):
    """A test marked with hosts runs under those cmd.exe alone."""
    cmd = config.getoption("cmd")

    def elsewhere(item):
        hosts = [mark.name for mark in item.iter_markers() if mark.name in HOSTS]
        return hosts and cmd not in hosts
    dropped = [item for item in items if elsewhere(item)]
    if dropped:
        config.hook.pytest_deselected(items=dropped)
        items[:] = [item for item in items if not elsewhere(item)]


@pytest.fixture(scope="session")
def built(pytestconfig):
    """What --build built, by name (built.txt, tests/e2e/CMakeLists.txt),
    the cmd.exe and the bitness of its prefix."""
    with open(os.path.join(pytestconfig.getoption("build"), "tests", "e2e", "built.txt")) as f:
        values = dict(line.rstrip("\n").split("=", 1) for line in f)
    cmd = pytestconfig.getoption("cmd")
    return dict(values, cmd=cmd, arch=cmd.replace("wow64", "win64"))


@pytest.fixture(scope="session")
def wine(built):
    """A copy of the booted prefix, booted first where no run has."""
    winehost.keep_booted("boot", built["wine_dir"], built["arch"])
    with winehost.Prefix("e2e", built["arch"], built["launch"], built["wine_dir"]) as prefix:
        yield prefix


def pytest_terminal_summary(terminalreporter):
    reruns = winehost.reruns
    terminalreporter.write_line("%d run again%s" % (len(reruns), "".join(
        "\n    " + what for what in reruns)))


@pytest.fixture(scope="session")
def terminal():
    """A pseudo-terminal can be opened here; the test is skipped otherwise."""
    missing = no_terminal()
    if missing:
        pytest.skip(missing)


@pytest.fixture(scope="session")
def work():
    """The release tests' folders: work (the checkout, keys, zips, readable
    by the verifying user), the verifying user's cache folder and home
    (nobody's where the tests run as root), the home outside /tmp, which
    the sandbox hides; planted, where planted programs leave a file; and
    where no build may write: the checkout, the home, the cache folder and
    a folder anyone may write."""
    with tempfile.TemporaryDirectory() as path, \
            tempfile.TemporaryDirectory(dir="/var/tmp") as outside:
        os.chmod(path, 0o755)
        os.chmod(outside, 0o755)
        cache, home = os.path.join(path, "cache"), os.path.join(outside, "home")
        os.mkdir(cache, 0o700)
        os.mkdir(home, 0o755)
        if os.geteuid() == 0:
            os.chown(cache, NOBODY, NOBODY)
            os.chown(home, NOBODY, NOBODY)
        repo, planted = os.path.join(path, "repo"), os.path.join(path, "planted")
        os.mkdir(planted)
        targets = [os.path.join(repo, "escaped"), os.path.join(home, "escaped"),
                   os.path.join(cache, "escaped"), os.path.join(outside, "open", "escaped")]
        os.mkdir(os.path.dirname(targets[-1]))
        os.chmod(os.path.dirname(targets[-1]), 0o777)
        yield types.SimpleNamespace(path=path, cache=cache, home=home, repo=repo,
                                    planted=planted, targets=targets)


@pytest.fixture(scope="session")
def listeners(work):
    """A Unix socket in the verifying user's home and a port on 127.0.0.1,
    listening: the socket's path, the port and the addresses reached."""
    reached = []
    agent = os.path.join(work.home, "agent.sock")
    servers = [listening(socket.AF_UNIX, agent, reached),
               listening(socket.AF_INET, ("127.0.0.1", 0), reached)]
    os.chmod(agent, 0o777)
    yield types.SimpleNamespace(agent=agent, port=servers[1].getsockname()[1], reached=reached)
    for server in servers:
        server.close()


@pytest.fixture(scope="session")
def secret():
    """A secret in a session keyring of this process's own."""
    keyring(1, 1, None)  # KEYCTL_JOIN_SESSION_KEYRING, a new one
    keyring(0, b"user", b"archver-secret", b"secret", 6, -3)


@pytest.fixture(scope="session")
def repository(built, work, listeners):
    """The repository of this tree after the hostile commits: {name: commit}."""
    return make_repository(built["source_dir"], work.repo, (
        work.targets, listeners.agent, listeners.port, os.path.join(work.planted, "ran")))


@pytest.fixture(scope="session")
def keys(work):
    """A throwaway code-signing certificate and its key, and another key."""
    paths = [os.path.join(work.path, name) for name in ("cert.pem", "key.pem", "other.pem")]
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", paths[1],
        "-out", paths[0], "-days", "2", "-subj", "/CN=archver test signer",
        "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
    run("openssl", "genrsa", "-out", paths[2], "2048")
    return paths


@pytest.fixture(scope="session")
def hostile(work):
    """The caller's environment at its worst: flags, git configurations and
    attributes, the caller's own repository, programs first on PATH; each
    program planted and each smudge filter leave a file in planted/."""
    user_config = write(os.path.join(work.path, "gitconfig"), "[core]\n\tautocrlf = true\n")
    config = os.path.join(work.path, "config")
    os.makedirs(os.path.join(config, "git"))
    # The user's own configuration, where git looks for it.
    for path in (os.path.join(work.home, ".gitconfig"), os.path.join(config, "git", "config")):
        write(path, "[filter \"planted\"]\n\tsmudge = touch '%s/ran'; cat\n" % work.planted)
    write(os.path.join(config, "git", "attributes"), "*.md working-tree-encoding=UTF-16LE-BOM\n")
    for tool in PLANTED:
        write(os.path.join(work.planted, tool), "#!/bin/sh\ntouch '%s/ran'\nexit 1\n"
              % work.planted, 0o755)
    caller = os.path.join(work.path, "caller")
    run("git", "init", "-q", caller)
    run("git", "-C", caller, "commit", "-q", "--allow-empty", "-m", "the caller's")
    return dict(FLAGS, GIT_CONFIG_GLOBAL=user_config, GIT_CONFIG_SYSTEM=user_config,
                GIT_CONFIG_COUNT="2", GIT_CONFIG_KEY_0="core.autocrlf", GIT_CONFIG_VALUE_0="true",
                GIT_CONFIG_KEY_1="filter.planted.smudge",
                GIT_CONFIG_VALUE_1="touch '%s/ran'; cat" % work.planted,
                GIT_DIR=os.path.join(caller, ".git"), XDG_CACHE_HOME=work.cache,
                XDG_CONFIG_HOME=config, HOME=work.home, ARCHVER_PLANTED="1",
                ARCHVER_SIGN_PIN="1234", PATH=work.planted + os.pathsep + os.environ["PATH"])


@pytest.fixture(scope="session")
def no_sandbox():
    """Why bubblewrap cannot make a sandbox here as the verifying user, or
    "": asked apart from tools/verify's own probe, which the rows test."""
    if not os.path.exists(confine.BWRAP):
        return "no bubblewrap"
    probe = subprocess.run((AS_NOBODY if os.geteuid() == 0 else []) + [
        confine.BWRAP, "--unshare-all", "--ro-bind", "/", "/", "--proc", "/proc", "--dev", "/dev",
        "true"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return probe.returncode and probe.stdout.decode(errors="replace").strip()


@pytest.fixture(scope="session")
def t(built, work, listeners, secret, repository, keys, hostile, no_sandbox):
    """What the release tests take, in one namespace."""
    version = built["version"]
    with open(built["exe"], "rb") as f:
        exe = f.read()
    return types.SimpleNamespace(
        no_sandbox=no_sandbox, source=built["source_dir"], exe_path=built["exe"], built=exe,
        version=version, work=work.path, repo=work.repo, commits=repository,
        commit=run("git", "-C", work.repo, "rev-parse", "HEAD")[1].strip(),
        cert=keys[0], key=keys[1], other=keys[2], targets=work.targets,
        reached=listeners.reached, planted=work.planted, cache=work.cache, hostile=hostile,
        caller=os.path.join(work.path, "caller"),
        releaser=Releaser(work.repo, work.path, version),
        address="https://github.com/someone/archver/releases/download/v" + version)


@pytest.fixture(scope="session")
def unsigned(t):
    """The unsigned release, as Releaser.release returns it."""
    return t.releaser.release()


@pytest.fixture(scope="session")
def planted(t):
    """Untracked files in the checkout, removed when done: bytecode that
    Python would take for a tool's module unchecked, modules named as
    installed ones, and a header."""
    header = write(os.path.join(t.repo, "src", "windows.h"), "#error an untracked header\n")
    module = write(os.path.join(t.work, "planted.py"), "raise SystemExit('planted module ran')\n")
    # Bytecode beside every module of the tools, as Python would write it.
    cached = [importlib.util.cache_from_source(path)
              for path in glob.glob(os.path.join(t.repo, "tools", "*.py"))]
    for path in cached:
        py_compile.compile(module, path, doraise=True,
                           invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)
    shadows = [os.path.join(t.repo, "tools", name) for name in ("yaml.py", "tempfile.py")]
    for path in shadows:
        shutil.copy(module, path)
    yield
    for path in [header] + cached + shadows:
        os.remove(path)


@pytest.fixture(scope="session")
def signed(t):
    """The build signed by tools/sign with the key from a file."""
    status, output, signed_exe = sign(t, t.cert, t.key)
    assert status == 0 and signed_exe is not None, output
    return signed_exe
