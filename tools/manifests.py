"""The package-manager manifests of a release, written by tools/release beside
the zip: winget's multi-file manifest (version, installer and default
locale, named as the winget community repository names them) and a Scoop
manifest. They need the address of the GitHub release the zip is attached
to, https://github.com/OWNER/REPO/releases/download/TAG."""
import hashlib
import json
import os
import re

import yaml

WINGET_ID = "archver.archver"
# As the version resource (res/archver.rc) and LICENSE name it.
PUBLISHER = "archver developers"
WINGET_SCHEMA = "1.10.0"
DESCRIPTION = ("Tells a script whether Windows is 32- or 64-bit and which Windows version it "
               "is, as the process exit code.")
TAGS = ["windows-version", "bitness", "wow64", "batch", "installer", "command-line"]
# Nothing but the three parts GitHub's release addresses have: no other host,
# no query, no blank, quote or control character.
RELEASE_URL = re.compile(r"https://github\.com/([A-Za-z0-9][A-Za-z0-9-]*)/([A-Za-z0-9._-]+)"
                         r"/releases/download/([A-Za-z0-9._+-]+)")


class ManifestError(Exception):
    pass


def names():
    """The file names of the manifests: winget's version, installer and
    default locale files, then Scoop's."""
    return [WINGET_ID + suffix + ".yaml" for suffix in ("", ".installer", ".locale.en-US")] + \
        ["archver.json"]


def parse_release_url(url, version):
    """(repository address, tag) of a release download address whose tag is
    vVERSION: the one tag form that release.yml publishes and tools/verify
    checks."""
    match = RELEASE_URL.fullmatch(url)
    if not match:
        raise ManifestError("ARCHVER_RELEASE_URL must be "
                            "https://github.com/OWNER/REPO/releases/download/TAG, not %r" % url)
    owner, repo, tag = match.groups()
    if tag != "v" + version:
        raise ManifestError("the tag %r in ARCHVER_RELEASE_URL is not v%s" % (tag, version))
    return "https://github.com/%s/%s" % (owner, repo), tag


def write(zip_path, version, url):
    """Writes the manifests beside zip_path."""
    homepage, tag = parse_release_url(url, version)
    zip_name = os.path.basename(zip_path)
    with open(zip_path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    common = {"PackageIdentifier": WINGET_ID, "PackageVersion": version}
    winget = [  # in the order of names()
        dict(common, DefaultLocale="en-US", ManifestType="version"),
        dict(common, InstallerType="zip", NestedInstallerType="portable",
             NestedInstallerFiles=[{"RelativeFilePath": "archver.exe",
                                    "PortableCommandAlias": "archver"}],
             Installers=[{"Architecture": "x86", "InstallerUrl": url + "/" + zip_name,
                          "InstallerSha256": digest.upper()}],
             ManifestType="installer"),
        dict(common, PackageLocale="en-US", Publisher=PUBLISHER,
             PackageName="archver", PackageUrl=homepage, License="MIT",
             LicenseUrl="%s/blob/%s/LICENSE" % (homepage, tag),
             ShortDescription=DESCRIPTION, Moniker="archver", Tags=TAGS,
             ManifestType="defaultLocale"),
    ]
    folder = os.path.dirname(zip_path)
    for name, fields in zip(names(), winget):
        with open(os.path.join(folder, name), "w") as f:
            f.write("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s"
                    ".schema.json\n" % (fields["ManifestType"], WINGET_SCHEMA))
            yaml.safe_dump(dict(fields, ManifestVersion=WINGET_SCHEMA), f, sort_keys=False,
                           width=200)
    scoop = {
        "version": version, "description": DESCRIPTION, "homepage": homepage, "license": "MIT",
        "url": url + "/" + zip_name, "hash": digest, "bin": "archver.exe",
        "checkver": {"github": homepage},
        "autoupdate": {"url": "%s/releases/download/%s/%s" % (
            homepage, tag.replace(version, "$version"), zip_name.replace(version, "$version"))},
    }
    with open(os.path.join(folder, names()[-1]), "w") as f:
        json.dump(scoop, f, indent=4)
        f.write("\n")
