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


@pytest.mark.parametrize("fails, ends", [(0, True), (1, True), (2, False)])
def test_launch_started_once_more(tmp_path, fails, ends):
    """launch.exe, through a stand-in wine that fails its first `fails` starts
    as Wine under load does, then writes the exit code where it is told."""
    standin = tmp_path / "wine"
    standin.write_text(
        "#!/bin/sh\nn=$(cat %s/count 2>/dev/null || echo 0); echo $((n + 1)) >%s/count\n"
        "[ \"$n\" -ge %d ] || { echo 'cannot start: error 1359' >&2; exit 1; }\n"
        "printf 7 >\"$(printf %%s \"$3\" | sed 's/^Z://' | tr '\\\\' /)\"\n"
        % (tmp_path, tmp_path, fails))
    standin.chmod(0o755)
    prefix = winehost.Prefix(str(tmp_path / "prefix"), "win64", "launch.exe")
    prefix.env["PATH"] = "%s:%s" % (tmp_path, os.environ["PATH"])
    before = len(winehost.reruns)
    try:
        ended = prefix.run_command(b"archver.exe /o")[2] == 7
    except RuntimeError:
        ended = False
    assert (ended, len(winehost.reruns) - before) == (ends, min(fails, 1))
