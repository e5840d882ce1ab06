"""tools/setup and tools/test through stand-ins for the programs they run,
each recording how it was called: what set-up runs for a user without
sudo, with sudo and as root, and what an interrupted test run leaves."""
import os
import shutil
import subprocess

import pytest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
# What tools/setup run installs: building archver and running it under Wine.
RUN = "cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 wine32:i386 python3"
INSTALL = "apt-get install -y -q --no-install-recommends " + RUN
# What it runs once it may: the 32-bit half, the package lists, the count
# and size it says, the install.
STEPS = ["dpkg --add-architecture i386", "apt-get update -q",
         "apt-get install --assume-no --no-install-recommends " + RUN, INSTALL]
# (who, the user id, whether sudo is there, exit status, the lines it prints
# that say what to run, the calls after it asked dpkg for the 32-bit half)
SETUP = [
    ("a user without sudo", 1000, False, 1,
     ["  dpkg --add-architecture i386 && apt-get update && " + INSTALL], []),
    ("a user with sudo", 1000, True, 0, [], ["sudo " + step for step in STEPS]),
    ("root", 0, False, 0, [], STEPS),
]


def stand_ins(folder, scripts):
    os.makedirs(folder, exist_ok=True)
    for name, body in scripts.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write("#!/bin/sh\n%s\n" % body)
        os.chmod(os.path.join(folder, name), 0o755)


@pytest.mark.parametrize("who, uid, sudo, status, said, calls", SETUP,
                         ids=[row[0] for row in SETUP])
def test_setup_run_on_a_bare_debian(tmp_path, who, uid, sudo, status, said, calls):
    log = tmp_path / "calls"
    log.write_text("")
    scripts = {"id": "echo %d" % uid, "dpkg-query": "exit 1",
               "dpkg": 'echo "dpkg $*" >> %s' % log, "apt-get": 'echo "apt-get $*" >> %s' % log,
               "npm": 'echo "npm $*" >> %s' % log}
    if sudo:
        scripts["sudo"] = 'printf "sudo " >> %s; "$@"' % log
    stand_ins(tmp_path / "bin", scripts)
    for tool in ("dirname", "grep", "find"):
        os.symlink(shutil.which(tool), tmp_path / "bin" / tool)
    done = subprocess.run([os.path.join(TOP, "tools", "setup"), "run"], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=dict(os.environ, PATH=str(tmp_path / "bin")))
    printed = done.stdout.decode(errors="replace").splitlines()
    assert (done.returncode, [line for line in printed if line.startswith("  ")],
            log.read_text().splitlines()) == (
                status, said, ["dpkg --print-foreign-architectures"] + calls)


# What CTest's log holds of a passing pytest test: its counts, a skip, and
# what the harness ran again, indented; then a test that printed none.
LAST_TEST = """1/2 Test: test_crosscheck_wow64
SKIPPED [1] e2e/test_verify.py:9: root alone starts it so
2 run again
    launch.exe a
    reg import
18 passed, 37 deselected in 9.00s
Test time = 9 sec
2/2 Test: lint_yamllint
0 run again
"""
LOG = "build/$2/Testing/Temporary/LastTest.log"
PASSING = 'mkdir -p "$(dirname %s)"\ncat >%s <<"END"\n%sEND\n' % (LOG, LOG, LAST_TEST)
# (what, cmake's and ctest's stand-ins, tools/test's exit status, how many
# presets' summaries it prints): each run ends with its prefixes removed.
TEST_RUNS = [("every preset passing", "", PASSING, 0, 3),
             ("the GCC preset's ctest failing", "", PASSING + '[ "$2" != windows-x86 ] || exit 8',
              8, 1),
             ("ended by TERM in the middle of a build", 'kill -TERM "$PPID"', "", 130, 0)]


@pytest.mark.parametrize("cmake, ctest, status, summed", [row[1:] for row in TEST_RUNS],
                         ids=[row[0] for row in TEST_RUNS])
def test_test(tmp_path, cmake, ctest, status, summed):
    """tools/test prints what each passing ctest's pytest counted, and ends
    with the status of a ctest that fails or with 130 when stopped."""
    os.makedirs(tmp_path / "tools")
    shutil.copy(os.path.join(TOP, "tools", "test"), tmp_path / "tools")
    stand_ins(tmp_path / "tools", {"setup": "exit 0"})
    stand_ins(tmp_path / "bin", {"cmake": "mkdir -p build/wine\n" + cmake, "ctest": ctest})
    done = subprocess.run(["sh", str(tmp_path / "tools" / "test")], stdout=subprocess.PIPE,
                          env=dict(os.environ, PATH="%s:%s" % (tmp_path / "bin", os.environ["PATH"])))
    # A test that ran nothing again says nothing.
    summary = ["test_crosscheck_wow64: " + line for line in LAST_TEST.splitlines()[1:6]]
    assert (done.returncode, done.stdout.decode().splitlines(),
            (tmp_path / "build" / "wine").exists()) == (status, summary * summed, False)
