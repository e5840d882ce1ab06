"""What the end-to-end tests share: what CTest hands them in the
environment (ARCHVER_*: the programs built, the booted prefixes, the
bitness a test runs on), a Wine prefix of that bitness for the whole run,
copied from the booted one, and a last line that counts what the harness
ran again where Wine lost a program's output."""
import os

import pytest

import winehost

BUILT = {name[len("ARCHVER_"):].lower(): value for name, value in os.environ.items()
         if name.startswith("ARCHVER_")}


@pytest.fixture(scope="session")
def wine():
    with winehost.Prefix("e2e", BUILT["arch"], BUILT["launch"], BUILT["wine_dir"]) as prefix:
        yield prefix


def pytest_terminal_summary(terminalreporter):
    reruns = winehost.reruns
    terminalreporter.write_line("%d run again%s" % (len(reruns), "".join(
        "\n    " + what for what in reruns)))
