"""Collects failed comparisons of a test script and reports them at its end."""

failures = []


def check(what, got, want):
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def finish():
    """Prints the failures; returns the script's exit status."""
    for failure in failures:
        print("FAIL", failure)
    print("%d failures" % len(failures))
    return 1 if failures else 0
