"""Helpers of the end-to-end scripts: a collector of failed comparisons,
reported at the script's end, and the shape of the "/w" report."""

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


def report(label, major, minor, product, build, suite, service_pack, csd):
    """The bytes "/w" prints for an extended version record."""
    lines = [label, "PlatformId    = 2", "Version Major = %d" % major,
             "Version Minor = %d" % minor, "ProductType   = %d" % product,
             "BuildNumber   = %d" % build, "SuiteMask     = %d" % suite,
             "ServicePack   = %s" % service_pack, "CSDVersion    = %s" % csd]
    return "".join("  %s\r\n" % line for line in lines).encode() + b"\r\n"
