#!/usr/bin/env python3
"""Benchmark of quorvel_ml: applying a learned encoding, and learning from row chunks.

Workloads (select with ``--only``):

  W6   apply the encoding learned on the W1 frame to a second W1-like frame (rows drawn
       from the same columns' values, 1% of the texts unseen; ``unknown="nan"``) vs
       quorvel's own ``encode`` of that frame, scikit-learn ``OrdinalEncoder.transform``
       with the same fitted categories, and pandas ``pd.Categorical(col,
       categories=learned).codes`` per text column.
  W7   learn the W2 object array as 10 chunks (``Learner().update`` each, then
       ``encoder()``) vs one ``Encoder().encode`` of the whole array; and the peak
       resident memory of both, each in a fresh subprocess.

Prints medians and the ratio quorvel time / peer time (below 1: quorvel is faster), with
the load average at the start and the end. Nothing here asserts on timings; the one-off
checks guard the benchmark itself (the same codes and the same learned state).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench import (TABLE_COLUMNS, TEXT_IDX, _proc_status_kib, _reset_peak, fmt_bytes,  # noqa: E402
                   fmt_time, make_table, measure)

import pandas as pd  # noqa: E402

try:
    from sklearn.preprocessing import OrdinalEncoder
except ImportError:  # pragma: no cover
    OrdinalEncoder = None

UNSEEN_RATE = 0.01
TEXT_NAMES = [TABLE_COLUMNS[j][0] for j in TEXT_IDX]


def make_test_frame(train: pd.DataFrame, seed: int) -> pd.DataFrame:
    """A frame like `train`: each text column's cells drawn from its values, 1% replaced
    by texts never seen; fresh numbers of the same kinds."""
    rng = np.random.default_rng(seed)
    n = len(train)
    data = {}
    for name in train.columns:
        col = train[name].to_numpy()
        if name in TEXT_NAMES:
            vals = col[rng.integers(0, n, size=n)].copy()
            unseen = np.flatnonzero(rng.random(n) < UNSEEN_RATE)
            vals[unseen] = np.array([f"unseen-{k}" for k in range(unseen.size)], dtype=object)
            data[name] = pd.Series(vals, dtype=object)
        elif col.dtype == np.float64:
            data[name] = rng.normal(size=n) * 100.0
        elif col.dtype == np.int64:
            data[name] = rng.integers(-(10**6), 10**6, size=n, dtype=np.int64)
        else:
            data[name] = rng.random(n) < 0.5
    return pd.DataFrame(data)


def line(label, times, base=None):
    med = statistics.median(times)
    ratio = "" if base is None else f"   ratio quorvel/peer {base / med:6.3f}"
    print(f"  {label:<58} {fmt_time(med)}  (min {fmt_time(min(times)).strip()}){ratio}")
    return med


def run_w6(args):
    import quorvel
    import quorvel_ml

    train = make_table(args.rows, args.seed)
    test = make_test_frame(train, args.seed + 1)
    enc = quorvel.Encoder()
    enc.encode(train)
    learned = quorvel_ml.categories(enc)

    # One-off check: the codes of apply are the learned codes, NaN for unseen texts.
    got = quorvel_ml.apply(enc, test, unknown="nan")
    for j in TEXT_IDX:
        cats = pd.Categorical(test.iloc[:, j], categories=learned[j]).codes.astype(np.float64)
        cats[cats < 0] = np.nan
        if not np.array_equal(got.iloc[:, j].to_numpy(), cats, equal_nan=True):
            print(f"  CHECK FAILED: column {j} differs from pandas' codes")

    print(f"W6 apply of the W1 encoding to a new frame ({args.rows:,} rows, {UNSEEN_RATE:.0%} unseen texts)")
    t_apply = line("quorvel_ml.apply(enc, test, unknown='nan')",
                   measure(lambda: quorvel_ml.apply(enc, test, unknown="nan"), args.repeat))
    line("quorvel Encoder().encode(test)", measure(lambda: quorvel.Encoder().encode(test), args.repeat), t_apply)
    if OrdinalEncoder is not None:
        sk = OrdinalEncoder(categories=[np.array(learned[j], dtype=object) for j in TEXT_IDX],
                            handle_unknown="use_encoded_value", unknown_value=np.nan)
        sk.fit(train[TEXT_NAMES].fillna("nan"))
        text_part = test[TEXT_NAMES].fillna("nan")  # the peer gets its missing values pre-filled, untimed
        line("scikit-learn OrdinalEncoder.transform (text columns)",
             measure(lambda: sk.transform(text_part), max(1, min(args.repeat, 3))), t_apply)
    line("pandas pd.Categorical(col, categories=learned).codes x4",
         measure(lambda: [pd.Categorical(test[c], categories=learned[j]).codes
                          for c, j in zip(TEXT_NAMES, TEXT_IDX)], args.repeat), t_apply)


def learn_in_chunks(arr, chunks):
    import quorvel_ml

    learner = quorvel_ml.Learner()
    for part in np.array_split(arr, chunks):
        learner.update(part)
    return learner.encoder()


def run_w7(args):
    import quorvel

    arr = make_table(args.rows, args.seed).to_numpy(dtype=object)
    whole = quorvel.Encoder()
    whole.encode(arr)
    if learn_in_chunks(arr, args.chunks).__getstate__() != whole.__getstate__():
        print("  CHECK FAILED: the learned state differs from one encode")
    print(f"W7 learning the W2 array ({args.rows:,} x 8) as {args.chunks} chunks")
    t_learn = line(f"Learner: {args.chunks} x update, then encoder()",
                   measure(lambda: learn_in_chunks(arr, args.chunks), args.repeat))
    line("quorvel Encoder().encode(whole)", measure(lambda: quorvel.Encoder().encode(arr), args.repeat), t_learn)
    for mode in ("learner", "encode"):
        cmd = [sys.executable, __file__, "--rows", str(args.rows), "--seed", str(args.seed),
               "--chunks", str(args.chunks), "--_child", mode]
        r = json.loads(subprocess.run(cmd, capture_output=True, text=True, check=True).stdout)
        print(f"  peak RSS growth, {mode:<8}: {fmt_bytes(r['peak'])} ({r['method']}), "
              f"kept after the call {fmt_bytes(r['kept'])}")


def child_main(args):
    import quorvel

    arr = make_table(args.rows, args.seed).to_numpy(dtype=object)
    gc.collect()
    if args._child == "learner":
        fn = lambda: learn_in_chunks(arr, args.chunks)  # noqa: E731
    else:
        fn = lambda: quorvel.Encoder().encode(arr)  # noqa: E731
    before = _proc_status_kib("VmRSS")
    method = "VmHWM after clear_refs" if _reset_peak() else "VmHWM (not reset)"
    result = fn()
    peak = _proc_status_kib("VmHWM")
    print(json.dumps({"peak": peak - before, "kept": _proc_status_kib("VmRSS") - before, "method": method}))
    del result


def main(argv=None):
    p = argparse.ArgumentParser(description="Benchmark quorvel_ml (apply, chunked learning).")
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--chunks", type=int, default=10)
    p.add_argument("--seed", type=int, default=20240607)
    p.add_argument("--only", default="W6,W7")
    p.add_argument("--_child", default=None, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args._child:
        return child_main(args)
    print(f"load average at start: {os.getloadavg()[0]:.2f}, threads: "
          f"{os.environ.get('RAYON_NUM_THREADS', 'default')}")
    started = time.perf_counter()
    for name in [w.strip().upper() for w in args.only.split(",")]:
        {"W6": run_w6, "W7": run_w7}[name](args)
    print(f"load average at end: {os.getloadavg()[0]:.2f} ({time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
