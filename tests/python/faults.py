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

