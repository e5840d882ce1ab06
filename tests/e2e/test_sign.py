"""Signing: tools/sign with a throwaway code-signing certificate, from a
file and from a PKCS#11 token: the exe verifies with a SHA-256 digest,
answers as the unsigned one does, strips back to it and is the same from
run to run; tools/release ships it and tools/verify accepts it; a key or
timestamp server that fails leaves no signed file."""
import contextlib
import http.server
import os
import re
import shutil
import socket
import struct
import tempfile
import threading
import time
import types

import pefile
import pytest
from releasing import assert_package, assert_refused, assert_verify, run, sign, write, zipped


SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


@contextlib.contextmanager
def timestamp_server(work):
    """An RFC 3161 time-stamp authority on 127.0.0.1, answered by openssl ts
    with a certificate of its own: (its address, its CA certificate)."""
    f = tempfile.mkdtemp(dir=work)
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f + "/ca.key",
        "-out", f + "/ca.pem", "-days", "30", "-subj", "/CN=test TSA root")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f + "/tsa.key",
        "-out", f + "/tsa.pem", "-days", "30", "-subj", "/CN=test TSA", "-CA", f + "/ca.pem",
        "-CAkey", f + "/ca.key", "-addext", "extendedKeyUsage=critical,timeStamping")
    write(f + "/serial", "01\n")
    write(f + "/tsa.cnf", "[tsa]\ndefault_tsa = tsa_config\n[tsa_config]\nserial = {0}/serial\n"
          "signer_cert = {0}/tsa.pem\ncerts = {0}/ca.pem\nsigner_key = {0}/tsa.key\n"
          "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
          "ess_cert_id_alg = sha256\n".format(f))

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            write(f + "/query", self.rfile.read(int(self.headers["Content-Length"])))
            run("openssl", "ts", "-reply", "-config", f + "/tsa.cnf", "-queryfile",
                f + "/query", "-out", f + "/reply")
            body = open(f + "/reply", "rb").read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield "http://127.0.0.1:%d/" % server.server_port, f + "/ca.pem"
    finally:
        server.shutdown()
        server.server_close()


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
    env = dict(SOFTHSM2_CONF=write(os.path.join(t.work, "softhsm2.conf"),
                                   "directories.tokendir = %s\n" % tokens))
    run("softhsm2-util", "--init-token", "--free", "--label", "archver", "--pin", "1234",
        "--so-pin", "5678", env=env)
    run("softhsm2-util", "--import", t.key, "--token", "archver", "--label", "signer", "--id",
        "01", "--pin", "1234", env=env)
    signer, calls = os.path.join(t.work, "signer"), os.path.join(t.work, "signer.log")
    os.makedirs(signer)
    write(os.path.join(signer, "osslsigncode"), '#!/bin/sh\nprintf "%%s\\n" "$@" >> %s\nprev=\n'
          'for a in "$@"; do\n  [ "$prev" = -readpass ] && stat -c "mode %%a" "$a" >> %s\n'
          '  prev=$a\ndone\nexec %s "$@"\n' % (calls, calls, shutil.which("osslsigncode")), 0o755)
    return dict(env, ARCHVER_SIGN_PKCS11_MODULE=SOFTHSM,
                PATH=signer + os.pathsep + os.environ["PATH"]), calls


KEY_URI = "pkcs11:token=archver;object=signer;type=private"


# The URI after the key's, the PIN apart, what osslsigncode is handed after
# the key's URI: signed as from the file, where it is handed no more; libp11
# takes no query attribute but the PIN. Where else a URI may hold the PIN:
# the host's rows (tests/host/test_tools.py).
@pytest.mark.parametrize("uri, pin, rest", [
    pytest.param("", "1234", "", id="PIN in ARCHVER_SIGN_PIN"),
    pytest.param("?pin-value=%312%334&module-name=softhsm2", None, "?module-name=softhsm2",
                 id="PIN in the query, another attribute after it")])
def test_signing_with_a_token(t, signed, token, uri, pin, rest):
    """Signed with the key in the token; the PIN kept off osslsigncode's
    command line, in a file of its owner's."""
    env, calls = token
    open(calls, "w").close()
    _, output, from_token = sign(t, t.cert, KEY_URI + uri,
                                 env=dict(env, **({"ARCHVER_SIGN_PIN": pin} if pin else {})))
    assert (from_token == signed) == (rest == ""), output
    recorded = open(calls).read().splitlines()
    assert ([line for line in recorded if "1234" in line or "pin-value" in line],
            [line for line in recorded if line.startswith("mode ")],
            [line for line in recorded if line.startswith("pkcs11:")]) == \
        ([], ["mode 600"], [KEY_URI + rest])


@pytest.fixture(scope="module")
def altered(t, signed):
    """The signed exe as a file, stripped of its signature, with a changed
    code byte, with its certificate table (data directory 4) filled with
    what is no signature, grown inside it, another build signed, this one
    signed with SHA-1, this one with the other's signature, and this one
    with an attribute the signer did not sign (no key needed), which
    carries a payload."""
    paths = types.SimpleNamespace(**{n: os.path.join(t.work, n + ".exe") for n in (
        "signed", "stripped", "tampered", "garbage", "grown", "other", "sha1", "mismatched",
        "blob")})
    write(paths.signed, signed)
    run("osslsigncode", "add", "-addUnauthenticatedBlob", "-in", paths.signed, "-out", paths.blob)
    run("osslsigncode", "remove-signature", "-in", paths.signed, "-out", paths.stripped)
    code = pefile.PE(data=signed).sections[0].PointerToRawData + 16
    write(paths.tampered, signed[:code] + bytes([signed[code] ^ 1]) + signed[code + 1:])
    table = pefile.PE(data=signed).OPTIONAL_HEADER.DATA_DIRECTORY[4]
    table, size = table.VirtualAddress, table.Size
    write(paths.garbage, signed[:table + 8] + b"\x5a" * (size - 8) + signed[table + size:])
    # 64 bytes inside the certificate structure, its lengths and the PE
    # checksum made to match.
    grown = bytearray(signed[:table + size] + bytes(64) + signed[table + size:])
    struct.pack_into("<I", grown, table, struct.unpack_from("<I", signed, table)[0] + 64)
    pe = pefile.PE(data=bytes(grown))
    pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size = size + 64
    pe = pefile.PE(data=bytes(pe.write()))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    write(paths.grown, pe.write())
    # Valid signatures of another build (a changed code byte, signed anew)
    # and of this one with a SHA-1 digest.
    for path, exe, digest in ((paths.other, paths.tampered, "sha256"),
                              (paths.sha1, paths.stripped, "sha1")):
        run("osslsigncode", "remove-signature", "-in", exe, "-out", path + ".in")
        run("osslsigncode", "sign", "-certs", t.cert, "-key", t.key, "-h", digest, "-time",
            "1767323045", "-in", path + ".in", "-out", path)
    # This build with the other build's signature, which holds another digest.
    run("osslsigncode", "extract-signature", "-in", paths.other, "-out", paths.other + ".sig")
    run("osslsigncode", "attach-signature", "-sigin", paths.other + ".sig", "-in",
        paths.stripped, "-out", paths.mismatched)
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
    with timestamp_server(t.work) as (server, authority):
        stamped = sign(t, t.cert, t.key, url=server)[2]
    later = str(int(time.time()) + 10 * 86400)
    assert [run("osslsigncode", "verify", "-CAfile", t.cert, "-TSA-CAfile", authority, "-time",
                later, "-in", write(os.path.join(t.work, "stamped.exe"), exe))[0] == 0
            for exe in (stamped or b"", signed)] == [True, False]


@pytest.fixture(scope="module")
def released(t, altered):
    """Released as the release workflow releases it, with the signed file:
    (exit status, output, files), and the files of a release signed with an
    RFC 3161 timestamp."""
    status, output, files, _ = t.releaser.release(env=dict(ARCHVER_SIGNED_EXE=altered.signed))
    with timestamp_server(t.work) as (server, _):
        stamped = t.releaser.release(env=dict(ARCHVER_SIGNED_EXE=write(os.path.join(
            t.work, "stamped.exe"), sign(t, t.cert, t.key, url=server)[2])))[2]
    return types.SimpleNamespace(status=status, output=output, files=files, stamped=stamped)


def test_signing_release(t, signed, altered, released):
    """The signed file shipped once it is this build with a signature that
    holds its digest; refused otherwise."""
    assert (released.status, released.files and released.files["archver.exe"]) == \
        (0, signed), released.output
    assert_package(released.files, t.commit)
    assert_refused([(what, t.releaser.release(env=dict(ARCHVER_SIGNED_EXE=exe), older_zip=True))
                    for what, exe in [("signed exe with a changed code byte", altered.tampered),
                                      ("unsigned exe given as signed", altered.stripped),
                                      ("a certificate table of garbage given as signed",
                                       altered.garbage),
                                      ("a valid signature of another build", altered.other),
                                      ("this build's signature grown by 64 bytes",
                                       altered.grown),
                                      ("an attribute the signer did not sign", altered.blob),
                                      ("a signature with a SHA-1 digest", altered.sha1)]])
    # Grown by bytes that no build gives, the signature still verifies.
    assert run("osslsigncode", "verify", "-CAfile", t.cert, "-in", altered.grown)[0] == 0


def with_exe(t, released, path):
    """The signed release's zip with the file at path as archver.exe."""
    when = int(run("git", "-C", t.repo, "log", "-1", "--format=%ct")[1])
    return zipped(dict(released.files, **{"archver.exe": open(path, "rb").read()}), when)


# tools/verify on the signed releases and on zips with another signature:
# (what, the zip from t, released and altered, what tools/verify concludes).
ANOTHER = "NOT built from these sources: commit %s gives another archver.exe, SHA256SUMS"
SIGNED_ROWS = [
    ("signed release", lambda t, r, a: r.files["zip"], (0, "built from these sources: commit %s")),
    ("signed release with an RFC 3161 timestamp", lambda t, r, a: r.stamped["zip"],
     (0, "built from these sources: commit %s")),
    ("a certificate table of garbage", lambda t, r, a: with_exe(t, r, a.garbage), (1, ANOTHER)),
    ("this build with another build's signature", lambda t, r, a: with_exe(t, r, a.mismatched),
     (1, "tools/verify: no signature that holds the file's SHA-256 digest")),
    ("64 bytes more inside the signature", lambda t, r, a: with_exe(t, r, a.grown),
     (1, ANOTHER)),
    ("an attribute the signer did not sign", lambda t, r, a: with_exe(t, r, a.blob),
     (1, ANOTHER)),
]


@pytest.mark.parametrize("zip_of, want", [pytest.param(*row[1:], id=row[0])
                                          for row in SIGNED_ROWS])
def test_signing_verify(t, released, altered, zip_of, want, request):
    status, verdict = want
    assert_verify(t, request.node.callspec.id, zip_of(t, released, altered),
                  (status, [verdict.replace("%s", t.commit)]))


@pytest.mark.parametrize("args", [[b"/o"], [b"/b"], [b"/w"], [b"/?"]], ids=repr)
def test_signing_leaves_the_answers(wine, built, altered, args):
    assert wine.run(altered.signed, args) == wine.run(built["exe"], args)


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
