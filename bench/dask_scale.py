#!/usr/bin/env python3
"""Scale benchmark: encode a Parquet table larger than any worker may hold, on Dask.

Writes a table with the W1 column mix of bench.py (4 text columns of cardinality 10,
1,000, 100,000 and nearly unique, 1% missing, 2 float64, int64, bool) to Parquet files,
then encodes it on a LocalCluster of 2 worker processes (1 thread each, and 1 thread in
quorvel's pool of each: --worker-pool-threads) limited to --memory each, three ways:

  quorvel   quorvel_ml.dask.encode(read_parquet(...)), codes written back to Parquet
  dask      Dask's own route: categorize() of the text columns, then cat.codes of each,
            written back to Parquet
  single    quorvel.Encoder().encode of the first files that fit, in this process
            (encode alone, and read + encode + write)

Each route gets a fresh cluster and first runs once, untimed, on a small table of the
same layout (two files of 5,000 rows), so that the workers have imported and loaded what
the route uses; then the timed run. For each timed run it prints rows/s, the largest
worker memory the scheduler saw, the bytes workers spilled to disk and whether any worker
was restarted. The load average is printed at the start and end: the machine may be
shared, so compare runs at low load.
Nothing here is a test.

The nearly unique column has about --distinct-cap distinct values (0: one per row, as in
W1). Its learned table is every worker's to hold while codes are applied, and so is
Dask's category index in its route, so with one value per row at 20 million rows
neither route fits a 1 GiB worker.

    python bench/dask_scale.py --rows 2000000            # quick
    python bench/dask_scale.py                           # 20,000,000 rows
"""

from __future__ import annotations

import argparse
import glob
import os
import shutil
import sys
import threading
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench as w1  # noqa: E402  (the W1 column layout and vocabularies)

TEXT_NAMES = [name for name, kind, _ in w1.TABLE_COLUMNS if kind == "text"]


# --------------------------------------------------------------------------- data

def _unique_texts(rng, n, distinct_cap):
    """Texts of the nearly unique column: random 64-bit ids, or ids drawn from
    distinct_cap values scattered over 64 bits (so their order is not their draw order)."""
    if distinct_cap:
        ids = rng.integers(0, distinct_cap, size=n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
    else:
        ids = rng.integers(0, 2**63, size=n, dtype=np.uint64)
        dup = rng.integers(0, n, size=n // 50)
        ids[dup] = ids[rng.integers(0, n, size=dup.size)]
    return np.array([f"u{int(x):016x}" for x in ids], dtype=object)


# Rows per file of the warm-up table (two files).
_WARM_UP_ROWS = 5_000


def write_table(directory, rows, rows_per_file, seed, distinct_cap):
    """The W1 mix in files of rows_per_file rows; vocabularies shared by all files."""
    os.makedirs(directory)
    vocab_rng = np.random.default_rng(seed)
    vocabs = {
        name: w1._vocab(vocab_rng, card, name[2:] + "-")
        for name, kind, card in w1.TABLE_COLUMNS
        if kind == "text" and card != -1
    }
    for i, start in enumerate(range(0, rows, rows_per_file)):
        n = min(rows_per_file, rows - start)
        rng = np.random.default_rng([seed, i])
        columns = {}
        for name, kind, card in w1.TABLE_COLUMNS:
            if kind == "text":
                if card == -1:
                    values = _unique_texts(rng, n, distinct_cap)
                else:
                    values = vocabs[name][rng.integers(0, card, size=n)]
                missing = rng.random(n) < w1.MISSING_RATE
                columns[name] = pa.array(values, type=pa.string(), mask=missing)
            elif kind == "float":
                values = rng.normal(size=n) * 100.0
                if name == "f_b":
                    values[rng.random(n) < 0.005] = np.nan
                columns[name] = pa.array(values)
            elif kind == "int":
                columns[name] = pa.array(rng.integers(-(10**6), 10**6, size=n, dtype=np.int64))
            else:
                columns[name] = pa.array(rng.random(n) < 0.5)
        pq.write_table(pa.table(columns), os.path.join(directory, f"part-{i:05d}.parquet"))


# --------------------------------------------------------------------------- cluster

class WorkerWatch:
    """Polls the scheduler: the largest memory any worker reported and the set of
    workers seen (a restarted worker comes back under a new address)."""

    def __init__(self, client, interval=0.25):
        self.client, self.interval = client, interval
        self.peak = 0
        self.addresses = set()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            try:
                workers = self.client.scheduler_info(n_workers=-1)["workers"]
            except Exception:  # the client is closing
                return
            for address, info in workers.items():
                self.addresses.add(address)
                self.peak = max(self.peak, info["metrics"]["memory"])
            self._stop.wait(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def _spilled_bytes(dask_worker):
    spilled = getattr(dask_worker.data, "spilled_total", None)
    return None if spilled is None else int(spilled.disk)


def _task_profile(stream):
    """Per task kind (key prefix): tasks, seconds computing, seconds receiving inputs."""
    kinds = {}
    for task in stream:
        name = task["key"][0] if isinstance(task["key"], tuple) else task["key"]
        name = str(name).rsplit("-", 1)[0] if "-" in str(name) else str(name)
        entry = kinds.setdefault(name, [0, 0.0, 0.0])
        for phase in task["startstops"]:
            seconds = phase["stop"] - phase["start"]
            if phase["action"] == "compute":
                entry[0] += 1
                entry[1] += seconds
            elif phase["action"] == "transfer":
                entry[2] += seconds
    for name, (count, compute, transfer) in sorted(kinds.items(), key=lambda kv: -kv[1][1]):
        print(f"    {name[:48]:<48} {count:5d} tasks  compute {compute:7.2f} s  transfer {transfer:6.2f} s")


def run_on_cluster(label, work, rows, args, warm_up=None):
    from distributed import Client, LocalCluster, get_task_stream

    # Each worker runs one task at a time; its quorvel pool gets as many threads, as Dask
    # gives NumPy's own thread pools one thread per worker thread. Two workers with two
    # pool threads each would share two cores among four busy threads.
    env = {} if args.worker_pool_threads == 0 else {"RAYON_NUM_THREADS": str(args.worker_pool_threads)}
    with LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        memory_limit=args.memory,
        dashboard_address=None,
        local_directory=args.scratch,
        env=env,
    ) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        if warm_up is not None:
            # The route once on a small table, untimed: the workers import and load what
            # the route uses, so the timing is of the work, not of starting it.
            warm_up()
        outcome = {"error": None, "stream": []}

        def run():
            try:
                if args.profile:
                    with get_task_stream(client) as stream:
                        work()
                    outcome["stream"] = stream.data
                else:
                    work()
            except Exception as exc:  # report a failed route instead of stopping the run
                outcome["error"] = f"{type(exc).__name__}: {str(exc)[:200]}"

        with WorkerWatch(client) as watch:
            t0 = time.perf_counter()
            # A route whose workers all stay paused at their memory limit never ends:
            # give up on it after --route-timeout and say so.
            runner = threading.Thread(target=run, daemon=True)
            runner.start()
            runner.join(args.route_timeout)
            seconds = time.perf_counter() - t0
            timed_out = runner.is_alive()
        spilled = client.run(_spilled_bytes)
        restarts = len(watch.addresses) - 2
    # The abandoned route fails again once the cluster closes under it: report why it
    # was stopped, not that later failure.
    if timed_out:
        outcome["error"] = f"stopped: not done after {args.route_timeout:.0f} s"
    state = (
        f"peak worker memory {watch.peak / 2**20:6.0f} MiB  "
        f"spilled {sum(v or 0 for v in spilled.values()) / 2**20:.0f} MiB  "
        f"worker restarts {restarts}"
    )
    if outcome["error"]:
        print(f"{label:<8} failed after {seconds:.1f} s: {outcome['error']}  {state}")
        return None
    print(f"{label:<8} {seconds:8.1f} s  {rows / seconds:12,.0f} rows/s  {state}")
    if args.profile:
        _task_profile(outcome["stream"])
    return rows / seconds


def _phase(name, t0, quiet=False):
    """Prints how long a phase of a route took since t0; returns the time now."""
    now = time.perf_counter()
    if not quiet:
        print(f"    {name:<48} {now - t0:7.2f} s wall")
    return now


def quorvel_route(source, target, quiet=False):
    import dask.dataframe as dd

    from quorvel_ml import dask as qdask

    t0 = time.perf_counter()
    coded, _ = qdask.encode(dd.read_parquet(source))
    t0 = _phase("learn (read, learn, merge; encoder to client)", t0, quiet)
    coded.to_parquet(target)
    _phase("apply (share, read again, apply, write)", t0, quiet)


def dask_route(source, target, quiet=False):
    import dask.dataframe as dd

    t0 = time.perf_counter()
    ddf = dd.read_parquet(source).categorize(columns=TEXT_NAMES)
    t0 = _phase("categorize (read, distinct values, merge)", t0, quiet)
    ddf.assign(**{name: ddf[name].cat.codes for name in TEXT_NAMES}).to_parquet(target)
    _phase("codes (read again, cat.codes, write)", t0, quiet)


# --------------------------------------------------------------------------- single

def single_process(source, files):
    import pandas as pd

    import quorvel

    paths = sorted(glob.glob(os.path.join(source, "*.parquet")))[:files]
    t0 = time.perf_counter()
    frame = pd.concat([pd.read_parquet(p) for p in paths], ignore_index=True)
    t1 = time.perf_counter()
    codes, _ = quorvel.Encoder().encode(frame)
    t2 = time.perf_counter()
    codes.to_parquet(os.path.join(os.path.dirname(source), "single.parquet"))
    t3 = time.perf_counter()
    rows = len(frame)
    print(
        f"single   {rows:,} rows: encode {rows / (t2 - t1):12,.0f} rows/s, "
        f"read + encode + write {rows / (t3 - t0):12,.0f} rows/s"
    )
    return rows / (t3 - t0)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=20_000_000)
    parser.add_argument("--rows-per-file", type=int, default=250_000)
    parser.add_argument("--distinct-cap", type=int, default=1_000_000,
                        help="distinct values of the nearly unique column (0: one per row)")
    parser.add_argument("--memory", default="1GiB", help="memory limit of each worker")
    parser.add_argument("--single-files", type=int, default=8, help="files the single process encodes")
    parser.add_argument("--only", default="quorvel,dask,single")
    parser.add_argument("--dir", default=None, help="working directory (default: a new one under /tmp)")
    parser.add_argument("--keep", action="store_true", help="keep the written files")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--route-timeout", type=float, default=1200,
                        help="seconds after which a cluster route that has not finished is reported as failed")
    parser.add_argument("--worker-pool-threads", type=int, default=1,
                        help="threads of quorvel's pool in each worker (RAYON_NUM_THREADS; 0: the default)")
    parser.add_argument("--profile", action="store_true",
                        help="also print each route's phases and its tasks' compute and transfer time by kind")
    args = parser.parse_args()

    work = args.dir or os.path.join("/tmp", f"quorvel-dask-scale-{os.getpid()}")
    source = os.path.join(work, "table")
    args.scratch = os.path.join(work, "scratch")
    routes = args.only.split(",")
    print(f"load average at start: {os.getloadavg()[0]:.2f}")
    try:
        t0 = time.perf_counter()
        write_table(source, args.rows, args.rows_per_file, args.seed, args.distinct_cap)
        size = sum(os.path.getsize(p) for p in glob.glob(os.path.join(source, "*")))
        print(f"wrote {args.rows:,} rows in {len(os.listdir(source))} files, {size / 2**20:.0f} MiB "
              f"of Parquet, in {time.perf_counter() - t0:.1f} s")
        # A small table of the same layout for each route's untimed first run.
        warm = os.path.join(work, "warm-up")
        write_table(warm, 2 * _WARM_UP_ROWS, _WARM_UP_ROWS, args.seed + 1, args.distinct_cap)
        rates = {}
        for name, route in (("quorvel", quorvel_route), ("dask", dask_route)):
            if name not in routes:
                continue
            rates[name] = run_on_cluster(
                name,
                lambda: route(source, os.path.join(work, f"codes-{name}")),
                args.rows,
                args,
                warm_up=lambda: route(warm, os.path.join(work, f"warm-up-codes-{name}"), quiet=True),
            )
        if "single" in routes:
            rates["single"] = single_process(source, args.single_files)
        if rates.get("quorvel") and rates.get("dask"):
            print(f"quorvel / dask rows per second: {rates['quorvel'] / rates['dask']:.2f}x")
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        print(f"load average at end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
