"""Memory growth per call of every public entry point, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_memory_growth.py [--calls 20000] [--warmup 2000]
        [--only SUBSTRING] [--mixed 200000] [--tracemalloc] [--no-dask] [--keep-dask-cache]

Each entry point (success and failure paths) is called `--warmup` times, then
`--calls` times more; the table gives the growth per call over the second
stretch of:

* heap in use: glibc's mallinfo2() uordblks + hblkhd, the bytes handed out by
  malloc and not yet freed (every arena, mmapped blocks included).  This is
  what a true leak raises, linearly with the calls;
* RSS: resident memory from /proc/self/statm, which fragmentation and memory
  glibc keeps cached raise without anything being leaked;
* Python blocks: sys.getallocatedblocks(), the objects of Python's own small
  object allocator alive (whose arenas are mmapped outside malloc's heap, so
  the heap column does not see them; with PYTHONMALLOC=malloc it does), and,
  with --tracemalloc, the bytes Python's allocators traced: a Python-side
  leak shows there, a native one only in the heap column.

`--mixed N` adds a last row: N calls drawn at random from all the entry
points, as a long-running service would make them.

Dask keeps a cache of its own, dask.utils.key_split (functools.lru_cache of
100000 entries): every graph has new task keys, so it fills by some ten
entries per compute() until it holds 100000 (some 25 MB of heap, more of RSS
once Python's arenas fragment), then stays.  That is bounded growth, and not
this package's: each measurement starts and ends with the cache emptied
(--keep-dask-cache leaves it, to see it fill).

Problem sizes are small on purpose, so that many calls run in seconds and the
bank's callbacks never make temporaries large enough for the warm memory
handler to keep (it has its own, known, accounting).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import pickle
import random
import sys
import tracemalloc

import numpy as np

import vexel_ckf as vk

try:
    import dask
    import dask.array as da
    import vexel_ckf.dask as vkd
except ImportError:  # pragma: no cover - optional
    dask = None


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
try:
    _libc.mallinfo2.restype = _MallInfo2
    _HAVE_MALLINFO2 = True
except AttributeError:  # glibc before 2.33, or not glibc
    _HAVE_MALLINFO2 = False


def heap_in_use() -> int:
    """Bytes malloc has handed out and not taken back (0 without glibc's mallinfo2)."""
    if not _HAVE_MALLINFO2:
        return 0
    info = _libc.mallinfo2()
    return int(info.uordblks + info.hblkhd)


def rss() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# The models: a constant-velocity target in 2-D, x = (px, vx, py, vy), z = (px, py)

DIM_X, DIM_Z, DT = 4, 2, 0.1
F = np.array([[1, DT, 0, 0], [0, 1, 0, 0], [0, 0, 1, DT], [0, 0, 0, 1]], dtype=float)
H = np.array([[1, 0, 0, 0], [0, 0, 1, 0]], dtype=float)
Q = 0.01 * np.eye(DIM_X)
R = 0.25 * np.eye(DIM_Z)
P0 = np.eye(DIM_X)
X0 = np.zeros(DIM_X)
RNG = np.random.default_rng(7)
STEPS, SEQUENCES, FILTERS = 40, 6, 8


def fx(X, dt):
    out = X.copy()
    out[:, 0] += dt * X[:, 1]
    out[:, 2] += dt * X[:, 3]
    return out


def hx(X):
    return X[:, [0, 2]]


def fx_raises(X, dt):
    raise KeyError("fx fails on purpose")


def hx_raises(X):
    raise KeyError("hx fails on purpose")


def fx_wrong_shape(X, dt):
    return X[:, :2]


def hx_wrong_dtype(X):
    return X[:, [0, 2]].astype(np.float32)


ZS = RNG.normal(size=(STEPS, DIM_Z))
ZS_GAPS = ZS.copy()
ZS_GAPS[5::7] = np.nan
ZS_PANEL = RNG.normal(size=(SEQUENCES, STEPS, DIM_Z))
ZS_PANEL_GAPS = ZS_PANEL.copy()
ZS_PANEL_GAPS[:, 3::5] = np.nan
ZS_PARTLY_NAN = ZS_PANEL.copy()
ZS_PARTLY_NAN[2, 9, 0] = np.nan
ZS_BANK = RNG.normal(size=(FILTERS, DIM_Z))
ZS_BANK_GAPS = ZS_BANK.copy()
ZS_BANK_GAPS[1] = np.nan
ZS_BANK_GAPS[4, 0] = np.inf
XS_BANK = RNG.normal(size=(FILTERS, DIM_X))
ZS_RUN = RNG.normal(size=(10, FILTERS, DIM_Z))


def _bank(**kw):
    b = vk.CKFBank(FILTERS, DIM_X, DIM_Z, DT, fx=fx, hx=hx, **kw)
    b.Q, b.R = Q, R
    return b


FILTERED = vk.batch_filter(X0, P0, ZS, F, H, Q, R)
BANK = _bank()
BANK_ANGLES = _bank(angle_states=[1], angle_measurements=[0])
_kf = vk.VexelCKF(DIM_X, DIM_Z, DT, fx=fx, hx=hx)
_kf.Q, _kf.R = Q, R
RUN = _kf.run(ZS)
_kf_sr = vk.VexelCKF(DIM_X, DIM_Z, DT, fx=fx, hx=hx, square_root=True, angle_states=[3], angle_measurements=[1])
_kf_sr.Q, _kf_sr.R = Q, R
RUN_SR = _kf_sr.run(ZS)
_kf_angles = vk.VexelCKF(DIM_X, DIM_Z, DT, fx=fx, hx=hx, angle_states=[1], angle_measurements=[0])
_kf_angles.Q, _kf_angles.R = Q, R
DICT = BANK.to_dict()
BAD_DICT = dict(DICT, Ps=np.full((FILTERS, DIM_X, DIM_X), np.nan))
PICKLED = pickle.dumps(BANK)
# A transition that overflows the state at step 1: the filter fails the call there.
F_OVERFLOW = np.repeat(F[None], STEPS, axis=0)
F_OVERFLOW[1] *= 1e200
# A filtered trace whose predicted covariances no inverse stage can invert.
XS_NO_INVERSE = np.zeros((2, 5))
PS_NO_INVERSE = np.repeat(np.diag([0.0, 1e308, 1e308, 1e308, 1e308])[None], 2, axis=0)
F_NO_INVERSE = np.diag([1.0, 10, 10, 10, 10])[None]
Q_NO_INVERSE = np.zeros((1, 5, 5))


def expect(exc, fn, *args, **kw):
    """fn(*args, **kw) must raise exc: the failure path of an entry point."""
    def call():
        try:
            fn(*args, **kw)
        except exc:
            return
        raise AssertionError(f"{getattr(fn, '__name__', fn)} did not raise {exc.__name__}")
    return call


# ---------------------------------------------------------------------------
# The entry points: (name, zero-argument callable, relative cost: calls are divided by it)

def _bank_step():
    BANK.predict()
    BANK.update(ZS_BANK)


def _bank_angles_step():
    BANK_ANGLES.predict()
    BANK_ANGLES.update(ZS_BANK)


def _bank_keep_add():
    b = BANK.copy()
    b.keep([0, 2, 5])
    b.add(XS_BANK[:5], P0)
    b.keep(np.arange(8) % 2 == 0)


def _bank_keep_bad():
    b = BANK.copy()
    for sel in ([0, 0], [99], np.zeros(3, bool)):
        try:
            b.keep(sel)
        except ValueError:
            pass
        else:
            raise AssertionError("keep accepted a bad selection")


def _bank_native_keep_bad():
    try:
        BANK._b.keep([1, 1])
    except ValueError:
        return
    raise AssertionError("native keep accepted a repeated index")


def _bank_setters():
    b = BANK.copy()
    b.xs = XS_BANK
    b.Ps = P0
    b.Q = np.broadcast_to(Q, (FILTERS, DIM_X, DIM_X))
    b.R = R
    b.dt = 0.2
    _ = (b.xs, b.Ps, b.Q, b.R, b.status, b.nis, b.log_likelihoods, b.jitter_counts, b.xs_prior, b.Ps_prior)


def _angles_step(kf):
    def step():
        kf.predict()
        kf.update(ZS[0])
    return step


def _angles_fx_raises(kf):
    return expect(KeyError, kf.predict, fx_raises)


def _angles_hx_bad(kf):
    return expect(ValueError, kf.update, ZS[0], hx=lambda X: X[:, :1])


def _vexel_smooth():
    _kf.smooth(RUN)


def _vexel_smooth_sr():
    _kf_sr.smooth(RUN_SR, steps_per_call=4)


def _dask_filter():
    zs = da.from_array(ZS_PANEL_GAPS, chunks=(2, STEPS, DIM_Z))
    r = vkd.batch_filter(X0, P0, zs, F, H, Q, R, nan_means_missing=True)
    dask.compute(*r, scheduler="threads")


def _dask_filter_fresh():
    # New data every call, so new task keys (what fills dask's key_split cache).
    zs = da.from_array(RNG.normal(size=ZS_PANEL.shape), chunks=(2, STEPS, DIM_Z))
    r = vkd.batch_filter(X0, P0, zs, F, H, Q, R)
    dask.compute(*r, scheduler="threads")


def _dask_smoother():
    zs = da.from_array(ZS_PANEL, chunks=(3, STEPS, DIM_Z))
    r = vkd.batch_smoother(X0, P0, zs, F, H, Q, R)
    dask.compute(*r, scheduler="threads")


def _dask_bank_step():
    xs = da.from_array(XS_BANK, chunks=(4, DIM_X))
    zs = da.from_array(ZS_BANK_GAPS, chunks=(4, DIM_Z))
    r = vkd.filter_bank_step(xs, P0, zs, F, H, Q, R, nan_means_missing=True)
    dask.compute(*r, scheduler="threads")


def _dask_filter_bad():
    zs = da.from_array(ZS_PARTLY_NAN, chunks=(2, STEPS, DIM_Z))
    r = vkd.batch_filter(X0, P0, zs, F, H, Q, R, nan_means_missing=True)
    try:
        dask.compute(*r, scheduler="threads")
    except ValueError:
        return
    raise AssertionError("a partly NaN row passed")


CASES = [
    # CKFBank
    ("CKFBank()", lambda: vk.CKFBank(FILTERS, DIM_X, DIM_Z, DT, fx=fx, hx=hx), 1),
    ("CKFBank() bad dims", expect(ValueError, vk.CKFBank, FILTERS, 0, DIM_Z, DT), 1),
    ("CKFBank() bad angles", expect(ValueError, vk.CKFBank, FILTERS, DIM_X, DIM_Z, DT, angle_states=[9]), 1),
    ("CKFBank.predict+update", _bank_step, 1),
    ("CKFBank.predict+update angles", _bank_angles_step, 1),
    ("CKFBank.update gaps", lambda: BANK.update(ZS_BANK_GAPS), 1),
    ("CKFBank.predict fx raises", expect(KeyError, BANK._b.predict, fx_raises, None, ()), 1),
    ("CKFBank.predict fx bad shape", expect(ValueError, BANK._b.predict, fx_wrong_shape, None, ()), 1),
    ("CKFBank.predict bad dt", expect(ValueError, BANK.predict, float("nan")), 1),
    ("CKFBank.update hx raises", expect(KeyError, BANK._b.update, ZS_BANK, hx_raises, ()), 1),
    ("CKFBank.update hx bad dtype", expect(TypeError, BANK._b.update, ZS_BANK, hx_wrong_dtype, ()), 1),
    ("CKFBank.update bad zs", expect(ValueError, BANK.update, ZS_BANK[:3]), 1),
    ("CKFBank.keep/add/copy", _bank_keep_add, 1),
    ("CKFBank.keep bad", _bank_keep_bad, 1),
    ("CkfBank.keep bad (native)", _bank_native_keep_bad, 1),
    ("CKFBank.add bad", expect(ValueError, BANK.add, XS_BANK[:2], P0, Q=np.stack([Q, Q])), 1),
    ("CKFBank fields get/set", _bank_setters, 1),
    ("CKFBank.set bad", expect(ValueError, BANK._b.set, "Ps", np.full((FILTERS, DIM_X, DIM_X), np.inf)), 1),
    ("CKFBank.run", lambda: BANK.copy().run(ZS_RUN), 10),
    ("CKFBank.copy", BANK.copy, 1),
    ("CKFBank pickle round trip", lambda: pickle.loads(pickle.dumps(BANK)), 1),
    ("CKFBank unpickle", lambda: pickle.loads(PICKLED), 1),
    ("CKFBank.to_dict", BANK.to_dict, 1),
    ("CKFBank.from_dict", lambda: vk.CKFBank.from_dict(DICT, fx=fx, hx=hx), 1),
    ("CKFBank.from_dict bad", expect(ValueError, vk.CKFBank.from_dict, BAD_DICT), 1),
    # whole-array linear filtering
    ("batch_filter single", lambda: vk.batch_filter(X0, P0, ZS, F, H, Q, R), 1),
    ("batch_filter single gaps", lambda: vk.batch_filter(X0, P0, ZS_GAPS, F, H, Q, R, nan_means_missing=True), 1),
    ("batch_filter single gaps bad", expect(ValueError, vk.batch_filter, X0, P0, ZS_GAPS, F, H, Q, R), 1),
    ("batch_filter panel", lambda: vk.batch_filter(X0, P0, ZS_PANEL, F, H, Q, R), 2),
    ("batch_filter panel gaps", lambda: vk.batch_filter(X0, P0, ZS_PANEL_GAPS, F, H, Q, R, nan_means_missing=True), 2),
    ("batch_filter panel partly NaN", expect(ValueError, vk.batch_filter, X0, P0, ZS_PARTLY_NAN, F, H, Q, R,
                                             nan_means_missing=True), 2),
    ("batch_filter panel bad P0", expect(ValueError, vk.batch_filter, X0, np.full((4, 4), np.nan), ZS_PANEL, F, H,
                                         Q, R), 1),
    ("batch_filter single overflow", expect(RuntimeError, vk.batch_filter, X0, P0, ZS, F_OVERFLOW, H, Q, R), 1),
    ("batch_filter panel overflow", expect(RuntimeError, vk.batch_filter, X0, P0, ZS_PANEL, F_OVERFLOW, H, Q, R),
     2),
    ("batch_filter bad shape", expect(ValueError, vk.batch_filter, X0, P0, ZS_PANEL, F, H[:, :3], Q, R), 1),
    ("batch_smoother single", lambda: vk.batch_smoother(X0, P0, ZS, F, H, Q, R), 1),
    ("batch_smoother single gaps", lambda: vk.batch_smoother(X0, P0, ZS_GAPS, F, H, Q, R, nan_means_missing=True),
     1),
    ("batch_smoother panel", lambda: vk.batch_smoother(X0, P0, ZS_PANEL_GAPS, F, H, Q, R, nan_means_missing=True),
     2),
    ("batch_smoother panel no P", lambda: vk.batch_smoother(X0, P0, ZS_PANEL, F, H, Q, R, covariances=False), 2),
    ("batch_smoother panel bad", expect(ValueError, vk.batch_smoother, X0, P0, ZS_PARTLY_NAN, F, H, Q, R,
                                        nan_means_missing=True), 2),
    ("batch_smoother overflow", expect(RuntimeError, vk.batch_smoother, X0, P0, ZS_PANEL, F_OVERFLOW, H, Q, R),
     2),
    ("rts_smoother single", lambda: vk.rts_smoother(FILTERED.xs, FILTERED.Ps, F, Q), 1),
    ("rts_smoother panel", lambda: vk.rts_smoother(np.stack([FILTERED.xs] * 3), np.stack([FILTERED.Ps] * 3), F, Q),
     2),
    ("rts_smoother single no inverse", expect(RuntimeError, vk.rts_smoother, XS_NO_INVERSE, PS_NO_INVERSE,
                                              F_NO_INVERSE, Q_NO_INVERSE), 1),
    ("rts_smoother panel no inverse", expect(RuntimeError, vk.rts_smoother, np.stack([XS_NO_INVERSE] * 3),
                                             np.stack([PS_NO_INVERSE] * 3), F_NO_INVERSE, Q_NO_INVERSE), 2),
    ("rts_smoother panel bad shape", expect(ValueError, vk.rts_smoother, np.zeros((3, STEPS, DIM_X)),
                                            np.zeros((3, STEPS, 3, 3)), F, Q), 1),
    ("filter_bank_step gaps", lambda: vk.filter_bank_step(XS_BANK, P0, ZS_BANK_GAPS, F, H, Q, R,
                                                          nan_means_missing=True), 1),
    ("filter_bank_step gaps bad", expect(ValueError, vk.filter_bank_step, XS_BANK, P0, ZS_BANK, F, H,
                                         np.full((4, 4), np.nan), R, nan_means_missing=True), 1),
    # nonlinear smoothing
    ("cubature_smoother", lambda: vk.cubature_smoother(RUN.xs, RUN.Ps, fx, Q, DT), 4),
    ("cubature_smoother sqrt/angles", lambda: vk.cubature_smoother(RUN.xs, RUN.Ps, fx, Q, DT, square_root=True,
                                                                   angle_states=[1], steps_per_call=8), 2),
    ("cubature_smoother fx raises", expect(KeyError, vk.cubature_smoother, RUN.xs, RUN.Ps, fx_raises, Q, DT), 1),
    ("cubature_smoother fx bad", expect(ValueError, vk.cubature_smoother, RUN.xs, RUN.Ps, fx_wrong_shape, Q, DT), 1),
    ("cubature_smoother bad Ps", expect(ValueError, vk.cubature_smoother, RUN.xs, RUN.Ps[:, :3], fx, Q, DT), 1),
    ("cubature_smoother bad sqrt Q", expect(RuntimeError, vk.cubature_smoother, RUN.xs, RUN.Ps, fx,
                                            np.diag([1.0, -1.0, 1.0, 1.0]), DT, square_root=True), 1),
    ("VexelCKF.smooth", _vexel_smooth, 4),
    ("VexelCKF.smooth sqrt", _vexel_smooth_sr, 2),
    ("VexelCKF.smooth bad", expect(TypeError, _kf.smooth, object()), 1),
    # the angle-aware steps of VexelCKF
    ("VexelCKF angles predict+update", _angles_step(_kf_angles), 1),
    ("VexelCKF sqrt angles predict+update", _angles_step(_kf_sr), 1),
    ("VexelCKF angles fx raises", _angles_fx_raises(_kf_angles), 1),
    ("VexelCKF sqrt angles hx bad shape", _angles_hx_bad(_kf_sr), 1),
    ("VexelCKF angles run", lambda: _kf_angles.copy().run(ZS_GAPS, nan_means_missing=True), 10),
]
if dask is not None and "--no-dask" not in sys.argv:
    CASES += [
        ("dask batch_filter", _dask_filter, 100),
        ("dask batch_filter fresh data", _dask_filter_fresh, 100),
        ("dask batch_smoother", _dask_smoother, 100),
        ("dask filter_bank_step", _dask_bank_step, 100),
        ("dask batch_filter bad", _dask_filter_bad, 100),
    ]


def settle(keep_dask_cache):
    if dask is not None and not keep_dask_cache:
        from dask.utils import key_split

        key_split.cache_clear()
    gc.collect()


def measure(fn, warmup, calls, traced, keep_dask_cache=False):
    for _ in range(warmup):
        fn()
    settle(keep_dask_cache)
    blocks0 = sys.getallocatedblocks()
    traced0 = tracemalloc.get_traced_memory()[0] if traced else 0
    heap0, rss0 = heap_in_use(), rss()
    for _ in range(calls):
        fn()
    settle(keep_dask_cache)
    heap1, rss1 = heap_in_use(), rss()
    traced1 = tracemalloc.get_traced_memory()[0] if traced else 0
    blocks1 = sys.getallocatedblocks()
    return (heap1 - heap0) / calls, (rss1 - rss0) / calls, (blocks1 - blocks0) / calls, (traced1 - traced0) / calls


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=20000, help="measured calls per entry point (divided by cost)")
    parser.add_argument("--warmup", type=int, default=2000, help="calls before measuring (divided by cost)")
    parser.add_argument("--only", default="", help="only entry points whose name contains this")
    parser.add_argument("--mixed", type=int, default=0, help="also N calls drawn at random from all entry points")
    parser.add_argument("--tracemalloc", action="store_true", help="also trace Python's allocations (slow)")
    parser.add_argument("--no-dask", action="store_true", help="leave out the vexel_ckf.dask entry points")
    parser.add_argument("--keep-dask-cache", action="store_true", help="do not empty dask's key_split cache")
    args = parser.parse_args(argv)
    if not _HAVE_MALLINFO2:
        print("mallinfo2 is not available: the heap column reads 0", file=sys.stderr)
    if args.tracemalloc:
        tracemalloc.start()
    cases = [c for c in CASES if args.only in c[0]]
    print(f"{'entry point':36} {'calls':>7} {'heap B/call':>12} {'RSS B/call':>11} {'py blocks/call':>14}"
          + (f" {'traced B/call':>14}" if args.tracemalloc else ""))
    for name, fn, cost in cases:
        calls = max(1, args.calls // cost)
        heap, resident, blocks, traced = measure(fn, max(1, args.warmup // cost), calls, args.tracemalloc,
                                                 args.keep_dask_cache)
        print(f"{name:36} {calls:7d} {heap:12.1f} {resident:11.1f} {blocks:14.2f}"
              + (f" {traced:14.1f}" if args.tracemalloc else ""), flush=True)
    if args.mixed:
        rng = random.Random(11)
        weights = [1.0 / c[2] for c in cases]
        picks = rng.choices(range(len(cases)), weights=weights, k=args.mixed + args.mixed // 10)
        it = iter(picks)
        heap, resident, blocks, traced = measure(lambda: cases[next(it)][1](), args.mixed // 10, args.mixed,
                                                 args.tracemalloc, args.keep_dask_cache)
        print(f"{'mixed random':36} {args.mixed:7d} {heap:12.1f} {resident:11.1f} {blocks:14.2f}"
              + (f" {traced:14.1f}" if args.tracemalloc else ""), flush=True)


if __name__ == "__main__":
    main()
