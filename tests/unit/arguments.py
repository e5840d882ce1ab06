"""Writes the argument table of the behaviour tests (tests/windows/
behaviour.py) as C++ rows for classify_test.cpp: the first argument of each
row, the run mode it makes archver choose and what it prints on the way.

usage: arguments.py OUTPUT
"""
import sys

from behaviour import HELP, HINT, MODES

MODES_BY_ANSWER = {"V": "RUN_BITS_TWO_DIGIT", "B": "RUN_BITS_ONE_DIGIT", "O": "RUN_VERSION_CODE"}


def row(argument, out, code):
    if code == 0:
        mode, printed = "RUN_NONE", {HELP: "HELP", HINT: "HINT"}[out]
    else:
        mode, printed = "RUN_VERSION_REPORT" if out == "W" else MODES_BY_ANSWER[code], "NOTHING"
    # Octal escapes: a hexadecimal one would run on into the next letter.
    text = "".join(chr(b) if chr(b).isalnum() else "\\%03o" % b for b in argument)
    return '{%s, %s, std::string("%s", %d)},\n' % (mode, printed, text, len(argument))


with open(sys.argv[1], "w") as f:
    f.write("".join(row(args[0], out, code) for args, out, code in MODES if args))
