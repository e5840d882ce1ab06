"""Authenticode signing of archver.exe with osslsigncode (tools/sign), and
the checks of a signature that tools/release and tools/verify make."""
import os
import re
import tempfile
import urllib.parse

from pristine import BuildError, host, run


class SigningError(Exception):
    pass


def pem_public_key(args, what, path):
    try:
        return run(["openssl"] + args)
    except BuildError as e:
        raise SigningError("cannot read the %s %s as PEM: %s" % (what, path, e))


def signing_files(environ):
    """(certificate, key, PKCS#11 module or None, its PIN or None) from the
    ARCHVER_SIGN_* variables."""
    cert, key = environ.get("ARCHVER_SIGN_CERT"), environ.get("ARCHVER_SIGN_KEY")
    if not cert or not key:
        raise SigningError("set ARCHVER_SIGN_CERT and ARCHVER_SIGN_KEY")
    module = environ.get("ARCHVER_SIGN_PKCS11_MODULE")
    if key.startswith("pkcs11:"):
        if not module:
            raise SigningError("a PKCS#11 key needs ARCHVER_SIGN_PKCS11_MODULE")
        files = [("certificate", cert), ("PKCS#11 module", module)]
    else:
        files = [("certificate", cert), ("private key", key)]
    for what, path in files:
        try:
            with open(path, "rb"):
                pass
        except OSError as e:
            raise SigningError("cannot read the %s %s: %s" % (what, path, e.strerror))
    if key.startswith("pkcs11:"):
        # The PIN goes to osslsigncode in a file of this user's: on its
        # command line, in the URI or on its own, every user could read it.
        key, pin = split_pin(key)
        return cert, key, module, environ.get("ARCHVER_SIGN_PIN") or pin
    # osslsigncode refuses a key of another certificate too, but in a page of
    # OpenSSL errors; this says in one line which two files do not belong
    # together.
    cert_public = pem_public_key(["x509", "-in", cert, "-noout", "-pubkey"], "certificate", cert)
    key_public = pem_public_key(["pkey", "-in", key, "-pubout"], "private key", key)
    if cert_public != key_public:
        raise SigningError("the private key %s does not belong to the certificate %s"
                           % (key, cert))
    return cert, key, None, None


def split_pin(uri):
    """The PKCS#11 URI without its pin-value attributes, wherever they stand,
    and the PIN or None; a URI that would still hold a PIN is refused."""
    scheme, _, rest = uri.partition(":")
    path, mark, query = rest.partition("?")
    kept, pins = [], []
    for part, separator in ((path, ";"), (query, "&")):
        attributes = [a for a in part.split(separator) if a]
        pins += [a.partition("=")[2] for a in attributes if a.startswith("pin-value=")]
        kept.append(separator.join(a for a in attributes if not a.startswith("pin-value=")))
    handed = scheme + ":" + kept[0] + ("?" + kept[1] if kept[1] else "")
    if len(set(pins)) > 1 or "pin-value" in urllib.parse.unquote(handed).lower():
        raise SigningError("the key's URI holds a PIN that cannot be taken out of it")
    return handed, urllib.parse.unquote(pins[0]) if pins else None


def sign(exe, signed, environ, when):
    """Signs exe into signed (SHA-256) with the key the ARCHVER_SIGN_*
    variables of environ name: timestamped by ARCHVER_SIGN_TIMESTAMP_URL's
    server, or else with when as the signing time."""
    cert, key, module, pin = signing_files(environ)
    args = ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
            "-n", "archver", "-in", exe, "-out", signed]
    url = environ.get("ARCHVER_SIGN_TIMESTAMP_URL")
    args += ["-ts", url] if url else ["-time", str(when)]
    with tempfile.TemporaryDirectory() as scratch:
        if module:
            args += ["-pkcs11module", module]
            if pin:
                pin_file = os.path.join(scratch, "pin")
                with open(os.open(pin_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
                    f.write(pin)
                args += ["-readpass", pin_file]
        run(args)
    check_digest(signed)


class Unsigned(SigningError):
    """A signature that is not what tools/sign makes."""


def check_digest(path, runner=host):
    """Raises SigningError unless the file's signature holds a SHA-256 digest
    of the file as it is; who signed is not checked."""
    text = runner(["osslsigncode", "verify", "-in", path], inputs=[path])[1].decode(
        errors="replace")
    current = re.findall(r"(?m)^Current message digest *: *([0-9A-F]{64})\s*$", text)
    calculated = re.findall(r"(?m)^Calculated message digest *: *([0-9A-F]{64})\s*$", text)
    algorithm = re.findall(r"(?m)^Message digest algorithm *: *(\S+)\s*$", text)
    if not (len(current) == 1 and current == calculated and algorithm[:1] == ["SHA256"]):
        raise SigningError("no signature that holds the file's SHA-256 digest")


# The one attribute outside what the signer signs that a signature of
# tools/sign holds: the timestamp of an RFC 3161 server.
RFC3161 = "1.3.6.1.4.1.311.3.3.1"
# The file that osslsigncode writes, on standard output. It fails where
# the signer's chain is not trusted here, which is not this check's
# question, after it wrote the file.
WRITTEN = """out=$(mktemp -d) || exit 1
"$@" -out "$out/file" >/dev/null 2>&1
cat "$out/file" 2>/dev/null
status=$?
rm -rf "$out"
exit $status"""


def check_signature(signature, runner):
    """Raises Unsigned unless the PKCS#7 signature in the PEM file signature
    is what tools/sign makes: one signer, and outside what the signer
    signs, no attribute but one RFC 3161 timestamp and no revocation list.
    openssl reads it."""
    status, text = runner(["openssl", "pkcs7", "-in", signature, "-print", "-noout"],
                          inputs=[signature])
    text = text.decode(errors="replace")
    unsigned = re.findall(r"(?m)^ {12}object: .*\(([0-9.]+)\)$", text.partition(
        "\n        unauth_attr:")[2])
    if status != 0:
        raise Unsigned("is no PKCS#7 signature")
    if len(re.findall(r"(?m)^    signer_info:$", text)) != 1:
        raise Unsigned("has more than one signer")
    if unsigned not in ([], [RFC3161]):
        raise Unsigned("holds attributes the signer did not sign: " + ", ".join(unsigned))
    if not re.search(r"(?m)^    crl:\n +<(ABSENT|EMPTY)>$", text):
        raise Unsigned("holds a revocation list")


def with_signature(signed, exe, scratch, runner=host):
    """exe's bytes with the signature of the file signed attached, once that
    is a signature tools/sign makes and holds the SHA-256 digest of what it
    makes, or None where signed has no signature: signed's very bytes where
    signed is exe signed. Each step on signed's bytes goes through runner.
    tools/release checks a signed file with this, and tools/verify makes
    the signed exe again with it."""
    signature, attached = os.path.join(scratch, "signature"), os.path.join(scratch, "attached")
    unsigned = os.path.join(scratch, "unsigned")
    with open(unsigned, "wb") as f:
        f.write(exe)
    # As PEM, the signature alone, as osslsigncode encodes it again: no
    # bytes padded after it or inside its encoding come along, and where the
    # given file has them, the file made again is another.
    status, data = runner(["sh", "-c", WRITTEN, "sh", "osslsigncode", "extract-signature", "-pem",
                           "-in", signed], inputs=[signed], most=1 << 20)
    if status != 0 or not data:
        return None
    with open(signature, "wb") as f:
        f.write(data)
    check_signature(signature, runner)
    status, data = runner(["sh", "-c", WRITTEN, "sh", "osslsigncode", "attach-signature",
                           "-sigin", signature, "-in", unsigned], inputs=[signature, unsigned],
                          most=2 * len(exe) + (1 << 20))
    if status != 0:
        return None
    with open(attached, "wb") as f:
        f.write(data)
    check_digest(attached, runner)
    return data
