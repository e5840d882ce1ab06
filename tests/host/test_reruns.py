"""The reruns with which the Wine tests meet what Wine now and then loses:
checks.check_twice, where a row that differs both times fails and one that
differs only the first time passes, and the harness's until_done, which
starts a failing program once more; each counts what it ran again."""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path += [os.path.join(HERE, "..", "windows"), os.path.join(HERE, "..", "..", "tools", "wine")]
import checks  # noqa: E402
import winehost  # noqa: E402


@pytest.mark.parametrize("results, failed", [([1, 1], True), ([1, 0], False), ([0], False)],
                         ids=["differs twice", "differs once", "agrees"])
def test_a_row_run_again(results, failed):
    before, again, runs = len(checks.failures), len(checks.again), iter(results)
    checks.check_twice("a row", lambda: next(runs), 0)
    assert (len(checks.failures) > before, len(checks.again) - again) == (
        failed, len(results) - 1)


@pytest.mark.parametrize("fails, tries, ends", [(0, 2, True), (1, 2, True), (2, 2, False),
                                                (2, 3, True)])
def test_a_program_started_once_more(tmp_path, fails, tries, ends):
    """A program that fails its first `fails` starts."""
    count = tmp_path / "count"
    command = ["sh", "-c", 'n=$(cat %s 2>/dev/null || echo 0); echo $((n + 1)) >%s; '
               '[ "$n" -ge %d ]' % (count, count, fails)]
    before = len(winehost.reruns)
    try:
        winehost.until_done("a program", command, dict(os.environ), tries=tries)
        ended = True
    except RuntimeError:
        ended = False
    assert (ended, len(winehost.reruns) - before) == (ends, min(fails, tries))
