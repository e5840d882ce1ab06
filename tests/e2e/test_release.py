"""tools/release, run in a git repository made from this tree (the fixtures
in conftest.py): the zip, its sums and the manifests for a release
address, the same whatever the environment holds; bad input fails,
leaving no zip. tools/verify: test_verify.py; signing: test_sign.py; the
tools' parts that need no build: tests/host."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys

import pristine
import yaml
from releasing import (MANIFESTS, NOBODY, Releaser, assert_package, assert_refused, run,
                       uncommitted_change)


def test_unsigned_release(t, unsigned):
    """The testing-off build of the release is the very file the tests ran."""
    status, output, files, held = unsigned
    assert (status, "unsigned" in output, files is not None) == (0, True, True), output
    assert sorted(held) == [t.releaser.sums, t.releaser.name], "no manifests without an address"
    assert held[t.releaser.sums] == pristine.sums([(t.releaser.name, files["zip"])]).encode()
    assert_package(files, t.commit)
    assert files["archver.exe"] == t.built
    # It looks for no test tool, and warnings are not errors.
    with open(os.path.join(t.repo, "build", "release-x86", "build", "CMakeCache.txt")) as f:
        assert [line.strip() for line in f if line.startswith("ARCHVER_")] == \
            ["ARCHVER_WERROR:BOOL=OFF"]


def test_manifests(t):
    """The manifests name the release's address and the zip's hash."""
    releaser, version = t.releaser, t.version
    status, output, released, held = releaser.release(release_url=t.address)
    assert (status, sorted(held)) == (0, sorted(MANIFESTS + [releaser.name, releaser.sums])), \
        output
    assert sorted(held[releaser.sums].decode().splitlines()) == sorted(pristine.sums(
        (name, held[name]) for name in [releaser.name] + MANIFESTS).splitlines())
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
