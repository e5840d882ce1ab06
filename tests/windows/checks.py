"""The checks of the end-to-end scripts and of recipes.py: a collector of
failed comparisons, reported at the script's end with the count of those
that passed, of those that were run twice and of those that could not run
here."""

failures = []
checked = [0]
again = []
not_run = []


def check(what, got, want):
    checked[0] += 1
    if got != want:
        failures.append("%s:\n    got  %r\n    want %r" % (what, got, want))


def finish(*reruns):
    """Prints the failures and the counts, with what else ran again (the Wine
    harness's reruns); returns the script's exit status."""
    again.extend(run for more in reruns for run in more)
    for failure in failures:
        print("FAIL", failure)
    print("%d passed, %d failed%s%s" % (checked[0] - len(failures), len(failures),
                                        ", %d run twice" % len(again) if again else "",
                                        ", %d not run" % len(not_run) if not_run else ""))
    return 1 if failures else 0


def cannot_run(what, why):
    """A check that this machine cannot make: said, and counted apart."""
    print("NOT RUN: %s: %s" % (what, why))
    not_run.append(what)
