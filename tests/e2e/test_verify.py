"""tools/verify on the release of this tree, on every kind of zip made from
it and on the commits that try to reach out of their build: one table, a
test a row."""
import glob
import os
import pwd
import re
import struct
import tempfile
import time
import types
import zipfile

import debroot
import pristine
import pytest
from releasing import NOBODY, assert_verify, run, write, zipped


# A stand-in for mmdebstrap, as ARCHVER_STANDIN_MMDEBSTRAP tells it:
# "fail:TEXT" prints TEXT, {mirror} the mirror it is given, and fails;
# "root:STATUS" writes the tar file its argument before the mirror names, a
# root whose dpkg status is STATUS.
MMDEBSTRAP = """#!/usr/bin/python3
import io, os, sys, tarfile
kind, _, text = os.environ["ARCHVER_STANDIN_MMDEBSTRAP"].partition(":")
if kind == "fail":
    sys.exit(text.format(mirror=sys.argv[-1]))
with tarfile.open(sys.argv[-2], "w") as tar:
    for name in ("./usr", "./var/lib/dpkg", "./var/lib/dpkg/status"):
        entry = tarfile.TarInfo(name)
        entry.type, entry.mode = (tarfile.REGTYPE, 0o644) if "status" in name else (
            tarfile.DIRTYPE, 0o755)
        entry.size = len(text.encode()) if "status" in name else 0
        tar.addfile(entry, io.BytesIO(text.encode()) if "status" in name else None)
"""


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


@pytest.fixture(scope="module")
def v(t, unsigned):
    """What the rows make their zips and verdicts of, by name."""
    unsigned = unsigned[2]
    commit, version, commits = t.commit, t.version, t.commits
    when = int(run("git", "-C", t.repo, "log", "-1", "--format=%ct")[1])
    exe = unsigned["archver.exe"]
    info = dict(line.split(" ", 1) for line in unsigned["BUILDINFO"].decode().splitlines())

    def forged(tweak=None, sums=True, first=(), **files):
        return zipped(list(first) + list(dict(unsigned, **files).items()), when, tweak, sums)

    def setting(name, value):
        return lambda entry: setattr(entry, name, value(entry) if callable(value) else value)

    def buildinfo(line, with_line):
        return re.sub(rb"(?m)^%s .*$" % line.encode(), with_line, unsigned["BUILDINFO"])

    def naming(other_commit):
        return forged(BUILDINFO=unsigned["BUILDINFO"].replace(commit.encode(),
                                                              other_commit.encode()))

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
    linked = os.path.join(t.work, "linked")
    os.symlink(t.cache, linked)
    # Cache folders that are not the verifying user's alone, made by root:
    # under another user's folder, archver-verify owned by root or open to
    # all, and one of the user's with a root's tar file put there by root.
    caches = dict({what: os.path.join(t.work, what) for what in ("others", "rooted", "open", "tar")},
                  linked=linked)
    made = (("others", 12345, NOBODY, 0o700), ("rooted", NOBODY, 0, 0o700),
            ("open", NOBODY, NOBODY, 0o777), ("tar", NOBODY, NOBODY, 0o700))
    for what, parent, owner, mode in made if os.geteuid() == 0 else ():
        folder = os.path.join(caches[what], "archver-verify")
        os.makedirs(folder)
        os.chmod(folder, mode)
        os.chown(caches[what], parent, parent)
        os.chown(folder, owner, owner)
    planted_tar = os.path.join(caches["tar"], "archver-verify", "%s.tar" % info.get("debian"))
    if os.geteuid() == 0:
        write(planted_tar, "")
    built = (0, ["built from these sources: commit " + commit])
    keeping = "keeping nothing: the cache folder's archver-verify is not this user's alone"
    # A stand-in mmdebstrap first on PATH: it fails as the real one does for
    # each cause, or makes a root whose dpkg status names a toolchain, and a
    # cache folder of its own for each row.
    standin = os.path.join(t.work, "standin")
    os.mkdir(standin)
    write(os.path.join(standin, "mmdebstrap"), MMDEBSTRAP, 0o755)
    user = "nobody" if os.geteuid() == 0 else pwd.getpwuid(os.getuid()).pw_name
    ids = debroot.free_ids()

    def mmdebstrap(says):
        cache = tempfile.mkdtemp(dir=t.work)
        if os.geteuid() == 0:
            os.chown(cache, NOBODY, NOBODY)
        return {"PATH": standin + os.pathsep + os.environ["PATH"], "XDG_CACHE_HOME": cache,
                "ARCHVER_STANDIN_MMDEBSTRAP": says}

    def status(*names, compiler=None):
        """A dpkg status file of the packages BUILDINFO names, by name."""
        named = dict(info, compiler="g++-mingw-w64-i686-win32 %s" % compiler)
        return "".join("Package: %s\nStatus: install ok installed\nVersion: %s\nMaintainer: "
                       "t\nArchitecture: amd64\nDescription: t\n\n" % tuple(
                           named.get(name, "").split(" ", 1)) for name in names)
    cannot = "tools/verify: cannot check this zip here: mmdebstrap cannot make that root: "
    # Where the root cannot be made from the mirror: another one, by the user.
    elsewhere = ["To check it from another mirror of Debian's snapshot archive, or from its "
                 "snapshot of another date, name that in ARCHVER_DEBIAN_MIRROR",
                 "To check it, as an ordinary user: REPO/tools/verify ZIP"]
    snapshot = "deb [check-valid-until=no] https://snapshot.debian.org/archive/debian/%s/ %s " \
        "main" % (time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(when)), info.get("debian"))
    no_tag = "tools/verify: commit %s is the commit of no tag vVERSION here"
    away = {"PATH": "/nonexistent"}
    sudo = dict(start=[], SUDO_UID=str(NOBODY))

    def forge_kept(data):
        """data, once the builds kept in the cache folder are forged by root."""
        kept = glob.glob(os.path.join(t.cache, "archver-verify", "*.exe"))
        if not kept:
            pytest.skip("no build kept here by an earlier row")
        for path in kept if os.geteuid() == 0 else []:
            os.chown(write(path, b"MZ forged"), 0, 0)
        return data

    return types.SimpleNamespace(**locals())


# Each row: what it is, and from v, the zip's bytes, (exit status, what
# tools/verify concludes) and more (assert_verify). The first keeps the
# build that the later rows take.
ROWS = [
    ("unsigned release", lambda v: (v.unsigned["zip"], v.built)),
    ("unsigned release, started by sudo, the group from the password database", lambda v: (
     v.unsigned["zip"], (0, ["running as nobody (group %d), not as root" % NOBODY, v.keeping]
                       + v.built[1]), v.sudo)),
    ("unsigned release, osslsigncode and openssl missing", lambda v: (v.unsigned["zip"], (3, [
        "tools/verify: cannot check this zip here: osslsigncode and openssl are not "
        "installed", "To check it, as root: apt-get install osslsigncode openssl", v.then]),
     v.away)),
    ("started as root, not by sudo", lambda v: (v.unsigned["zip"], (3, [
        "tools/verify: cannot check this zip here: it builds a commit, which it never does "
        "as root", "To check it, as an ordinary user: REPO/tools/verify ZIP"]),
     dict(start=[], sandbox=False))),
    ("a changed byte in archver.exe", lambda v: (v.forged(**{"archver.exe": flipped(v.exe, len(v.exe) - 1)}),
     v.not_built("archver.exe, SHA256SUMS"))),
    ("a byte of README.md changed, its CRC left", lambda v: (flipped(
        v.unsigned["zip"], v.unsigned["zip"].find(v.unsigned["README.md"]) + 9),
     v.not_built("README.md"))),
    ("bytes before the first entry", lambda v: (b"MZ" * 8 + v.unsigned["zip"], v.same_files)),
    ("bytes after the end record", lambda v: (v.unsigned["zip"] + b"PK", v.same_files)),
    ("a zip comment", lambda v: (v.unsigned["zip"][:-2] + b"\x04\x00note", v.same_files)),
    ("a local entry the central directory does not list", lambda v: (
     hidden_entry(v.unsigned["zip"], "crosscheck.cmd", b"@echo hidden"), v.same_files)),
    ("mode 0666, which Info-ZIP extracts world-writable", lambda v: (
     v.forged(v.setting("external_attr", 0o100666 << 16)), v.same_files)),
    ("the DOS directory bit, which bsdtar extracts as a folder", lambda v: (
     v.forged(v.setting("external_attr", lambda e: e.external_attr | 0x10)), v.same_files)),
    ("version needed 6.3, which unzip skips", lambda v: (v.forged(v.setting("extract_version", 63)),
     v.same_files)),
    ("dated 2107", lambda v: (v.forged(v.setting("date_time", (2107, 1, 1, 0, 0, 0))), v.same_files)),
    ("deflated", lambda v: (v.forged(v.setting("compress_type", zipfile.ZIP_DEFLATED)), v.same_files)),
    ("a document as a link", lambda v: (v.forged(lambda e: e.filename == v.link.filename and setattr(
        e, "external_attr", 0o120777 << 16)), v.same_files)),
    ("an entry named with a C1 control", lambda v: (v.forged(**{"\x9b2K.txt": b""}),
     v.not_built("SHA256SUMS, \\x9b2K.txt"))),
    ("a DLL beside archver.exe", lambda v: (v.forged(**{"version.dll": b"MZ"}),
     v.not_built("SHA256SUMS, version.dll"))),
    ("an entry that climbs out of its folder", lambda v: (v.forged(**{"../run.cmd": b"@echo"}),
     v.not_built("SHA256SUMS, ../run.cmd"))),
    ("archver.exe twice, a forged copy first", lambda v: (v.forged(first=[("archver.exe", b"MZ forged")]),
     v.not_built("archver.exe, SHA256SUMS"))),
    ("archver.exe larger than a release's file", lambda v: (v.forged(**{"archver.exe": bytes(
    (4 << 20) + 1)}), v.not_built("archver.exe, SHA256SUMS"))),
    ("BUILDINFO with a second commit line and free text, not UTF-8", lambda v: (v.forged(
        BUILDINFO=v.unsigned["BUILDINFO"] + b"commit %s\nsigned by the \xff maintainer\n"
        % v.commit.encode()), v.not_built("BUILDINFO, SHA256SUMS"))),
    ("BUILDINFO of bytes that are not UTF-8", lambda v: (v.forged(BUILDINFO=b"\xff\xfe\x00commit\n"),
     (1, ["tools/verify: BUILDINFO names no commit"]), dict(sandbox=False))),
    ("SHA256SUMS with CR LF, in another order", lambda v: (v.forged(sums=False, SHA256SUMS=b"".join(
        sorted(v.unsigned["SHA256SUMS"].replace(b"\n", b"\r\n").splitlines(True)))),
     v.not_built("SHA256SUMS"))),
    ("SHA256SUMS listing a file the zip does not hold", lambda v: (v.forged(
        sums=False, SHA256SUMS=v.unsigned["SHA256SUMS"] + b"%s  version.dll\n" % (
            b"0" * 64)), v.not_built("SHA256SUMS"))),
    ("an older release renamed as this version's", lambda v: (v.naming(v.commits["reaching"]), (1, [
            "tools/verify: the zip's name says version %s, its commit is of v0.0.1"
            % v.version]), dict(name="archver-%s-win32.zip" % v.version))),
    ("BUILDINFO naming a commit of a version no tag names", lambda v: (v.naming(v.commits["untagged"]),
     (1, [v.no_tag % v.commits["untagged"]]))),
    ("larger than a release can be", lambda v: (bytes(64 << 20),
     (1, ["tools/verify: larger than a release can be"]), dict(sandbox=False))),
    ("BUILDINFO naming a git option", lambda v: (v.forged(BUILDINFO=b"commit --orphan=x\n"),
     (1, ["tools/verify: BUILDINFO names no commit"]), dict(sandbox=False))),
    ("BUILDINFO naming a commit on no tag, as of a deleted branch", lambda v: (v.naming(v.untagged),
     (1, [v.no_tag % v.untagged]))),
    # Its build tries to write outside its folder, to plant a git filter,
    # to reach a socket and a port, and fails where it sees the caller's
    # environment.
    ("BUILDINFO naming a commit whose build reaches out", lambda v: (v.naming(v.commits["reaching"]),
     v.not_built("archver.exe, SHA256SUMS", v.commits["reaching"]))),
    ("BUILDINFO naming a commit whose build reaches out, on a terminal", lambda v: (
     v.naming(v.commits["reaching"]), v.not_built("archver.exe, SHA256SUMS", v.commits["reaching"]),
     dict(terminal=True))),
    ("BUILDINFO naming a commit whose build fails with a verdict of its own", lambda v: (
     v.naming(v.commits["failing"]),
     (1, ["tools/verify: cmake -S failed:"]))),
    *[("BUILDINFO naming a commit " + what, lambda v, name=name, why=why, more=more: (
        v.naming(v.commits[name]), (1, ["NOT built from these sources: commit %s: %s"
                                        % (v.commits[name], why)]), more))
      for what, name, why, more in (
          ("whose docs are a link to a folder elsewhere", "linked",
           "docs is committed as a symbolic link, not as a folder", {}),
          ("that names one large blob 40 times", "large",
           "its tree is larger than a release's sources can be (4096 files, 32 MiB)", {}),
          ("whose build writes without end", "filling",
           "a step on it wrote more than the 256 MiB it may", {}),
          ("whose build prints without end", "printing",
           "a step on it printed more than 16 MiB", {}),
          ("whose build nests folders without end, within a check of 5 seconds", "nesting",
           "a step on it ran longer than the 5 seconds a check may take", dict(seconds=5)))],
    ("another compiler, no mmdebstrap", lambda v: (v.other, (3, v.no_mmdebstrap), v.away)),
    ("another compiler, mmdebstrap without newuidmap", lambda v: (v.other, (3, [
        v.cannot + "E: cannot find newuidmap", "To check it, as root: apt-get install uidmap",
        v.then]), v.mmdebstrap("fail:E: cannot find newuidmap"))),
    ("another compiler, no user namespaces for mmdebstrap", lambda v: (v.other, (3, [
        v.cannot + "E: unshare: Operation not permitted", "To check it, as root: sysctl -w "
        "kernel.unprivileged_userns_clone=1", v.then]),
     v.mmdebstrap("fail:E: unshare: Operation not permitted"))),
    ("another compiler, no subordinate ids", lambda v: (v.other, (3, [
        v.cannot + "E: No entry for %s in /etc/subgid" % v.user, "To check it, as root: usermod "
        "--add-subuids %s --add-subgids %s %s" % (v.ids, v.ids, v.user), v.then]),
     v.mmdebstrap("fail:E: No entry for %s in /etc/subgid" % v.user))),
    ("another compiler, the mirror ARCHVER_DEBIAN_MIRROR names out of reach", lambda v: (v.other, (3, [
        v.cannot + "E: Failed to fetch http://mirror.example/debian"] + v.elsewhere), dict(
            v.mmdebstrap("fail:E: Failed to fetch {mirror}"),
            ARCHVER_DEBIAN_MIRROR="http://mirror.example/debian"))),
    ("another compiler, gone from Debian's snapshot archive of the commit's time", lambda v: (v.other,
     (3, [v.cannot + "E: Version '0.0' was not found in " + v.snapshot] + v.elsewhere),
     v.mmdebstrap("fail:E: Version '0.0' was not found in {mirror}"))),
    ("another compiler, a root of another toolchain made", lambda v: (v.other, (3, [
        "tools/verify: cannot check this zip here: the root of Debian %s has another "
        "toolchain" % v.info.get("debian")] + v.elsewhere),
     v.mmdebstrap("root:" + v.status("binutils", "runtime")))),
    # Built on that root, which has not even a shell here.
    ("another compiler, a root of that toolchain made", lambda v: (v.other, (1, [
        "tools/verify: the build failed:"]), v.mmdebstrap("root:" + v.status(
            "binutils", "runtime", "compiler", compiler="0.0")))),
    ("another compiler, a zip named to run a command where its advice is pasted", lambda v: (v.other,
     (3, v.no_mmdebstrap[:2] + [v.then.replace("ZIP", "'ZIP'")]),
     dict(v.away, name="archver-%s-win32$(cd;id>PWNED).zip" % v.version))),
    # State kept by another user, or through a link, is not used.
    ("another compiler, the kept root planted by another user", lambda v: (v.other,
     (3, ["not using %s: not a plain file of this user's alone" % v.planted_tar]
      + v.no_mmdebstrap), dict(v.away, XDG_CACHE_HOME=v.caches["tar"], root=True))),
    *[("another compiler, " + what, lambda v, cache=cache: (
        v.other, (3, [v.keeping] + v.no_mmdebstrap),
        dict(v.away, XDG_CACHE_HOME=v.caches[cache], root=cache != "linked")))
      for what, cache in (("the cache folder a link", "linked"),
                      ("the cache folder under another user's", "others"),
                      ("archver-verify owned by root", "rooted"),
                      ("archver-verify open to all", "open"))],
    ("another compiler, a Debian release unknown here", lambda v: (v.forged(BUILDINFO=v.buildinfo(
        "compiler", rb"compiler g++-mingw-w64-i686-win32 0.0").replace(
            b"\ndebian ", b"\ndebian x\x1b[2K")),
     (3, ["tools/verify: cannot check this zip here: BUILDINFO names no Debian release "
          "this tool knows (bookworm, trixie): x\\x1b[2K" + v.info.get("debian", "")]))),
    ("a compiler that is no Debian version", lambda v: (v.forged(BUILDINFO=v.buildinfo(
        "compiler", b"compiler g++-mingw-w64-i686-win32 0.0\x1b[2K")),
     (1, ["tools/verify: BUILDINFO names no compiler version of g++-mingw-w64-i686-win32"]))),
    # A build kept in the cache folder, forged by another user (root here):
    # not taken, but made again.
    ("unsigned release, its kept build forged by another user",
     lambda v: (v.forge_kept(v.unsigned["zip"]), v.built, dict(root=True))),
]


@pytest.mark.filterwarnings("ignore:Duplicate name")  # the row that ships archver.exe twice
@pytest.mark.parametrize("row", [pytest.param(row, id=what) for what, row in ROWS])
def test_verify(t, v, row, planted, request):
    """tools/verify on the unsigned release and on zips made from it: every
    kind of forgery, each remade with SHA256SUMS to match, and the commits
    that try to reach out of their build or to outgrow their limits."""
    data, want, *more = row(v)
    assert_verify(t, request.node.callspec.id, data, want, *more)
