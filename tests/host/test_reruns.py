"""The harness's reruns, with which the Wine tests meet what Wine now and
then loses: again, where a row that differs both times gives what differs
and one that differs only the first time what agrees, and until_done,
which starts a failing program once more; each counts what it ran again."""
import os

import pytest

import winehost


@pytest.mark.parametrize("results, last", [([1, 1], 1), ([1, 0], 0), ([0], 0)],
                         ids=["differs twice", "differs once", "agrees"])
def test_a_row_run_again(results, last):
    before, runs = len(winehost.reruns), iter(results)
    assert winehost.again("a row", lambda: next(runs), lambda got: got == 0) == last
    assert len(winehost.reruns) - before == len(results) - 1


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
    assert (ended, len(winehost.reruns) - before) == (ends, min(fails, tries - 1))
