"""Every example of README.md runs as written, on the bundled sample pair.

Each ```python block runs on its own, in a fresh folder holding the sample
pair under the names the examples use. The shell lines that call the programs
run one after the other in one such folder, in README order, as a reader
would type them. A block right after `<!-- not run: REASON -->` is skipped
with that reason (a cluster's address, a remote machine).
"""

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

README = ROOT / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)
NOT_RUN = re.compile(r"<!--\s*not run:\s*(.*?)\s*-->\s*$")
SHELL = {"sh", "shell", "bash", "console"}
# What a reader has after `pip install "pairfit[dask]"`, besides the standard library.
INSTALLED_WITH_PAIRFIT = {"pairfit", "numpy", "dask", "distributed"}
# Exit statuses that mean "worked": `pairfit` ends with 1 after an alignment.
PROGRAMS = {"pairfit": {0, 1}, "pairfit-batch": {0}}


def readme_blocks(text):
    """(language, line number, code, reason it is not run or None) of each fenced block."""
    blocks = []
    for match in FENCE.finditer(text):
        before = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        not_run = NOT_RUN.search(before)
        line = text.count("\n", 0, match.start()) + 1
        blocks.append((match.group(1), line, match.group(2), not_run and not_run.group(1)))
    return blocks


def program_lines(blocks):
    """(line number, command) of the shell lines that call one of the programs."""
    lines = []
    for language, start, code, reason in blocks:
        if language not in SHELL or reason:
            continue
        for offset, command in enumerate(code.splitlines(), start + 1):
            if command.split(" ", 1)[0] in PROGRAMS:
                lines.append((offset, command))
    return lines


def modules_outside_pairfit(code):
    """Top-level modules the code imports that installing pairfit does not bring."""
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0:
            names.add(node.module.split(".")[0])
    return names - INSTALLED_WITH_PAIRFIT - set(sys.stdlib_module_names)


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))


def lay_out_samples(folder):
    """The names the examples use: pN.jpg in scans/ with its camera image both
    beside it (scans/pN.png, paired by folder) and in shots/, their pixels as
    BGR arrays (scans/pN.npy, shots/pN.npy), and pairs.csv listing the pairs."""
    for sub in ("scans", "shots"):
        (folder / sub).mkdir()
    rows = ["img,cam"]
    for name in ("p1", "p2"):
        for source, target in [("label.jpg", f"scans/{name}.jpg"), ("label.png", f"scans/{name}.png"),
                               ("label.png", f"shots/{name}.png")]:
            shutil.copy(ROOT / "examples" / source, folder / target)
        for image in (folder / f"scans/{name}.jpg", folder / f"shots/{name}.png"):
            rgb = np.asarray(Image.open(image).convert("RGB"))
            np.save(image.with_suffix(".npy"), rgb[..., ::-1])
        rows.append(f"scans/{name}.jpg,shots/{name}.png")
    (folder / "pairs.csv").write_text("\n".join(rows) + "\n")


def run(args, folder, **kwargs):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), os.environ.get("PYTHONPATH", "")]),
               PATH=os.pathsep.join([str(BUILD), os.environ["PATH"]]))
    return subprocess.run(args, cwd=folder, env=env, capture_output=True, text=True, timeout=300, **kwargs)


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
    commands = program_lines(BLOCKS)
    assert {command.split(" ", 1)[0] for _, command in commands} == set(PROGRAMS)
    lay_out_samples(tmp_path)
    for line, command in commands:
        done = run(["bash", "-c", command], tmp_path)
        program = command.split(" ", 1)[0]
        quiet = program != "pairfit" or not done.stderr
        assert done.returncode in PROGRAMS[program] and quiet, (
            f"README.md line {line}: `{command}` ends with status {done.returncode}:\n"
            f"{done.stdout}{done.stderr}")
