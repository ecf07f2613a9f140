"""Every example of README.md runs as written, on the sample pair laid out as the examples name it.
A block right after `<!-- not run: REASON -->` is skipped with that reason."""

import ast
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from conftest import BUILD, ROOT

FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)
NOT_RUN = re.compile(r"<!--\s*not run:\s*(.*?)\s*-->\s*$")
# What a reader has after `pip install "pairfit[dask]"`, besides the standard library.
INSTALLED_WITH_PAIRFIT = {"pairfit", "numpy", "dask", "distributed"}
# Exit statuses that mean "worked": `pairfit` ends with 1 after an alignment.
PROGRAMS = {"pairfit": {0, 1}, "pairfit-batch": {0}}


def readme_blocks(text):
    """(language, line number, code, reason it is not run or None) of each fenced block."""
    for match in FENCE.finditer(text):
        not_run = NOT_RUN.search(text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1])
        yield (match.group(1), text.count("\n", 0, match.start()) + 1, match.group(2),
               not_run and not_run.group(1))


BLOCKS = list(readme_blocks((ROOT / "README.md").read_text(encoding="utf-8")))


def lay_out_samples(folder):
    """scans/pN.jpg with its camera image beside it (scans/pN.png) and in shots/, their pixels
    as BGR arrays (scans/pN.npy, shots/pN.npy), and pairs.csv of scans/pN.jpg with shots/pN.png."""
    for sub in ("scans", "shots"):
        (folder / sub).mkdir()
    for name in ("p1", "p2"):
        shutil.copy(ROOT / "examples/label.png", folder / f"scans/{name}.png")
        for source, target in [("jpg", f"scans/{name}.jpg"), ("png", f"shots/{name}.png")]:
            shutil.copy(ROOT / f"examples/label.{source}", folder / target)
            rgb = np.asarray(Image.open(folder / target).convert("RGB"))
            np.save((folder / target).with_suffix(".npy"), rgb[..., ::-1])
    (folder / "pairs.csv").write_text("img,cam\nscans/p1.jpg,shots/p1.png\nscans/p2.jpg,shots/p2.png\n")


def run(args, folder):
    env = dict(os.environ, PATH=os.pathsep.join([str(BUILD / "bin"), os.environ["PATH"]]),
               PYTHONPATH=os.pathsep.join(filter(None, [str(BUILD), os.environ.get("PYTHONPATH")])))
    return subprocess.run(args, cwd=folder, env=env, capture_output=True, text=True, timeout=300)


def modules_outside_pairfit(code):
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            names.add(node.module.split(".")[0])
    return names - INSTALLED_WITH_PAIRFIT - set(sys.stdlib_module_names)


@pytest.mark.parametrize("line, code, reason", [pytest.param(line, code, reason, id=f"line{line}")
                                                for language, line, code, reason in BLOCKS
                                                if language == "python"])
def test_python_example_runs_as_written(tmp_path, line, code, reason):
    if reason:
        pytest.skip(f"README.md line {line}: {reason}")
    outside = modules_outside_pairfit(code)
    assert not outside, f"the example at README.md line {line} needs {sorted(outside)}, not installed with pairfit"
    lay_out_samples(tmp_path)
    done = run([sys.executable, "-c", code], tmp_path)
    assert done.returncode == 0, f"the example at README.md line {line} fails:\n{done.stderr}"


def test_program_commands_run_in_readme_order(tmp_path):
    commands = [(line, command) for language, start, code, reason in BLOCKS
                if language in ("sh", "shell", "bash") and not reason
                for line, command in enumerate(code.splitlines(), start + 1)
                if command.split(" ", 1)[0] in PROGRAMS]
    assert {command.split(" ", 1)[0] for _, command in commands} == set(PROGRAMS)
    lay_out_samples(tmp_path)
    for line, command in commands:
        done = run(["bash", "-c", command], tmp_path)
        program = command.split(" ", 1)[0]
        # The program's only words on standard error are failures.
        quiet = program != "pairfit" or not done.stderr
        assert done.returncode in PROGRAMS[program] and quiet, (
            f"README.md line {line}: `{command}` ends with status {done.returncode}:\n"
            f"{done.stdout}{done.stderr}")
