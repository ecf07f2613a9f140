"""Bad input, faults and concurrency: one clear outcome or error each, never
a crash, a hang, a half-written file or a wrong result."""

import concurrent.futures
import json
import os
import pathlib
import random
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest
from PIL import Image

import imagegen
from conftest import BUILD
import pairfit
import sys

from faults import need_root, peak_of, small_file_system

MISSING = dict.fromkeys(["score", "theta", "s", "t_x", "t_y"], 0.0)


def align(*args):
    return pairfit.ICpair_Aligning(*(str(a) if isinstance(a, os.PathLike) else a for a in args))


@pytest.fixture
def camera(tmp_path, reference_rgb):
    path = tmp_path / "cam.png"
    imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 10.0, 5.0, seed=4), path)
    return path


@pytest.fixture
def reference(tmp_path, reference_rgb):
    path = tmp_path / "ref.jpg"
    imagegen.save(reference_rgb, path)
    return path


def write_bytes(path, data):
    path.write_bytes(data)
    return path


class TestUnreadableFiles:
    """Files that hold no decodable image give the 'missing' outcome, as
    the reference or as the camera image, and write nothing."""

    @staticmethod
    def bad_file(kind, tmp_path, reference):
        good = reference.read_bytes()
        if kind == "zero-byte":
            return write_bytes(tmp_path / "bad.jpg", b"")
        if kind == "corrupt":
            # Garbage without a 0xff byte holds no marker, so no frame
            # header: random bytes could claim a size above the pixel limit.
            noise = random.Random(5)
            garbage = bytes(noise.randrange(255) for _ in range(5000))
            return write_bytes(tmp_path / "bad.jpg", b"\xff\xd8" + garbage)
        if kind == "not-an-image":
            return write_bytes(tmp_path / "bad.jpg", b"hello, not an image\n" * 50)
        if kind == "header-only-png":
            return write_bytes(tmp_path / "bad.png", good[:0] + b"\x89PNG\r\n\x1a\n")
        if kind == "directory":
            (tmp_path / "dir.jpg").mkdir()
            return tmp_path / "dir.jpg"
        if kind == "fifo":
            os.mkfifo(tmp_path / "fifo.jpg")  # reading it would block for ever
            return tmp_path / "fifo.jpg"
        raise AssertionError(kind)

    @pytest.mark.parametrize("kind", ["zero-byte", "corrupt", "not-an-image", "header-only-png",
                                      "directory", "fifo"])
    @pytest.mark.parametrize("role", ["reference", "camera"])
    def test_gives_the_missing_outcome(self, tmp_path, reference, camera, kind, role):
        bad = self.bad_file(kind, tmp_path, reference)
        out = tmp_path / "out"
        args = (bad, camera) if role == "reference" else (reference, bad)
        assert align(*args, out) == MISSING
        reason = "not a regular file" if kind in ("directory", "fifo") else "cannot be decoded"
        result = pairfit.align(*args, out)
        assert result["outcome"] == "missing"
        assert result["error"].startswith(f"{role} image '{bad}': {reason}")
        assert not out.exists()

    def test_an_unreadable_image_says_permission_denied_in_align_and_batch(self, tmp_path,
                                                                           program):
        need_root("running as another user")
        shared = pathlib.Path(tempfile.mkdtemp())  # under /tmp, which every user may pass through
        try:
            shared.chmod(0o777)
            reference = shared / "p.jpg"
            imagegen.save(imagegen.make_reference(400, 300), reference)
            shutil.copy(reference, shared / "p.png")
            (shared / "p.png").chmod(0o600)
            nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            show_error = "import sys, pairfit; print(pairfit.align(*sys.argv[1:3], None)['error'])"
            # The package goes where the other user can reach it, wherever the build is.
            shutil.copytree(os.path.dirname(pairfit.__file__), shared / "package" / "pairfit")
            done = subprocess.run([*nobody, sys.executable, "-c", show_error, reference,
                                   shared / "p.png"], capture_output=True, text=True, timeout=60,
                                  env=dict(os.environ, PYTHONPATH=str(shared / "package")))
            expected = f"camera image '{shared / 'p.png'}': permission denied"
            assert done.stdout == expected + "\n"
            batch = os.path.join(os.path.dirname(program), "pairfit-batch")
            subprocess.run([*nobody, batch, shared, "-o", shared / "out"], capture_output=True,
                           timeout=60)
            record = json.loads((shared / "out" / "pairfit-report.jsonl").read_text())
            assert (record["outcome"], record["error"]) == ("missing", expected)
        finally:
            shutil.rmtree(shared)

    def test_truncated_jpeg_is_decoded_as_far_as_it_goes_and_aligned(self, tmp_path, reference,
                                                                     camera):
        data = reference.read_bytes()
        truncated = write_bytes(tmp_path / "half.jpg", data[: len(data) // 2])
        result = align(truncated, camera, tmp_path / "out")
        assert result["s"] > 0 and result["score"] > 0
        assert sorted(os.listdir(tmp_path / "out")) == ["cam_aligned.png", "half_aligned.jpg"]


class TestImageKinds:
    """Every pixel format imread can read in colour is aligned."""

    @pytest.mark.parametrize("mode", ["L", "I;16", "RGBA", "P"])
    def test_camera_and_reference_of_other_pixel_formats_are_aligned(self, tmp_path,
                                                                     reference_rgb, mode):
        cam_rgb = imagegen.make_camera(reference_rgb, 1.0, 10.0, 5.0, seed=5)
        def convert(rgb):
            if mode == "I;16":
                return Image.fromarray(rgb[..., 0].astype(np.uint16) * 257)
            return Image.fromarray(rgb).convert(mode)
        convert(reference_rgb).save(tmp_path / "ref.png")
        convert(cam_rgb).save(tmp_path / "cam.png")
        result = align(tmp_path / "ref.png", tmp_path / "cam.png", tmp_path / "out")
        assert result["s"] > 0
        assert (tmp_path / "out" / "cam_aligned.png").exists()

    def test_names_that_are_not_utf8_are_taken_by_both_entries(self, tmp_path, reference_rgb):
        # os.fsdecode gives such a name as a str with surrogate escapes.
        folder = tmp_path / os.fsdecode(b"caf\xe9")
        folder.mkdir()
        imagegen.save(reference_rgb, folder / "r.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 0.0, 0.0), folder / "c.png")
        exact = align(folder / "r.jpg", folder / "c.png", folder / "out")
        assert exact["s"] > 0
        assert sorted(os.listdir(folder / "out")) == ["c_aligned.png", "r_aligned.jpg"]
        precise = pairfit.align(folder / "r.jpg", folder / "c.png", folder / "out", refine=False)
        assert [precise[k] for k in exact] == list(exact.values())

    @pytest.mark.parametrize("folder", ["with space", "ünïcødé ✓", "a.b c"])
    def test_paths_with_spaces_and_non_ascii_characters(self, tmp_path, reference_rgb, folder):
        base = tmp_path / folder
        base.mkdir()
        imagegen.save(reference_rgb, base / "réf 1.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 0.0, 0.0), base / "cäm 1.png")
        result = align(base / "réf 1.jpg", base / "cäm 1.png", base / "sortie ü")
        assert result["s"] > 0
        assert sorted(os.listdir(base / "sortie ü")) == ["cäm 1_aligned.png", "réf 1_aligned.jpg"]


class TestHostileHeaders:
    """A small file whose header claims more pixels than the limit is refused
    before it is decoded, in every format and every face: the peak memory is
    that of refusing a bare PNG header."""

    LIMIT = 10_000_000  # lowered, so that the test stays small even when it fails
    SIDE = 5000  # 25 megapixels: 75 MB decoded as 8-bit colour, 300 MB as floats

    def header_only_png(self, path, width, height):
        return write_bytes(path, b"\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR" + width.to_bytes(4, "big")
                           + height.to_bytes(4, "big"))

    @pytest.mark.parametrize("kind", imagegen.HOSTILE_KINDS)
    def test_every_format_is_measured_before_it_is_decoded(self, program, tmp_path, camera, kind):
        peaks = []
        for hostile in [self.header_only_png(tmp_path / "header.png", self.SIDE, self.SIDE),
                        imagegen.hostile_image(tmp_path, kind, self.SIDE, self.SIDE)]:
            status, errors, peak = peak_of([program, camera, hostile],
                                           {"PAIRFIT_MAX_PIXELS": str(self.LIMIT)})
            assert status == 2 and f"camera image '{hostile}' is 5000x5000 px" in errors, errors
            peaks.append(peak)
        print(f"{kind}: peak {peaks[1]:.0f} MB, refusing a bare PNG header {peaks[0]:.0f} MB")
        assert peaks[1] < peaks[0] + 20

    @pytest.mark.parametrize("face", ["align", "ICpair_Aligning", "pairfit-batch"])
    def test_every_face_refuses_before_decoding(self, program, tmp_path, camera, face):
        # 105 megapixels, above the default limit; Radiance decodes to 12 bytes a pixel.
        call = {"align": "align(*sys.argv[1:3], None)", "ICpair_Aligning": "ICpair_Aligning(*sys.argv[1:3])"}
        peaks = []
        for kind in ["header.png", "radiance-hdr"]:
            folder = tmp_path / kind
            folder.mkdir()
            hostile = (self.header_only_png(folder / "h.jpg", 10_500, 10_000) if kind == "header.png"
                       else imagegen.hostile_image(folder, kind, 10_500, 10_000).rename(folder / "h.jpg"))
            shutil.copy(camera, folder / "h.png")
            if face == "pairfit-batch":
                status, _, peak = peak_of([os.path.join(os.path.dirname(program), face), folder, "-o", folder / "out"])
                errors = json.loads((folder / "out" / "pairfit-report.jsonl").read_text())["error"]
            else:
                code = f"import sys, pairfit\ntry: pairfit.{call[face]}\nexcept ValueError as e: sys.exit(str(e))"
                status, errors, peak = peak_of([sys.executable, "-c", code, hostile, folder / "h.png"],
                                               {"PYTHONPATH": os.path.dirname(os.path.dirname(pairfit.__file__))})
            assert status != 0 and f"reference image '{hostile}' is 10500x10000 px" in errors, errors
            peaks.append(peak)
        print(f"{face}: peak {peaks[1]:.0f} MB, refusing a bare PNG header {peaks[0]:.0f} MB")
        assert peaks[1] < peaks[0] + 20


class TestSizeErrors:
    """Inputs the algorithm cannot take raise ValueError naming the numbers,
    before any output is written."""

    def test_reference_below_200_pixels(self, tmp_path, reference_rgb, camera):
        small = tmp_path / "small.png"
        imagegen.save(reference_rgb[:150, :300], small)
        with pytest.raises(ValueError, match="300x150 px; it must be at least 200"):
            align(small, camera, tmp_path / "out", 100)
        assert not (tmp_path / "out").exists()

    @pytest.mark.parametrize("size", [0, -5, 701, 10**6])
    def test_out_size_outside_one_to_the_smaller_side(self, tmp_path, reference, camera, size):
        with pytest.raises(ValueError, match=rf"out_size {size} does not fit .* 800x700"):
            align(reference, camera, tmp_path / "out", size)
        assert not (tmp_path / "out").exists()

    def test_image_so_elongated_that_a_reduced_side_is_zero(self, tmp_path):
        strip = np.full((200, 30000, 3), 230, np.uint8)
        strip[50:150, ::400] = 20
        imagegen.save(strip, tmp_path / "strip.png")
        with pytest.raises(ValueError, match="30000x200 px is too elongated"):
            align(tmp_path / "strip.png", tmp_path / "strip.png", tmp_path / "out", 100)

    def test_uniform_camera_wins_over_a_small_reference(self, tmp_path, reference_rgb):
        # The camera is tested first: a pair it rules out is "special", not an error.
        imagegen.save(reference_rgb[:150, :150], tmp_path / "small.png")
        imagegen.save(np.zeros((300, 300, 3), np.uint8), tmp_path / "black.png")
        result = align(tmp_path / "small.png", tmp_path / "black.png")
        assert (result["s"], result["score"]) == (1.0, 0.0)


class TestAtomicOutput:
    def test_failed_write_keeps_earlier_files_and_leaves_no_temporary_file(self, tmp_path, reference,
                                                                          camera):
        out = tmp_path / "out"
        align(reference, camera, out)
        earlier = (out / "ref_aligned.jpg").read_bytes()
        (out / "cam_aligned.png").unlink()
        (out / "cam_aligned.png").mkdir()  # the camera crop cannot take its place
        with pytest.raises(OSError, match="cam_aligned.png"):
            align(reference, camera, out, 500)
        assert sorted(os.listdir(out)) == ["cam_aligned.png", "ref_aligned.jpg"]
        # The reference crop is not replaced when the camera crop cannot be.
        assert (out / "ref_aligned.jpg").read_bytes() == earlier

    def test_a_failing_directory_is_reported_with_its_path(self, tmp_path, reference, camera):
        target = tmp_path / "file-not-dir"
        target.write_text("")
        with pytest.raises(OSError, match="file-not-dir"):
            align(reference, camera, target / "sub")


class TestFileSystemFaults:
    """The system's reason for a failed write; what a killed process leaves."""

    def test_a_full_disk_is_said_and_leaves_nothing_behind(self, tmp_path, reference, camera):
        with small_file_system(tmp_path / "small", 16384) as small:
            with pytest.raises(OSError, match="_aligned.(jpg|png)': No space left on device"):
                align(reference, camera, small)
            assert os.listdir(small) == ["filler"]

    def test_permission_denied_is_said(self, program, reference_rgb):
        need_root("running as another user")
        shared = tempfile.mkdtemp()  # readable by all, writable by root only
        try:
            os.chmod(shared, 0o755)
            imagegen.save(reference_rgb, os.path.join(shared, "p.jpg"))
            imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 3.0, 3.0), os.path.join(shared, "p.png"))
            nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
            done = subprocess.run([*nobody, program, os.path.join(shared, "p.jpg")],
                                  capture_output=True, text=True, timeout=120)
            assert done.returncode == 2
            assert done.stderr == f"pairfit: error: cannot write '{shared}/p_aligned.jpg': Permission denied\n"
        finally:
            shutil.rmtree(shared)

    def test_temporary_files_of_killed_processes_are_removed(self, program, tmp_path, reference,
                                                             camera):
        def die_at_the_first_large_write():
            resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        killed = subprocess.Popen([program, reference, camera], preexec_fn=die_at_the_first_large_write)
        assert killed.wait(timeout=120) == -signal.SIGXFSZ
        left = [name for name in os.listdir(tmp_path) if name.startswith(".pairfit-")]
        assert left and all(f"-{killed.pid}-" in name for name in left)
        sleeper = subprocess.Popen(["sleep", "60"])
        sleeper.kill()  # kill -9
        sleeper.wait()
        earlier_version = f".ref_aligned.jpg.{sleeper.pid}-3.tmp.jpg"
        live = left[0].replace(f"-{killed.pid}-", f"-{os.getpid()}-")
        for name in [earlier_version, live]:
            (tmp_path / name).write_bytes(b"partial")
        assert subprocess.run([program, reference, camera], capture_output=True).returncode == 1
        assert sorted(os.listdir(tmp_path)) == sorted(
            [live, "cam.png", "cam_aligned.png", "ref.jpg", "ref_aligned.jpg"])


class TestRepetitionAndThreads:
    def test_repeated_and_concurrent_calls_give_the_same_results(self, tmp_path, reference_rgb):
        pairs = []
        for k in range(4):
            folder = tmp_path / f"p{k}"
            folder.mkdir()
            imagegen.save(reference_rgb, folder / "r.jpg")
            imagegen.save(imagegen.make_camera(reference_rgb, 1 + 0.01 * k, 8.0 * k, -6.0 * k,
                                               seed=k), folder / "c.png")
            pairs.append((str(folder / "r.jpg"), str(folder / "c.png")))
        one_at_a_time = [pairfit.ICpair_Aligning(r, c, os.path.dirname(r) + "/seq") for r, c in pairs]
        again = [pairfit.ICpair_Aligning(r, c, os.path.dirname(r) + "/seq") for r, c in pairs]
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            jobs = [pool.submit(pairfit.ICpair_Aligning, r, c, os.path.dirname(r) + f"/t{n}")
                    for n in range(3) for r, c in pairs]
            concurrent_results = [j.result() for j in jobs]
        assert again == one_at_a_time
        assert concurrent_results == one_at_a_time * 3
        for r, _ in pairs:
            seq = open(os.path.dirname(r) + "/seq/c_aligned.png", "rb").read()
            assert open(os.path.dirname(r) + "/t2/c_aligned.png", "rb").read() == seq

    def test_memory_stays_flat_over_200_calls(self, tmp_path, reference_rgb):
        imagegen.save(reference_rgb, tmp_path / "r.jpg")
        imagegen.save(imagegen.make_camera(reference_rgb, 1.0, 4.0, 4.0), tmp_path / "c.png")
        args = (str(tmp_path / "r.jpg"), str(tmp_path / "c.png"), str(tmp_path / "out"), 300)

        def resident_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

        for _ in range(20):
            pairfit.ICpair_Aligning(*args)
        before = resident_mb()
        for _ in range(180):
            pairfit.ICpair_Aligning(*args)
        after = resident_mb()
        print(f"resident memory after 20 calls: {before:.1f} MB, after 200: {after:.1f} MB")
        assert after - before < 8.0


class TestInterpreterLock:
    def test_other_python_threads_run_while_an_alignment_works(self, tmp_path):
        reference = imagegen.make_reference(2400, 1800, seed=9)
        imagegen.save(reference, tmp_path / "r.jpg")
        imagegen.save(imagegen.make_camera(reference, 1.0, 12.0, -8.0, seed=9), tmp_path / "c.png")
        ticks = []
        running = threading.Event()
        stop = threading.Event()

        def count():
            running.set()
            while not stop.is_set():
                ticks.append(time.perf_counter())

        counter = threading.Thread(target=count)
        counter.start()
        running.wait()
        start = time.perf_counter()
        pairfit.ICpair_Aligning(str(tmp_path / "r.jpg"), str(tmp_path / "c.png"),
                                str(tmp_path / "out"))
        end = time.perf_counter()
        stop.set()
        counter.join()
        during = [t for t in ticks if start < t < end]
        # Holding the lock, the call would leave the counter no tick at all
        # between its start and its end.
        assert len(during) > 1000
        assert max(during) - min(during) > 0.5 * (end - start)


def run_child(source, *args, env_extra=None, **popen):
    """A Python process running `source` with the module importable."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD), os.path.dirname(__file__)]), **(env_extra or {}))
    return subprocess.Popen([sys.executable, "-c", source, *map(str, args)], env=env, text=True, **popen)


SMALL_PAIR = """
import os, signal, sys, threading, time
import numpy as np
import imagegen, pairfit
reference = imagegen.make_reference(400, 300, seed=3)
camera = imagegen.make_camera(reference, 1.0, 6.0, -4.0, seed=3)
"""

# Registered before pairfit's exit hook, so it runs after it: the daemon
# threads, stopped by then, get the lock while it waits.
DAEMONS = """
import atexit, time
stopped = []
def count_stopped():
    deadline = time.monotonic() + 10
    while len(stopped) < 4 and time.monotonic() < deadline:
        time.sleep(0.01)
    print(len(stopped), flush=True)
atexit.register(count_stopped)
""" + SMALL_PAIR + """
folder = sys.argv[1]
imagegen.save(reference, folder + "/r.jpg")
imagegen.save(camera, folder + "/c.png")
entries = [lambda k: pairfit.ICpair_Aligning(folder + "/r.jpg", folder + "/c.png", folder + f"/{k}", 200),
           lambda k: pairfit.align(reference, camera, folder + f"/{k}", 200)]
def loop(k):
    try:
        while True:
            entries[k % 2](k)
    except SystemExit:
        stopped.append(k)
for k in range(4):
    threading.Thread(target=loop, args=(k,), daemon=True).start()
time.sleep(float(sys.argv[2]))
"""

# A child forked while another thread aligns has no such thread: its exit
# must not wait for it (5 s at most).
FORKED = SMALL_PAIR + """
def loop():
    while True:
        pairfit.align(reference, camera, None, 200)
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.5)
start = time.monotonic()
pid = os.fork()
if pid == 0:
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print(status, time.monotonic() - start)
"""

GROWTH = SMALL_PAIR + """
import ctypes
trim = ctypes.CDLL("libc.so.6").malloc_trim
def resident_mb():
    trim(0)  # freed memory that malloc keeps is not growth
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
sizes = []
for k in range(1, 501):
    pairfit.align(reference, camera, None, 200)
    if k % 10 == 0:
        sizes.append(resident_mb())
# Medians of five readings, after 100 calls and at the end.
print(np.median(sizes[-5:]) - np.median(sizes[10:15]))
"""

def many_pairs(folder, count):
    """A CSV of `count` pairs of 400x300 that are one pair under names of
    their own (hard links), so that each has crops of its own."""
    reference = imagegen.make_reference(400, 300, seed=3)
    imagegen.save(reference, folder / "r.jpg")
    imagegen.save(imagegen.make_camera(reference, 1.0, 6.0, -4.0, seed=3), folder / "r.png")
    rows = ["img,cam"]
    for k in range(count):
        for ext in ("jpg", "png"):
            os.link(folder / f"r.{ext}", folder / f"{k}.{ext}")
        rows.append(f"{k}.jpg,{k}.png")
    (folder / "pairs.csv").write_text("\n".join(rows) + "\n")
    return folder / "pairs.csv"


def process_status(pid):
    """The numbers of /proc/PID/status (kB for sizes); empty once it ended."""
    try:
        lines = pathlib.Path(f"/proc/{pid}/status").read_text().splitlines()
    except (FileNotFoundError, ProcessLookupError):
        return {}
    fields = (line.split(":", 1) for line in lines)
    return {name: int(value.split()[0]) for name, value in fields if value.split() and value.split()[0].isdigit()}


# The handler counts the SIGINTs that the alignment's checks take in and
# raises at the sixth: more than the stages of align(refine=False) ever check.
COUNTED_CTRL_C = """
import signal, sys, numpy as np, imagegen, pairfit
base = imagegen.make_reference(4000, 3000, seed=9)
reference = np.tile(base, (2, 2, 1))
camera = np.tile(imagegen.make_camera(base, 1.0, 12.0, -8.0, seed=9), (2, 2, 1))
seen = []
def count(*_):
    seen.append(1)
    if len(seen) == 6:
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, count)
print("ready", flush=True)
try:
    pairfit.align(reference, camera, None, refine=False, channels="rgb")
    print("finished after", len(seen), "checks", flush=True)
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
"""


class TestThreadsOverALongLife:
    """What a process that aligns for hours, or ends while aligning, meets."""

    def test_daemon_threads_aligning_while_the_interpreter_exits(self, tmp_path):
        # Each child exits while its four threads align; every one of them
        # is stopped and back in Python before the interpreter tears down.
        results = []
        for k in range(6):
            child = run_child(DAEMONS, tmp_path, 0.2 + 0.1 * k, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            results.append((child.communicate(timeout=120)[0], child.returncode))
        assert results == [("4\n", 0)] * 6

    def test_a_child_forked_while_a_thread_aligns_exits_without_waiting(self):
        out, _ = run_child(FORKED, stdout=subprocess.PIPE, env_extra={"PYTHONWARNINGS": "ignore"}).communicate(timeout=60)
        status, seconds = out.split()
        assert status == "0" and float(seconds) < 2.5

    def test_memory_stays_flat_over_hundreds_of_precise_alignments(self):
        # Threads started for each call leave their per-thread data behind:
        # 60 KB a call here, 20 MB over these 350 calls. One malloc arena:
        # per-thread arenas reaching their high water move it by megabytes.
        child = run_child(GROWTH, stdout=subprocess.PIPE, env_extra={"MALLOC_ARENA_MAX": "1"})
        out, _ = child.communicate(timeout=900)
        print(f"resident memory grew by {float(out):.2f} MB over 350 calls")
        assert child.returncode == 0 and float(out) < 2.0

    def test_a_long_batch_keeps_its_threads_and_memory(self, tmp_path):
        # Eight pairs at once on the machine's cores: a pool that grows with
        # every caller, threads started for each pair or records that keep
        # their images show as threads or megabytes here.
        jobs, pairs = 8, 300
        listing = many_pairs(tmp_path, pairs)
        report = tmp_path / "report.jsonl"
        child = subprocess.Popen([BUILD / "bin" / "pairfit-batch", listing, "-o", tmp_path / "out", "-s", "100",
                                  "-r", report, "-j", str(jobs), "--refine"], stdout=subprocess.DEVNULL)
        early, late, threads = [], [], 0
        while child.poll() is None:
            done, status = report.read_bytes().count(b"\n") if report.exists() else 0, process_status(child.pid)
            threads = max(threads, status.get("Threads", 0))
            (early if 50 <= done < 150 else late if pairs - 100 <= done < pairs - 20 else []).append(
                status.get("VmRSS", 0))
            time.sleep(0.01)
        # Eight pairs in flight move medians over a hundred pairs by up to
        # 10 MB from run to run (the draining last pairs left out); records
        # that kept their images would add 100 MB.
        growth = (np.median([r for r in late if r]) - np.median(early)) / 1024
        print(f"{threads} threads; resident memory grew by {growth:.2f} MB over {pairs - 150} pairs")
        assert child.returncode == 0
        assert threads <= 1 + jobs + 5 * os.cpu_count() + 6
        assert growth < 16.0

    def test_ctrl_c_is_checked_inside_the_long_stages(self):
        child = run_child(COUNTED_CTRL_C, stdout=subprocess.PIPE)
        assert child.stdout.readline() == "ready\n"
        while child.poll() is None:
            child.send_signal(signal.SIGINT)
            time.sleep(0.02)
        assert child.stdout.read() == "KeyboardInterrupt\n"
