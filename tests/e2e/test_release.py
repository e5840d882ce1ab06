"""tools/release: the zip and its sums, unsigned and signed with a throwaway
self-signed code-signing certificate; the signed exe verifies, answers as the
unsigned one does, strips back to it and is the same from run to run; a
changed byte or bad signing input fails.

usage: test_release.py TOOLS_RELEASE BUILD_DIR ARCHVER_EXE VERSION LAUNCH_EXE PREFIX_DIR
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile

import pefile

from checks import check, finish
from winehost import Prefix

FILES = ["README.md", "SHA256SUMS", "archver.exe"]
SIGN_VARIABLES = ("ARCHVER_SIGN_CERT", "ARCHVER_SIGN_KEY", "ARCHVER_SIGN_TIMESTAMP_URL")


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def verifies(exe, ca):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


class Releaser:
    """Runs tools/release into an output directory of its own each time."""

    def __init__(self, tool, build, work, version):
        self.tool, self.build, self.work = tool, build, work
        self.name = "archver-%s-win32.zip" % version
        self.count = 0

    def release(self, cert=None, key=None):
        """(exit status, output, {name: bytes} of the zip's files and "zip"
        itself, or None without a zip; what the output directory holds)"""
        self.count += 1
        out = os.path.join(self.work, "out%d" % self.count)
        env = {k: v for k, v in os.environ.items() if k not in SIGN_VARIABLES}
        env.update({k: v for k, v in zip(SIGN_VARIABLES, (cert, key)) if v is not None})
        done = subprocess.run([self.tool, self.build, out], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        package = os.path.join(out, self.name)
        files = None
        if os.path.exists(package):
            with zipfile.ZipFile(package) as z:
                files = {name: z.read(name) for name in z.namelist()}
            with open(package, "rb") as f:
                files["zip"] = f.read()
        held = os.listdir(out) if os.path.isdir(out) else []
        return done.returncode, done.stdout.decode(), files, held


def check_package(what, files, exe):
    check(what + " files", sorted(n for n in files if n != "zip"), FILES)
    sums = "".join("%s  %s\n" % (hashlib.sha256(files.get(name, b"")).hexdigest(), name)
                   for name in ("archver.exe", "README.md"))
    check(what + " SHA256SUMS", files.get("SHA256SUMS", b"").decode(), sums)
    check(what + " archver.exe", files.get("archver.exe") == exe, True)


def main():
    tool, build, exe_path, version, launcher, prefix_dir = sys.argv[1:7]
    with open(exe_path, "rb") as f:
        built = f.read()
    with tempfile.TemporaryDirectory() as work:
        cert, key, other = (os.path.join(work, n) for n in ("cert.pem", "key.pem", "other.pem"))
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                "-days", "2", "-subj", "/CN=archver test signer",
                "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature")
        openssl("genrsa", "-out", other, "2048")
        garbage = os.path.join(work, "garbage.pem")
        with open(garbage, "w") as f:
            f.write("not a key\n")
        releaser = Releaser(tool, build, work, version)

        status, output, unsigned, _ = releaser.release()
        check("unsigned release", (status, "unsigned" in output, unsigned is not None),
              (0, True, True))
        check_package("unsigned", unsigned or {}, built)

        status, output, signed, _ = releaser.release(cert, key)
        check("signed release", (status, signed is not None), (0, True))
        signed = signed or {}
        signed_exe = signed.get("archver.exe", b"")
        check_package("signed", signed, signed_exe)
        _, _, again, _ = releaser.release(cert, key)
        check("two signed releases are the same zip", (again or {}).get("zip") == signed["zip"],
              True)

        path = os.path.join(work, "signed.exe")
        stripped = os.path.join(work, "stripped.exe")
        tampered = os.path.join(work, "tampered.exe")
        with open(path, "wb") as f:
            f.write(signed_exe)
        check("signed exe verifies", verifies(path, cert), True)
        subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", stripped],
                       check=True, stdout=subprocess.DEVNULL)
        with open(stripped, "rb") as f:
            check("stripped exe is the unsigned build", f.read() == built, True)
        code = pefile.PE(data=signed_exe).sections[0].PointerToRawData + 16
        with open(tampered, "wb") as f:
            f.write(signed_exe[:code] + bytes([signed_exe[code] ^ 1]) + signed_exe[code + 1:])
        check("one changed code byte fails verification", verifies(tampered, cert), False)
        print("unsigned %d bytes, signed %d bytes" % (len(built), len(signed_exe)))

        with Prefix(prefix_dir, "win64", launcher) as wine:
            for args in ([b"/o"], [b"/b"], [b"/w"], [b"/?"]):
                check("signed exe %r" % args, wine.run(path, args), wine.run(exe_path, args))

        # (what is wrong, certificate, key): an error, and no zip left behind
        for what, cert_file, key_file in [
                ("missing key", cert, os.path.join(work, "none.pem")),
                ("key of another certificate", cert, other),
                ("key that is no PEM", cert, garbage),
                ("certificate without key", cert, None)]:
            status, output, _, held = releaser.release(cert_file, key_file)
            check(what, (status != 0, "tools/release: " in output, held), (True, True, []))
            print(what, "->", output.strip().splitlines()[-1] if output.strip() else "")
    return finish()


if __name__ == "__main__":
    sys.exit(main())
