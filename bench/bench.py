#!/usr/bin/env python3
"""Single-process benchmark of quorvel against general data libraries.

Builds seeded workloads in memory and times ``quorvel.Encoder`` against pandas,
scikit-learn and polars (each optional). Prints the median of ``--repeat`` runs
and the ratio quorvel time / peer time (below 1 means quorvel is faster).

Workloads (select with ``--only``):

  W1       mixed DataFrame (4 text, 2 float64, 1 int64, 1 bool column) -> encode
  W2       the same table as a 2-D object ndarray -> encode
  W3       float64 ndarray N x 8 -> encode (fast path) vs a plain copy
  W4       decode of the W1 frame result (W4a) and of the W2 array result (W4b)
  W5       encoder state: round trip vs pickling polars' sorted uniques; each way vs pickling dicts
  SMALL    600 x 30 mixed frame / object array, per-call encode time
  SCALING  W2 encode in subprocesses with RAYON_NUM_THREADS=1 and =2
  MEM      peak resident memory of one W2 encode, measured in a fresh subprocess
  SKLEARN  quorvel_ml.sklearn.QuorvelEncoder vs scikit-learn's OrdinalEncoder: fit_transform
           of the 600 x 30 frame (per call) and transform of the W1 frame
  W1STR    W1 with its text columns in pandas' default `str` dtype (W1 itself: W1-object),
           with peak memory against pandas factorize
  W8       wide frame 10,000 x 1,500 (1,494 float64, 6 `str` text columns)
  ONECOL   one `str` text column of 2 x rows texts, rows / 10 distinct
  SMALLSTR 600 x 30 frame of 10 `str` text columns (20 values each) + 20 float64, per call

Every workload also runs a one-off consistency check (quorvel codes against
pandas ``factorize(sort=True)``); it guards the benchmark itself and is not a test.
Nothing here asserts on timings.

Run ``python bench/bench.py --help`` for the options; ``--peers-only`` runs
without quorvel.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pickle
import platform
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

try:
    import pandas as pd
except ImportError:  # pragma: no cover - pandas is needed for most workloads
    pd = None

try:
    from sklearn.preprocessing import OrdinalEncoder
    import sklearn
except ImportError:
    OrdinalEncoder = None
    sklearn = None

try:
    import polars as pl
except ImportError:
    pl = None

quorvel = None  # imported in main() unless --peers-only

ALL_WORKLOADS = ["W1", "W2", "W3", "W4", "W5", "SMALL", "SCALING", "MEM", "SKLEARN",
                 "W1STR", "W8", "ONECOL", "SMALLSTR"]

# Column layout of the W1/W2 table: (name, kind, cardinality for text columns).
# Text columns are interleaved with numeric ones so positions are not trivial.
TABLE_COLUMNS = [
    ("t_low", "text", 10),
    ("f_a", "float", None),
    ("t_mid", "text", 1_000),
    ("i_count", "int", None),
    ("t_high", "text", 100_000),
    ("f_b", "float", None),
    ("t_uniq", "text", -1),  # nearly unique: ~N distinct values
    ("b_flag", "bool", None),
]
TEXT_IDX = [j for j, (_, kind, _) in enumerate(TABLE_COLUMNS) if kind == "text"]
MISSING_RATE = 0.01

LOW_WORDS = ["red", "green", "blue", "Zürich", "café", "naïve", "Ωmega", "apple", "Banana", "kiwi"]


# --------------------------------------------------------------------------- data

def _vocab(rng, k, prefix):
    """k distinct strings of varying length, in random (unsorted) order."""
    if k <= len(LOW_WORDS):
        return np.array(LOW_WORDS[:k], dtype=object)
    ids = rng.choice(10**9, size=k, replace=False)
    lens = rng.integers(0, 6, size=k)
    return np.array([f"{prefix}{'x' * int(l)}{int(i):x}" for i, l in zip(ids, lens)], dtype=object)


def _text_column(rng, n, card, prefix):
    if card == -1:  # nearly unique: random 64-bit hex ids, 2% duplicated
        vals = np.array([f"u{int(x):016x}" for x in rng.integers(0, 2**63, size=n)], dtype=object)
        dup = rng.integers(0, n, size=n // 50)
        vals[dup] = vals[rng.integers(0, n, size=dup.size)]
    else:
        vals = _vocab(rng, min(card, max(n, 1)), prefix)[rng.integers(0, min(card, max(n, 1)), size=n)]
    miss = rng.random(n) < MISSING_RATE
    vals[miss] = np.nan  # a Python float NaN: missing for pandas, a missing marker for quorvel
    return vals


def make_table(n, seed):
    """The W1 DataFrame (object text columns with np.nan for missing)."""
    rng = np.random.default_rng(seed)
    data = {}
    for name, kind, card in TABLE_COLUMNS:
        if kind == "text":
            data[name] = pd.Series(_text_column(rng, n, card, name[2:] + "-"), dtype=object)
        elif kind == "float":
            col = rng.normal(size=n) * 100.0
            if name == "f_b":
                col[rng.random(n) < 0.005] = np.nan
            data[name] = col
        elif kind == "int":
            data[name] = rng.integers(-(10**6), 10**6, size=n, dtype=np.int64)
        else:
            data[name] = rng.random(n) < 0.5
    return pd.DataFrame(data)


def make_small(seed, rows=600):
    """A 600 x 30 mixed frame: 10 text, 10 float64, 5 int64, 5 bool columns."""
    rng = np.random.default_rng(seed)
    data = {}
    cards = [2, 5, 10, 20, 50, 100, 200, 300, 600, 600]
    for k, card in enumerate(cards):
        data[f"t{k}"] = pd.Series(_text_column(rng, rows, card, f"s{k}-"), dtype=object)
    for k in range(10):
        data[f"f{k}"] = rng.normal(size=rows)
    for k in range(5):
        data[f"i{k}"] = rng.integers(0, 1000, size=rows, dtype=np.int64)
    for k in range(5):
        data[f"b{k}"] = rng.random(rows) < 0.5
    # interleave so text columns are spread across positions
    names = list(data)
    order = [names[i] for i in np.random.default_rng(seed + 1).permutation(len(names))]
    return pd.DataFrame({c: data[c] for c in order})


# --------------------------------------------------------------------------- timing

def _timed_call(fn):
    """Seconds of one call of fn() with the GC disabled; the result is released untimed."""
    gc.disable()
    try:
        t0 = time.perf_counter()
        r = fn()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    del r
    return t1 - t0


def measure(fn, repeat):
    """Times fn() `repeat` times (GC collected before and disabled during each call).

    The result is released outside the timed region. Returns the list of seconds.
    """
    times = []
    for _ in range(repeat):
        gc.collect()
        times.append(_timed_call(fn))
    return times


# Calls this short are timed at least this many times: a median of 5 of them is at the
# mercy of one busy spell of the machine.
SHORT_CALL_REPEATS = 25


def measure_alternating(fns, repeat):
    """Times each of `fns` `repeat` times, one call of each in turn, so that a busy spell of
    the machine (other processes, a core taken away) falls on all of them alike instead of
    on whichever was being timed just then. Returns one list of seconds per function."""
    times = [[] for _ in fns]
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            gc.collect()
            times[k].append(_timed_call(fn))
    return times


def first_decode_note(enc, codes, repeat):
    """A note with the time of a decode by a fresh encoder of enc's state: an encoder keeps
    the strs it decoded for its next decode, so the timed repeats reuse them."""
    state = enc.__getstate__()
    times = []
    for _ in range(repeat):
        fresh = quorvel.Encoder()
        fresh.__setstate__(state)
        gc.collect()
        times.append(_timed_call(lambda: fresh.decode(codes)))
    return (f"quorvel's first decode on a fresh encoder (no strs kept yet): median "
            f"{fmt_time(statistics.median(times)).strip()}, min {fmt_time(min(times)).strip()}")


def measure_per_call(fn, calls):
    """Per-call times of `calls` back-to-back calls (GC disabled during each call)."""
    times = []
    gc.collect()
    for i in range(calls):
        if i % 200 == 0:
            gc.collect()
        times.append(_timed_call(fn))
    return times


def fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:8.1f} us"
    if s < 1.0:
        return f"{s * 1e3:8.2f} ms"
    return f"{s:8.3f} s "


def fmt_bytes(b):
    if b is None:
        return "-"
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(b) < 1024 or unit == "GiB":
            return f"{b:.1f} {unit}" if unit != "B" else f"{b} B"
        b /= 1024
    return str(b)


class Report:
    """Collects groups of timings and prints them as a table."""

    def __init__(self):
        self.groups = []  # dicts: workload, title, rows[list of dict], notes
        self.checks = []  # (workload, text)
        self.extra = {}

    def group(self, workload, title):
        g = {"workload": workload, "title": title, "rows": [], "notes": []}
        self.groups.append(g)
        return g

    @staticmethod
    def add(g, impl, label, times, per_call=False, quorvel_row=False):
        med = statistics.median(times) if times else None
        g["rows"].append({"impl": impl, "label": label, "median_s": med, "times_s": times,
                          "repeats": len(times), "per_call": per_call, "quorvel": quorvel_row})

    def check(self, workload, text):
        self.checks.append((workload, text))
        print(f"  [{workload}] {text}", flush=True)

    def finalize(self):
        for g in self.groups:
            q = next((r for r in g["rows"] if r["quorvel"]), None)
            for r in g["rows"]:
                r["ratio"] = None
                if q is not None and not r["quorvel"] and r["median_s"] and q["median_s"] is not None:
                    r["ratio"] = q["median_s"] / r["median_s"]

    def print_table(self, args):
        self.finalize()
        width = 66
        print()
        print("=" * 96)
        print(f"quorvel benchmark  rows={args.rows:,}  repeat={args.repeat}  "
              f"cpus={os.cpu_count()}  python={platform.python_version()}")
        print("median of repeats; ratio = quorvel time / peer time (< 1: quorvel faster); "
              "min = fastest repeat")
        la = self.extra.get("loadavg")
        if la:
            print(f"load average (1 min) at start {la['start']}, at end {la['end']} "
                  "(other processes on the machine skew the timings)")
        print("=" * 96)
        for g in self.groups:
            print(f"\n{g['workload']}: {g['title']}")
            if g["rows"]:
                print(f"  {'implementation':<{width}} {'median':>12} {'ratio':>8} {'min':>12}")
            for r in g["rows"]:
                ratio = "" if r["ratio"] is None else f"{r['ratio']:.2f}"
                if r["quorvel"]:
                    ratio = "1.00" if any(not x["quorvel"] for x in g["rows"]) else ""
                label = f"{r['impl']}: {r['label']}"
                best = min(r["times_s"]) if r["times_s"] else None
                print(f"  {label:<{width}} {fmt_time(r['median_s']):>12} {ratio:>8} {fmt_time(best):>12}")
            for n in g["notes"]:
                print(f"  note: {n}")
        if self.checks:
            print("\nconsistency checks (benchmark sanity, not tests):")
            for w, t in self.checks:
                print(f"  [{w}] {t}")
        print()

    def to_json(self, args):
        self.finalize()
        meta = {
            "rows": args.rows, "repeat": args.repeat, "seed": args.seed,
            "peers_only": args.peers_only, "cpus": os.cpu_count(),
            "python": platform.python_version(), "numpy": np.__version__,
            "pandas": getattr(pd, "__version__", None),
            "sklearn": getattr(sklearn, "__version__", None),
            "polars": getattr(pl, "__version__", None),
        }
        return {"meta": meta, "groups": self.groups,
                "checks": [{"workload": w, "text": t} for w, t in self.checks],
                "extra": self.extra}


# --------------------------------------------------------------------------- reference (pandas)

def pandas_factorize(col):
    """Codes (int64, -1 for missing) and sorted uniques of one text column."""
    return pd.factorize(col, sort=True)


def codes_to_float(codes):
    out = codes.astype(np.float64)
    out[codes < 0] = np.nan
    return out


def pandas_frame_matrix(df):
    """pandas peer for W1: factorize each text column, assemble the float matrix, wrap as a frame."""
    n, m = df.shape
    out = np.empty((n, m))
    for j, c in enumerate(df.columns):
        col = df[c]
        if j in TEXT_IDX:
            codes, _ = pd.factorize(col, sort=True)
            out[:, j] = codes_to_float(codes)
        else:
            out[:, j] = col.to_numpy(dtype=np.float64)
    return pd.DataFrame(out, columns=df.columns)


def pandas_array_matrix(arr, text_idx):
    """pandas peer for W2: factorize the text columns of an object array into a float matrix."""
    n, m = arr.shape
    out = np.empty((n, m))
    for j in range(m):
        if j in text_idx:
            codes, _ = pd.factorize(arr[:, j], sort=True)
            out[:, j] = codes_to_float(codes)
        else:
            out[:, j] = arr[:, j].astype(np.float64)
    return out


def compare_codes(expected, got, text_idx, names):
    """Compares two float matrices column by column; returns a list of problems."""
    problems = []
    if expected.shape != got.shape:
        return [f"shape {got.shape} != expected {expected.shape}"]
    for j in range(expected.shape[1]):
        e, g = expected[:, j], got[:, j]
        same = (e == g) | (np.isnan(e) & np.isnan(g))
        if not same.all():
            bad = np.flatnonzero(~same)
            kind = "text" if j in text_idx else "numeric"
            problems.append(f"column {j} ({names[j]}, {kind}): {bad.size} cells differ, "
                            f"first row {bad[0]}: got {g[bad[0]]!r}, expected {e[bad[0]]!r}")
    return problems


def report_codes(rep, workload, who, expected, got, text_idx, names):
    problems = compare_codes(expected, got, text_idx, names)
    if problems:
        for p in problems:
            rep.check(workload, f"MISMATCH {who}: {p}")
    else:
        rep.check(workload, f"codes match ({who} vs pandas factorize(sort=True), "
                            f"{len(text_idx)} text columns, missing -> NaN)")


def objects_equal(a, b):
    """Elementwise equality of two object arrays, NaN floats counted equal."""
    if a.shape != b.shape:
        return False
    eq = np.frompyfunc(lambda x, y: (x == y) or (isinstance(x, float) and isinstance(y, float)
                                                 and math.isnan(x) and math.isnan(y)), 2, 1)
    return bool(eq(a, b).all())


# --------------------------------------------------------------------------- peers

def sklearn_fit_transform(x):
    # Missing cells are np.nan inside object columns; OrdinalEncoder keeps them as
    # missing and encodes them as encoded_missing_value (default NaN), no filling needed.
    return OrdinalEncoder().fit_transform(x)


def polars_frame(df):
    """Builds a polars frame of the text columns (untimed; pyarrow is not required)."""
    cols = {}
    for j in TEXT_IDX:
        c = df.columns[j]
        vals = df[c].to_numpy(dtype=object)
        lst = [None if isinstance(v, float) else v for v in vals]
        cols[c] = pl.Series(c, lst, dtype=pl.String)
    return pl.DataFrame(cols)


def polars_rank_codes(pdf):
    # rank("dense") over a string column numbers the distinct values in sorted (byte)
    # order from 1; nulls stay null. Minus one gives the same codes as sort=True.
    return pdf.select([(pl.col(c).rank("dense") - 1).cast(pl.Float64) for c in pdf.columns])


def polars_categorical_codes(pdf):
    # Categorical physical codes follow first appearance, not sorted order (for reference only).
    return pdf.select([pl.col(c).cast(pl.Categorical).to_physical() for c in pdf.columns])


# --------------------------------------------------------------------------- workloads

class Ctx:
    """Shared, lazily built workload data so --only can pick any subset."""

    def __init__(self, args):
        self.args = args
        self._df = None
        self._arr = None
        self._expected = None
        self.enc1 = self.res1 = None  # quorvel encoder / result for W1
        self.enc2 = self.res2 = None  # quorvel encoder / result for W2
        self._uniques = None

    @property
    def df(self):
        if self._df is None:
            t0 = time.perf_counter()
            self._df = make_table(self.args.rows, self.args.seed)
            print(f"  built W1 frame {self._df.shape} in {time.perf_counter() - t0:.1f} s", flush=True)
        return self._df

    @property
    def arr(self):
        if self._arr is None:
            self._arr = self.df.to_numpy(dtype=object)
        return self._arr

    @property
    def names(self):
        return [c for c, _, _ in TABLE_COLUMNS]

    @property
    def expected(self):
        """The reference float matrix from pandas factorize(sort=True)."""
        if self._expected is None:
            self._expected = pandas_frame_matrix(self.df).to_numpy()
        return self._expected

    @property
    def uniques(self):
        """Sorted uniques (object ndarray) per text column, from factorize."""
        if self._uniques is None:
            self._uniques = {j: np.asarray(pd.factorize(self.df.iloc[:, j], sort=True)[1], dtype=object)
                             for j in TEXT_IDX}
        return self._uniques

    def ensure_w1(self):
        if quorvel is not None and self.enc1 is None:
            self.enc1 = quorvel.Encoder()
            self.res1, cols = self.enc1.encode(self.df)
            self.cols1 = cols

    def ensure_w2(self):
        if quorvel is not None and self.enc2 is None:
            self.enc2 = quorvel.Encoder()
            self.res2, cols = self.enc2.encode(self.arr)
            self.cols2 = cols


def run_w1(ctx, rep):
    args = ctx.args
    df = ctx.df
    g = rep.group("W1", f"encode DataFrame {df.shape[0]:,} x {df.shape[1]} "
                        "(text card 10 / 1k / 100k / ~N, 1% missing; 2 float64, int64, bool)")
    expected = ctx.expected
    if quorvel is not None:
        ctx.ensure_w1()  # also the warm-up call (starts the worker pool)
        got = ctx.res1.to_numpy(dtype=np.float64)
        if ctx.cols1 != TEXT_IDX:
            rep.check("W1", f"MISMATCH quorvel object_columns {ctx.cols1} != {TEXT_IDX}")
        report_codes(rep, "W1", "quorvel", expected, got, TEXT_IDX, ctx.names)
        rep.add(g, "quorvel", "Encoder().encode(df)",
                measure(lambda: quorvel.Encoder().encode(df), args.repeat), quorvel_row=True)

    text_cols = [df.columns[j] for j in TEXT_IDX]
    rep.add(g, "pandas", "factorize(sort=True) per text column (codes only)",
            measure(lambda: [pd.factorize(df[c], sort=True) for c in text_cols], args.repeat))
    rep.add(g, "pandas", "factorize + assemble float matrix -> DataFrame",
            measure(lambda: pandas_frame_matrix(df), args.repeat))
    cat_codes = [df[c].astype("category").cat.codes.to_numpy() for c in text_cols]
    cat_mat = np.column_stack([codes_to_float(c) for c in cat_codes])
    report_codes(rep, "W1", "pandas astype(category)", expected[:, TEXT_IDX], cat_mat,
                 list(range(len(TEXT_IDX))), text_cols)
    rep.add(g, "pandas", "astype('category').cat.codes per text column",
            measure(lambda: [df[c].astype("category").cat.codes for c in text_cols], args.repeat))

    if OrdinalEncoder is not None:
        sub = df[text_cols]
        report_codes(rep, "W1", "sklearn OrdinalEncoder", expected[:, TEXT_IDX],
                     sklearn_fit_transform(sub), list(range(len(TEXT_IDX))), text_cols)
        rep.add(g, "sklearn", "OrdinalEncoder().fit_transform(text columns)",
                measure(lambda: sklearn_fit_transform(sub), args.repeat))
        g["notes"].append("sklearn gets the 4 text columns as they are (np.nan for missing); "
                          "it encodes missing as encoded_missing_value=NaN, so no filling is done")
    else:
        g["notes"].append("scikit-learn not installed: skipped")

    if pl is not None:
        pdf = polars_frame(df)  # conversion excluded from timing
        ranked = polars_rank_codes(pdf).to_numpy()
        report_codes(rep, "W1", "polars rank('dense')-1", expected[:, TEXT_IDX], ranked,
                     list(range(len(TEXT_IDX))), text_cols)
        rep.add(g, "polars", "rank('dense')-1 per text column (sorted codes)",
                measure(lambda: polars_rank_codes(pdf), args.repeat))
        rep.add(g, "polars", "cast(Categorical).to_physical() (unsorted codes)",
                measure(lambda: polars_categorical_codes(pdf), args.repeat))
        g["notes"].append("polars frame built from Python lists outside the timing (pyarrow is not "
                          "needed); rank('dense') gives sorted codes, Categorical physical codes "
                          "follow first appearance and are shown for reference only")
    else:
        g["notes"].append("polars not installed: skipped")


def run_w2(ctx, rep):
    args = ctx.args
    arr = ctx.arr
    g = rep.group("W2", f"encode object ndarray {arr.shape[0]:,} x {arr.shape[1]} (same table)")
    expected = ctx.expected
    if quorvel is not None:
        ctx.ensure_w2()
        if ctx.cols2 != TEXT_IDX:
            rep.check("W2", f"MISMATCH quorvel object_columns {ctx.cols2} != {TEXT_IDX}")
        report_codes(rep, "W2", "quorvel", expected, ctx.res2, TEXT_IDX, ctx.names)
        rep.add(g, "quorvel", "Encoder().encode(arr)",
                measure(lambda: quorvel.Encoder().encode(arr), args.repeat), quorvel_row=True)
    report_codes(rep, "W2", "pandas (object array)", expected, pandas_array_matrix(arr, TEXT_IDX),
                 TEXT_IDX, ctx.names)
    rep.add(g, "pandas", "factorize(sort=True) per text column + fill np.empty((n, 8))",
            measure(lambda: pandas_array_matrix(arr, TEXT_IDX), args.repeat))
    if OrdinalEncoder is not None:
        sub = arr[:, TEXT_IDX]
        rep.add(g, "sklearn", "OrdinalEncoder().fit_transform(arr[:, text])",
                measure(lambda: sklearn_fit_transform(sub), args.repeat))
        g["notes"].append("sklearn encodes only the 4 text columns (no float matrix assembly)")


def run_w3(ctx, rep):
    args = ctx.args
    n = args.rows
    a = np.random.default_rng(args.seed + 3).normal(size=(n, 8))
    g = rep.group("W3", f"float64 ndarray {n:,} x 8 (fast path; calls taken in turn)")
    repeat = max(args.repeat, SHORT_CALL_REPEATS)
    copy = lambda: np.array(a, copy=True)  # noqa: E731
    if quorvel is None:
        rep.add(g, "numpy", "np.array(a, copy=True)", measure(copy, repeat))
        return
    res, cols = quorvel.Encoder().encode(a)
    ok = cols is None and res.dtype == np.float64 and np.array_equal(res, a)
    rep.check("W3", "values match (copy of input, object_columns None)" if ok
              else f"MISMATCH quorvel fast path: cols={cols!r} dtype={res.dtype}")
    del res
    ours, theirs = measure_alternating([lambda: quorvel.Encoder().encode(a), copy], repeat)
    rep.add(g, "quorvel", "Encoder().encode(a)", ours, quorvel_row=True)
    rep.add(g, "numpy", "np.array(a, copy=True)", theirs)


def pandas_decode_array(m, uniq_ext):
    """Peer decode of a float code matrix into an object array ("NaN" for missing)."""
    out = m.astype(object)
    for j, u in uniq_ext.items():
        col = m[:, j]
        idx = np.where(np.isnan(col), len(u) - 1, col).astype(np.intp)
        out[:, j] = u.take(idx)
    return out


def pandas_decode_frame(res, uniq_ext):
    """Peer decode of a float code frame into a frame (None for missing in text columns)."""
    data = {}
    for j, c in enumerate(res.columns):
        col = res[c].to_numpy()
        if j in uniq_ext:
            u = uniq_ext[j]
            idx = np.where(np.isnan(col), len(u) - 1, col).astype(np.intp)
            data[c] = pd.Series(u.take(idx), dtype=object)
        else:
            data[c] = res[c]
    return pd.DataFrame(data)


def run_w4(ctx, rep):
    args = ctx.args
    uniq = ctx.uniques
    uniq_nan = {j: np.append(u, np.array(["NaN"], dtype=object)) for j, u in uniq.items()}
    uniq_none = {j: np.append(u, np.array([None], dtype=object)) for j, u in uniq.items()}

    # W1 result frame decode
    g = rep.group("W4a", "decode the W1 result frame")
    if quorvel is not None:
        ctx.ensure_w1()
        res1, enc1 = ctx.res1, ctx.enc1
    else:
        res1 = pandas_frame_matrix(ctx.df)
    peer = pandas_decode_frame(res1, uniq_none)
    orig_none = {c: np.array([None if isinstance(v, float) else v for v in ctx.df[c]], dtype=object)
                 for c in (ctx.df.columns[j] for j in TEXT_IDX)}
    rep.check("W4", "pandas peer frame decode restores the original texts" if all(
        objects_equal(peer[c].to_numpy(dtype=object), v) for c, v in orig_none.items())
        else "MISMATCH pandas peer frame decode does not restore the original texts")
    if quorvel is not None:
        got = enc1.decode(res1)
        ok = list(got.columns) == list(peer.columns) and all(
            objects_equal(got[c].to_numpy(dtype=object), peer[c].to_numpy(dtype=object))
            for c in peer.columns)
        rep.check("W4", "frame decode matches pandas take() (None for missing)" if ok
                  else "MISMATCH quorvel frame decode differs from pandas take()")
        rep.add(g, "quorvel", "enc.decode(result_frame)",
                measure(lambda: enc1.decode(res1), args.repeat), quorvel_row=True)
        g["notes"].append(first_decode_note(enc1, res1, args.repeat))
    rep.add(g, "pandas", "uniques.take(codes) per text column -> DataFrame",
            measure(lambda: pandas_decode_frame(res1, uniq_none), args.repeat))
    del peer

    # W2 result array decode
    g = rep.group("W4b", "decode the W2 result array (object ndarray out)")
    if quorvel is not None:
        ctx.ensure_w2()
        res2, enc2 = ctx.res2, ctx.enc2
    else:
        res2 = pandas_array_matrix(ctx.arr, TEXT_IDX)
    peer = pandas_decode_array(res2, uniq_nan)
    rep.check("W4", "pandas peer array decode restores the original texts ('NaN' for missing)" if all(
        objects_equal(peer[:, j], np.array(["NaN" if isinstance(v, float) else v
                                            for v in ctx.arr[:, j]], dtype=object))
        for j in TEXT_IDX) else "MISMATCH pandas peer array decode does not restore the original")
    if quorvel is not None:
        got = enc2.decode(res2)
        ok = got.dtype == object and objects_equal(got, peer)
        rep.check("W4", "array decode matches pandas take() ('NaN' for missing)" if ok
                  else "MISMATCH quorvel array decode differs from pandas take()")
        del got
        rep.add(g, "quorvel", "enc.decode(result_array)",
                measure(lambda: enc2.decode(res2), args.repeat), quorvel_row=True)
        g["notes"].append(first_decode_note(enc2, res2, args.repeat))
    rep.add(g, "pandas", "m.astype(object); out[:, j] = uniques.take(codes)",
            measure(lambda: pandas_decode_array(res2, uniq_nan), args.repeat))
    del peer
    if OrdinalEncoder is not None:
        sub = ctx.arr[:, TEXT_IDX]
        oe = OrdinalEncoder().fit(sub)
        codes = res2[:, TEXT_IDX]
        rep.add(g, "sklearn", "OrdinalEncoder.inverse_transform(text code columns)",
                measure(lambda: oe.inverse_transform(codes), args.repeat))
        g["notes"].append("sklearn decodes only the 4 text code columns; missing comes back as NaN")


def expected_tables(ctx):
    """The code tables quorvel should learn from W1, derived from pandas: {col: {text: code|None}}."""
    tables = {}
    for j in TEXT_IDX:
        col = ctx.df.iloc[:, j].to_numpy(dtype=object)
        table = {u: k for k, u in enumerate(ctx.uniques[j])}
        is_missing = np.array([isinstance(v, float) for v in col])
        non_missing = np.flatnonzero(~is_missing)
        first_text = non_missing[0] if non_missing.size else len(col)
        missing_pos = np.flatnonzero(is_missing)
        # a NaN above the first text is rendered "NaN", below it Python str() gives "nan"
        if (missing_pos < first_text).any():
            table["NaN"] = None
        if (missing_pos > first_text).any():
            table["nan"] = None
        tables[j] = table
    return tables


def state_size_formula(tables):
    c = len(tables)
    size = 1 + (8 + 8 * c) + 4
    size += 8 + sum(16 + sum(8 + len(t.encode()) + 1 + (8 if code is not None else 0)
                             for t, code in tab.items()) for tab in tables.values())
    size += 8 + sum(16 + sum(16 + len(t.encode()) for t, code in tab.items() if code is not None)
                    for tab in tables.values())
    return size


def run_w5(ctx, rep):
    args = ctx.args
    tables = expected_tables(ctx)
    decode_tables = {j: {code: t for t, code in tab.items() if code is not None}
                     for j, tab in tables.items()}
    both = {"encode": tables, "decode": decode_tables}
    formula = state_size_formula(tables)
    p1 = pickle.dumps(tables, protocol=pickle.HIGHEST_PROTOCOL)
    p2 = pickle.dumps(both, protocol=pickle.HIGHEST_PROTOCOL)
    ctx_sizes = {"formula_bytes": formula, "pickle_code_tables_bytes": len(p1),
                 "pickle_code_and_decode_tables_bytes": len(p2)}

    g_trip = rep.group("W5", "state round trip: encoder that learned W1 -> state -> fresh encoder "
                             "(quorvel and polars taken in turn)")
    trip_repeat = max(args.repeat, SHORT_CALL_REPEATS)
    polars_trip = None
    if pl is not None:
        # The sorted distinct texts of each text column as polars Series (built untimed):
        # what a polars user would keep to encode and decode again.
        sorted_uniques = [pl.Series(ctx.df.columns[j], list(ctx.uniques[j]), dtype=pl.String) for j in TEXT_IDX]

        def polars_trip():
            return pickle.loads(pickle.dumps(sorted_uniques, protocol=pickle.HIGHEST_PROTOCOL))
    polars_label = "pickle.loads(pickle.dumps([sorted uniques per text column]))"
    g_get = rep.group("W5", "state out: encoder that learned W1")
    g_set = rep.group("W5", "state in: fresh encoder")
    if quorvel is not None:
        ctx.ensure_w1()
        enc1 = ctx.enc1
        state = enc1.__getstate__()
        ctx_sizes["state_bytes"] = len(state)
        fresh = quorvel.Encoder()
        fresh.__setstate__(state)
        probe = ctx.res1.iloc[:2000]
        ok_rt = (len(fresh.__getstate__()) == len(state)
                 and all(objects_equal(a, b) for a, b in zip(
                     enc1.decode(probe).to_numpy(dtype=object).T,
                     fresh.decode(probe).to_numpy(dtype=object).T)))
        rep.check("W5", f"state size {len(state):,} bytes; formula from the tables {formula:,} bytes: "
                        + ("match" if len(state) == formula else "MISMATCH"))
        rep.check("W5", "round trip __setstate__(__getstate__()) decodes like the original"
                  if ok_rt else "MISMATCH after state round trip")
        def round_trip():
            fresh_encoder = quorvel.Encoder()
            fresh_encoder.__setstate__(enc1.__getstate__())
            return fresh_encoder

        if polars_trip is not None:
            ours, theirs = measure_alternating([round_trip, polars_trip], trip_repeat)
            rep.add(g_trip, "quorvel", "Encoder().__setstate__(enc.__getstate__())", ours, quorvel_row=True)
            rep.add(g_trip, "polars", polars_label, theirs)
        else:
            rep.add(g_trip, "quorvel", "Encoder().__setstate__(enc.__getstate__())",
                    measure(round_trip, trip_repeat), quorvel_row=True)
        rep.add(g_get, "quorvel", "enc.__getstate__()",
                measure(lambda: enc1.__getstate__(), args.repeat), quorvel_row=True)
        rep.add(g_get, "quorvel", "pickle.dumps(enc)",
                measure(lambda: pickle.dumps(enc1), args.repeat))
        pe = pickle.dumps(enc1)
        def set_state():
            fresh_encoder = quorvel.Encoder()
            fresh_encoder.__setstate__(state)
            return fresh_encoder  # freed outside the timing, like the peers' results

        rep.add(g_set, "quorvel", "Encoder().__setstate__(state)",
                measure(set_state, args.repeat), quorvel_row=True)
        rep.add(g_set, "quorvel", "pickle.loads(pickled enc)",
                measure(lambda: pickle.loads(pe), args.repeat))
    else:
        rep.check("W5", f"formula from the tables {formula:,} bytes (quorvel not run)")
    if polars_trip is not None and quorvel is None:
        rep.add(g_trip, "polars", polars_label, measure(polars_trip, trip_repeat))
    rep.add(g_get, "pickle", "dumps({col: {text: code}})",
            measure(lambda: pickle.dumps(tables, protocol=pickle.HIGHEST_PROTOCOL), args.repeat))
    rep.add(g_get, "pickle", "dumps(code tables + decode tables)",
            measure(lambda: pickle.dumps(both, protocol=pickle.HIGHEST_PROTOCOL), args.repeat))
    rep.add(g_set, "pickle", "loads({col: {text: code}})",
            measure(lambda: pickle.loads(p1), args.repeat))
    rep.add(g_set, "pickle", "loads(code tables + decode tables)",
            measure(lambda: pickle.loads(p2), args.repeat))
    entries = sum(len(t) for t in tables.values())
    size_note = (f"sizes: state {fmt_bytes(ctx_sizes.get('state_bytes'))} "
                 f"({ctx_sizes.get('state_bytes', '-')} B), size formula {formula} B, "
                 f"pickled code tables {len(p1)} B, pickled code+decode tables {len(p2)} B; "
                 f"{entries:,} table entries")
    g_get["notes"].append(size_note)
    g_get["notes"].append("the state holds both the code tables and the decode maps; "
                          "the second pickle row holds the same content")
    rep.extra["W5_sizes"] = ctx_sizes


def run_small(ctx, rep):
    args = ctx.args
    sdf = make_small(args.seed + 5)
    sarr = sdf.to_numpy(dtype=object)
    stext = [j for j, c in enumerate(sdf.columns) if sdf[c].dtype == object]
    calls = args.small_calls
    g = rep.group("SMALL", f"encode 600 x 30 mixed DataFrame, per call ({calls} calls, median)")
    g2 = rep.group("SMALL", f"encode 600 x 30 object ndarray, per call ({calls} calls, median)")
    exp = pandas_array_matrix(sarr, stext)
    names = list(sdf.columns)
    if quorvel is not None:
        rf, cf = quorvel.Encoder().encode(sdf)
        ra, ca = quorvel.Encoder().encode(sarr)
        bad = [p for p in compare_codes(exp, rf.to_numpy(dtype=np.float64), stext, names)]
        bad += [p for p in compare_codes(exp, ra, stext, names)]
        if cf != stext or ca != stext:
            bad.append(f"object_columns {cf} / {ca} != {stext}")
        rep.check("SMALL", "codes match (quorvel frame and array vs pandas factorize(sort=True))"
                  if not bad else "MISMATCH " + "; ".join(bad))
        rep.add(g, "quorvel", "Encoder().encode(df)",
                measure_per_call(lambda: quorvel.Encoder().encode(sdf), calls), per_call=True,
                quorvel_row=True)
        rep.add(g2, "quorvel", "Encoder().encode(arr)",
                measure_per_call(lambda: quorvel.Encoder().encode(sarr), calls), per_call=True,
                quorvel_row=True)
    text_set = set(stext)

    def pandas_small_frame():
        out = np.empty(sdf.shape)
        for j, c in enumerate(sdf.columns):
            if j in text_set:
                codes, _ = pd.factorize(sdf[c], sort=True)
                out[:, j] = codes_to_float(codes)
            else:
                out[:, j] = sdf[c].to_numpy(dtype=np.float64)
        return pd.DataFrame(out, columns=sdf.columns)

    rep.add(g, "pandas", "factorize + assemble matrix -> DataFrame",
            measure_per_call(pandas_small_frame, calls), per_call=True)
    rep.add(g2, "pandas", "factorize + fill np.empty",
            measure_per_call(lambda: pandas_array_matrix(sarr, text_set), calls), per_call=True)
    if OrdinalEncoder is not None:
        scalls = min(calls, args.small_sklearn_calls)
        text_names = [sdf.columns[j] for j in stext]
        sub_df = sdf[text_names]
        sub_arr = sarr[:, stext]
        rep.add(g, "sklearn", f"OrdinalEncoder().fit_transform (text cols, {scalls} calls)",
                measure_per_call(lambda: sklearn_fit_transform(sub_df), scalls), per_call=True)
        rep.add(g2, "sklearn", f"OrdinalEncoder().fit_transform (text cols, {scalls} calls)",
                measure_per_call(lambda: sklearn_fit_transform(sub_arr), scalls), per_call=True)


# --------------------------------------------------------------------------- frames read at their source
# W1STR: the W1 table with its text columns in pandas' default `str` dtype (Arrow-backed
# where pyarrow is installed); W1 itself keeps `object` text columns (W1-object).
# W8: a wide, mostly numeric frame. ONECOL: one text column of many rows. SMALLSTR: the
# small frame with `str` text columns, per call.

def make_table_str(n, seed):
    """The W1 frame with its text columns converted to the `str` dtype (missing stays missing)."""
    df = make_table(n, seed)
    for j in TEXT_IDX:
        df[df.columns[j]] = df[df.columns[j]].astype("str")
    return df


def make_wide(seed, rows=10_000, numeric=1_494, text=6):
    """rows x (numeric + text): float64 columns with the `str` text columns spread among them."""
    rng = np.random.default_rng(seed)
    block = rng.normal(size=(rows, numeric))
    data = {f"f{k}": block[:, k] for k in range(numeric)}
    text_names = []
    for k in range(text):
        name = f"t{k}"
        data[name] = pd.Series(_text_column(rng, rows, [10, 50, 200, 1_000, 5_000, -1][k % 6], f"w{k}-"),
                               dtype=object).astype("str")
        text_names.append(name)
    names = [f"f{k}" for k in range(numeric)]
    for k, name in enumerate(text_names):  # spread the text columns over the width
        names.insert((k + 1) * len(names) // (text + 1), name)
    return pd.DataFrame({c: data[c] for c in names}), text_names


def make_one_column(rows, distinct, seed):
    """A one-column `str` frame of `rows` texts drawn from `distinct` values, 1% missing."""
    rng = np.random.default_rng(seed)
    vocab = _vocab(rng, distinct, "one-")
    vals = vocab[rng.integers(0, distinct, size=rows)]
    vals[rng.random(rows) < MISSING_RATE] = np.nan
    return pd.DataFrame({"t": pd.Series(vals, dtype=object).astype("str")})


def make_small_str(seed, rows=600):
    """600 x 30: 10 `str` text columns of 20 distinct values each and 20 float64 columns."""
    rng = np.random.default_rng(seed)
    data = {}
    for k in range(10):
        data[f"t{k}"] = pd.Series(_text_column(rng, rows, 20, f"s{k}-"), dtype=object).astype("str")
    for k in range(20):
        data[f"f{k}"] = rng.normal(size=rows)
    names = list(data)
    order = [names[i] for i in np.random.default_rng(seed + 1).permutation(len(names))]
    return pd.DataFrame({c: data[c] for c in order})


def _polars_text_frame(df, names):
    """A polars frame of the named text columns (untimed)."""
    return pl.DataFrame({c: pl.Series(c, [None if isinstance(v, float) else v for v in df[c].to_numpy(dtype=object)],
                                      dtype=pl.String) for c in names})


def _check_frame_codes(rep, workload, df, result, cols, text_names):
    """quorvel's codes of each text column against pandas factorize(sort=True) (bytewise order
    agrees with pandas' order on these ASCII and BMP texts)."""
    text_idx = [list(df.columns).index(c) for c in text_names]
    bad = [] if cols == sorted(text_idx) else [f"object_columns {cols[:8]} != {sorted(text_idx)[:8]}"]
    for name in text_names:
        codes, _ = pd.factorize(df[name], sort=True)
        if not np.array_equal(result[name].to_numpy(), codes_to_float(codes), equal_nan=True):
            bad.append(f"codes of {name}")
    rep.check(workload, "codes match pandas factorize(sort=True)" if not bad else "MISMATCH " + "; ".join(bad))


def run_w1_str(ctx, rep):
    args = ctx.args
    df = make_table_str(args.rows, args.seed)
    text_cols = [df.columns[j] for j in TEXT_IDX]
    g = rep.group("W1STR", f"encode DataFrame {df.shape[0]:,} x {df.shape[1]} with `str` text columns "
                           f"({df[text_cols[0]].dtype!r}; otherwise as W1)")
    if quorvel is not None:
        res, cols = quorvel.Encoder().encode(df)
        _check_frame_codes(rep, "W1STR", df, res, cols, text_cols)
        del res
        rep.add(g, "quorvel", "Encoder().encode(df)",
                measure(lambda: quorvel.Encoder().encode(df), args.repeat), quorvel_row=True)
    rep.add(g, "pandas", "factorize(sort=True) per text column (codes only)",
            measure(lambda: [pd.factorize(df[c], sort=True) for c in text_cols], args.repeat))
    rep.add(g, "pandas", "astype('category').cat.codes per text column",
            measure(lambda: [df[c].astype("category").cat.codes for c in text_cols], args.repeat))
    if pl is not None:
        pdf = _polars_text_frame(df, text_cols)
        rep.add(g, "polars", "rank('dense')-1 per text column (sorted codes)",
                measure(lambda: polars_rank_codes(pdf), args.repeat))
    mem = {}
    for mode in (["mem-w1str-quorvel"] if quorvel is not None else []) + ["mem-w1str-pandas"]:
        mem[mode] = _run_child(args, mode)
        who = "quorvel encode" if mode.endswith("quorvel") else "pandas factorize per text column"
        g["notes"].append(f"{who}: peak RSS growth {fmt_bytes(mem[mode]['peak_growth'])} (fresh subprocess)")
    if len(mem) == 2:
        g["notes"].append("peak memory ratio quorvel / pandas: "
                          f"{mem['mem-w1str-quorvel']['peak_growth'] / mem['mem-w1str-pandas']['peak_growth']:.2f}")
    rep.extra["mem_w1str"] = mem


def run_w8(ctx, rep):
    args = ctx.args
    df, text_names = make_wide(args.seed + 8)
    numeric = [c for c in df.columns if c not in set(text_names)]
    g = rep.group("W8", f"encode wide DataFrame {df.shape[0]:,} x {df.shape[1]:,} "
                        f"({len(numeric):,} float64, {len(text_names)} `str` text columns; calls taken in turn)")
    repeat = max(args.repeat, SHORT_CALL_REPEATS)

    def pandas_wide():
        codes = [pd.factorize(df[c], sort=True) for c in text_names]
        return codes, df[numeric].to_numpy(dtype="float64")

    peer_label = "factorize(sort=True) of the text columns + to_numpy(float64) of the rest"
    if quorvel is None:
        rep.add(g, "pandas", peer_label, measure(pandas_wide, repeat))
        return
    res, cols = quorvel.Encoder().encode(df)
    _check_frame_codes(rep, "W8", df, res, cols, text_names)
    del res
    ours, theirs = measure_alternating([lambda: quorvel.Encoder().encode(df), pandas_wide], repeat)
    rep.add(g, "quorvel", "Encoder().encode(df)", ours, quorvel_row=True)
    rep.add(g, "pandas", peer_label, theirs)


def run_one_column(ctx, rep):
    args = ctx.args
    rows, distinct = 2 * args.rows, max(1, args.rows // 10)
    df = make_one_column(rows, distinct, args.seed + 9)
    g = rep.group("ONECOL", f"encode one `str` text column of {rows:,} rows, {distinct:,} distinct texts "
                            "(quorvel and pandas taken in turn)")
    factorize = lambda: pd.factorize(df["t"], sort=True)  # noqa: E731
    if quorvel is not None:
        res, cols = quorvel.Encoder().encode(df)
        _check_frame_codes(rep, "ONECOL", df, res, cols, ["t"])
        del res
        ours, theirs = measure_alternating([lambda: quorvel.Encoder().encode(df), factorize], args.repeat)
        rep.add(g, "quorvel", "Encoder().encode(df)", ours, quorvel_row=True)
        rep.add(g, "pandas", "factorize(sort=True)", theirs)
    else:
        rep.add(g, "pandas", "factorize(sort=True)", measure(factorize, args.repeat))
    if pl is not None:
        pdf = _polars_text_frame(df, ["t"])
        rep.add(g, "polars", "rank('dense')-1", measure(lambda: polars_rank_codes(pdf), args.repeat))


def run_small_str(ctx, rep):
    args = ctx.args
    calls = args.small_calls
    sdf = make_small_str(args.seed + 5)
    text_names = [c for c in sdf.columns if c.startswith("t")]
    as_object = sdf.astype({c: object for c in text_names})
    g = rep.group("SMALLSTR", f"encode 600 x 30 DataFrame (10 `str` text columns of 20 values, "
                              f"20 float64), per call ({calls} calls, median)")
    g2 = rep.group("SMALLSTR", f"the same frame with `object` text columns, per call ({calls} calls, median)")
    if quorvel is not None:
        for frame, group in ((sdf, g), (as_object, g2)):
            res, cols = quorvel.Encoder().encode(frame)
            _check_frame_codes(rep, "SMALLSTR", frame, res, cols, text_names)
            rep.add(group, "quorvel", "Encoder().encode(df)",
                    measure_per_call(lambda: quorvel.Encoder().encode(frame), calls), per_call=True,
                    quorvel_row=True)
    for frame, group in ((sdf, g), (as_object, g2)):
        rep.add(group, "pandas", "values alone",
                measure_per_call(lambda: frame.values, calls), per_call=True)
        rep.add(group, "pandas", "factorize(sort=True) per text column",
                measure_per_call(lambda: [pd.factorize(frame[c], sort=True) for c in text_names], calls),
                per_call=True)


def child_w1str_mem(args):
    """Peak RSS growth of one W1STR encode (quorvel) or of pandas factorize per text column."""
    df = make_table_str(args.rows, args.seed)
    text_cols = [df.columns[j] for j in TEXT_IDX]
    if args._child == "mem-w1str-quorvel":
        import quorvel as q
        q.Encoder().encode(df.iloc[:10])  # starts the pool outside the measurement
        fn = lambda: q.Encoder().encode(df)  # noqa: E731
    else:
        fn = lambda: [pd.factorize(df[c], sort=True) for c in text_cols]  # noqa: E731
    gc.collect()
    rss_before = _proc_status_kib("VmRSS")
    if not _reset_peak():
        print(json.dumps({"peak_growth": float("nan")}))
        return
    r = fn()
    peak = _proc_status_kib("VmHWM")
    print(json.dumps({"peak_growth": peak - rss_before}))
    del r


def run_sklearn(ctx, rep):
    """The scikit-learn transformer against OrdinalEncoder on the same text columns.

    QuorvelEncoder gets the whole frame (numbers pass through it); OrdinalEncoder only the
    text columns, since it would take every distinct number of the others for a category.
    """
    args = ctx.args
    if OrdinalEncoder is None or quorvel is None:
        rep.group("SKLEARN", "skipped: needs scikit-learn and quorvel")["notes"].append("skipped")
        return
    from quorvel_ml.sklearn import QuorvelEncoder

    sdf = make_small(args.seed + 5)
    stext = [c for c in sdf.columns if sdf[c].dtype == object]
    calls = min(args.small_calls, args.small_sklearn_calls)
    g = rep.group("SKLEARN", f"fit_transform of the 600 x 30 mixed frame, per call ({calls} calls, median)")
    bad = compare_codes(quorvel.Encoder().encode(sdf)[0].to_numpy(), QuorvelEncoder().fit_transform(sdf),
                        list(range(sdf.shape[1])), list(sdf.columns))
    rep.check("SKLEARN", "small frame: QuorvelEncoder codes equal encode's" if not bad else "MISMATCH " + "; ".join(bad))
    rep.add(g, "quorvel", "QuorvelEncoder().fit_transform(df)",
            measure_per_call(lambda: QuorvelEncoder().fit_transform(sdf), calls), per_call=True, quorvel_row=True)
    rep.add(g, "sklearn", "OrdinalEncoder().fit_transform(text columns)",
            measure_per_call(lambda: OrdinalEncoder().fit_transform(sdf[stext]), calls), per_call=True)
    rep.add(g, "quorvel", "for reference: Encoder().encode(df)",
            measure_per_call(lambda: quorvel.Encoder().encode(sdf), calls), per_call=True)

    df = ctx.df
    text_cols = [df.columns[j] for j in TEXT_IDX]
    g = rep.group("SKLEARN", f"transform of the W1 frame {df.shape[0]:,} x {df.shape[1]} with fitted tables")
    ours = QuorvelEncoder().fit(df)
    report_codes(rep, "SKLEARN", "QuorvelEncoder.transform", ctx.expected, ours.transform(df), TEXT_IDX, ctx.names)
    peer = OrdinalEncoder().fit(df[text_cols])
    rep.add(g, "quorvel", "QuorvelEncoder.transform(df)", measure(lambda: ours.transform(df), args.repeat),
            quorvel_row=True)
    rep.add(g, "sklearn", "OrdinalEncoder.transform(text columns)",
            measure(lambda: peer.transform(df[text_cols]), args.repeat))
    g["notes"].append("QuorvelEncoder codes the whole frame (numbers pass through); OrdinalEncoder "
                      "only its 4 text columns")


# --------------------------------------------------------------------------- subprocess workloads

def _child_cmd(args, mode):
    return [sys.executable, os.path.abspath(__file__), "--_child", mode,
            "--rows", str(args.rows), "--seed", str(args.seed), "--repeat", str(args.repeat)]


def _run_child(args, mode, env_extra=None):
    env = dict(os.environ)
    if env_extra:
        env.update(env_extra)
    proc = subprocess.run(_child_cmd(args, mode), env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"child {mode} failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_scaling(ctx, rep):
    args = ctx.args
    g = rep.group("SCALING", f"W2 encode ({args.rows:,} x 8 object ndarray) with "
                             "RAYON_NUM_THREADS=1 vs =2 (separate subprocesses)")
    if quorvel is None:
        g["notes"].append("skipped: needs quorvel")
        return
    # ABBA order (1, 2, 2, 1 threads) so that a drift in machine load hits both settings alike
    res = {1: {"times": [], "runs": []}, 2: {"times": [], "runs": []}}
    for t in (1, 2, 2, 1):
        out = _run_child(args, "scaling", {"RAYON_NUM_THREADS": str(t)})
        res[t]["times"] += out["times"]
        res[t]["runs"].append(out["times"])
    for t in (1, 2):
        rep.add(g, "quorvel", f"encode(arr), RAYON_NUM_THREADS={t}", res[t]["times"],
                quorvel_row=(t == 2))
    t1 = statistics.median(res[1]["times"])
    t2 = statistics.median(res[2]["times"])
    g["notes"].append(f"speed-up 1 -> 2 threads: {t1 / t2:.2f}x (time ratio 2T/1T = {t2 / t1:.2f}); "
                      f"ratio column = 2-thread time / 1-thread time; two subprocesses per "
                      f"setting, run in the order 1, 2, 2, 1")
    g["notes"].append("total encode time only: the sequential cell pass through Python (one item "
                      "access and conversion per cell) is included and cannot be separated from "
                      "the parallel column pass from outside the module")
    rep.extra["scaling"] = {str(k): v for k, v in res.items()}


def run_mem(ctx, rep):
    args = ctx.args
    g = rep.group("MEM", f"peak resident memory of one W2 encode ({args.rows:,} x 8), fresh subprocess")
    out_bytes = args.rows * 8 * 8
    results = {}
    modes = (["mem-quorvel"] if quorvel is not None else []) + ["mem-pandas"]
    for mode in modes:
        results[mode] = _run_child(args, mode)
    rep.extra["mem"] = results
    g["notes"].append(f"output float64 matrix: {fmt_bytes(out_bytes)} ({out_bytes:,} B)")
    for mode, r in results.items():
        who = "quorvel Encoder().encode(arr)" if mode == "mem-quorvel" else \
              "pandas factorize + fill np.empty"
        g["notes"].append(
            f"{who}: peak RSS growth {fmt_bytes(r['peak_growth'])} "
            f"(= {r['peak_growth'] / out_bytes:.2f} x output; method: {r['method']}), "
            f"RSS kept after the call {fmt_bytes(r['rss_after'] - r['rss_before'])}, "
            f"time of that call {r['seconds']:.2f} s")


def _proc_status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return None


def _reset_peak():
    """Resets VmHWM (Linux clear_refs 5); returns True when it worked."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child_main(args):
    global quorvel
    if args._child.startswith("mem-w1str"):
        return child_w1str_mem(args)
    df = make_table(args.rows, args.seed)
    arr = df.to_numpy(dtype=object)
    del df
    gc.collect()
    if args._child == "scaling":
        import quorvel as q
        q.Encoder().encode(arr)  # warm-up: starts the pool with the configured size
        times = measure(lambda: q.Encoder().encode(arr), max(1, min(args.repeat, 3)))
        print(json.dumps({"times": times, "threads": os.environ.get("RAYON_NUM_THREADS")}))
        return
    if args._child == "mem-quorvel":
        import quorvel as q
        fn = lambda: q.Encoder().encode(arr)  # noqa: E731
    else:
        fn = lambda: pandas_array_matrix(arr, TEXT_IDX)  # noqa: E731
    gc.collect()
    rss_before = _proc_status_kib("VmRSS")
    if _reset_peak() and _proc_status_kib("VmHWM") is not None:
        method = "VmHWM after clear_refs"
        t0 = time.perf_counter()
        r = fn()
        secs = time.perf_counter() - t0
        peak = _proc_status_kib("VmHWM")
    else:
        method = "ru_maxrss delta (lower bound)"
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        t0 = time.perf_counter()
        r = fn()
        secs = time.perf_counter() - t0
        peak = max(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
        rss_before = before
    rss_after = _proc_status_kib("VmRSS")
    print(json.dumps({"peak_growth": peak - rss_before, "rss_before": rss_before,
                      "rss_after": rss_after, "method": method, "seconds": secs}))
    del r


# --------------------------------------------------------------------------- main

def _loadavg():
    try:
        return round(os.getloadavg()[0], 2)
    except OSError:
        return None


RUNNERS = {"W1": run_w1, "W2": run_w2, "W3": run_w3, "W4": run_w4, "W5": run_w5,
           "SMALL": run_small, "SCALING": run_scaling, "MEM": run_mem, "SKLEARN": run_sklearn,
           "W1STR": run_w1_str, "W8": run_w8, "ONECOL": run_one_column, "SMALLSTR": run_small_str}


def parse_args(argv=None):
    p = argparse.ArgumentParser(description="Benchmark quorvel against pandas / scikit-learn / polars.")
    p.add_argument("--rows", type=int, default=1_000_000, help="rows of W1-W3 (default 1,000,000)")
    p.add_argument("--repeat", type=int, default=5, help="timed repeats per measurement (default 5)")
    p.add_argument("--only", default=None,
                   help="comma-separated subset of " + ",".join(ALL_WORKLOADS))
    p.add_argument("--json", default=None, metavar="OUT.json", help="also write results as JSON")
    p.add_argument("--peers-only", action="store_true", help="do not import or run quorvel")
    p.add_argument("--seed", type=int, default=20240607, help="random seed of the workloads")
    p.add_argument("--small-calls", type=int, default=2000, help="calls per SMALL measurement")
    p.add_argument("--small-sklearn-calls", type=int, default=300,
                   help="cap on SMALL calls for scikit-learn (slow per call)")
    p.add_argument("--_child", default=None, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.only:
        sel = [w.strip().upper() for w in args.only.split(",") if w.strip()]
        unknown = [w for w in sel if w not in ALL_WORKLOADS]
        if unknown:
            p.error(f"unknown workload(s) {unknown}; choose from {ALL_WORKLOADS}")
        args.workloads = [w for w in ALL_WORKLOADS if w in sel]
    else:
        args.workloads = list(ALL_WORKLOADS)
    return args


def main(argv=None):
    global quorvel
    args = parse_args(argv)
    if pd is None:
        sys.exit("pandas is required to build the workloads")
    if args._child:
        child_main(args)
        return 0
    if not args.peers_only:
        try:
            import quorvel as q
            quorvel = q
        except ImportError as e:
            sys.exit(f"cannot import quorvel ({e}); build it first or run with --peers-only")
    missing = [name for name, mod in (("scikit-learn", OrdinalEncoder), ("polars", pl)) if mod is None]
    print(f"workloads: {','.join(args.workloads)}; rows={args.rows:,}; repeat={args.repeat}; "
          f"quorvel={'off (--peers-only)' if quorvel is None else 'on'}"
          + (f"; not installed (skipped): {', '.join(missing)}" if missing else ""), flush=True)
    rep = Report()
    rep.extra["loadavg"] = {"start": _loadavg()}
    ctx = Ctx(args)
    t_all = time.perf_counter()
    for w in args.workloads:
        t0 = time.perf_counter()
        print(f"running {w} ...", flush=True)
        RUNNERS[w](ctx, rep)
        print(f"  {w} done in {time.perf_counter() - t0:.1f} s", flush=True)
    rep.extra["wall_seconds"] = time.perf_counter() - t_all
    rep.extra["loadavg"]["end"] = _loadavg()
    rep.print_table(args)
    print(f"total wall time {rep.extra['wall_seconds']:.1f} s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rep.to_json(args), f, indent=1)
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
