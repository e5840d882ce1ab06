"""The tools' pure functions on this machine, with no build and no Wine:
how tools/verify reads a zip, how a release address and a PKCS#11 URI are
taken apart. The zip rows start from one that tools/release's own writer
makes; the whole release and verify run in test_release.py."""
import importlib.machinery
import importlib.util
import io
import os
import struct
import sys
import warnings
import zipfile

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")


# No bytecode written into the tools' folder.
sys.dont_write_bytecode = True


def load(name):
    """A tool's script or module, without running its main()."""
    loader = importlib.machinery.SourceFileLoader(name.replace(".py", ""),
                                                  os.path.join(TOOLS, name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


verify, release, manifests, signing = (load(n) for n in ("verify", "release", "manifests.py",
                                                           "signing.py"))
SHIPPED = [(name, b"%s of a release\n" % name.encode()) for name in verify.pristine.SHIPPED]


def zipped(files, sums=True):
    """A zip of [(name or ZipInfo, bytes)], as tools/release writes one, with
    BUILDINFO and SHA256SUMS over them unless told."""
    files = list(files)
    if sums:
        files += [("BUILDINFO", b"commit 0\n")]
        files += [("SHA256SUMS", release.sums([(getattr(n, "filename", n), d)
                                               for n, d in files]).encode())]
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a name twice, on purpose
        for name, data in files:
            z.writestr(name, data)
    return out.getvalue()


def hidden_entry(data, name, content):
    """data with a local entry of name before its central directory, which
    does not list it."""
    end = data.rfind(b"PK\x05\x06")
    start = struct.unpack_from("<I", data, end + 16)[0]
    local = zipped([(name, content)], sums=False)
    local = local[:local.find(b"PK\x01\x02")]
    return (data[:start] + local + data[start:end + 16] + struct.pack("<I", start + len(local))
            + data[end + 20:])


GENUINE = zipped(SHIPPED)
LINK = zipfile.ZipInfo("docs/recipes.md")
LINK.external_attr = (0o120777) << 16

# (what, the zip's bytes, what tools/verify says of it)
REFUSED = [
    ("a local entry the central directory does not list",
     hidden_entry(GENUINE, "crosscheck.cmd", b"@echo hidden"),
     "a local entry that the central directory does not list: crosscheck.cmd"),
    ("bytes before the first entry", b"MZ" * 8 + GENUINE, "16 bytes before the first entry"),
    ("bytes after the end record", GENUINE + b"PK", "2 bytes after the end record"),
    ("a zip comment", GENUINE[:-2] + struct.pack("<H", 4) + b"note", "a zip comment of 4 bytes"),
    ("an entry named with a C1 control", zipped(SHIPPED + [("\x9b2K.txt", b"")]),
     "\\x9b2K.txt: a release ships no such file"),
    ("a DLL beside archver.exe", zipped(SHIPPED + [("version.dll", b"MZ")]),
     "version.dll: a release ships no such file"),
    ("archver.exe twice, a forged copy first", zipped([("archver.exe", b"MZ forged")] + SHIPPED),
     "archver.exe: in the zip more than once"),
    ("an entry that climbs out of its folder", zipped(SHIPPED + [("../run.cmd", b"@echo")]),
     "../run.cmd: a release ships no such file"),
    ("a document as a link", zipped([(LINK, b"../SECURITY.md")] + SHIPPED[:-1]),
     "docs/recipes.md: not a plain file"),
    ("an entry larger than a release's file", zipped(SHIPPED[1:] + [("archver.exe", bytes(
        (4 << 20) + 1))]), "archver.exe: 4194305 bytes, more than a release's file can be"),
    ("SHA256SUMS listing a file the zip does not hold", zipped(SHIPPED + [
        ("BUILDINFO", b"commit 0\n"), ("SHA256SUMS", release.sums(
            SHIPPED + [("BUILDINFO", b"commit 0\n"), ("version.dll", b"")]).encode())],
        sums=False), "SHA256SUMS lists version.dll, which is no file of the zip"),
    ("SHA256SUMS not matching BUILDINFO", zipped(SHIPPED + [("BUILDINFO", b"commit 1\n"), (
        "SHA256SUMS", release.sums(SHIPPED + [("BUILDINFO", b"commit 0\n")]).encode())],
        sums=False), "SHA256SUMS does not match BUILDINFO"),
    ("SHA256SUMS not matching", zipped(SHIPPED[1:] + [("BUILDINFO", b"commit 0\n"), (
        "SHA256SUMS", release.sums(SHIPPED + [("BUILDINFO", b"commit 0\n")]).encode()),
        ("archver.exe", b"MZ changed")], sums=False), "SHA256SUMS does not match archver.exe"),
]


def test_genuine_zip_read():
    assert verify.read_release(GENUINE)["README.md"] == b"README.md of a release\n"


@pytest.mark.parametrize("what, data, said", REFUSED, ids=[row[0] for row in REFUSED])
def test_zip_refused(what, data, said):
    with pytest.raises(verify.VerifyError) as refused:
        verify.read_release(data)
    assert str(refused.value) == said


ADDRESS = "https://github.com/someone/archver/releases/download/v1.3.0"
# (what, the address ARCHVER_RELEASE_URL holds)
ADDRESSES = [
    ("over http", ADDRESS.replace("s:", ":")),
    ("on another host", ADDRESS.replace("github.com", "github.com.example.org")),
    ("on a host ending in github.com", ADDRESS.replace("github.com", "notgithub.com")),
    ("a tag with more than the version", ADDRESS + "-rc1"),
    ("a tag of another version", ADDRESS.replace("v1.3.0", "v11.3.0")),
    ("with a blank", ADDRESS + " x"),
    ("with a quote", ADDRESS + '"'),
    ("with a control character", ADDRESS + "\n"),
    ("a tag without the version", ADDRESS.replace("v1.3.0", "latest")),
]


def test_release_address():
    assert manifests.parse_release_url(ADDRESS, "1.3.0") == (
        "https://github.com/someone/archver", "v1.3.0")


@pytest.mark.parametrize("what, address", ADDRESSES, ids=[row[0] for row in ADDRESSES])
def test_release_address_refused(what, address):
    with pytest.raises(manifests.ManifestError):
        manifests.parse_release_url(address, "1.3.0")


# (the key's URI, what osslsigncode is handed, the PIN)
URIS = [
    ("pkcs11:token=a;object=k;type=private", "pkcs11:token=a;object=k;type=private", None),
    ("pkcs11:token=a;object=k;pin-value=1234", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a;object=k?pin-value=1234", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a;pin-value=%31%32%33%34;object=k", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a?pin-value=%312%334&module-name=m", "pkcs11:token=a?module-name=m", "1234"),
]


@pytest.mark.parametrize("uri, handed, pin", URIS)
def test_pin_taken_out_of_the_uri(uri, handed, pin):
    assert signing.split_pin(uri) == (handed, pin)
