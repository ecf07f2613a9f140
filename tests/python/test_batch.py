"""The batch program pairfit-batch, driven on generated folders and lists."""

import json
import os
import pty
import shutil
import signal
import subprocess
import time

import numpy as np
import pytest

import imagegen

FIELDS = ["img", "cam", "outcome", "score", "theta", "s", "t_x", "t_y", "error", "seconds",
          "img_canonical", "cam_canonical"]


@pytest.fixture(scope="session")
def batch_program(program):
    path = os.path.join(os.path.dirname(program), "pairfit-batch")
    assert os.path.exists(path), f"build the project first: {path} is missing"
    return path


def make_folder(folder, reference_rgb, good=3, broken=True, lonely=True, small=True):
    folder.mkdir(parents=True, exist_ok=True)
    for k in range(good):
        imagegen.save(reference_rgb, folder / f"p{k}.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 5.0 * k, -3.0 * k, seed=k),
                      folder / f"p{k}.png")
    if broken:
        (folder / "broken.jpg").write_bytes(b"\xff\xd8\xff garbage")
        imagegen.save(reference_rgb, folder / "broken.png")
    if lonely:
        imagegen.save(reference_rgb, folder / "lonely.jpg")
    if small:  # too small for the default output size: an error
        imagegen.save(reference_rgb[:300, :300], folder / "small.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb[:300, :300], 1.0, 0.0, 0.0),
                      folder / "small.png")
    return folder


def run_batch(batch_program, *args, **kwargs):
    return subprocess.run([batch_program, *map(str, args)], capture_output=True, text=True,
                          timeout=300, **kwargs)


def records(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def by_name(recs):
    return {os.path.basename(r["img"]): r for r in recs}


class TestFolder:
    def test_every_pair_is_reported_with_its_outcome(self, tmp_path, reference_rgb, batch_program):
        folder = make_folder(tmp_path / "in", reference_rgb)
        done = run_batch(batch_program, folder, "-o", tmp_path / "out")
        assert done.returncode == 1  # one pair ended in an error
        recs = records(tmp_path / "out" / "pairfit-report.jsonl")
        assert all(list(r) == FIELDS for r in recs)
        assert all(r["img_canonical"] == os.path.realpath(r["img"]) for r in recs)
        outcomes = {name: r["outcome"] for name, r in by_name(recs).items()}
        assert outcomes == {"p0.jpg": "aligned", "p1.jpg": "aligned", "p2.jpg": "aligned",
                            "broken.jpg": "missing", "lonely.jpg": "missing", "small.jpg": "error"}
        small = by_name(recs)["small.jpg"]
        assert "out_size 600 does not fit" in small["error"] and "300x300" in small["error"]
        assert by_name(recs)["p0.jpg"]["error"] is None
        assert by_name(recs)["lonely.jpg"]["cam"].endswith("lonely.png")
        assert (tmp_path / "out" / "p1_aligned.png").exists()
        assert "aligned 3, missing 2, special 0, error 1" in done.stdout
        assert "lowest scores:" in done.stdout
        assert "pairfit-batch: 6/6 pairs" in done.stderr  # the plain line off a terminal

    def test_results_equal_the_python_function(self, tmp_path, reference_rgb, batch_program):
        import pairfit
        folder = make_folder(tmp_path / "in", reference_rgb, broken=False, lonely=False,
                             small=False)
        assert run_batch(batch_program, folder, "-o", tmp_path / "out", "--size", 400,
                         "--no-mask", "-j", 2).returncode == 0
        for r in records(tmp_path / "out" / "pairfit-report.jsonl"):
            direct = pairfit.ICpair_Aligning(r["img"], r["cam"], str(tmp_path / "direct"), 400, False)
            assert {k: r[k] for k in direct} == direct
            assert (tmp_path / "out" / os.path.basename(r["cam"]).replace(".png", "_aligned.png")
                    ).read_bytes() == (tmp_path / "direct" / os.path.basename(r["cam"]).replace(
                        ".png", "_aligned.png")).read_bytes()

    def test_progress_bar_on_a_terminal(self, tmp_path, reference_rgb, batch_program):
        folder = make_folder(tmp_path / "in", reference_rgb, broken=False, lonely=False,
                             small=False)
        main, child = pty.openpty()
        proc = subprocess.Popen([batch_program, str(folder)], stdout=subprocess.DEVNULL,
                                stderr=child)
        os.close(child)
        output = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:
                break
            if not chunk:
                break
            output += chunk
        assert proc.wait(timeout=120) == 0
        os.close(main)
        text = output.decode()
        assert "\r[" in text and "3/3 pairs" in text and "pairs/s" in text and "left" in text


class TestRefine:
    def test_refine_uses_the_precise_entry(self, tmp_path, reference_rgb, batch_program):
        import pairfit
        folder = make_folder(tmp_path / "in", reference_rgb, good=2, broken=True, lonely=False,
                             small=False)
        done = run_batch(batch_program, folder, "-o", tmp_path / "out", "--refine", "--size", 500)
        assert done.returncode == 0, done.stderr
        recs = by_name(records(tmp_path / "out" / "pairfit-report.jsonl"))
        assert recs["broken.jpg"]["outcome"] == "missing"
        for name in ["p0.jpg", "p1.jpg"]:
            r = recs[name]
            assert r["outcome"] == "aligned" and r["method"].startswith(("features", "exact"))
            direct = pairfit.align(r["img"], r["cam"], str(tmp_path / "direct"), 500)
            assert [r[k] for k in ["score", "theta", "s", "t_x", "t_y", "method"]] == \
                [direct[k] for k in ["score", "theta", "s", "t_x", "t_y", "method"]]


class TestResume:
    def test_resume_skips_reported_pairs_and_redoes_a_torn_line(self, tmp_path, reference_rgb,
                                                                batch_program):
        folder = make_folder(tmp_path / "in", reference_rgb, small=False)
        report = tmp_path / "report.jsonl"
        assert run_batch(batch_program, folder, "-r", report).returncode == 0
        lines = report.read_text().splitlines()
        assert len(lines) == 5
        # Drop one record and tear another, as an interrupted run could.
        report.write_text("\n".join(lines[:3]) + "\n" + lines[3][:25])
        done = run_batch(batch_program, folder, "-r", report, "--resume")
        assert done.returncode == 0
        assert "2 pairs processed in this run" in done.stdout
        recs = records_skipping_torn(report)
        assert sorted(os.path.basename(r["img"]) for r in recs) == sorted(
            ["p0.jpg", "p1.jpg", "p2.jpg", "broken.jpg", "lonely.jpg"])

    def test_nothing_left_means_nothing_done(self, tmp_path, reference_rgb, batch_program):
        folder = make_folder(tmp_path / "in", reference_rgb, good=2, broken=False, lonely=False,
                             small=False)
        run_batch(batch_program, folder)
        done = run_batch(batch_program, folder, "--resume")
        assert done.returncode == 0 and "0 pairs processed in this run" in done.stdout
        assert len(records(folder / "pairfit-report.jsonl")) == 2

    def test_interrupt_finishes_pairs_in_flight_and_resume_completes(self, tmp_path, reference_rgb,
                                                                     batch_program):
        big = np.kron(reference_rgb, np.ones((3, 3, 1), np.uint8))  # slower pairs: 2400x2100
        folder = make_folder(tmp_path / "in", big, good=8, broken=False, lonely=False, small=False)
        report = tmp_path / "r.jsonl"
        proc = subprocess.Popen([batch_program, str(folder), "-r", str(report), "-j", "1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 120
        while time.time() < deadline and (not report.exists() or not report.read_text()):
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 130
        assert "interrupted" in err
        first = records(report)  # every line complete
        assert 1 <= len(first) < 8
        assert run_batch(batch_program, folder, "-r", report, "--resume").returncode == 0
        names = [os.path.basename(r["img"]) for r in records(report)]
        assert sorted(names) == [f"p{k}.jpg" for k in range(8)]


def records_skipping_torn(path):
    out = []
    for line in path.read_text().splitlines():
        try:
            out.append(json.loads(line))
        except json.JSONDecodeError:
            pass
    return out


class TestCsv:
    def test_list_with_quoted_names_relative_to_its_folder(self, tmp_path, reference_rgb,
                                                           batch_program):
        data = tmp_path / "data"
        data.mkdir()
        imagegen.save(reference_rgb, data / "a, b.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 4.0, 4.0), data / "shot 1.png")
        (tmp_path / "pairs.csv").write_text('id,cam,img\n1,"data/shot 1.png","data/a, b.jpg"\n')
        done = run_batch(batch_program, tmp_path / "pairs.csv", "-o", tmp_path / "out")
        assert done.returncode == 0, done.stderr
        (rec,) = records(tmp_path / "out" / "pairfit-report.jsonl")
        assert rec["img"] == str(data / "a, b.jpg") and rec["outcome"] == "aligned"
        assert (tmp_path / "out" / "a, b_aligned.jpg").exists()

    def test_list_without_the_columns_is_a_usage_error(self, tmp_path, batch_program):
        (tmp_path / "pairs.csv").write_text("reference,camera\nx.jpg,x.png\n")
        done = run_batch(batch_program, tmp_path / "pairs.csv")
        assert done.returncode == 2
        assert "no column 'img'" in done.stderr


class TestUsage:
    @pytest.mark.parametrize("args", [[], ["--bogus", "x"], ["/no/such/folder"], ["x", "-j", "0"]])
    def test_usage_errors_exit_with_two(self, batch_program, args):
        assert run_batch(batch_program, *args).returncode == 2

    def test_help_exits_with_zero(self, batch_program):
        done = run_batch(batch_program, "--help")
        assert done.returncode == 0 and "--resume" in done.stdout and "--overlay" in done.stdout


class TestOverlay:
    def test_overlays_and_index_list_every_pair_worst_first(self, tmp_path, reference_rgb,
                                                            batch_program):
        folder = make_folder(tmp_path / "in", reference_rgb)
        out = tmp_path / "out"
        run_batch(batch_program, folder, "-o", out, "--overlay")
        overlay = imagegen.load(out / "p1_overlay.png")
        assert overlay.shape == (600, 600, 3)
        assert np.all(overlay == [255, 0, 255], axis=2).sum() > 500  # the magenta outline
        assert not (out / "broken_overlay.png").exists()
        html = (out / "index.html").read_text()
        order = [html.index(name) for name in ["broken.jpg", "p0.jpg"]]
        assert order == sorted(order)  # score 0 before a real score
        for name in ["p0", "p1", "p2", "broken", "lonely", "small"]:
            assert f"{name}.jpg" in html

    def test_index_thumbnails_load_in_a_browser(self, tmp_path, reference_rgb, batch_program):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if browser is None:
            pytest.skip("chromium is not installed (scripts/setup installs it)")
        folder = make_folder(tmp_path / "in", reference_rgb)
        out = tmp_path / "out"
        run_batch(batch_program, folder, "-o", out, "--overlay")
        dom = subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--allow-file-access-from-files", "--virtual-time-budget=10000", "--dump-dom",
             (out / "index.html").as_uri()],
            capture_output=True, text=True, timeout=120).stdout
        assert dom.count("<tr class=") == 6
        assert dom.count('data-state="loaded"') == 3
        assert 'data-state="broken"' not in dom
