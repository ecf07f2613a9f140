"""pairfit.align on images in memory: the results of the same images as
files, crops handed back as arrays, argument errors, the lock and Ctrl-C."""

import ast
import inspect
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import imagegen
import pairfit
from conftest import BUILD, ROOT


@pytest.fixture(scope="module")
def rgb_pair():
    reference = imagegen.make_reference(800, 700, seed=5)
    return reference, imagegen.make_camera(reference, 1.01, 12.0, -9.0, theta=0.01, seed=5)


def bgr(rgb):
    return np.ascontiguousarray(rgb[..., ::-1])


def assert_same(a, b, but=("files",)):
    assert list(a) == list(b)
    for key in set(a) - set(but):
        if key.endswith("_crop") and a[key] is not None:
            assert a[key].dtype == np.uint8 and np.array_equal(a[key], b[key]), key
        else:
            assert a[key] == b[key], key


class TestSameAsFiles:
    @pytest.mark.parametrize("refine", [False, True])
    @pytest.mark.parametrize("channels", ["bgr", "rgb"])
    def test_arrays_give_every_number_and_pixel_of_the_same_images_as_png(
            self, tmp_path, rgb_pair, refine, channels):
        reference, camera = rgb_pair
        imagegen.save(reference, tmp_path / "r.png")
        imagegen.save(camera, tmp_path / "c.png")
        files = pairfit.align(tmp_path / "r.png", tmp_path / "c.png", tmp_path / "out",
                              refine=refine, channels=channels)
        order = (lambda a: a) if channels == "rgb" else bgr
        arrays = pairfit.align(order(reference), order(camera), None, refine=refine,
                               channels=channels)
        assert list(arrays) == [*pairfit.NUMBER_KEYS, *pairfit.PRECISE_KEYS]
        assert arrays["outcome"] == "aligned" and arrays["files"] == []
        assert_same(arrays, files)
        written = imagegen.load(tmp_path / "out" / "c_aligned.png")
        assert np.array_equal(order(written), arrays["camera_crop"])

    def test_every_accepted_layout_gives_the_result_of_packed_bgr(self, rgb_pair):
        reference, camera = bgr(rgb_pair[0]), bgr(rgb_pair[1])
        expected = pairfit.align(reference, camera, None)
        framed = np.zeros((camera.shape[0] + 4, camera.shape[1] + 10, 3), np.uint8)
        framed[2:-2, 5:-5] = camera
        alpha = np.dstack([camera, np.arange(camera[..., 0].size, dtype=np.uint8).reshape(
            camera.shape[:2])])
        read_only = camera.copy()
        read_only.flags.writeable = False
        for layout in [framed[2:-2, 5:-5], rgb_pair[1][..., ::-1], np.asfortranarray(camera),
                       alpha, alpha[..., :3], memoryview(camera), read_only]:
            kept = np.array(layout, copy=True)
            assert_same(pairfit.align(reference, layout, None), expected)
            assert np.array_equal(np.asarray(layout), kept)
        grey = camera[..., 1].copy()
        assert_same(pairfit.align(reference, grey, None),
                    pairfit.align(reference, np.repeat(grey[..., None], 3, axis=2), None))


    @pytest.mark.parametrize("channels", ["bgr", "rgb"])
    @pytest.mark.parametrize("planes", [1, 3, 4])
    def test_every_channel_layout_in_either_order_gives_the_numbers_of_packed_bgr(
            self, rgb_pair, planes, channels):
        reference, camera = bgr(rgb_pair[0]), bgr(rgb_pair[1])
        if planes == 1:
            camera = np.repeat(camera[..., 1:2], 3, axis=2)
        in_order = (lambda a: a) if channels == "bgr" else (lambda a: a[..., ::-1])
        alpha = np.full(camera.shape[:2], 7, np.uint8)
        layout = {1: camera[..., 0], 3: in_order(camera),
                  4: np.dstack([in_order(camera), alpha])}[planes]
        expected = pairfit.align(reference, camera, None, refine=False)
        result = pairfit.align(in_order(reference), layout, None, refine=False, channels=channels)
        assert_same(result, expected, but=("files", "reference_crop", "camera_crop"))
        assert np.array_equal(in_order(result["camera_crop"]), expected["camera_crop"])

    @pytest.mark.parametrize("as_files", [False, True])
    def test_an_image_exactly_at_max_pixels_is_taken_and_one_pixel_more_is_not(
            self, tmp_path, rgb_pair, as_files):
        reference, camera = bgr(rgb_pair[0]), bgr(rgb_pair[1])
        if as_files:
            imagegen.save(rgb_pair[0], tmp_path / "r.png")
            imagegen.save(rgb_pair[1], tmp_path / "c.png")
            reference, camera = tmp_path / "r.png", tmp_path / "c.png"
        at_limit = 800 * 700
        result = pairfit.align(reference, camera, None, refine=False, max_pixels=at_limit)
        assert result["outcome"] == "aligned"
        with pytest.raises(ValueError, match=f"{at_limit}.*more than.*{at_limit - 1}"):
            pairfit.align(reference, camera, None, refine=False, max_pixels=at_limit - 1)


class TestOutputs:
    def test_none_writes_nothing_and_arrays_are_written_as_reference_and_camera(
            self, tmp_path, rgb_pair, monkeypatch):
        reference, camera = rgb_pair
        monkeypatch.chdir(tmp_path)
        imagegen.save(reference, tmp_path / "r.png")
        imagegen.save(camera, tmp_path / "c.png")
        for args in [("r.png", "c.png"), (reference, camera), ("r.png", camera)]:
            result = pairfit.align(*args, None, 400, channels="rgb")
            assert result["files"] == [] and result["reference_crop"].shape == (400, 400, 3)
        assert sorted(os.listdir(tmp_path)) == ["c.png", "r.png"]
        written = pairfit.align(reference, camera, str(tmp_path / "out"), channels="rgb")
        assert written["files"] == [str(tmp_path / "out" / "reference_aligned.jpg"),
                                    str(tmp_path / "out" / "camera_aligned.png")]
        assert np.array_equal(imagegen.load(written["files"][1]), written["camera_crop"])

    def test_the_stub_declares_the_keys_and_parameters_the_module_has(self):
        assert list(pairfit.Alignment.__annotations__) == list(pairfit.NUMBER_KEYS)
        assert list(pairfit.PreciseAlignment.__annotations__) == [*pairfit.NUMBER_KEYS,
                                                                  *pairfit.PRECISE_KEYS]
        tree = ast.parse((ROOT / "python" / "pairfit" / "_pairfit.pyi").read_text())
        declared = {}  # of overloads, the first: the current names
        for f in (n for n in tree.body if isinstance(n, ast.FunctionDef)):
            declared.setdefault(f.name, [a.arg for a in f.args.posonlyargs + f.args.args + f.args.kwonlyargs])
        for name, stub in declared.items():
            assert stub == list(inspect.signature(getattr(pairfit, name)).parameters)


@pytest.fixture(scope="module")
def lens():
    """A print through a barrel lens, aligned with the deformable model."""
    reference = imagegen.make_reference(900, 700, seed=5)
    camera = imagegen.lens_camera(reference, -0.12)
    result = pairfit.align(reference, camera, None, 500, model="deformable", channels="rgb")
    return result, imagegen.lens_reference_of(900, 700, -0.12)


class TestDeformable:
    def test_a_lens_is_fitted_and_points_cross_the_whole_map_both_ways(self, lens):
        result, reference_of = lens
        assert result["method"].endswith(":deformable")
        field = result["field"]
        assert np.shape(field["dx"]) == np.shape(field["dy"]) == tuple(field["shape"])
        ys, xs = np.mgrid[100:600:25, 200:700:25]
        camera = np.stack([xs.ravel(), ys.ravel()], axis=1).astype(np.float64)
        mapped = pairfit.map_points(result, reference_of(camera))
        assert np.abs(mapped - camera).max() < 1.0
        back = pairfit.map_points(result, pairfit.map_points(result, camera, inverse=True))
        assert np.abs(back - camera).max() < 1e-6

    def test_without_a_field_points_go_through_the_matrix(self, lens):
        result, _ = lens
        plain = {"matrix": result["matrix"], "field": None}
        points = np.array([[10.0, 20.0], [450.0, 350.0]])
        h = np.array(result["matrix"])
        expected = (h @ np.c_[points, np.ones(2)].T).T
        assert np.allclose(pairfit.map_points(plain, points), expected[:, :2] / expected[:, 2:])

    def test_a_field_that_is_not_a_grid_is_refused(self, lens):
        result, _ = lens
        torn = dict(result, field=dict(result["field"], dx=result["field"]["dx"][:-1]))
        with pytest.raises(ValueError, match="rows"):
            pairfit.map_points(torn, [[1.0, 2.0]])

    @pytest.mark.parametrize("change,points,inverse,error,words", [
        ({"shape": [13, float("nan")]}, [[1.0, 2.0]], False, ValueError, "whole numbers"),
        ({"origin": [float("nan"), 0.0]}, [[1.0, 2.0]], False, ValueError, "finite origin"),
        ({}, [["1", 2.0]], False, TypeError, "'points'"),
        ({}, [[1.0, 2.0]], "no", TypeError, "'inverse' must be True or False, not str"),
    ])
    def test_arguments_that_are_not_what_they_seem_are_refused(self, lens, change, points, inverse, error, words):
        result, _ = lens
        with pytest.raises(error, match=re.escape(words)):
            pairfit.map_points(dict(result, field=dict(result["field"], **change)), points, inverse=inverse)


class TestErrors:
    @pytest.mark.parametrize("camera,options,error,words", [
        (np.zeros((300, 300, 3), np.float32), {}, TypeError, ["'camera'", "uint8", "float32"]),
        (np.zeros((300, 300, 2), np.uint8), {}, ValueError, ["(300, 300, 2)", "(H, W, 4)"]),
        (np.zeros((0, 300, 3), np.uint8), {}, ValueError, ["(0, 300, 3)", "(H, W)"]),
        (np.zeros(300, np.uint8), {}, ValueError, ["(300,)", "(H, W, 3)"]),
        (3.5, {}, TypeError, ["float", "os.PathLike", "buffer protocol"]),
        (np.zeros((300, 400, 3), np.uint8), {"max_pixels": 119_999}, ValueError,
         ["400x300", "120000", "max_pixels=119999"]),
        (np.zeros((300, 300), np.uint8), {"max_pixels": 0}, ValueError,
         ["max_pixels", "at least 1"]),
        (np.zeros((300, 300), np.uint8), {"channels": "hsv"}, ValueError, ["'hsv'", "'rgb'"]),
        (np.zeros((300, 300), np.uint8), {"model": "affine"}, ValueError,
         ["'affine'", "'homography'"]),
        (np.zeros((300, 300), np.uint8), {"reference": "r.png"}, TypeError,
         ["'reference'", "'img_path'"]),
    ])
    def test_what_cannot_be_taken_is_named_with_what_can(self, camera, options, error, words):
        with pytest.raises(error) as raised:
            pairfit.align(img_path=np.zeros((300, 300, 3), np.uint8), cam_path=camera,
                          output_dir=None, **options)
        assert all(w in str(raised.value) for w in words), str(raised.value)


class TestLockAndInterruption:
    def test_other_threads_run_while_arrays_align_and_threads_agree(self):
        reference = imagegen.make_reference(2400, 1800, seed=9)
        camera = imagegen.make_camera(reference, 1.0, 12.0, -8.0, seed=9)
        ticks, stop = [], threading.Event()

        def count():
            while not stop.is_set():
                ticks.append(time.perf_counter())

        counter = threading.Thread(target=count)
        counter.start()
        start = time.perf_counter()
        alone = pairfit.align(reference, camera, None, channels="rgb")
        end = time.perf_counter()
        stop.set()
        counter.join()
        during = [t for t in ticks if start < t < end]
        assert len(during) > 1000 and max(during) - min(during) > 0.5 * (end - start)
        results = [None] * 3
        threads = [threading.Thread(target=lambda k=k: results.__setitem__(
            k, pairfit.align(reference, camera, None, channels="rgb"))) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for r in results:
            assert_same(r, alone)

    def test_ctrl_c_raises_keyboard_interrupt_and_writes_nothing(self, tmp_path):
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(tmp_path)], stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), str(HERE)])))
        whole = float(child.stdout.readline())
        time.sleep(whole / 4)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
        print(f"uninterrupted {whole:.3f} s; interrupted after a quarter: {out.strip()}")
        assert out.startswith("KeyboardInterrupt")
        assert len(os.listdir(tmp_path / "whole")) == 2
        assert not (tmp_path / "stopped").exists()


HERE = pathlib.Path(__file__).resolve().parent
CHILD = """
import sys, time, imagegen, pairfit
reference = imagegen.make_reference(2400, 1800, seed=9)
camera = imagegen.make_camera(reference, 1.0, 12.0, -8.0, seed=9)
start = time.perf_counter()
pairfit.align(reference, camera, sys.argv[1] + "/whole")
print(time.perf_counter() - start, flush=True)
start = time.perf_counter()
try:
    pairfit.align(reference, camera, sys.argv[1] + "/stopped")
except KeyboardInterrupt:
    print("KeyboardInterrupt after", time.perf_counter() - start, "s", flush=True)
"""
