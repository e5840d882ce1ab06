"""The checks of the scripts that also run on Windows, where the runner has
Python but no pytest: a collector of failed comparisons, reported at the
script's end with the count of those that passed and of those run twice."""

failures = []
checked = [0]
reruns = []


def check(what, got, want):
    checked[0] += 1
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def finish():
    """Prints the failures and the counts; returns the script's exit status."""
    for failure in failures:
        print("FAIL", failure)
    print("%d passed, %d failed%s" % (checked[0] - len(failures), len(failures),
                                      ", %d run twice" % len(reruns) if reruns else ""))
    return 1 if failures else 0
