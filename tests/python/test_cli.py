"""The command-line program: messages, streams and exit statuses."""

import os
import pathlib
import shutil
import struct
import subprocess
import tempfile
import zlib

import pytest

import pairfit
from faults import need_root


def run(program, *args, cwd=None, env=None):
    return subprocess.run([program, *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          timeout=120, env=dict(os.environ, **(env or {})))


def png_header_only(path, width, height):
    """A PNG file that holds nothing but a header declaring its size."""
    ihdr = b"IHDR" + struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + ihdr +
                     struct.pack(">I", zlib.crc32(ihdr)))
    return path


@pytest.mark.parametrize("args", [(), ("a.jpg", "b.png", "c")])
def test_wrong_argument_count_prints_usage_and_exits_zero(program, tmp_path, args):
    done = run(program, *args, cwd=tmp_path)
    assert done.returncode == 0
    assert done.stdout == "Too many or no arguments supplied.\n"
    assert done.stderr == ""
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("option", ["--help", "-h", "--version"])
def test_help_and_version_are_answered_not_taken_for_an_image(program, tmp_path, option):
    done = run(program, option, cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("pairfit 0." if option == "--version" else "usage: pairfit ")
    assert list(tmp_path.iterdir()) == []


def test_missing_reference_is_reported_on_stderr_with_status_one(program, tmp_path):
    done = run(program, "scans/page1.jpg", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout == ""
    # The first line as scripts read it, then which image and why; no OpenCV log lines.
    assert done.stderr == ("scans/page1.jpg is not exist\n"
                           "pairfit: reference image 'scans/page1.jpg': not found\n")


@pytest.mark.parametrize("fault, reason", [("absent", "not found"),
                                           ("fifo", "not a regular file"),
                                           ("garbage", "cannot be decoded: its PNG header "
                                                       "holds no size that OpenCV would take"),
                                           ("unreadable", "permission denied")])
def test_a_camera_that_cannot_be_read_is_named_with_the_reason(program, pair, fault, reason):
    if fault == "unreadable":
        need_root("running as another user")
    shared = tempfile.mkdtemp()  # under /tmp, which every user may pass through
    try:
        os.chmod(shared, 0o755)
        img, cam = (pathlib.Path(shutil.copy(path, shared)) for path in pair)
        check_camera_fault(program, img, cam, fault, reason)
    finally:
        shutil.rmtree(shared)


def check_camera_fault(program, img, cam, fault, reason):
    if fault == "absent":
        cam.unlink()
    elif fault == "fifo":
        cam.unlink()
        os.mkfifo(cam)  # opening it for reading would wait for ever
    elif fault == "garbage":
        cam.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(100))
    command = [program, str(img), str(cam)]
    if fault == "unreadable":
        cam.chmod(0o600)
        command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *command]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == f"{img} is not exist\npairfit: camera image '{cam}': {reason}\n"


def test_pair_that_cannot_be_binarised_is_special(program, white_camera):
    img, cam = white_camera
    done = run(program, img, cam)
    assert (done.returncode, done.stdout, done.stderr) == (1, f"{img} is special!\n", "")


def test_aligned_pair_prints_the_score_with_six_significant_digits(program, pair, tmp_path):
    img, cam = pair
    expected = pairfit.ICpair_Aligning(str(img), str(cam), str(tmp_path / "py"))["score"]
    done = run(program, img, cam)
    assert done.returncode == 1
    assert done.stderr == ""
    assert done.stdout == (f"Alignment the images: {img} and {cam}. "
                           f"And the accuracy is {expected:g}\n")
    assert (img.parent / "p1_aligned.jpg").exists()
    assert (img.parent / "p1_aligned.png").exists()


def test_one_argument_derives_the_camera_path(program, pair, tmp_path):
    img, cam = pair
    done = run(program, "in/p1.jpg", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout.startswith("Alignment the images: in/p1.jpg and in/p1.png.")
    assert (tmp_path / "in" / "p1_aligned.png").exists()


def test_one_argument_without_jpg_appends_png(program, pair, tmp_path):
    img, cam = pair
    shutil.copy(img, img.parent / "p2.JPG")
    shutil.copy(cam, img.parent / "p2.JPG.png")
    done = run(program, "in/p2.JPG", cwd=tmp_path)
    assert done.stdout.startswith("Alignment the images: in/p2.JPG and in/p2.JPG.png.")


def test_unwritable_output_is_an_error_with_status_two(program, pair):
    img, cam = pair
    (img.parent / "p1_aligned.jpg").mkdir()  # a directory where the file must go
    done = run(program, img, cam)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith("pairfit: error: cannot write '")
    assert str(img.parent / "p1_aligned.jpg") in done.stderr
    assert done.stderr.count("\n") == 1
    assert sorted(p.name for p in img.parent.iterdir()) == ["p1.jpg", "p1.png", "p1_aligned.jpg"]


def test_reference_too_small_for_the_output_is_an_error_with_status_two(program, tmp_path,
                                                                       reference_rgb):
    import imagegen
    small = reference_rgb[:500, :500]
    imagegen.save(small, tmp_path / "s.jpg")
    imagegen.save(imagegen.make_camera(small, 1.0, 0.0, 0.0), tmp_path / "s.png")
    done = run(program, tmp_path / "s.jpg")
    assert done.returncode == 2
    assert done.stderr.startswith("pairfit: error: out_size 600 does not fit")
    assert "500x500" in done.stderr


def test_decoder_complaints_stay_off_the_output(program, pair, tmp_path):
    # A truncated JPEG decodes partly; the decoder's own warning is not shown.
    img, cam = pair
    data = img.read_bytes()
    (img.parent / "cut.jpg").write_bytes(data[: len(data) // 2])
    done = run(program, img.parent / "cut.jpg", cam)
    assert done.returncode == 1
    assert done.stderr == ""
    assert done.stdout.count("\n") == 1
    assert done.stdout.startswith("Alignment the images: ")


def test_size_errors_are_reported_once_with_status_two(program, tmp_path, reference_rgb):
    import imagegen
    imagegen.save(reference_rgb[:150, :300], tmp_path / "small.jpg")
    imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 0.0, 0.0), tmp_path / "small.png")
    done = run(program, tmp_path / "small.jpg")
    assert done.returncode == 2
    assert done.stderr == ("pairfit: error: reference image is 300x150 px; it must be at least "
                           "200 px in each direction\n")


def test_images_above_the_pixel_limit_are_refused_by_name(program, pair, tmp_path):
    img, cam = pair
    huge = png_header_only(tmp_path / "huge.png", 30000, 30000)
    done = run(program, img, huge)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == (f"pairfit: error: camera image '{huge}' is 30000x30000 px (900000000 "
                           "pixels), more than the limit of 100000000 pixels\n")
    lowered = run(program, img, cam, env={"PAIRFIT_MAX_PIXELS": "1000"})
    assert lowered.returncode == 2
    assert "is 800x700 px (560000 pixels), more than the limit of 1000 pixels" in lowered.stderr
    assert list(img.parent.glob("*_aligned*")) == []


@pytest.mark.parametrize("value", ["many", "0", "-5", "1e9"])
def test_a_pixel_limit_that_is_not_a_positive_whole_number_is_an_error(program, pair, value):
    img, cam = pair
    done = run(program, img, cam, env={"PAIRFIT_MAX_PIXELS": value})
    assert done.returncode == 2
    assert done.stderr == (f"pairfit: error: PAIRFIT_MAX_PIXELS must be a whole number of pixels "
                           f"above 0, not '{value}'\n")
