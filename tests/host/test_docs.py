"""The documents as a release ships them: short enough to read, with nothing
that a published release would make false, no version but in CHANGELOG.md,
whose entry for this version is dated."""
import os
import re
import subprocess

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# Words of a document that a published release would make false.
STALE = re.compile(r"not yet|until then|never run|has not run|not hosted|no release has", re.I)
LONGEST = {"README.md": 150}  # lines; every other document 300
DOCUMENTS = subprocess.run(["git", "-C", TOP, "ls-files", "*.md"], stdout=subprocess.PIPE,
                           check=True).stdout.decode().split()
TEXTS = {name: open(os.path.join(TOP, name)).read() for name in DOCUMENTS}
VERSION = re.search(r"project\(archver VERSION (\d+\.\d+\.\d+)",
                    open(os.path.join(TOP, "CMakeLists.txt")).read()).group(1)


def test_documents_short_enough_to_read():
    assert [n for n, text in TEXTS.items() if text.count("\n") > LONGEST.get(n, 300)] == []


def test_nothing_a_release_makes_false():
    assert ["%s: %s" % (n, m) for n, text in TEXTS.items() for m in STALE.findall(text)] == []


def test_version_only_in_the_changelog_with_its_date():
    assert (["%s: %s" % (n, m) for n, text in TEXTS.items() if n != "CHANGELOG.md"
             for m in re.findall(r"\d+\.\d+\.\d+", text) if m == VERSION],
            bool(re.search(r"(?m)^## %s \(\d{4}-\d\d-\d\d\)$" % re.escape(VERSION),
                           TEXTS.get("CHANGELOG.md", "")))) == ([], True)
