"""The Python function ICpair_Aligning, driven on generated image files."""

import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import imagegen
import pairfit

KEYS = ["score", "theta", "s", "t_x", "t_y"]


def align(*args):
    return pairfit.ICpair_Aligning(*(str(a) if hasattr(a, "__fspath__") else a for a in args))


class TestOutcomes:
    def test_missing_reference_gives_all_zeros_and_writes_nothing(self, tmp_path, pair):
        _, cam = pair
        out = tmp_path / "out"
        result = align(tmp_path / "nope.jpg", cam, out)
        assert list(result) == KEYS
        assert all(type(v) is float and v == 0.0 for v in result.values())
        assert not out.exists()

    def test_missing_camera_gives_all_zeros(self, tmp_path, pair):
        img, _ = pair
        assert align(img, tmp_path / "nope.png") == dict.fromkeys(KEYS, 0.0)

    def test_camera_that_cannot_be_binarised_gives_s_one(self, tmp_path, white_camera):
        img, cam = white_camera
        result = align(img, cam)
        assert result == {"score": 0.0, "theta": 0.0, "s": 1.0, "t_x": 0.0, "t_y": 0.0}
        assert sorted(p.name for p in tmp_path.iterdir()) == ["w.jpg", "w.png"]

    def test_aligned_pair_returns_floats_in_key_order_and_writes_both_crops(self, pair):
        img, cam = pair
        result = align(img, cam)
        assert list(result) == KEYS
        assert all(type(v) is float for v in result.values())
        assert 0.0 < result["score"] <= 1.0
        assert result["theta"] == 0.0
        assert result["s"] in [1 + d for d in (-0.05, -0.04, -0.03, -0.02, -0.01, 0.0,
                                               0.01, 0.02, 0.03, 0.04, 0.05)]
        ref_out = imagegen.load(img.parent / "p1_aligned.jpg")
        cam_out = imagegen.load(img.parent / "p1_aligned.png")
        assert ref_out.shape == cam_out.shape == (600, 600, 3)


class TestArguments:
    def test_defaults_are_the_reference_directory_600_and_masking(self, pair):
        img, cam = pair
        align(img, cam)
        default_cam = imagegen.load(img.parent / "p1_aligned.png")
        align(img, cam, "", 600, True)
        assert np.array_equal(default_cam, imagegen.load(img.parent / "p1_aligned.png"))

    def test_out_size_is_passed_on(self, tmp_path, pair):
        img, cam = pair
        align(img, cam, tmp_path / "o", 321)
        assert imagegen.load(tmp_path / "o" / "p1_aligned.png").shape == (321, 321, 3)

    @pytest.mark.parametrize("flag", [False, 0, "", None])
    def test_false_values_turn_masking_off(self, tmp_path, pair, flag):
        img, cam = pair
        align(img, cam, tmp_path / "o", 400, flag)
        written = imagegen.load(tmp_path / "o" / "p1_aligned.png")
        camera = imagegen.load(cam)
        # Unmasked: exactly the centre crop of the camera image.
        assert np.array_equal(written, camera[150:550, 200:600])

    def test_masking_greys_the_camera_outside_the_warped_reference(self, tmp_path, pair):
        img, cam = pair
        result = align(img, cam, tmp_path / "o", 700, [1])
        written = imagegen.load(tmp_path / "o" / "p1_aligned.png")
        camera = imagegen.load(cam)[0:700, 50:750]
        grey = np.all(written == 127, axis=2)
        # Where each crop pixel comes from in the reference (crop starts at x 50).
        rows, cols = np.mgrid[0:700, 0:700]
        sx = (cols + 50 - result["t_x"]) / result["s"]
        sy = (rows - result["t_y"]) / result["s"]
        inside = (sx >= 1) & (sx <= 798) & (sy >= 1) & (sy <= 698)
        outside = (sx < -1) | (sx > 800) | (sy < -1) | (sy > 700)
        assert outside.any() and grey[outside].all()
        assert not grey[inside].any()
        assert np.array_equal(written[~grey], camera[~grey])

    @pytest.mark.parametrize("args", [
        (),
        ("a.jpg",),
        ("a.jpg", "a.png", "", 600, True, "extra"),
        ("a.jpg", "a.png", 5),
        (b"a.jpg", "a.png"),
        ("a.jpg", None),
        ("a.jpg", "a.png", "", "600"),
    ])
    def test_wrong_arguments_raise_type_error(self, args):
        with pytest.raises(TypeError):
            pairfit.ICpair_Aligning(*args)

    def test_keywords_are_refused(self):
        with pytest.raises(TypeError):
            pairfit.ICpair_Aligning("a.jpg", "a.png", output_dir="")

    def test_int_that_does_not_fit_raises_overflow_error(self):
        with pytest.raises(OverflowError):
            pairfit.ICpair_Aligning("a.jpg", "a.png", "", 2**40)

    def test_function_documents_itself_and_its_signature(self):
        assert "Align a reference image" in pairfit.ICpair_Aligning.__doc__
        params = inspect.signature(pairfit.ICpair_Aligning).parameters
        assert list(params) == ["img_path", "cam_path", "output_dir", "out_size", "is_masked"]
        assert all(p.kind is p.POSITIONAL_ONLY for p in params.values())

    def test_the_module_exports_its_init_function_alone(self):
        extension = sys.modules[pairfit.ICpair_Aligning.__module__]
        nm = subprocess.run(["nm", "-D", "--defined-only", extension.__file__],
                            capture_output=True, text=True, check=True)
        symbols = [line.split()[-1] for line in nm.stdout.splitlines()]
        assert symbols == ["PyInit_" + extension.__name__.rpartition(".")[2]]


class TestOutputFiles:
    def test_output_directory_is_created_and_stems_are_kept(self, tmp_path, reference_rgb):
        (tmp_path / "a.b").mkdir()
        img = tmp_path / "a.b" / "scan.final.jpg"
        cam = tmp_path / "shot.p1.png"
        imagegen.save(reference_rgb, img)
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 0.0, 0.0), cam)
        align(img, cam, tmp_path / "out")
        assert sorted(os.listdir(tmp_path / "out")) == ["scan.final_aligned.jpg",
                                                        "shot.p1_aligned.png"]

    def test_bare_file_names_use_the_current_directory(self, pair, monkeypatch):
        img, cam = pair
        monkeypatch.chdir(img.parent)
        assert align("p1.jpg", "p1.png")["s"] > 0
        assert (img.parent / "p1_aligned.jpg").exists()
        assert (img.parent / "p1_aligned.png").exists()

    def test_directory_that_cannot_be_created_raises_os_error_with_its_path(self, tmp_path, pair):
        img, cam = pair
        target = tmp_path / "missing" / "deeper"
        with pytest.raises(OSError, match=str(target)):
            align(img, cam, target)

    def test_output_directory_that_is_a_file_raises_os_error(self, tmp_path, pair):
        img, cam = pair
        blocker = tmp_path / "file"
        blocker.write_text("x")
        with pytest.raises(OSError, match="file"):
            align(img, cam, blocker)

    def test_out_size_larger_than_the_reference_raises_value_error(self, pair):
        img, cam = pair
        with pytest.raises(ValueError, match="800x700"):
            align(img, cam, "", 701)


class TestRecovery:
    """A camera image made by a transform the two passes can reach exactly."""

    # 1200 px wide: a coarse step is 60 px, a fine step 4 px. Each shift lies
    # within one fine step of the coarse grid, which both passes reach.
    @pytest.mark.parametrize("scale_change,t_x,t_y", [
        (0.02, 64.0, -56.0), (-0.03, -124.0, 64.0), (-0.05, -60.0, -60.0)])
    def test_known_transform_is_recovered(self, tmp_path, scale_change, t_x, t_y):
        reference = imagegen.make_reference(1200, 900, seed=11)
        truth_s = 1 + scale_change
        camera = imagegen.make_camera(reference, truth_s, t_x, t_y, seed=11, blur=1.5, noise=4.0)
        imagegen.save(reference, tmp_path / "r.jpg")
        imagegen.save(camera, tmp_path / "r.png")
        result = align(tmp_path / "r.jpg", tmp_path / "r.png")
        assert result["s"] == truth_s
        assert result["theta"] == 0.0
        assert abs(result["t_x"] - t_x) <= 4.0
        assert abs(result["t_y"] - t_y) <= 4.0
        assert result["score"] > 0.8

    def test_translation_on_the_grid_is_carried_between_frames_exactly(self, tmp_path):
        # 1100 px wide: the coarse shift (10, -5) is (110, -55) px here. The
        # carry to the fine frame divides by the double 100/300 (tripling
        # exactly), not by the ratio of the two reduction factors, which for
        # this width is one bit above 1/3.
        reference = imagegen.make_reference(1100, 850, seed=12)
        camera = imagegen.make_camera(reference, 1.0, 110.0, -55.0, seed=12, blur=1.0, noise=2.0)
        imagegen.save(reference, tmp_path / "g.jpg")
        imagegen.save(camera, tmp_path / "g.png")
        result = align(tmp_path / "g.jpg", tmp_path / "g.png")
        fine_factor = 300 / 1100
        assert result["s"] == 1.0
        assert result["t_x"] == (10 / (100 / 300)) / fine_factor
        assert result["t_y"] == (-5 / (100 / 300)) / fine_factor


class TestPreciseEntry:
    """pairfit.align: rotation and sub-pixel accuracy beside the exact search."""

    @staticmethod
    def corner_error(result, truth, width, height, out):
        """Largest displacement, at the centre and corners of the camera
        crop, between where the result puts a reference point and where it
        truly is (same-size camera: the crop frame is the camera's)."""
        matrix = np.array(result["matrix"])
        theta, s, tx, ty = truth
        c, n = np.cos(theta), np.sin(theta)
        x0, y0 = (width - out) // 2, (height - out) // 2
        worst = 0.0
        for u, v in [(x0 + out / 2, y0 + out / 2), (x0, y0), (x0 + out, y0), (x0, y0 + out),
                     (x0 + out, y0 + out)]:
            p = np.linalg.solve(matrix, [u, v, 1.0])
            q = (s * (c * p[0] - n * p[1]) + tx, s * (n * p[0] + c * p[1]) + ty)
            worst = max(worst, float(np.hypot(q[0] - u, q[1] - v)))
        return worst

    def test_rotated_pair_is_aligned_to_a_fraction_of_a_pixel(self, tmp_path):
        reference = imagegen.make_reference(1600, 1200, seed=21)
        truth = (np.radians(1.3), 1.021, 37.0, -22.0)
        camera = imagegen.make_camera(reference, truth[1], truth[2], truth[3], theta=truth[0],
                                      seed=21, blur=1.5, noise=3.0)
        imagegen.save(reference, tmp_path / "r.jpg")
        imagegen.save(camera, tmp_path / "r.png")
        precise = pairfit.align(str(tmp_path / "r.jpg"), str(tmp_path / "r.png"),
                                output_dir=str(tmp_path / "out"), out_size=500)
        exact = pairfit.ICpair_Aligning(str(tmp_path / "r.jpg"), str(tmp_path / "r.png"),
                                        str(tmp_path / "exact"), 500)
        assert list(precise) == ["score", "theta", "s", "t_x", "t_y", "outcome", "method",
                                 "matrix", "files", "correlation", "misalignment_px",
                                 "reference_crop", "camera_crop", "error"]
        assert 0 <= precise["misalignment_px"] < 0.5
        assert precise["outcome"] == "aligned"
        assert precise["method"].endswith("+ecc")
        assert self.corner_error(precise, truth, 1600, 1200, 500) < 0.5
        exact_as_precise = dict(exact, matrix=[[exact["s"], 0, exact["t_x"]], [0, exact["s"], exact["t_y"]],
                                               [0, 0, 1]])
        assert self.corner_error(exact_as_precise, truth, 1600, 1200, 500) > 3
        assert abs(precise["theta"] - truth[0]) < 1e-3 and abs(precise["s"] - truth[1]) < 1e-3
        m = precise["matrix"]
        assert m[0][0] == pytest.approx(precise["s"] * np.cos(precise["theta"]))
        assert m[1][2] == pytest.approx(precise["t_y"], abs=1e-9) and m[2] == [0.0, 0.0, 1.0]
        assert precise["files"] == [str(tmp_path / "out" / "r_aligned.jpg"),
                                    str(tmp_path / "out" / "r_aligned.png")]
        assert imagegen.load(tmp_path / "out" / "r_aligned.png").shape == (500, 500, 3)
        assert 0 < precise["score"] <= 1

    def test_without_refinement_the_numbers_and_files_are_the_exact_entrys(self, pair, tmp_path):
        img, cam = pair
        exact = align(img, cam, tmp_path / "e", 400, False)
        plain = pairfit.align(str(img), str(cam), str(tmp_path / "p"), 400, False, refine=False)
        assert {k: plain[k] for k in exact} == exact
        assert plain["method"] == "exact" and plain["outcome"] == "aligned"
        for name in ["p1_aligned.jpg", "p1_aligned.png"]:
            assert (tmp_path / "e" / name).read_bytes() == (tmp_path / "p" / name).read_bytes()

    @pytest.mark.parametrize("refine", [False, True])
    def test_a_square_of_a_few_pixels_is_judged_on_the_whole_pair(self, pair, refine):
        img, cam = pair
        assert pairfit.align(str(img), str(cam), None, 2, refine=refine)["correlation"] > 0.4  # was 0: suspect

    def test_outcomes_and_errors_are_the_exact_entrys(self, tmp_path, pair, white_camera):
        img, cam = pair
        missing = pairfit.align(str(tmp_path / "nope.jpg"), str(cam))
        assert missing["outcome"] == "missing" and missing["s"] == 0.0 and missing["files"] == []
        w_img, w_cam = white_camera
        special = pairfit.align(img_path=str(w_img), cam_path=str(w_cam))
        assert (special["outcome"], special["s"], special["score"]) == ("special", 1.0, 0.0)
        assert special["misalignment_px"] is None
        with pytest.raises(ValueError, match="800x700"):
            pairfit.align(str(img), str(cam), out_size=701)
        with pytest.raises(TypeError):
            pairfit.align(str(img))
        with pytest.raises(TypeError):
            pairfit.align(str(img), str(cam), bogus=1)
