"""Real faults for the tests: a small file system."""

import contextlib
import os
import subprocess

import pytest


def need_root(what):
    if os.geteuid() != 0:
        pytest.skip(f"{what} needs root")


@contextlib.contextmanager
def small_file_system(path, free_bytes):
    """A 1 MB tmpfs mounted at `path` with about `free_bytes` left."""
    need_root("mounting a small file system")
    path.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(path)], check=True)
    try:
        (path / "filler").write_bytes(b"\0" * (2**20 - free_bytes))
        yield path
    finally:
        subprocess.run(["umount", str(path)], check=True)



# Linux carries the peak of a process over exec, so a child of a large
# process (pytest) starts with its parent's peak: a fresh, small interpreter
# starts the measured program instead and reports its figures.
_MEASURE = ("import os, sys\n"
            "pid = os.fork()\n"
            "if pid == 0:\n"
            "    os.execv(sys.argv[1], sys.argv[1:])\n"
            "_, status, usage = os.wait4(pid, 0)\n"
            "print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)\n")


def peak_of(command, env=None):
    """Runs `command`; its exit status, standard error and peak resident
    memory in MB (of that process alone)."""
    import sys
    done = subprocess.run([sys.executable, "-c", _MEASURE, *map(str, command)], capture_output=True,
                          env=dict(os.environ, **(env or {})), timeout=300)
    status, peak_kb = (int(v) for v in done.stdout.split()[-2:])
    return status, done.stderr.decode(errors="replace"), peak_kb / 1024
