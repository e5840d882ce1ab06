"""The release zip: archver.exe as built, the README, and SHA256SUMS that
matches them.

usage: test_package.py CPACK BUILD_DIR ARCHVER_EXE
"""
import hashlib
import subprocess
import sys
import tempfile
import zipfile

from checks import check, finish


def main():
    cpack, build_dir, exe = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([cpack, "--config", build_dir + "/CPackConfig.cmake", "-B", out],
                       check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(out + "/archver-1.3.0-win32.zip") as package:
            files = {name: package.read(name) for name in package.namelist()}
    with open(exe, "rb") as f:
        built = f.read()
    check("files", sorted(files), ["README.md", "SHA256SUMS", "archver.exe"])
    check("archver.exe is the one built", files.get("archver.exe") == built, True)
    sums = "".join("%s  %s\n" % (hashlib.sha256(files.get(name, b"")).hexdigest(), name)
                   for name in ("archver.exe", "README.md"))
    check("SHA256SUMS", files.get("SHA256SUMS", b"").decode(), sums)
    return finish()


if __name__ == "__main__":
    sys.exit(main())
