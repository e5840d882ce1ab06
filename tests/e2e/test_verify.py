"""tools/verify on the release of this tree, on every kind of zip made from
it and on the commits that try to reach out of their build: one table."""
import glob
import os
import pwd
import re
import struct
import tempfile
import time
import zipfile

import pristine
from releasing import NOBODY, assert_verify, run, skip_rows, write, zipped


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


def test_verify(t, unsigned, planted):
    """tools/verify on the unsigned release and on zips made from it: every
    kind of forgery, each remade with SHA256SUMS to match, and the commits
    that try to reach out of their build or to outgrow their limits."""
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
    caches = {what: os.path.join(t.work, what) for what in ("others", "rooted", "open", "tar")}
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
    not_run = assert_verify(t, [
        ("unsigned release", unsigned["zip"], built),
        ("unsigned release, started by sudo, the group from the password database",
         unsigned["zip"], (0, ["running as nobody (group %d), not as root" % NOBODY, keeping]
                           + built[1]), sudo),
        ("unsigned release, osslsigncode and openssl missing", unsigned["zip"], (3, [
            "tools/verify: cannot check this zip here: osslsigncode and openssl are not "
            "installed", "To check it, as root: apt-get install osslsigncode openssl", then]),
         away),
        ("started as root, not by sudo", unsigned["zip"], (3, [
            "tools/verify: cannot check this zip here: it builds a commit, which it never does "
            "as root", "To check it, as an ordinary user: REPO/tools/verify ZIP"]),
         dict(start=[], sandbox=False)),
        ("a changed byte in archver.exe", forged(**{"archver.exe": flipped(exe, len(exe) - 1)}),
         not_built("archver.exe, SHA256SUMS")),
        ("a byte of README.md changed, its CRC left", flipped(
            unsigned["zip"], unsigned["zip"].find(unsigned["README.md"]) + 9),
         not_built("README.md")),
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
        ("BUILDINFO with a second commit line and free text, not UTF-8", forged(
            BUILDINFO=unsigned["BUILDINFO"] + b"commit %s\nsigned by the \xff maintainer\n"
            % commit.encode()), not_built("BUILDINFO, SHA256SUMS")),
        ("BUILDINFO of bytes that are not UTF-8", forged(BUILDINFO=b"\xff\xfe\x00commit\n"),
         (1, ["tools/verify: BUILDINFO names no commit"]), dict(sandbox=False)),
        ("SHA256SUMS with CR LF, in another order", forged(sums=False, SHA256SUMS=b"".join(
            sorted(unsigned["SHA256SUMS"].replace(b"\n", b"\r\n").splitlines(True)))),
         not_built("SHA256SUMS")),
        ("SHA256SUMS listing a file the zip does not hold", forged(
            sums=False, SHA256SUMS=unsigned["SHA256SUMS"] + b"%s  version.dll\n" % (
                b"0" * 64)), not_built("SHA256SUMS")),
        ("an older release renamed as this version's", naming(commits["reaching"]), (1, [
                "tools/verify: the zip's name says version %s, its commit is of v0.0.1"
                % version]), dict(name="archver-%s-win32.zip" % version)),
        ("BUILDINFO naming a commit of a version no tag names", naming(commits["untagged"]),
         (1, [no_tag % commits["untagged"]])),
        ("larger than a release can be", bytes(64 << 20),
         (1, ["tools/verify: larger than a release can be"]), dict(sandbox=False)),
        ("BUILDINFO naming a git option", forged(BUILDINFO=b"commit --orphan=x\n"),
         (1, ["tools/verify: BUILDINFO names no commit"]), dict(sandbox=False)),
        ("BUILDINFO naming a commit on no tag, as of a deleted branch", naming(untagged),
         (1, [no_tag % untagged])),
        # Its build tries to write outside its folder, to plant a git filter,
        # to reach a socket and a port, and fails where it sees the caller's
        # environment.
        ("BUILDINFO naming a commit whose build reaches out", naming(commits["reaching"]),
         not_built("archver.exe, SHA256SUMS", commits["reaching"])),
        ("BUILDINFO naming a commit whose build reaches out, on a terminal",
         naming(commits["reaching"]), not_built("archver.exe, SHA256SUMS", commits["reaching"]),
         dict(terminal=True)),
        ("BUILDINFO naming a commit whose build fails with a verdict of its own",
         naming(commits["failing"]),
         (1, ["tools/verify: cmake -S failed:"])),
        *[("BUILDINFO naming a commit " + what, naming(commits[name]), (1, [
            "NOT built from these sources: commit %s: %s" % (commits[name], why)]))
          for what, name, why in (
              ("whose docs are a link to a folder elsewhere", "linked",
               "docs is committed as a symbolic link, not as a folder"),
              ("that names one large blob 40 times", "large",
               "its tree is larger than a release's sources can be (4096 files, 32 MiB)"),
              ("whose build writes without end", "filling",
               "a step on it wrote more than the 256 MiB it may"),
              ("whose build prints without end", "printing",
               "a step on it printed more than 16 MiB"))],
        ("another compiler, no mmdebstrap", other, (3, no_mmdebstrap), away),
        ("another compiler, mmdebstrap without newuidmap", other, (3, [
            cannot + "E: cannot find newuidmap", "To check it, as root: apt-get install uidmap",
            then]), mmdebstrap("fail:E: cannot find newuidmap")),
        ("another compiler, no user namespaces for mmdebstrap", other, (3, [
            cannot + "E: unshare: Operation not permitted", "To check it, as root: sysctl -w "
            "kernel.unprivileged_userns_clone=1", then]),
         mmdebstrap("fail:E: unshare: Operation not permitted")),
        ("another compiler, no subordinate ids", other, (3, [
            cannot + "E: No entry for %s in /etc/subgid" % user, "To check it, as root: usermod "
            "--add-subuids 100000-165535 --add-subgids 100000-165535 " + user, then]),
         mmdebstrap("fail:E: No entry for %s in /etc/subgid" % user)),
        ("another compiler, the mirror ARCHVER_DEBIAN_MIRROR names out of reach", other, (3, [
            cannot + "E: Failed to fetch http://mirror.example/debian"] + elsewhere), dict(
                mmdebstrap("fail:E: Failed to fetch {mirror}"),
                ARCHVER_DEBIAN_MIRROR="http://mirror.example/debian")),
        ("another compiler, gone from Debian's snapshot archive of the commit's time", other,
         (3, [cannot + "E: Version '0.0' was not found in " + snapshot] + elsewhere),
         mmdebstrap("fail:E: Version '0.0' was not found in {mirror}")),
        ("another compiler, a root of another toolchain made", other, (3, [
            "tools/verify: cannot check this zip here: the root of Debian %s has another "
            "toolchain" % info.get("debian")] + elsewhere),
         mmdebstrap("root:" + status("binutils", "runtime"))),
        # Built on that root, which has not even a shell here.
        ("another compiler, a root of that toolchain made", other, (1, [
            "tools/verify: the build failed:"]), mmdebstrap("root:" + status(
                "binutils", "runtime", "compiler", compiler="0.0"))),
        ("another compiler, a zip named to run a command where its advice is pasted", other,
         (3, no_mmdebstrap[:2] + [then.replace("ZIP", "'ZIP'")]),
         dict(away, name="archver-%s-win32$(cd;id>PWNED).zip" % version)),
        # State kept by another user, or through a link, is not used.
        ("another compiler, the kept root planted by another user", other,
         (3, ["not using %s: not a plain file of this user's alone" % planted_tar]
          + no_mmdebstrap), dict(away, XDG_CACHE_HOME=caches["tar"], root=True)),
        *[("another compiler, " + what, other, (3, [keeping] + no_mmdebstrap),
           dict(away, XDG_CACHE_HOME=cache, root=cache != linked)) for what, cache in (
               ("the cache folder a link", linked),
               ("the cache folder under another user's", caches["others"]),
               ("archver-verify owned by root", caches["rooted"]),
               ("archver-verify open to all", caches["open"]))],
        ("another compiler, a Debian release unknown here", forged(BUILDINFO=buildinfo(
            "compiler", rb"compiler g++-mingw-w64-i686-win32 0.0").replace(
                b"\ndebian ", b"\ndebian x\x1b[2K")),
         (3, ["tools/verify: cannot check this zip here: BUILDINFO names no Debian release "
              "this tool knows (bookworm, trixie): x\\x1b[2K" + info.get("debian", "")])),
        ("a compiler that is no Debian version", forged(BUILDINFO=buildinfo(
            "compiler", b"compiler g++-mingw-w64-i686-win32 0.0\x1b[2K")),
         (1, ["tools/verify: BUILDINFO names no compiler version of g++-mingw-w64-i686-win32"])),
    ])
    # A build kept in the cache folder, forged by another user (root here):
    # not taken, but made again.
    kept = glob.glob(os.path.join(t.cache, "archver-verify", "*.exe"))
    for path in kept if os.geteuid() == 0 else []:
        os.chown(write(path, b"MZ forged"), 0, 0)
    not_run += assert_verify(t, [("unsigned release, its kept build forged by another user",
                                  unsigned["zip"], built, {"root": True})] if kept else [])
    # A build that never ends, here by nesting folders, within a check of 10
    # seconds: the limit the checkout's tools/verify has, uncommitted.
    limits = os.path.join(t.repo, "tools", "confine.py")
    with open(limits) as f:
        text = f.read()
    write(limits, re.sub(r"(?m)^SECONDS = \d+", "SECONDS = 10", text))
    try:
        not_run += assert_verify(t, [(
            "BUILDINFO naming a commit whose build nests folders without end",
            naming(commits["nesting"]), (1, ["NOT built from these sources: commit %s: a step on "
                                             "it ran longer than the 10 seconds a check may take"
                                             % commits["nesting"]]))])
    finally:
        write(limits, text)
    skip_rows(not_run)
