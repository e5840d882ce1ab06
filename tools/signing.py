"""Authenticode signing of archver.exe with osslsigncode, and the check of a
signature's digest: used by tools/sign, which signs, and by tools/release
and tools/verify, which check what they are handed as signed. RELEASING.md
says how to sign."""
import os
import re
import subprocess
import tempfile
import urllib.parse

from pristine import BuildError, run


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
    cert = environ.get("ARCHVER_SIGN_CERT")
    key = environ.get("ARCHVER_SIGN_KEY")
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
    """The PKCS#11 URI without its pin-value attribute, and that PIN or None."""
    match = re.search(r"([;?&])pin-value=([^;?&]*)", uri)
    if not match:
        return uri, None
    rest = uri[match.end():]
    if match.group(1) == "?" and rest.startswith("&"):
        rest = "?" + rest[1:]
    return uri[:match.start()] + rest, urllib.parse.unquote(match.group(2))


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


def check_digest(path):
    """Raises SigningError unless the file's signature holds a SHA-256 digest
    of the file as it is. Who signed is not checked: a test certificate
    passes."""
    done = subprocess.run(["osslsigncode", "verify", "-in", path], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    text = done.stdout.decode(errors="replace")
    current = re.findall(r"(?m)^Current message digest *: *([0-9A-F]{64})\s*$", text)
    calculated = re.findall(r"(?m)^Calculated message digest *: *([0-9A-F]{64})\s*$", text)
    algorithm = re.findall(r"(?m)^Message digest algorithm *: *(\S+)\s*$", text)
    if not (len(current) == 1 and current == calculated and algorithm[:1] == ["SHA256"]):
        raise SigningError("no signature that holds the file's SHA-256 digest")


def unsigned(path, scratch):
    """The bytes of the signed file path without its signature, once its
    digest is checked."""
    check_digest(path)
    stripped = os.path.join(scratch, "unsigned.exe")
    run(["osslsigncode", "remove-signature", "-in", path, "-out", stripped])
    with open(stripped, "rb") as f:
        return f.read()
