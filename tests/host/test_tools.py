"""The tools' pure functions on this machine, with no build and no Wine:
their command lines, how a release address and a PKCS#11 URI are taken
apart, and the unit tests' argument rows written from the behaviour table.
The whole release and verify run in tests/e2e."""
import os
import subprocess
import sys

import behaviour
import debroot
import manifests
import pytest
import signing

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


# (tool, its arguments, its exit status): usage on standard output and
# nothing done for help, on standard error for what it does not take.
COMMAND_LINES = [(tool, ["--help"], 0) for tool in ("setup", "test", "release", "verify", "sign",
                                                     "benchmark")] + [
    ("sign", ["-h"], 0), ("sign", ["--", "-h", "/nonexistent/x"], 1),
    ("setup", ["verfy"], 2), ("setup", ["run", "verify"], 2), ("setup", ["--yes"], 2),
    ("test", ["x"], 2), ("release", ["-o", "out"], 2), ("release", ["a", "b"], 2),
    ("verify", [], 2), ("verify", ["--x"], 2), ("sign", ["a"], 2), ("benchmark", ["0"], 2),
    ("benchmark", ["-5"], 2)]


@pytest.mark.parametrize("tool, args, status", COMMAND_LINES,
                         ids=[" ".join([tool] + args) for tool, args, _ in COMMAND_LINES])
def test_command_line(tool, args, status):
    done = subprocess.run([os.path.join(TOP, "tools", tool)] + args, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    usage = b"usage: tools/%s" % tool.encode()
    assert (done.returncode, usage in done.stdout, usage in done.stderr) == \
        (status, status == 0, status == 2)


# (what, /etc/subuid, /etc/subgid, the ids verify's advice adds)
SUBORDINATE_IDS = [
    ("none given out", None, "", "100000-165535"),
    ("the first user's", "u1:100000:65536\n", "u1:100000:65536\n", "165536-231071"),
    ("the last of either file", "u1:100000:65536\n", "u1:100000:65536\nu2:300000:10\n",
     "300010-365545"),
    ("a line that is no range", "u1:x:65536\n# 900000\n", "", "100000-165535"),
]


@pytest.mark.parametrize("subuid, subgid, ids", [row[1:] for row in SUBORDINATE_IDS],
                         ids=[row[0] for row in SUBORDINATE_IDS])
def test_free_subordinate_ids(tmp_path, subuid, subgid, ids):
    paths = [str(tmp_path / name) for name in ("subuid", "subgid")]
    for path, text in zip(paths, (subuid, subgid)):
        if text is not None:
            open(path, "w").write(text)
    assert debroot.free_ids(paths) == ids


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


# (the key's URI, what osslsigncode is handed, the PIN; None where refused)
URIS = [
    ("pkcs11:token=a;object=k;type=private", "pkcs11:token=a;object=k;type=private", None),
    ("pkcs11:token=a;object=k;pin-value=1234", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a;object=k?pin-value=1234", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a;pin-value=%31%32%33%34;object=k", "pkcs11:token=a;object=k", "1234"),
    ("pkcs11:token=a?pin-value=%312%334&module-name=m", "pkcs11:token=a?module-name=m", "1234"),
    ("pkcs11:pin-value=1234;token=a", "pkcs11:token=a", "1234"),
    ("pkcs11:token=a;pin-value=1234?pin-value=1234", "pkcs11:token=a", "1234"),
    ("pkcs11:token=a;pin-value=1234?pin-value=5678", None, None),
    ("pkcs11:token=a;pin%2Dvalue=1234", None, None),
]


@pytest.mark.parametrize("uri, handed, pin", URIS)
def test_pin_taken_out_of_the_uri(uri, handed, pin):
    try:
        split = signing.split_pin(uri)
    except signing.SigningError:
        split = (None, None)
    assert split == (handed, pin)


def test_unit_rows_are_the_behaviour_table(tmp_path):
    """The C++ unit tests' argument rows, as tests/unit/arguments.py writes
    them: one for each row of MODES that has an argument, none lost."""
    out = tmp_path / "arguments.inc"
    subprocess.run([sys.executable, "-B", os.path.join(TOP, "tests", "unit", "arguments.py"),
                    str(out)], check=True, env=dict(os.environ, PYTHONPATH=os.path.join(
                        TOP, "tests", "windows")))
    assert len(out.read_text().splitlines()) == len([row for row in behaviour.MODES if row[0]])
