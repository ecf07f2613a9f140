"""pairfit-dask: pairfit-batch with the pairs aligned on a Dask cluster.

    pairfit-dask scans/ -o aligned/                              # a local cluster of this machine
    pairfit-dask pairs.csv --scheduler tcp://scheduler:8786      # a running cluster
    pairfit-dask pairs.csv --scheduler tcp://host:8786 --ship-images

It takes pairfit-batch's arguments and options and runs pairfit-batch itself,
which plans the run, locks and writes the report, prints the summary and
decides the exit status, exactly as on its own; only the alignments go to the
cluster (see batch/engine.h for the two pipes between them). With
--ship-images the images travel to the workers as bytes and the crops come
back the same way, for workers that cannot see the files.
"""

from __future__ import annotations

import argparse
import base64
import json
import logging
import os
import queue
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

PROGRAM = "pairfit-dask"
# Futures waiting with shipped images hold their bytes in memory: a few for
# each worker thread keep the workers busy without holding the whole batch.
SHIPPED_PER_THREAD = 3
# The main loop looks at Ctrl-C this often while it waits.
WAIT_SECONDS = 0.2


# --- On the workers -------------------------------------------------------------

def _as_given(message: str, names: Dict[str, str]) -> str:
    """The message with each path as the worker saw it replaced by the path as given."""
    for seen in sorted(names, key=len, reverse=True):
        message = message.replace(seen, names[seen])
    return message


def _aligned(job: Dict[str, Any], img: str, cam: str, output_dir: str,
             names: Dict[str, str]) -> Dict[str, Any]:
    """The result fields of one alignment; an exception is the pair's error."""
    import pairfit

    start = time.perf_counter()
    try:
        found = None
        if not job["refine"] and "max_pixels" not in job:
            # The exact entry as pairfit-batch runs it, without the precise
            # entry's measures that the exact record leaves out.
            result = pairfit.ICpair_Aligning(img, cam, output_dir, job["size"], job["masked"])
            if result["s"] == 0.0:
                # Missing: the precise entry's exact path says which image and why.
                found = pairfit.align(img, cam, output_dir, job["size"], job["masked"], False)
        else:
            limit = {"max_pixels": job["max_pixels"]} if "max_pixels" in job else {}
            found = pairfit.align(img, cam, output_dir, job["size"], job["masked"], job["refine"],
                                  model=job["model"], **limit)
            result = {key: found[key] for key in (*pairfit.NUMBER_KEYS, "method", "matrix",
                                                  "correlation", "misalignment_px")}
            if found.get("field") is not None:
                result["field"] = found["field"]
        if found is not None and found["error"]:
            result["unreadable"] = _as_given(found["error"], names)
    except Exception as error:  # one pair's failure is its record, not the run's end
        result = {"error": _as_given(str(error), names)}
    result["seconds"] = time.perf_counter() - start
    return result


def align_shared(job: Dict[str, Any], names: Dict[str, str]) -> Dict[str, Any]:
    """Aligns a pair whose files the worker sees under the job's paths."""
    return _aligned(job, job["img"], job["cam"], job["output_dir"], names)


def _placed(folder: str, role: str, given: str, data: Optional[bytes]) -> str:
    """Where the image's bytes are put, under its own name (the crops are named
    after it); an image the client could not read is left absent: "missing"."""
    path = os.path.join(folder, role, os.path.basename(given))
    os.makedirs(os.path.dirname(path))
    if data is not None:
        with open(path, "wb") as f:
            f.write(data)
    return path


def align_shipped(job: Dict[str, Any], img_data: Optional[bytes],
                  cam_data: Optional[bytes]) -> Dict[str, Any]:
    """Aligns a pair from the bytes of its images; the crops come back as base64."""
    with tempfile.TemporaryDirectory(prefix="pairfit-dask-") as folder:
        img = _placed(folder, "reference", job["img"], img_data)
        cam = _placed(folder, "camera", job["cam"], cam_data)
        out = os.path.join(folder, "out")
        result = _aligned(job, img, cam, out,
                          {img: job["img"], cam: job["cam"], out: job["output_dir"]})
        # The folder is this pair's alone: what is in it, the aligner wrote.
        written = sorted(os.listdir(out), key=lambda name: name.endswith(".png")) \
            if os.path.isdir(out) else []
        if written:
            result["crops"] = [base64.b64encode(_read(os.path.join(out, name))).decode("ascii")
                               for name in written]
    return result


# --- On the client ---------------------------------------------------------------

def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _read_or_none(path: str) -> Optional[bytes]:
    try:
        return _read(path)
    except OSError:
        return None


def _parse_own_options(argv: List[str]) -> Tuple[argparse.Namespace, List[str]]:
    parser = argparse.ArgumentParser(prog=PROGRAM, add_help=False, allow_abbrev=False)
    parser.add_argument("--scheduler", metavar="ADDRESS")
    parser.add_argument("--ship-images", action="store_true")
    return parser.parse_known_args(argv)


def _print_help(batch: str) -> None:
    print(f"usage: {PROGRAM} [--scheduler ADDRESS] [--ship-images] INPUT [pairfit-batch options]\n\n"
          "Runs pairfit-batch with the pairs aligned on a Dask cluster: the same report, lock,\n"
          "refusals, summary, index.html and exit statuses.\n\n"
          "  --scheduler ADDRESS  a running Dask scheduler (default: a local cluster of this\n"
          "                       machine, one worker process with a thread per core)\n"
          "  --ship-images        send the images' bytes to the workers and write the crops\n"
          "                       here (for workers without the files)\n\n"
          "pairfit-batch's arguments and options (-j does not apply):\n", flush=True)
    subprocess.run([batch, "--help"])


def _find_batch() -> Optional[str]:
    """pairfit-batch of a development build (in bin/ beside the package
    folder), among this environment's programs, or on the PATH."""
    import pairfit

    build_folder = os.path.dirname(os.path.dirname(os.path.abspath(pairfit.__file__)))
    for folder in (os.path.join(build_folder, "bin"), sysconfig.get_path("scripts")):
        candidate = os.path.join(folder, "pairfit-batch")
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return shutil.which("pairfit-batch")


def _configure_dask() -> None:
    """Set before Dask is imported, so that the workers it starts inherit it."""
    settings = {
        # Dask's own log lines (workers starting, connections closed at the
        # end) are not the user's business; failures reach the records.
        "DASK_LOGGING__DISTRIBUTED": "critical",
        "DASK_DISTRIBUTED__ADMIN__LOG_LENGTH": "0",
        # Pairs cost alike: each worker gets its share at once and starts the
        # next pair without waiting for the scheduler, which competes for
        # the same cores.
        "DASK_DISTRIBUTED__SCHEDULER__WORKER_SATURATION": "inf",
        # Watchers for a person at the dashboard, which this program does not
        # start: the profiler samples the workers' stacks 100 times a second,
        # the others wake every process 50 and 2 times a second.
        "DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED": "False",
        "DASK_DISTRIBUTED__ADMIN__TICK__INTERVAL": "1s",
        "DASK_DISTRIBUTED__ADMIN__SYSTEM_MONITOR__INTERVAL": "5s",
    }
    for name, value in settings.items():
        os.environ.setdefault(name, value)


def _start_local_cluster(local_cluster: Any) -> Any:
    """One worker process with a thread per core, as pairfit-batch aligns on
    its own: the alignments release the interpreter lock, and one process
    costs the machine less than several. Without a memory limit, so that no
    monitor polls it. A terminal's Ctrl-C reaches every process of the
    program: the worker starts with it ignored, so that this program alone
    stops the run, without a traceback from the worker. While it starts, a
    Ctrl-C reaches this program through pairfit-batch."""
    ours = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return local_cluster(n_workers=1, threads_per_worker=len(os.sched_getaffinity(0)),
                             memory_limit=0, dashboard_address=None)
    finally:
        signal.signal(signal.SIGINT, ours)


class Cluster:
    """A client of the scheduler at `address`, or of a local cluster started
    on first use and closed with it."""

    def __init__(self, address: Optional[str]) -> None:
        self.address = address
        self.client: Any = None
        self.local: Any = None

    def get(self) -> Any:
        if self.client is None:
            from distributed import Client, LocalCluster

            if self.address:
                self.client = Client(self.address)
            else:
                self.local = _start_local_cluster(LocalCluster)
                self.client = Client(self.local)
        return self.client

    def close(self) -> None:
        """The client first, then the cluster, so that no side finds its peer gone.
        A task that ends in between (after a Ctrl-C, while others still run)
        has our own scheduler report it to the closed client, and log that
        with a traceback: the user would read it as a fault. Its log is
        quieted for the close; a remote scheduler logs in its own process."""
        if self.local is not None:
            logging.getLogger("distributed.scheduler").setLevel(logging.CRITICAL + 1)
        if self.client is not None:
            self.client.close()
        if self.local is not None:
            self.local.close()


class Engine:
    """Takes job lines from pairfit-batch, runs them on the cluster and sends
    back each result as it finishes."""

    def __init__(self, cluster: Cluster, ship_images: bool, results: Any) -> None:
        self.cluster = cluster
        self.ship_images = ship_images
        self.results = results
        self.events: "queue.Queue[Tuple[str, Any]]" = queue.Queue()
        self.waiting: List[Dict[str, Any]] = []  # shipped jobs not submitted yet
        self.running: Dict[Any, Dict[str, Any]] = {}  # future -> job
        self.stop = threading.Event()
        self.shipped_at_once = 0

    def read_jobs(self, jobs_fd: int) -> None:
        """On its own thread: every job line as an event, then the end of the
        pipe, by which pairfit-batch asks to stop (or is gone)."""
        with os.fdopen(jobs_fd, "rb") as jobs:
            for line in jobs:
                job = json.loads(line)
                self.events.put(("end", None) if job.get("end") else ("job", job))
        self.events.put(("stop", None))

    def run(self) -> None:
        ended = False
        while not self.stop.is_set() and not (ended and not self.waiting and not self.running):
            try:
                kind, value = self.events.get(timeout=WAIT_SECONDS)
            except queue.Empty:
                continue
            if kind == "job":
                self.take(value)
            elif kind == "end":
                ended = True
            elif kind == "done":
                self.send(value)
            else:
                self.stop.set()
        self.send_finished()

    def take(self, job: Dict[str, Any]) -> None:
        if self.ship_images:
            self.waiting.append(job)
            self.submit_shipped()
            return
        # Workers may start elsewhere than here: paths go absolute, and come
        # back as given in the messages that name them.
        seen = {key: os.path.abspath(job[key]) for key in ("img", "cam", "output_dir")}
        names = {seen[key]: job[key] for key in seen}
        future = self.cluster.get().submit(align_shared, dict(job, **seen), names, pure=False)
        self.watch(future, job)

    def submit_shipped(self) -> None:
        client = self.cluster.get()
        if self.shipped_at_once == 0:
            self.shipped_at_once = SHIPPED_PER_THREAD * max(1, sum(client.nthreads().values()))
        room = max(0, self.shipped_at_once - len(self.running))
        for job in self.waiting[:room]:
            future = client.submit(align_shipped, job, _read_or_none(job["img"]),
                                   _read_or_none(job["cam"]), pure=False)
            self.watch(future, job)
        del self.waiting[:room]

    def watch(self, future: Any, job: Dict[str, Any]) -> None:
        self.running[future] = job
        future.add_done_callback(lambda f: self.events.put(("done", f)))

    def send(self, future: Any) -> None:
        job = self.running.pop(future, None)
        if job is None:
            return
        try:
            result = future.result()
        except Exception as error:  # a worker lost, a task cancelled
            if future.cancelled():
                return
            result = {"error": f"the Dask cluster failed this pair: {error}", "seconds": 0.0}
        result["id"] = job["id"]
        try:
            self.results.write((json.dumps(result) + "\n").encode())
            self.results.flush()
        except BrokenPipeError:  # pairfit-batch is gone; nobody to tell
            self.stop.set()
        if self.ship_images and self.waiting:
            self.submit_shipped()

    def send_finished(self) -> None:
        """At the end or after a stop: what has finished is sent; the rest is
        dropped with the client."""
        self.waiting.clear()
        for future in [f for f in self.running if f.done()]:
            self.send(future)
        self.running.clear()


def main(argv: Optional[List[str]] = None) -> int:
    own, batch_args = _parse_own_options(sys.argv[1:] if argv is None else argv)
    batch = _find_batch()
    if batch is None:
        print(f"{PROGRAM}: error: cannot find the program pairfit-batch (install pairfit, "
              "or put it on the PATH)", file=sys.stderr)
        return 2
    if "-h" in batch_args or "--help" in batch_args:
        _print_help(batch)
        return 0
    _configure_dask()
    jobs_in, jobs_out = os.pipe()
    results_in, results_out = os.pipe()
    cluster = Cluster(own.scheduler)
    engine = Engine(cluster, own.ship_images, os.fdopen(results_out, "wb"))

    def on_signal(signum: int, _frame: Any) -> None:
        # pairfit-batch learns of it from the end of the results; a second
        # Ctrl-C ends this program at once, as it ends pairfit-batch.
        engine.stop.set()
        signal.signal(signum, signal.SIG_DFL)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    process = subprocess.Popen([batch, "--engine-fds", f"{results_in},{jobs_out}", *batch_args],
                               pass_fds=(results_in, jobs_out))
    os.close(results_in)
    os.close(jobs_out)
    threading.Thread(target=engine.read_jobs, args=(jobs_in,), daemon=True).start()
    failure = ""
    try:
        engine.run()
    except Exception as error:  # the cluster cannot be reached or started
        failure = f"{PROGRAM}: error: the Dask cluster failed: {error}"
    finally:
        # pairfit-batch ends as soon as the results end; the cluster closes meanwhile.
        try:
            engine.results.close()
        except BrokenPipeError:  # pairfit-batch is gone already
            pass
        cluster.close()
    returncode = process.wait()
    if failure:
        print(failure, file=sys.stderr)
        return 2
    return 128 - returncode if returncode < 0 else returncode


if __name__ == "__main__":
    sys.exit(main())
