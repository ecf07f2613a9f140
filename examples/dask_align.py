"""Aligns the pairs of a CSV file on a Dask cluster.

The CSV file has a header naming the columns `img` and `cam`; relative paths
are taken relative to the CSV file's folder. Each pair is aligned by
`pairfit.ICpair_Aligning` on a worker, and one JSON Lines record per pair is
written as it finishes, in the same format as `pairfit-batch` writes (so that
`pairfit-batch pairs.csv --resume` can finish a run this recipe began). The
report is locked as `pairfit-batch` locks it.

    python examples/dask_align.py pairs.csv --output aligned/            # local cluster
    python examples/dask_align.py pairs.csv --scheduler tcp://host:8786  # a running cluster

Every worker needs pairfit (`pip install "pairfit[dask]"`) and must see the
image paths and the output folder under the same names (a shared file
system).
"""

from __future__ import annotations

import argparse
import csv
import fcntl
import json
import os
import sys
import time



def report_fields() -> list[str]:
    """The keys of a report record, in pairfit-batch's order."""
    import pairfit

    return ["img", "cam", "outcome", *pairfit.NUMBER_KEYS, "error", "seconds", "img_canonical",
            "cam_canonical"]


def align_pair(img: str, cam: str, output_dir: str, size: int, masked: bool) -> dict:
    """Aligns one pair on a worker and returns its report record."""
    import pairfit

    start = time.perf_counter()
    record = {"img": img, "cam": cam, "outcome": "error"}
    try:
        # The exact entry, with its outcome named by the module itself.
        result = pairfit.align(img, cam, output_dir, size, masked, refine=False)
        record["outcome"] = result["outcome"]
        record.update({key: result[key] for key in pairfit.NUMBER_KEYS})
        record["error"] = None
    except Exception as error:  # one failed pair must not end the run
        record.update(dict.fromkeys(pairfit.NUMBER_KEYS, 0.0))
        record["error"] = str(error)
    record["seconds"] = time.perf_counter() - start
    # What --resume compares: the paths with links, "." and ".." resolved.
    record["img_canonical"] = os.path.realpath(img)
    record["cam_canonical"] = os.path.realpath(cam)
    return {key: record[key] for key in report_fields()}


def read_pairs(csv_path: str) -> list[tuple[str, str]]:
    folder = os.path.dirname(os.path.abspath(csv_path))
    with open(csv_path, newline="", encoding="utf-8-sig") as f:
        rows = csv.DictReader(f)
        if not rows.fieldnames or "img" not in rows.fieldnames or "cam" not in rows.fieldnames:
            raise SystemExit(f"{csv_path}: the first line must name the columns img and cam")
        return [(os.path.join(folder, row["img"]), os.path.join(folder, row["cam"])) for row in rows]


def align_all(pairs: list[tuple[str, str]], output: str, args: argparse.Namespace, out) -> dict:
    """Aligns the pairs on the cluster, writing each record to `out`; returns the outcome counts."""
    from dask.distributed import Client, LocalCluster, as_completed

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        # One thread per worker process: an alignment already uses every core
        # it is given for its full-resolution steps.
        client = Client(LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                     dashboard_address=None))
    counts = {"aligned": 0, "missing": 0, "special": 0, "error": 0}
    with client:
        futures = [client.submit(align_pair, img, cam, output, args.size, not args.no_mask,
                                 pure=False) for img, cam in pairs]
        for future in as_completed(futures):
            record = future.result()
            counts[record["outcome"]] += 1
            out.write(json.dumps(record) + "\n")
            out.flush()
    return counts


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("pairs", help="CSV file with columns img,cam")
    parser.add_argument("--output", default="", help="folder for the aligned images "
                        "(default: beside each reference)")
    parser.add_argument("--report", help="JSON Lines report (default: pairfit-report.jsonl "
                        "beside the CSV file)")
    parser.add_argument("--size", type=int, default=600, help="side of the aligned squares")
    parser.add_argument("--no-mask", action="store_true", help="do not mask the camera crop")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler "
                        "(default: start a local cluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of the local cluster")
    args = parser.parse_args(argv)

    pairs = read_pairs(args.pairs)
    output = os.path.abspath(args.output) if args.output else ""
    report = args.report or os.path.join(os.path.dirname(os.path.abspath(args.pairs)),
                                         "pairfit-report.jsonl")
    with open(report, "a") as out:
        try:
            fcntl.flock(out, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise SystemExit(f"dask_align: the report '{report}' is in use by another run")
        out.truncate(0)
        counts = align_all(pairs, output, args, out)
    print(f"dask_align: {len(pairs)} pairs: " +
          ", ".join(f"{outcome} {n}" for outcome, n in counts.items()))
    return 1 if counts["error"] else 0


if __name__ == "__main__":
    sys.exit(main())
