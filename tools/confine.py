"""How tools/verify runs each step on the bytes of a zip or a commit under
check (git on its objects, tar on its tree, its build, osslsigncode and
openssl on its signature): in bubblewrap's sandbox, with the programs of
this machine or of a root of another Debian release, the files it is
handed read-only, and nothing else of the caller's: no terminal, session,
keyring, variable, home, network or process. Each step runs within limits
that a release's steps stay far below, and whichever is hit is named."""
import contextlib
import os
import select
import signal
import struct
import subprocess
import time

from pristine import SYSTEM_PATH

BWRAP = "/usr/bin/bwrap"

# A release's build, its longest step, takes about 1.5 s, a handful of
# processes at once, under 60 MiB of memory each, and writes 6 MiB and
# prints 1 KiB.
SECONDS = 300  # every step of one check together
PROCESSES = 64  # at once, in one step
MEMORY = 2 << 30  # the address space of each process
WRITTEN = 256 << 20  # in /build, where it builds; /tmp has a quarter of it
PRINTED = 16 << 20  # by one step; what verify keeps of it is less still

# The system calls of the kernel's keyrings (add_key, request_key, keyctl),
# by the audit architecture whose numbers they are; a process of any other
# architecture is stopped at its first call.
KEYRING_CALLS = [(0xC000003E, (248, 249, 250)),  # x86-64, and its x32 numbers below
                 (0x40000003, (286, 287, 288)),  # i386
                 (0xC00000B7, (217, 218, 219)),  # arm64
                 (0x40000028, (309, 310, 311))]  # armhf
X32 = 0x40000000
# The exit status a step's wrapper gives where the step failed with no room
# left to write: a limit, not the step's own failure.
FILLED = 125

deadline = None


class LimitHit(Exception):
    """The limit a step reached, in words."""


def keyring_filter():
    """The seccomp program that refuses the keyring calls with EPERM: no step
    reads, adds to or joins the caller's keyrings, or makes its own."""
    load, jump, give = 0x20, 0x15, 0x06  # BPF_LD|W|ABS, BPF_JMP|JEQ|K, BPF_RET|K
    code = [(load, 0, 0, 4)]  # seccomp_data.arch
    for arch, calls in KEYRING_CALLS:
        if arch == KEYRING_CALLS[0][0]:
            calls += tuple(X32 | call for call in calls)
        code += [(jump, 0, len(calls) + 2, arch), (load, 0, 0, 0)]  # seccomp_data.nr
        code += [(jump, "refuse", 0, call) for call in calls] + [(give, 0, 0, 0x7FFF0000)]
    code += [(give, 0, 0, 0x80000000), (give, 0, 0, 0x00050000 | 1)]  # kill; EPERM
    refuse = len(code) - 1
    return b"".join(struct.pack("=HBBI", op, refuse - at - 1 if yes == "refuse" else yes, no, k)
                    for at, (op, yes, no, k) in enumerate(code))


def sandbox(root, inputs, seccomp_fd):
    """bubblewrap's command line that shows a command the system in root
    ("/" for this machine's) and nothing else of it: /usr, the links of a
    merged /usr, /etc/alternatives (which names the compiler), /etc/ssl
    (where osslsigncode looks for the certificates it trusts); each file or
    folder of inputs read-only where it is here; /build and /tmp of a
    bounded size, a /dev of its own, read-only, and a /proc of its own."""
    args = [BWRAP, "--unshare-all", "--die-with-parent", "--new-session", "--clearenv",
            "--setenv", "PATH", SYSTEM_PATH, "--setenv", "HOME", "/tmp", "--seccomp",
            str(seccomp_fd), "--ro-bind", os.path.join(root, "usr"), "/usr"]
    for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        path = os.path.join(root, name)
        if os.path.islink(path):
            args += ["--symlink", os.readlink(path), "/" + name]
        elif os.path.isdir(path):
            args += ["--ro-bind", path, "/" + name]
    for name in ("alternatives", "ssl"):
        args += ["--ro-bind-try", os.path.join(root, "etc", name), "/etc/" + name]
    args += ["--size", str(WRITTEN), "--tmpfs", "/build", "--size", str(WRITTEN // 4), "--tmpfs",
             "/tmp", "--dev", "/dev", "--size", str(1 << 20), "--tmpfs", "/dev/shm",
             "--remount-ro", "/dev", "--proc", "/proc", "--chdir", "/build"]
    for path in inputs:
        args += ["--ro-bind", path, path]
    return args + ["--"]


# Runs a step within the limits of each process, and tells a failure for
# want of room to write apart from the step's own.
WRAPPER = """status=0
prlimit --nproc=%d --as=%d --core=0 -- "$@" || status=$?
if [ $status -ne 0 ]; then
    for folder in /build /tmp; do
        [ "$(stat -f -c %%a $folder)" -gt 8 ] || exit %d
    done
fi
exit $status""" % (PROCESSES, MEMORY, FILLED)


def run(args, inputs=(), root="/", env=None, most=None, keep=16 << 10):
    """(exit status, what it printed on standard output and error: all of
    it, or its last keep bytes without most) of args run in the sandbox on
    the system in root, inputs readable, env its only variables besides PATH
    and HOME. Raises LimitHit where it took longer than the check has left,
    printed more than most or PRINTED, or filled what it may write."""
    global deadline
    if deadline is None:
        deadline = time.monotonic() + SECONDS
    read_end, write_end = os.pipe()
    os.write(write_end, keyring_filter())
    os.close(write_end)
    command = sandbox(root, inputs, read_end)
    for name, value in (env or {}).items():
        command[1:1] = ["--setenv", name, value]
    try:
        step = subprocess.Popen(command + ["sh", "-c", WRAPPER, "sh"] + list(args),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, pass_fds=(read_end,),
                                start_new_session=True)
    finally:
        os.close(read_end)
    kept, printed, hit = bytearray(), 0, None
    with step.stdout:
        while hit is None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([step.stdout], [], [], left)[0]:
                hit = "ran longer than the %d seconds a check may take" % SECONDS
                break
            chunk = os.read(step.stdout.fileno(), 1 << 16)
            if not chunk:
                break
            printed += len(chunk)
            kept += chunk
            del kept[:-(most or keep)]
            if printed > (most or PRINTED):
                hit = "printed more than %s" % (most and "%d bytes" % most or "%d MiB" % (
                    PRINTED >> 20))
        if hit:  # bubblewrap's own session: the sandbox dies with it
            with contextlib.suppress(ProcessLookupError):
                os.killpg(step.pid, signal.SIGKILL)
    status = step.wait()
    if hit is None and status == FILLED:
        hit = "wrote more than the %d MiB it may" % (WRITTEN >> 20)
    if hit:
        raise LimitHit(hit)
    return status, bytes(kept)
