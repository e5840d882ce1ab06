"""The checks of the end-to-end scripts and of recipes.py: a collector of
failed comparisons, reported at the script's end with the count of those
that passed."""

failures = []
checked = [0]


def check(what, got, want):
    checked[0] += 1
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def finish():
    """Prints the failures and the count; returns the script's exit status."""
    for failure in failures:
        print("FAIL", failure)
    print("%d passed, %d failed" % (checked[0] - len(failures), len(failures)))
    return 1 if failures else 0
