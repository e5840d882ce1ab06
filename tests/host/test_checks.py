"""The second run of checks.check_twice, with which the Wine tests meet the
output Wine now and then loses: a row that differs both times fails, one
that differs only the first time passes, and either is counted as run
again."""
import os
import sys

import pytest

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import checks  # noqa: E402


@pytest.mark.parametrize("results, failed", [([1, 1], True), ([1, 0], False), ([0], False)],
                         ids=["differs twice", "differs once", "agrees"])
def test_a_row_run_again(results, failed):
    before, again, runs = len(checks.failures), len(checks.again), iter(results)
    checks.check_twice("a row", lambda: next(runs), 0)
    assert (len(checks.failures) > before, len(checks.again) - again) == (
        failed, len(results) - 1)
