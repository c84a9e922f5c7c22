"""The log-likelihood of a cubature panel (what fit_mle evaluates) against the panel filter it comes from.

    PYTHONPATH=python:benchmarks python3 benchmarks/bench_log_likelihood.py [--quick]

Coordinated turn and range-bearing (built-in models), M = 1,000 tracks x
N = 1,000 scans with 10% missed: one `vexel_ckf.log_likelihood` evaluation
against one `cubature_filter` call on the same panel (target: within 1.2x).
Both are timed in alternation, best of the rounds; the values are checked to
agree first.
"""

import argparse

import numpy as np

import vexel_ckf as vx
from runner import best_times
from vexel_ckf import models


def panel(count, steps, seed=0):
    rng = np.random.default_rng(seed)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x = np.column_stack([rng.uniform(2000, 6000, count), rng.uniform(-3000, 3000, count),
                         rng.normal(0, 15, (count, 2)), rng.normal(0, 0.03, count)])
    x0s = x.copy()
    zs = np.empty((count, steps, 2))
    for k in range(steps):
        x = np.asarray(fx(x, 1.0)) + rng.normal(0, [0.3, 0.3, 0.5, 0.5, 0.01], x.shape)
        zs[:, k] = np.asarray(hx(x)) + rng.normal(0, [4.0, 0.01], (count, 2))
    zs[rng.random((count, steps)) < 0.1] = np.nan
    model = dict(x0s=x0s, P0=np.diag([100.0, 100, 10, 10, 1e-3]), fx=fx, hx=hx,
                 Q=np.diag([0.1, 0.1, 0.25, 0.25, 1e-4]), R=np.diag([16.0, 1e-4]))
    return zs, model


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="200 x 200 instead of 1,000 x 1,000")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    count, steps = (200, 200) if args.quick else (1000, 1000)
    zs, model = panel(count, steps)
    filter_args = dict(model)
    x0s = filter_args.pop("x0s")

    def likelihood():
        return vx.log_likelihood(zs, **model)

    def filtered():
        return vx.cubature_filter(x0s, zs=zs, nan_means_missing=True, **filter_args)

    ll, out = likelihood(), filtered()
    assert np.array_equal(ll.per_sequence, out.log_likelihood), "the two disagree"
    t_ll, t_filter = best_times([likelihood, filtered], rounds=args.rounds)
    steps_total = count * steps
    print(f"cubature panel, M = {count} x N = {steps}, 10% missed")
    print(f"  log_likelihood   {t_ll * 1e3:9.1f} ms  ({t_ll / steps_total * 1e9:6.0f} ns per sequence-step)")
    print(f"  cubature_filter  {t_filter * 1e3:9.1f} ms  ({t_filter / steps_total * 1e9:6.0f} ns per sequence-step)")
    ratio = t_ll / t_filter
    print(f"  log_likelihood / cubature_filter = {ratio:.2f}x (target <= 1.2x): {'met' if ratio <= 1.2 else 'missed'}")


if __name__ == "__main__":
    main()
