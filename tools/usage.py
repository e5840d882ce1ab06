"""The command line of each tool that people run by name, as command-line
tools take theirs: -h or --help prints the tool's usage and does nothing
else (exit 0); an option it does not know, or a wrong number of arguments,
prints the usage line on standard error (exit 2)."""
import sys


def arguments(doc, fewest, most):
    """This run's arguments, once there are fewest to most of them and no
    option before a "--"; doc is the tool's usage, its last line the usage
    line."""
    given = sys.argv[1:]
    end = given.index("--") if "--" in given else len(given)
    if set(given[:end]) & {"-h", "--help"}:
        print(doc.strip())
        sys.exit(0)
    options = [arg for arg in given[:end] if arg.startswith("-") and arg != "-"]
    given = given[:end] + given[end + 1:]
    if options or not fewest <= len(given) <= most:
        print(doc.strip().splitlines()[-1], file=sys.stderr)
        sys.exit(2)
    return given
