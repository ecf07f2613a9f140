"""pairfit-dask: pairfit-batch's runs with the pairs aligned on real Dask clusters."""

import contextlib
import fcntl
import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import imagegen
from faults import small_file_system
from test_batch import copies_of_one_pair, make_folder, records, run_batch

pytest.importorskip("distributed")
DASK = [sys.executable, "-m", "pairfit.dask_batch"]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_dask(*args, **kwargs):
    return subprocess.run([*DASK, *map(str, args)], capture_output=True, text=True, timeout=600,
                          env=ENV, **kwargs)


@pytest.fixture(scope="module")
def batch(program):
    return os.path.join(os.path.dirname(program), "pairfit-batch")


def folder_with_every_outcome(folder, reference_rgb):
    """make_folder's pairs, a link that leads nowhere, and a pair above 700000 pixels."""
    make_folder(folder, reference_rgb, good=2)
    os.symlink("nowhere.jpg", folder / "gone.jpg")
    wide = np.concatenate([reference_rgb, reference_rgb[:, :300]], axis=1)
    imagegen.save(wide, folder / "wide.jpg")
    imagegen.save(imagegen.make_camera(wide, 1.0, 4.0, 2.0), folder / "wide.png")
    return folder


def assert_same_run(own, dask, own_dir, dask_dir):
    """The same status, summary, records (but the time taken) and files."""
    assert dask.returncode == own.returncode, dask.stderr
    assert "Traceback" not in dask.stderr and "distributed" not in dask.stderr, dask.stderr
    # Records come in the order pairs finish; so do the summary's lists of errors.
    timeless = [sorted(re.sub(r"\(\d+\.\d s\)", "", done.stdout).splitlines()) for done in (own, dask)]
    assert timeless[0] == timeless[1]
    without_seconds = [{r["img"]: {**r, "seconds": 0} for r in records(d / "pairfit-report.jsonl")}
                       for d in (own_dir, dask_dir)]
    assert without_seconds[0] == without_seconds[1]
    files = [sorted(p.name for p in d.iterdir() if p.name.endswith(".png") or p.name.endswith(".jpg"))
             for d in (own_dir, dask_dir)]
    assert files[0] == files[1] and files[0]
    for name in files[0]:
        assert (own_dir / name).read_bytes() == (dask_dir / name).read_bytes(), name


def test_a_local_cluster_gives_pairfit_batch_s_run(tmp_path, reference_rgb, batch):
    folder = folder_with_every_outcome(tmp_path / "in", reference_rgb)
    own = run_batch(batch, folder, "-o", tmp_path / "own", "--overlay")
    dask = run_dask(folder, "-o", tmp_path / "dask", "--overlay")
    assert own.returncode == 1  # the small pair and the link that leads nowhere
    assert_same_run(own, dask, tmp_path / "own", tmp_path / "dask")
    assert (tmp_path / "dask" / "index.html").exists()


def test_the_model_asked_for_reaches_the_cluster(tmp_path, batch):
    folder = tmp_path / "in"
    folder.mkdir()
    reference = imagegen.make_reference(900, 700, seed=5)
    imagegen.save(reference, folder / "lens.jpg")
    imagegen.save(imagegen.lens_camera(reference, 0.1), folder / "lens.png")
    own = run_batch(batch, folder, "-o", tmp_path / "own", "--model", "deformable", "--size", 500)
    dask = run_dask(folder, "-o", tmp_path / "dask", "--model", "deformable", "--size", 500)
    assert_same_run(own, dask, tmp_path / "own", tmp_path / "dask")
    assert records(tmp_path / "dask" / "pairfit-report.jsonl")[0]["method"].endswith(":deformable")


@contextlib.contextmanager
def cluster_that_cannot_see(folder):
    """A scheduler and one worker in a mount namespace of its own, where
    `folder` is an empty file system."""
    if os.geteuid() != 0:
        pytest.skip("needs root to hide a folder from a worker")
    address = folder.parent / "scheduler.json"
    scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler",
                                  "--scheduler-file", address, "--port", "0", "--no-dashboard"],
                                 env=ENV, stderr=subprocess.DEVNULL)
    worker = None
    try:
        while not address.exists():
            time.sleep(0.2)
        hidden = f'mount -t tmpfs tmpfs "{folder}" && exec "$0" "$@"'
        worker = subprocess.Popen(["unshare", "--mount", "sh", "-c", hidden, sys.executable, "-m",
                                   "distributed.cli.dask_worker", json.loads(address.read_text())[
                                       "address"], "--nthreads", "1", "--no-dashboard"],
                                  env=ENV, stderr=subprocess.DEVNULL)
        yield json.loads(address.read_text())["address"]
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                process.wait()


def test_shipped_images_reach_workers_that_cannot_see_them(tmp_path, reference_rgb, batch):
    folder = folder_with_every_outcome(tmp_path / "in", reference_rgb)
    options = ["--refine", "--max-pixels", 700000]  # the wide pair's message names it
    own = run_batch(batch, folder, "-o", tmp_path / "own", *options)
    with cluster_that_cannot_see(tmp_path) as address:
        dask = run_dask(folder, "-o", tmp_path / "dask", *options, "--ship-images",
                        "--scheduler", address)
    assert_same_run(own, dask, tmp_path / "own", tmp_path / "dask")


def test_a_listed_name_no_file_can_have_is_refused_on_the_cluster_too(tmp_path, reference_rgb, batch):
    copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
    (tmp_path / "pairs.csv").write_bytes(b"img,cam\nin/p0.jpg\0EVIL,in/p0.png\nin/p1.jpg,in/p1.png\n")
    own = run_batch(batch, tmp_path / "pairs.csv", "-o", tmp_path / "own", "-s", 200)
    dask = run_dask(tmp_path / "pairs.csv", "-o", tmp_path / "dask", "-s", 200)
    assert own.returncode == 1
    assert_same_run(own, dask, tmp_path / "own", tmp_path / "dask")


def test_pairfit_batch_s_refusals_come_before_any_cluster(tmp_path, reference_rgb):
    folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
    report = tmp_path / "r.jsonl"
    report.write_text('{"img":"a.jpg","cam":"a.png"}\n')
    refused = run_dask(folder, "-r", report, "--scheduler", "tcp://127.0.0.1:9")
    assert refused.returncode == 2 and "add --resume" in refused.stderr
    with open(report) as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        busy = run_dask(folder, "-r", report, "--overwrite", "--scheduler", "tcp://127.0.0.1:9")
    assert busy.returncode == 2 and "in use by another run" in busy.stderr


def batch_child(pid):
    children = open(f"/proc/{pid}/task/{pid}/children").read().split()
    return next(int(c) for c in children if b"pairfit-batch" in open(f"/proc/{c}/cmdline", "rb").read())


@pytest.mark.parametrize("to_batch_alone", [False, True])
def test_ctrl_c_keeps_every_finished_pair_for_resume(tmp_path, reference_rgb, batch, to_batch_alone):
    folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 60)
    report = tmp_path / "out" / "pairfit-report.jsonl"
    run = subprocess.Popen([*DASK, str(folder), "-o", str(tmp_path / "out"), "-s", "200"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV,
                           start_new_session=True)
    try:
        while not (report.exists() and len(report.read_text().splitlines()) >= 2):
            assert run.poll() is None, run.communicate()
            time.sleep(0.1)
        if to_batch_alone:  # the cluster must stop all the same
            os.kill(batch_child(run.pid), signal.SIGINT)
        else:  # as a terminal sends it: to every process of the run
            os.killpg(run.pid, signal.SIGINT)
        out, err = run.communicate(timeout=120)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(run.pid, signal.SIGKILL)
    assert run.returncode == 130 and "interrupted;" in err, err
    assert "Traceback" not in err, err
    kept = records(report)
    assert len(kept) < 60
    assert f"{len(kept)} pairs processed in this run" in out
    resumed = run_batch(batch, folder, "-o", tmp_path / "out", "-s", "200", "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert sorted(r["img"] for r in records(report)) == sorted(str(p) for p in folder.glob("*.jpg"))


def test_a_full_disk_for_shipped_crops_counts_the_pairs_it_kept(tmp_path, reference_rgb):
    folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 40)
    with small_file_system(tmp_path / "out", 300 * 1024) as out:
        run = run_dask(folder, "-o", out, "-s", 200, "--ship-images")
        kept = len(records(out / "pairfit-report.jsonl"))
    assert run.returncode != 0 and "No space left on device" in run.stderr
    assert 0 < kept < 40
    assert f"{kept} pairs processed in this run" in run.stdout
