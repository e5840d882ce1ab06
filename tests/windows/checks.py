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


def check_twice(what, run, want, part=lambda got: got, show=str):
    """Checks part(run()) against want, running it once more where it
    differs: under load Wine now and then hands a program that cmd.exe
    starts no output. Says so, and shows the first run with show(); a fault
    differs both times. Returns what the last run gave."""
    got = run()
    if part(got) != want:
        # Indented, so that no line of it reads as this script's own.
        print("%s differs, run again; the first run:" % what)
        print("".join("    %s\n" % line for line in show(got).splitlines()), end="")
        again.append(what)
        got = run()
    check(what, part(got), want)
    return got


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
