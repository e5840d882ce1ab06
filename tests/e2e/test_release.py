"""tools/release and tools/verify, run in a git repository made from this
tree: the zip, its sums and the manifests for a release address, unsigned
and signed with a throwaway code-signing certificate; the signed exe
verifies with a SHA-256 digest, answers as the unsigned one does, strips
back to it and is the same from run to run; tools/verify accepts both and
finds a changed byte or BUILDINFO; bad input fails, leaving no zip.

usage: test_release.py SOURCE_DIR ARCHVER_EXE VERSION win64 LAUNCH_EXE WINE_DIR
"""
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zipfile

import pefile
import yaml

from checks import check, finish
from winehost import Prefix

FILES = ["BUILDINFO", "HACKING.md", "LICENSE", "README.md", "SHA256SUMS", "archver.exe",
         "crosscheck.cmd"]
RELEASE_VARIABLES = ("ARCHVER_SIGN_CERT", "ARCHVER_SIGN_KEY", "ARCHVER_SIGN_TIMESTAMP_URL",
                     "ARCHVER_RELEASE_URL")
MANIFESTS = ["archver.archver.installer.yaml", "archver.archver.locale.en-US.yaml",
             "archver.archver.yaml", "archver.json"]
GIT_ENV = dict(GIT_AUTHOR_NAME="t", GIT_AUTHOR_EMAIL="t@example.org", GIT_COMMITTER_NAME="t",
               GIT_COMMITTER_EMAIL="t@example.org", GIT_AUTHOR_DATE="2026-01-02T03:04:05Z",
               GIT_COMMITTER_DATE="2026-01-02T03:04:05Z")


def run(*args, env=None):
    """(exit status, output as text)"""
    done = subprocess.run(list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=dict(os.environ, **GIT_ENV, **(env or {})))
    return done.returncode, done.stdout.decode(errors="replace")


def make_repository(source, repo):
    """A git repository of this tree with two commits: the first of another
    version, which builds another archver.exe, then this tree. Returns the
    first commit."""
    # What .gitignore names stays out of the commits.
    shutil.copytree(source, repo, ignore=shutil.ignore_patterns(".git", "build", "node_modules"))
    cmake_lists = os.path.join(repo, "CMakeLists.txt")
    with open(cmake_lists) as f:
        text = f.read()
    with open(cmake_lists, "w") as f:
        f.write(re.sub(r"VERSION \d+\.\d+\.\d+", "VERSION 0.0.1", text, count=1))
    for args in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "other"]):
        run("git", "-C", repo, *args)
    first = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
    with open(cmake_lists, "w") as f:
        f.write(text)
    run("git", "-C", repo, "commit", "-qam", "this tree")
    return first


def read_zip(path):
    """{name: bytes} of the zip's files and "zip" itself, or None"""
    if not zipfile.is_zipfile(path):
        return None
    with zipfile.ZipFile(path) as z:
        files = {name: z.read(name) for name in z.namelist()}
    with open(path, "rb") as f:
        files["zip"] = f.read()
    return files


def write_zip(path, files, sums=True):
    """files as a zip again, with SHA256SUMS made to match them unless told."""
    if sums:
        files = dict(files, SHA256SUMS="".join(
            "%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
            for name, data in files.items() if name not in ("zip", "SHA256SUMS")).encode())
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            if name != "zip":
                z.writestr(name, data)


class Releaser:
    """Runs the repository's tools/release into an output folder of its own
    each time, one that already holds a zip of this version when asked."""

    def __init__(self, repo, work, version):
        self.repo, self.work = repo, work
        self.name = "archver-%s-win32.zip" % version
        self.count = 0

    def release(self, cert=None, key=None, url=None, release_url=None, older_zip=False):
        """(exit status, output, files of the zip or None, {name: bytes} of
        the other files the folder holds)"""
        self.count += 1
        out = os.path.join(self.work, "out%d" % self.count)
        os.makedirs(out)
        if older_zip:
            with open(os.path.join(out, self.name), "wb") as f:
                f.write(b"an older release")
        env = {k: v for k, v in os.environ.items() if k not in RELEASE_VARIABLES}
        env.update({k: v for k, v in zip(RELEASE_VARIABLES, (cert, key, url, release_url))
                    if v is not None})
        done = subprocess.run([os.path.join(self.repo, "tools", "release"), out], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        held = {name: open(os.path.join(out, name), "rb").read() for name in os.listdir(out)}
        return done.returncode, done.stdout.decode(), read_zip(os.path.join(out, self.name)), held


def check_package(what, files, commit):
    check(what + " files", sorted(n for n in files if n != "zip"), FILES)
    sums = "".join("%s  %s\n" % (hashlib.sha256(files.get(name, b"")).hexdigest(), name)
                   for name in ("archver.exe", "crosscheck.cmd", "README.md", "HACKING.md",
                                "LICENSE", "BUILDINFO"))
    check(what + " SHA256SUMS", files.get("SHA256SUMS", b"").decode(), sums)
    lines = files.get("BUILDINFO", b"").decode().splitlines()
    check(what + " BUILDINFO", (lines[:1], [line.split(" ")[0] for line in lines]),
          (["commit " + commit], ["commit", "compiler", "binutils", "runtime", "debian"]))


def main():
    source, exe_path, version, arch, launcher, wine_dir = sys.argv[1:7]
    with open(exe_path, "rb") as f:
        built = f.read()
    with tempfile.TemporaryDirectory() as work:
        repo = os.path.join(work, "repo")
        other_commit = make_repository(source, repo)
        commit = run("git", "-C", repo, "rev-parse", "HEAD")[1].strip()
        cert, key, other = (os.path.join(work, n) for n in ("cert.pem", "key.pem", "other.pem"))
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
            "-out", cert, "-days", "2", "-subj", "/CN=archver test signer",
            "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        run("openssl", "genrsa", "-out", other, "2048")
        releaser = Releaser(repo, work, version)

        # The testing-off build of the release is the very file the tests ran.
        status, output, unsigned, held = releaser.release()
        check("no manifests without an address", sorted(held), [releaser.name])
        check("unsigned release", (status, "unsigned" in output, unsigned is not None),
              (0, True, True))
        unsigned = unsigned or {}
        check_package("unsigned", unsigned, commit)
        check("unsigned archver.exe is the built file", unsigned.get("archver.exe") == built, True)
        # It looks for no test tool, and warnings are not errors.
        with open(os.path.join(repo, "build", "release-x86", "CMakeCache.txt")) as f:
            check("testing-off build's settings",
                  [line.strip() for line in f if line.startswith("ARCHVER_")],
                  ["ARCHVER_WERROR:BOOL=OFF"])

        # The manifests name the release's address and the zip's hash.
        address = "https://github.com/someone/archver/releases/download/v" + version
        status, output, signed, held = releaser.release(cert, key, release_url=address)
        check("signed release", (status, signed is not None), (0, True))
        signed = signed or {}
        signed_exe = signed.get("archver.exe") or built  # unsigned, what follows fails
        check_package("signed", signed, commit)
        check("manifests", sorted(held), sorted(MANIFESTS + [releaser.name]))
        winget = [yaml.safe_load(held.get(name, b"{}")) for name in MANIFESTS[:3]]
        scoop = json.loads(held.get(MANIFESTS[3], b"{}"))
        zip_url = address + "/" + releaser.name
        installer = (winget[0].get("Installers") or [{}])[0]
        check("manifests' version, address and hash",
              ([m.get("PackageVersion") for m in winget] + [scoop.get("version")],
               [installer.get("InstallerUrl"), scoop.get("url")],
               [installer.get("InstallerSha256", "").lower(), scoop.get("hash")]),
              ([version] * 4, [zip_url] * 2,
               [hashlib.sha256(signed.get("zip", b"")).hexdigest()] * 2))
        print("manifests: %s %s" % (zip_url, scoop.get("hash")))
        # Times taken from the clock would differ a second or more later.
        time.sleep(2)
        _, _, again, _ = releaser.release(cert, key)
        check("two signed releases are the same zip", (again or {}).get("zip"),
              signed.get("zip", "no first zip"))

        path, stripped, tampered = (os.path.join(work, n + ".exe")
                                    for n in ("signed", "stripped", "tampered"))
        with open(path, "wb") as f:
            f.write(signed_exe)
        status, output = run("osslsigncode", "verify", "-CAfile", cert, "-in", path)
        check("signed exe verifies with a SHA-256 digest",
              (status, re.findall(r"Message digest algorithm\s*: (\w+)", output)[:1]),
              (0, ["SHA256"]))
        status, _ = run("osslsigncode", "remove-signature", "-in", path, "-out", stripped)
        check("stripped exe is the unsigned build",
              status == 0 and open(stripped, "rb").read() == built, True)
        code = pefile.PE(data=signed_exe).sections[0].PointerToRawData + 16
        with open(tampered, "wb") as f:
            f.write(signed_exe[:code] + bytes([signed_exe[code] ^ 1]) + signed_exe[code + 1:])
        check("one changed code byte fails verification",
              run("osslsigncode", "verify", "-CAfile", cert, "-in", tampered)[0] != 0, True)

        with Prefix("release", arch, launcher, wine_dir) as wine:
            for args in ([b"/o"], [b"/b"], [b"/w"], [b"/?"]):
                check("signed exe %r" % args, wine.run(path, args), wine.run(exe_path, args))

        # The changed file also names another compiler, which may be why.
        exe = unsigned.get("archver.exe", b"\0")
        changed = dict(unsigned, **{"archver.exe": exe[:-1] + bytes([exe[-1] ^ 1]),
                                    "BUILDINFO": re.sub(rb"(?m)^compiler .*$", b"compiler gcc 0.0",
                                                        unsigned.get("BUILDINFO", b""))})
        renamed = dict(unsigned, BUILDINFO=unsigned.get("BUILDINFO", b"").replace(
            commit.encode(), other_commit.encode()))
        # (what, the zip's files, SHA256SUMS made to match them) -> exit status
        # and what tools/verify concludes: with flags in the environment that
        # would change the bytes, and a change to the checkout's README.md
        # that is not committed, since the commit named is what counts.
        with open(os.path.join(repo, "README.md"), "a") as f:
            f.write("a change not committed\n")
        flags = dict(CXXFLAGS="-fno-inline", CPPFLAGS="-DNDEBUG", LDFLAGS="-Wl,--no-gc-sections")
        for what, files, sums, want in [
                ("SHA256SUMS not matching", changed, False,
                 (1, ["tools/verify: SHA256SUMS does not match archver.exe"])),
                ("SHA256SUMS not matching BUILDINFO", dict(unsigned, BUILDINFO=b"commit 0\n"),
                 False, (1, ["tools/verify: SHA256SUMS does not match BUILDINFO"])),
                ("unsigned release", unsigned, True,
                 (0, ["built from these sources: commit " + commit])),
                ("signed release", signed, True,
                 (0, ["built from these sources: commit " + commit])),
                ("a changed byte in archver.exe", changed, True,
                 (1, ["NOT built from these sources: commit %s gives another archver.exe" % commit,
                      "this may be why: BUILDINFO's compiler is gcc 0.0"])),
                ("BUILDINFO naming a git option", dict(unsigned, BUILDINFO=b"commit --orphan=x\n"),
                 True, (1, ["tools/verify: BUILDINFO names no commit"])),
                ("BUILDINFO naming another commit", renamed, True,
                 (1, ["NOT built from these sources: commit %s gives another archver.exe"
                      % other_commit]))]:
            package = os.path.join(work, "verify.zip")
            write_zip(package, files, sums)
            status, output = run(os.path.join(repo, "tools", "verify"), package, env=flags)
            verdict = [line.split(", this machine's")[0].strip() for line in output.splitlines()
                       if re.search("built from these sources|may be why|^tools/verify", line)]
            check("tools/verify, " + what, (status, verdict), want)
            print("tools/verify,", what, "->", status, verdict)

        # A port nothing listens on: the timestamp cannot be had.
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = "http://127.0.0.1:%d" % s.getsockname()[1]
        dirty = releaser.release(older_zip=True)
        run("git", "-C", repo, "checkout", "README.md")
        # (what is wrong, certificate, key, timestamp URL, release address):
        # an error, and no zip left behind, not even an older one of the
        # same version
        for what, result in [("uncommitted change", dirty)] + [
                (what, releaser.release(cert_file, key_file, url, release_url, older_zip=True))
                for what, cert_file, key_file, url, release_url in [
                    ("missing key", cert, os.path.join(work, "none.pem"), None, None),
                    ("key of another certificate", cert, other, None, None),
                    ("key that is no PEM", cert, os.path.join(repo, "LICENSE"), None, None),
                    ("certificate without key", cert, None, None, None),
                    ("timestamp server that does not answer", cert, key, closed, None),
                    ("release address over http", None, None, None, address.replace("s:", ":")),
                    ("release address on another host", None, None, None,
                     address.replace("github.com", "github.com.example.org")),
                    ("release address with a blank", None, None, None, address + " x"),
                    ("release address with a quote", None, None, None, address + '"'),
                    ("release address with a control character", None, None, None, address + "\n"),
                    ("release tag without the version", None, None, None,
                     address.replace("v" + version, "latest"))]]:
            status, output, _, held = result
            check(what, (status != 0, "tools/release: " in output, held), (True, True, {}))
            print(what, "->", output.strip().splitlines()[-1] if output.strip() else "")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
