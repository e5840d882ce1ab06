"""What tools/verify keeps in archver-verify of the user's cache folder
($XDG_CACHE_HOME, else ~/.cache), while it is the user's alone: builds, and
roots of other Debian releases, made by mmdebstrap without privileges."""
import contextlib
import os
import pwd
import re
import shlex
import shutil
import stat
import tempfile
import time

import buildinfo
import pristine

# The Debian releases a release can be built on, by codename.
DEBIAN = {"bookworm": "12", "trixie": "13"}


class CannotRebuild(Exception):
    """(why this machine cannot build the zip, what root must run first or
    None, and the user's command then where it is not the one given)"""


def state_folder():
    """archver-verify in the cache folder of the user running this, made
    where missing; None where it is not this user's alone: a link on the
    way, a folder of another user's, or one that others may write."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(
        pwd.getpwuid(os.getuid()).pw_dir, ".cache")
    path = "/"
    for part in os.path.join(os.path.abspath(cache), "archver-verify").strip("/").split("/"):
        path = os.path.join(path, part)
        try:
            if not os.path.lexists(path):
                os.mkdir(path, 0o700)
            mode = os.lstat(path)
        except OSError:
            return None
        if not stat.S_ISDIR(mode.st_mode) or mode.st_uid not in (0, os.getuid()) or \
                mode.st_mode & 0o022 and not mode.st_mode & stat.S_ISVTX:
            return None
    return path if mode.st_uid == os.getuid() and not mode.st_mode & 0o077 else None


def own_file(path):
    """Whether path is a plain file of this user's that no one else may write."""
    try:
        mode = os.lstat(path)
    except OSError:
        return False
    return stat.S_ISREG(mode.st_mode) and mode.st_uid == os.getuid() and \
        not mode.st_mode & 0o022


def toolchain_root(recorded, when, state, scratch):
    """A root of BUILDINFO's Debian release and toolchain, unpacked in
    scratch from a tar file in state (or scratch), made anew where it is
    missing, not this user's alone, or of another toolchain."""
    suite = recorded.get("debian", "")
    # Handed to mmdebstrap: each package BUILDINFO must name, at a Debian version.
    for name, pkg in buildinfo.PACKAGES:
        if not re.fullmatch(re.escape(pkg) + r" [0-9][0-9A-Za-z.+~:-]*", recorded.get(name, "")):
            raise pristine.BuildError("BUILDINFO names no %s version of %s" % (name, pkg))
    wanted = [recorded[name].replace(" ", "=", 1) for name, _ in buildinfo.PACKAGES]
    if suite not in DEBIAN:
        raise CannotRebuild("BUILDINFO names no Debian release this tool knows (%s): %s"
                            % (", ".join(DEBIAN), suite), None, None)
    kept = os.path.join(state or scratch, suite + ".tar")
    if os.path.lexists(kept) and not own_file(kept):
        print("not using %s: not a plain file of this user's alone" % kept)
    root = os.path.join(scratch, "root")
    # A kept root of another toolchain is made again, once.
    for make in (False, True) if own_file(kept) else (True,):
        if make:
            make_root(suite, wanted, kept, when)
        shutil.rmtree(root, ignore_errors=True)
        os.mkdir(root)
        pristine.run(["tar", "-x", "--no-same-owner", "--no-same-permissions",
                      "--exclude=./dev/*", "-f", kept, "-C", root],
                     env={"PATH": pristine.SYSTEM_PATH})
        if all(recorded.get(name) == version for name, version in buildinfo.toolchain(root)):
            print("toolchain: BUILDINFO's, on a root of Debian %s" % suite)
            return root
    raise CannotRebuild("the root of Debian %s has another toolchain\n%s" % (suite, ELSEWHERE),
                        None)


# What mmdebstrap's failure says of its cause, and what root can do for it.
CAUSES = [("newuidmap", "apt-get install uidmap"),
          ("/etc/sub[ug]id", "usermod --add-subuids {ids} --add-subgids {ids} {user}"),
          ("unshare|namespace", "sysctl -w kernel.unprivileged_userns_clone=1")]
# Debian's snapshot archive keeps every version there was of each package, by
# date, where Debian's archive keeps one a release; its dates are long past
# the validity its index files give themselves.
SNAPSHOT = "deb [check-valid-until=no] https://snapshot.debian.org/archive/debian/%s/ %s main"
MIRROR = "ARCHVER_DEBIAN_MIRROR"
ELSEWHERE = ("To check it from another mirror of Debian's snapshot archive, or from its snapshot "
             "of another date, name that in %s" % MIRROR)


def free_ids(paths=("/etc/subuid", "/etc/subgid")):
    """65536 subordinate ids that no line of paths holds yet: those after
    the last one any holds, from 100000 on, as useradd gives them out."""
    start = 100000
    for path in paths:
        with contextlib.suppress(OSError), open(path) as f:
            for line in f:
                fields = line.strip().split(":")
                if len(fields) == 3 and fields[1].isdigit() and fields[2].isdigit():
                    start = max(start, int(fields[1]) + int(fields[2]))
    return "%d-%d" % (start, start + 65535)


def make_root(suite, wanted, kept, when):
    """Makes kept, a tar file of a root of Debian suite with the packages
    wanted, by mmdebstrap as this user, from Debian's snapshot archive as it
    was at when, or from the mirror ARCHVER_DEBIAN_MIRROR names."""
    if not shutil.which("mmdebstrap"):
        raise CannotRebuild("mmdebstrap, which makes a root of Debian %s, is not installed"
                            % suite, "apt-get install mmdebstrap uidmap")
    mirror = os.environ.get(MIRROR) or SNAPSHOT % (
        time.strftime("%Y%m%dT%H%M%SZ", time.gmtime(when)), suite)
    print(pristine.printable("making a root of Debian %s with BUILDINFO's toolchain in %s, "
                             "from %s" % (suite, kept, mirror)))
    part = tempfile.mkstemp(suffix=".tar", dir=os.path.dirname(kept))[1]
    try:
        pristine.run(["mmdebstrap", "--quiet", "--mode=unshare", "--variant=apt", "--format=tar",
                      "--include=cmake,make," + ",".join(wanted), suite, part, mirror])
    except pristine.BuildError as e:
        os.remove(part)
        why = "mmdebstrap cannot make that root: " + str(e).strip().splitlines()[-1].strip()
        user = shlex.quote(pwd.getpwuid(os.getuid()).pw_name)
        for cause, remedy in CAUSES:
            if re.search(cause, str(e)):
                raise CannotRebuild(why, remedy.format(user=user, ids=free_ids()))
        # Else the mirror is out of reach or has not that toolchain.
        raise CannotRebuild(why + "\n" + ELSEWHERE, None)
    os.replace(part, kept)
