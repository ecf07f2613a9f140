"""The Dask recipe, on a local cluster of two workers."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import imagegen
import pairfit

pytest.importorskip("dask.distributed")
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_align.py"


def test_pairs_of_a_csv_are_aligned_on_two_workers(tmp_path, reference_rgb, program):
    lines = ["img,cam"]
    for k in range(4):
        imagegen.save(reference_rgb, tmp_path / f"r{k}.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 6.0 * k, 2.0 * k, seed=k),
                      tmp_path / f"c{k}.png")
        lines.append(f"r{k}.jpg,c{k}.png")
    lines.append("missing.jpg,c0.png")
    (tmp_path / "pairs.csv").write_text("\n".join(lines) + "\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, str(EXAMPLE), str(tmp_path / "pairs.csv"), "--workers",
                           "2", "--output", str(tmp_path / "out"), "--size", "500"],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "aligned 4, missing 1, special 0, error 0" in done.stdout
    records = [json.loads(l) for l in (tmp_path / "pairfit-report.jsonl").read_text().splitlines()]
    assert len(records) == 5
    assert list(records[0]) == ["img", "cam", "outcome", "score", "theta", "s", "t_x", "t_y",
                                "error", "seconds", "img_canonical", "cam_canonical"]
    for record in records:
        if record["outcome"] == "aligned":
            direct = pairfit.ICpair_Aligning(record["img"], record["cam"], str(tmp_path / "d"), 500)
            assert {k: record[k] for k in direct} == direct
    assert len(list((tmp_path / "out").glob("*_aligned.png"))) == 4
    # pairfit-batch takes the report up where the recipe left it.
    batch = os.path.join(os.path.dirname(program), "pairfit-batch")
    resumed = subprocess.run([batch, "pairs.csv", "--resume", "--size", "500"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=300)
    assert "0 pairs processed in this run" in resumed.stdout, resumed.stderr
