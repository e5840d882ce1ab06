"""The release zip: archver.exe as built, the README, and SHA256SUMS that
matches them.

usage: test_package.py CPACK BUILD_DIR ARCHVER_EXE
"""
import hashlib
import subprocess
import sys
import tempfile
import zipfile


def main():
    cpack, build_dir, exe = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([cpack, "--config", build_dir + "/CPackConfig.cmake", "-B", out],
                       check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(out + "/archver-1.3.0-win32.zip") as package:
            files = {name: package.read(name) for name in package.namelist()}
    with open(exe, "rb") as f:
        built = f.read()
    failures = []
    if sorted(files) != ["README.md", "SHA256SUMS", "archver.exe"]:
        failures.append("package holds %s" % sorted(files))
    elif files["archver.exe"] != built:
        failures.append("archver.exe in the package is not the one built")
    else:
        sums = "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                       for name in ("archver.exe", "README.md"))
        if files["SHA256SUMS"].decode() != sums:
            failures.append("SHA256SUMS:\n%s\nwant\n%s" % (files["SHA256SUMS"].decode(), sums))
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
