"""The batch program pairfit-batch, driven on generated folders and lists."""

import fcntl
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
from faults import small_file_system

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


def copies_of_one_pair(folder, reference_rgb, count):
    """`count` pairs made of one small pair's files, quickly."""
    folder.mkdir(parents=True, exist_ok=True)
    small = reference_rgb[:300, :400]
    imagegen.save(small, folder / "p0.jpg")
    imagegen.save(imagegen.make_camera(small, 1.0, 3.0, -2.0), folder / "p0.png")
    for k in range(1, count):
        for ext in ["jpg", "png"]:
            shutil.copy(folder / f"p0.{ext}", folder / f"p{k}.{ext}")
    return folder


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
        named = [line for line in done.stdout.splitlines() if line.startswith("missing: ")]
        assert sorted(os.path.basename(line.split(": ")[1]) for line in named) == ["broken.jpg", "lonely.jpg"]
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


    def test_links_that_lead_nowhere_and_other_spellings_of_the_names(self, tmp_path, reference_rgb,
                                                                       batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
        for old, new in [("p0.jpg", "P1.JPG"), ("p0.png", "P1.PNG"), ("p1.jpg", "p2.jpeg"),
                         ("p1.png", "p2.png")]:
            os.rename(folder / old, folder / new)
        os.symlink("loop.jpg", folder / "loop.jpg")
        os.symlink("nowhere.jpg", folder / "gone.jpg")
        for hidden in (".jpg", ".png"):  # hidden files without a name, not a pair
            shutil.copy(folder / ("P1" + hidden.upper()), folder / hidden)
        done = run_batch(batch_program, folder, "-o", tmp_path / "out", "-s", 200)
        assert done.returncode == 1, done.stderr
        recs = by_name(records(tmp_path / "out" / "pairfit-report.jsonl"))
        assert {name: r["outcome"] for name, r in recs.items()} == {
            "P1.JPG": "aligned", "p2.jpeg": "aligned", "loop.jpg": "error", "gone.jpg": "error"}
        assert "Too many levels of symbolic links" in recs["loop.jpg"]["error"]
        assert "link to 'nowhere.jpg', which does not exist" in recs["gone.jpg"]["error"]


class TestReportSafety:
    def test_a_report_that_cannot_be_written_stops_the_run(self, tmp_path, reference_rgb,
                                                          batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 4)
        done = run_batch(batch_program, folder, "-r", "/dev/full", "-s", 200, "-j", 1)
        assert done.returncode == 2 and "the report holds 0" in done.stdout
        assert ("pairfit-batch: error: cannot write the report '/dev/full': No space left on device; "
                "4 pairs left for --resume") in done.stderr

    def test_a_full_file_system_keeps_whole_records_and_resume_completes(self, tmp_path,
                                                                         reference_rgb,
                                                                         batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 40)
        with small_file_system(tmp_path / "small", 4096) as small:
            report = small / "r.jsonl"
            done = run_batch(batch_program, folder, "-o", tmp_path / "out", "-r", report, "-s", 200,
                             "-j", 2)
            assert done.returncode == 2
            assert f"cannot write the report '{report}': No space left on device" in done.stderr
            assert report.read_text().endswith("\n") and 0 < len(records(report)) < 40
            # No pair starts after the failure: only those in flight wrote crops.
            crops = len(list((tmp_path / "out").glob("*_aligned.png")))
            assert crops <= len(records(report)) + 2
            (small / "filler").unlink()
            assert run_batch(batch_program, folder, "-o", tmp_path / "out", "-r", report, "-s", 200,
                             "--resume").returncode == 0
            assert len({r["img"] for r in records(report)}) == len(records(report)) == 40

    def test_a_report_is_neither_shared_nor_silently_started_anew(self, tmp_path, reference_rgb,
                                                                  batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
        report = tmp_path / "r.jsonl"
        with open(report, "a") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            done = run_batch(batch_program, folder, "-r", report, "--resume")
        assert done.returncode == 2 and report.read_text() == ""
        assert f"the report '{report}' is in use by another run (process {os.getpid()})" in done.stderr
        assert run_batch(batch_program, folder, "-r", report, "-s", 200).returncode == 0
        earlier = report.read_text()
        refused = run_batch(batch_program, folder, "-r", report, "-s", 200)
        assert refused.returncode == 2 and "--resume" in refused.stderr and "--overwrite" in refused.stderr
        assert report.read_text() == earlier
        again = run_batch(batch_program, folder, "-r", report, "-s", 200, "--overwrite")
        assert again.returncode == 0 and len(records(report)) == 2
        out = f"{tmp_path / 'out'}/"  # the default report, in a folder given as users type it
        assert run_batch(batch_program, folder, "-o", out, "-s", 200).returncode == 0
        refused = run_batch(batch_program, folder, "-o", out, "-s", 200)
        assert f"the report '{tmp_path / 'out' / 'pairfit-report.jsonl'}' already" in refused.stderr


class TestOutputSafety:
    def test_links_planted_in_the_output_folder_are_replaced_never_followed(
            self, tmp_path, reference_rgb, batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        out = tmp_path / "out"
        out.mkdir()
        for name in ["p0_overlay.png", "index.html", "pairfit-report.jsonl"]:
            (tmp_path / f"victim-{name}").write_text("keep")
            os.symlink(tmp_path / f"victim-{name}", out / name)
        refused = run_batch(batch_program, folder, "-o", out, "--overlay", "--overwrite", "-s", 200)
        assert refused.returncode == 2 and "is a symbolic link" in refused.stderr
        (out / "pairfit-report.jsonl").unlink()
        assert run_batch(batch_program, folder, "-o", out, "--overlay", "-s", 200).returncode == 0
        assert all(p.read_text() == "keep" for p in tmp_path.glob("victim-*"))
        assert not any(os.path.islink(p) for p in out.iterdir())

    @pytest.mark.parametrize("case", ["overlay", "csv-camera", "report-image", "report-list"])
    def test_outputs_that_would_replace_inputs_are_refused_before_aligning(
            self, tmp_path, reference_rgb, batch_program, case):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
        os.rename(folder / "p1.jpg", folder / "p0_overlay.jpg")
        os.rename(folder / "p1.png", folder / "p0_overlay.png")
        (folder / "index.html").write_text("<p>my own page</p>")
        (tmp_path / "out").mkdir()
        shutil.copy(folder / "p0.png", tmp_path / "out" / "p0_aligned.png")
        (tmp_path / "pairs.csv").write_text(
            "img,cam\nin/p0.jpg,in/p0.png\nin/p0_overlay.jpg,out/p0_aligned.png\n")
        args, clashes = {
            "overlay": ([folder, "--overlay"], ["in/p0_overlay.png", "in/index.html"]),
            "csv-camera": ([tmp_path / "pairs.csv", "-o", tmp_path / "out"], ["out/p0_aligned.png"]),
            "report-image": ([folder, "-r", folder / "p0.png", "--overwrite"], ["in/p0.png"]),
            "report-list": ([tmp_path / "pairs.csv", "-r", tmp_path / "pairs.csv", "--overwrite"],
                            ["pairs.csv"])}[case]
        before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
        done = run_batch(batch_program, *args, "-s", 200)
        assert done.returncode == 2 and "would replace files this run reads" in done.stderr
        assert all(f"is the camera image {tmp_path}/{c}" in done.stderr or
                   f"{tmp_path}/{c}" in done.stderr for c in clashes)
        assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before

    @pytest.mark.parametrize("role", ["report", "list"])
    def test_a_fifo_is_refused_without_waiting(self, tmp_path, reference_rgb, batch_program, role):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        os.mkfifo(tmp_path / "fifo")
        args = [folder, "-r", tmp_path / "fifo"] if role == "report" else [tmp_path / "fifo"]
        done = subprocess.run([batch_program, *map(str, args)], capture_output=True, text=True,
                              timeout=30)
        assert done.returncode == 2 and "FIFO" in done.stderr

    def test_a_full_output_folder_stops_the_run_and_resume_writes_every_file(
            self, tmp_path, reference_rgb, batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 5)
        report = tmp_path / "r.jsonl"
        with small_file_system(tmp_path / "small", 200000) as out:
            run = lambda *more: run_batch(batch_program, folder, "-o", out, "-r", report, "-s", 200,
                                          "--overlay", "-j", 1, *more)
            done = run()
            assert done.returncode == 2 and "No space left on device" in done.stderr
            assert f"{5 - len(records(report))} pairs left for --resume" in done.stderr
            assert {r["outcome"] for r in records(report)} == {"aligned"}
            (out / "filler").unlink()
            assert run("--resume").returncode == 0
            assert len(records(report)) == 5 and len(list(out.glob("*_overlay.png"))) == 5

    def test_an_index_that_cannot_be_written_whole_is_an_error(self, tmp_path, reference_rgb,
                                                               batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        report = tmp_path / "r.jsonl"
        report.write_text("".join(json.dumps({"img": f"x{k}.jpg", "cam": f"x{k}.png",
                                              "outcome": "missing"}) + "\n" for k in range(300)))
        with small_file_system(tmp_path / "small", 4096) as out:
            done = run_batch(batch_program, folder, "-o", out, "-r", report, "-s", 200, "--overlay",
                             "--resume")
            assert done.returncode == 2
            assert f"cannot write '{out}/index.html': No space left on device" in done.stderr
            assert not (out / "index.html").exists()

    def test_a_deleted_output_folder_stops_the_run(self, tmp_path, reference_rgb, batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 40)
        out = tmp_path / "out"
        proc = subprocess.Popen([batch_program, str(folder), "-o", str(out), "-j", "1", "-s", "200"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 120
        while time.time() < deadline and not list(out.glob("*_aligned.png")):
            time.sleep(0.02)
        # The run may still be writing into the folder while it is removed.
        while out.exists() and proc.poll() is None and time.time() < deadline:
            shutil.rmtree(out, ignore_errors=True)
        _, err = proc.communicate(timeout=120)
        assert proc.returncode == 2 and "was deleted during the run" in err


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


    def test_model_records_the_matrix_and_lists_unrelated_pairs_as_suspect(self, tmp_path,
                                                                            reference_rgb,
                                                                            batch_program):
        import pairfit
        folder = make_folder(tmp_path / "in", reference_rgb, good=1, broken=False, lonely=False,
                             small=False)
        # A print of something else, photographed: not a pair.
        other = imagegen.make_reference(*reference_rgb.shape[1::-1], seed=99)[::-1, ::-1]
        imagegen.save(reference_rgb, folder / "odd.jpg")
        imagegen.save(imagegen.make_camera(np.ascontiguousarray(other), 1.0, 0.0, 0.0),
                      folder / "odd.png")
        # A print bent across (as on a bottle): no planar map lays it over.
        camera = imagegen.make_camera(reference_rgb, 1.0, 0.0, 0.0)
        bent = camera.copy()
        for x in range(camera.shape[1]):
            bent[:, x] = np.roll(camera[:, x], round(8 * np.cos(2 * np.pi * x / camera.shape[1])), axis=0)
        imagegen.save(reference_rgb, folder / "bent.jpg")
        imagegen.save(bent, folder / "bent.png")
        done = run_batch(batch_program, folder, "-o", tmp_path / "out", "--model", "homography",
                         "--size", 500, "--overlay")
        assert done.returncode == 0, done.stderr
        good = by_name(records(tmp_path / "out" / "pairfit-report.jsonl"))["p0.jpg"]
        direct = pairfit.align(good["img"], good["cam"], str(tmp_path / "direct"), 500,
                               model="homography")
        assert [good[k] for k in ["method", "matrix", "correlation", "misalignment_px"]] == \
            [direct[k] for k in ["method", "matrix", "correlation", "misalignment_px"]]
        suspects = [line for line in done.stdout.splitlines() if line.startswith("suspect")]
        assert len(suspects) == 1 and suspects[0].endswith("odd.jpg"), done.stdout
        misaligned = [line for line in done.stdout.splitlines() if line.startswith("misaligned")]
        assert len(misaligned) == 1 and misaligned[0].endswith("bent.jpg"), done.stdout
        html = (tmp_path / "out" / "index.html").read_text()
        assert html.count('class="aligned misaligned"') == 1
        bent = by_name(records(tmp_path / "out" / "pairfit-report.jsonl"))["bent.jpg"]
        row = next(line for line in html.splitlines() if "bent.jpg" in line and "<td>" in line)
        assert f"<td>{bent['misalignment_px']:.2f}</td>" in row


    def test_the_deformable_model_records_its_field_in_hundredths(self, tmp_path, batch_program):
        import pairfit
        folder = tmp_path / "in"
        folder.mkdir()
        reference = imagegen.make_reference(900, 700, seed=5)
        imagegen.save(reference, folder / "lens.jpg")
        imagegen.save(imagegen.lens_camera(reference, 0.1), folder / "lens.png")
        done = run_batch(batch_program, folder, "-o", tmp_path / "out", "--model", "deformable",
                         "--size", 500)
        assert done.returncode == 0, done.stderr
        record = by_name(records(tmp_path / "out" / "pairfit-report.jsonl"))["lens.jpg"]
        direct = pairfit.align(record["img"], record["cam"], None, 500, model="deformable")
        assert record["method"] == direct["method"] and direct["method"].endswith(":deformable")
        assert record["field"]["dx"] == [round(v, 2) for row in direct["field"]["dx"] for v in row]
        points = [[300.0, 250.0], [600.0, 450.0]]
        record["field"]["dx"] = np.reshape(record["field"]["dx"], record["field"]["shape"]).tolist()
        record["field"]["dy"] = np.reshape(record["field"]["dy"], record["field"]["shape"]).tolist()
        assert np.abs(pairfit.map_points(record, points) - pairfit.map_points(direct, points)).max() < 0.02


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


    def test_resume_knows_a_pair_by_its_canonical_paths(self, tmp_path, reference_rgb,
                                                        batch_program):
        copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
        imagegen.save(reference_rgb, tmp_path / "in" / os.fsdecode(b"\xff.jpg"))
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 2.0, 2.0),
                      tmp_path / "in" / os.fsdecode(b"\xff.png"))
        report = tmp_path / "r.jsonl"
        run = lambda folder, *more: run_batch(batch_program, folder, "-r", report, "-s", 200, *more,
                                              cwd=tmp_path, errors="surrogateescape")
        assert run("in").returncode == 0
        for spelling in ["./in", tmp_path / "in", "in/../in"]:
            assert "0 pairs processed in this run" in run(spelling, "--resume").stdout
        canonical = [os.fsencode(r["img_canonical"]) for r in records(report)]
        in_folder = os.fsencode(os.path.realpath(tmp_path / "in"))
        assert len(canonical) == 3 and in_folder + b"/\xff.jpg" in canonical

    @pytest.mark.parametrize("wrong", ['"score":null,"x":', '"field":{"origin":["x",0],"shape":[1,1]},"score":',
                                       '"field":{"origin":[0,0],"shape":[2,2],"dx":[1],"dy":[1]},"score":'])
    def test_a_record_with_a_wrong_type_is_skipped_with_a_warning(self, tmp_path, reference_rgb,
                                                                   batch_program, wrong):
        copies_of_one_pair(tmp_path / "in", reference_rgb, 2)
        report = tmp_path / "r.jsonl"
        assert run_batch(batch_program, tmp_path / "in", "-r", report, "-s", 200).returncode == 0
        lines = report.read_text().splitlines()
        report.write_text(lines[0] + "\n" + lines[1].replace('"score":', wrong) + "\n")
        done = run_batch(batch_program, tmp_path / "in", "-r", report, "-s", 200, "--resume")
        assert done.returncode == 0 and "1 pairs processed in this run" in done.stdout
        assert f"warning: line 2 of the report '{report}' is not a record" in done.stderr

    def test_reports_without_canonical_paths_resume_too(self, tmp_path, reference_rgb,
                                                        batch_program):
        # As the Dask recipe and earlier versions wrote them: the CSV's folder
        # joined to its rows, Python's separators, no canonical fields.
        copies_of_one_pair(tmp_path / "in", reference_rgb, 3)
        (tmp_path / "pairs.csv").write_text("img,cam\n" + "".join(
            f"./in/p{k}.jpg,./in/p{k}.png\n" for k in range(3)))
        report = tmp_path / "pairfit-report.jsonl"
        report.write_text("".join(json.dumps({"img": f"{tmp_path}/./in/p{k}.jpg",
                                              "cam": f"{tmp_path}/./in/p{k}.png",
                                              "outcome": "aligned"}) + "\n" for k in range(2)))
        done = run_batch(batch_program, tmp_path / "pairs.csv", "-s", 200, "--resume")
        assert done.returncode == 0 and "1 pairs processed in this run" in done.stdout


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


    def test_byte_order_mark_and_physical_line_numbers(self, tmp_path, reference_rgb,
                                                       batch_program):
        copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        (tmp_path / "ok.csv").write_bytes(b"\xef\xbb\xbfimg,cam\r\nin/p0.jpg,in/p0.png\r\n")
        assert run_batch(batch_program, tmp_path / "ok.csv", "-s", 200).returncode == 0
        (tmp_path / "short.csv").write_text("img,cam\n\nin/p0.jpg,in/p0.png\n\n\nin/p1.jpg\n")
        done = run_batch(batch_program, tmp_path / "short.csv", "-s", 200)
        assert done.returncode == 2 and "line 6 of" in done.stderr

    def test_pairs_that_would_write_the_same_files_are_refused_before_aligning(
            self, tmp_path, reference_rgb, batch_program):
        for sub in ["a", "b"]:
            copies_of_one_pair(tmp_path / sub, reference_rgb, 1)
        (tmp_path / "pairs.csv").write_text("img,cam\na/p0.jpg,a/p0.png\nb/p0.jpg,b/p0.png\n"
                                            "a/p0.jpg,a/p0.png\n")
        done = run_batch(batch_program, tmp_path / "pairs.csv", "-o", tmp_path / "out")
        assert done.returncode == 2
        assert "2 output files would be written by more than one pair" in done.stderr
        assert f"out/p0_aligned.jpg: {tmp_path}/a/p0.jpg, {tmp_path}/b/p0.jpg" in done.stderr
        assert f"out/p0_aligned.png: {tmp_path}/a/p0.png, {tmp_path}/b/p0.png" in done.stderr
        assert not (tmp_path / "out").exists()

    def test_a_nul_byte_in_a_name_gives_an_error_record(self, tmp_path, reference_rgb,
                                                        batch_program):
        copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        (tmp_path / "pairs.csv").write_bytes(b"img,cam\nin/p0.jpg\0EVIL,in/p0.png\n")
        done = run_batch(batch_program, tmp_path / "pairs.csv", "-s", 200)
        assert done.returncode == 1
        (rec,) = records(tmp_path / "pairfit-report.jsonl")
        assert rec["outcome"] == "error" and "NUL byte" in rec["error"]
        assert rec["img"].endswith("p0.jpg\\x00EVIL") and not (tmp_path / "in" / "p0_aligned.jpg").exists()

    def test_images_above_the_pixel_limit_are_error_records(self, tmp_path, reference_rgb,
                                                           batch_program):
        copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        done = run_batch(batch_program, tmp_path / "in", "-s", 200, "--max-pixels", 100000)
        assert done.returncode == 1
        (rec,) = records(tmp_path / "in" / "pairfit-report.jsonl")
        assert rec["outcome"] == "error" and rec["error"].startswith(
            f"reference image '{tmp_path}/in/p0.jpg' is 400x300 px (120000 pixels), "
            "more than the limit of 100000 pixels")


class TestUsage:
    @pytest.mark.parametrize("args", [[], ["--bogus", "x"], ["/no/such/folder"], ["x", "-j", "0"]])
    def test_usage_errors_exit_with_two(self, batch_program, args):
        assert run_batch(batch_program, *args).returncode == 2

    def test_help_exits_with_zero(self, batch_program):
        done = run_batch(batch_program, "--help")
        assert done.returncode == 0 and "--resume" in done.stdout and "--overlay" in done.stdout
        assert "--model similarity|homography" in done.stdout

    def test_version(self, batch_program):
        done = run_batch(batch_program, "--version")
        assert done.returncode == 0 and done.stdout.startswith("pairfit-batch 0.")


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

    def test_names_are_shown_safely_on_the_terminal_and_in_the_page(self, tmp_path, reference_rgb,
                                                                     batch_program):
        folder = copies_of_one_pair(tmp_path / "in", reference_rgb, 1)
        for stem in [b"\x1b[31mred", b"\xff"]:
            for ext in [b".jpg", b".png"]:
                shutil.copy(folder / f"p0{ext.decode()}", os.fsdecode(bytes(folder) + b"/" + stem + ext))
        done = subprocess.run([batch_program, str(folder), "-s", "200", "--overlay"],
                              capture_output=True, timeout=300)
        assert done.returncode == 0 and b"\x1b" not in done.stdout
        assert b"\\x1B[31mred" in done.stdout and b"\\xFF" in done.stdout
        page = (folder / "index.html").read_bytes().decode("utf-8")  # valid UTF-8
        assert "\\xFF.jpg" in page and "\x1b" not in page

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
