"""The documents as a release ships them: short enough to read, with nothing
that a published release would make false, no version but in CHANGELOG.md,
whose top entry is this version's, dated or unreleased."""
import os
import re

import pristine
import pytest
import recipes

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# Words of a document that a published release would make false.
STALE = re.compile(r"not yet|until then|never run|has not run|not hosted|no release has", re.I)
LONGEST = {"README.md": 150}  # lines; every other document 300


@pytest.fixture(scope="module")
def texts():
    """{name: text} of the documents git tracks."""
    return {name: open(os.path.join(TOP, name)).read()
            for name in pristine.git(TOP, "ls-files", "*.md").decode().split()}


def test_documents_short_enough_to_read(texts):
    assert [n for n, text in texts.items() if text.count("\n") > LONGEST.get(n, 300)] == []


def test_nothing_a_release_makes_false(texts):
    assert ["%s: %s" % (n, m) for n, text in texts.items() for m in STALE.findall(text)] == []


def test_version_only_in_the_changelog_with_its_date(texts):
    version = pristine.project_version(open(os.path.join(TOP, "CMakeLists.txt"), "rb").read())
    headings = re.findall(r"(?m)^## (.*)$", texts.get("CHANGELOG.md", ""))
    assert (["%s: %s" % (n, m) for n, text in texts.items() if n != "CHANGELOG.md"
             for m in re.findall(r"\d+\.\d+\.\d+", text) if m == version],
            bool(re.fullmatch(r"%s \((\d{4}-\d\d-\d\d|unreleased)\)" % re.escape(version),
                              headings[0] if headings else ""))) == ([], True)


def test_server_builds_said_alike(texts):
    """The servers' builds: README's table, the batch and PowerShell
    recipes, each as the recipes' tests expect them."""
    recipes_md = texts["docs/recipes.md"]
    servers = re.search(r"(?m)^\$servers = @\{(.*?)\}$", recipes_md, re.S).group(1)
    assert ({int(b) for b in re.findall(r"(?m)^\| Server[^|]*\| 2 or 3 \| (\d+) \|$",
                                         texts["README.md"])},
            {int(b): n for b, n in re.findall(r"(?m)^if %build% EQU (\d+) set name=(.*)$",
                                              recipes_md)},
            {int(b): n for b, n in re.findall(r"(\d+) = '([^']*)'", servers)}) == \
        (set(recipes.SERVERS), recipes.SERVERS, recipes.SERVERS)
