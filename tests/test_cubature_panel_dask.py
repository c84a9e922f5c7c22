"""The nonlinear panels on Dask: whatever the chunking and the scheduler, every output equals the in-memory
panel's bit for bit; models that cannot reach a worker and malformed arguments are refused when the graph is
built, and data errors name the sequence by its index in the whole panel."""

import ctypes
import warnings

import numpy as np
import pytest

from vexel_ckf import MODEL_SIGNATURE, cubature_filter, cubature_panel_smoother, models

from support import same

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import vexel_ckf.dask as vd  # noqa: E402

M, N, n = 9, 25, 5
FX, HX = models.coordinated_turn(), models.range_bearing()


def panel(seed=4):
    """Turning targets seen by a radar at the origin, every sequence with its own scan times and a few
    missed scans; sequence 5 starts at a speed whose propagated covariance overflows, so it fails."""
    rng = np.random.default_rng(seed)
    x0s = np.column_stack([rng.uniform(500, 900, (M, 2)), rng.normal(0, 8, (M, 2)), rng.normal(0.03, 0.01, M)])
    x0s[5, 2:4] = 1e200
    P0 = np.diag([25.0, 25.0, 4.0, 4.0, 1e-4]) * rng.uniform(1, 2, (M, 1, 1))
    dts = rng.uniform(0.5, 1.5, (M, N))
    truth = np.cumsum(dts, axis=1)[..., None] * x0s[:, None, 2:4] + x0s[:, None, :2]
    zs = np.stack([np.hypot(truth[..., 0], truth[..., 1]), np.arctan2(truth[..., 1], truth[..., 0])], axis=-1)
    zs += rng.normal(0, [2.0, 0.003], zs.shape)
    zs[rng.random((M, N)) < 0.15] = np.nan
    Qs = 0.05 * np.eye(n) * rng.uniform(1, 3, (M, 1, 1))
    Rs = np.diag([4.0, 1e-5]) * rng.uniform(1, 2, (N, 1, 1))
    return x0s, P0, zs, Qs, Rs, dts


def scaled_range_bearing(X, scale):
    """A Python hx: it travels to the workers by cloudpickle, with its extra argument."""
    return HX(X) * scale


def turn(X, dt):
    """A Python fx."""
    return FX(X, dt)


# Each chunking comes with its own mix of NumPy, dask, shared and per-sequence inputs: (zs chunks, how to
# build x0s, P0, Q, R, dts and the remaining options from the panel).
CASES = {
    "uneven": (((4, 2, 3), N, 2), lambda x0s, P0, Qs, Rs, dts: dict(
        x0s=da.from_array(x0s, chunks=(5, 2)), P0=P0, Q=Qs, R=Rs, dts=da.from_array(dts, chunks=(3, 7)))),
    "one sequence": (((1, 5, 3), N, 2), lambda x0s, P0, Qs, Rs, dts: dict(
        x0s=x0s, P0=da.from_array(P0, chunks=2), Q=Qs[:, None], R=Rs[0], dts=dts[:, :1], square_root=True)),
    "chunked steps": (((3, 3, 3), (10, 15), (1, 1)), lambda x0s, P0, Qs, Rs, dts: dict(
        x0s=da.from_array(x0s), P0=P0[0], Q=0.1, R=Rs[None], dts=dts[0], fx=turn, hx=scaled_range_bearing,
        hx_args=(1.0,))),
}


@pytest.fixture(scope="module")
def cluster_client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  env={"VEXEL_CKF_NUM_THREADS": "1"}) as cluster:
        with distributed.Client(cluster, timeout=60) as client:
            yield client


def compute_on(where, request, arrays):
    if where == "distributed":
        return request.getfixturevalue("cluster_client").compute(list(arrays), sync=True)
    with warnings.catch_warnings():
        # Older dask warns when a single-machine scheduler runs while the module's client is active.
        warnings.filterwarnings("ignore", "Running on a single-machine scheduler", UserWarning)
        return dask.compute(*arrays, scheduler="threads")


WHERE = ["threads", pytest.param("distributed", marks=pytest.mark.slow("a cluster of worker processes"))]


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("case", list(CASES))
def test_dask_panels_equal_the_in_memory_ones(case, where, request):
    x0s, P0, zs, Qs, Rs, dts = panel()
    zs_chunks, build = CASES[case]
    lazy_args = build(x0s, P0, Qs, Rs, dts)
    memory_args = {k: v.compute() if isinstance(v, da.Array) else v for k, v in lazy_args.items()}
    fx, hx = lazy_args.pop("fx", FX), lazy_args.pop("hx", HX)
    memory_args.pop("fx", None), memory_args.pop("hx", None)
    covariances = case != "one sequence"
    zd = da.from_array(zs, chunks=zs_chunks)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lazy = [vd.cubature_filter(zs=zd, fx=fx, hx=hx, nan_means_missing=True, **lazy_args),
                vd.cubature_panel_smoother(zs=zd, fx=fx, hx=hx, nan_means_missing=True, covariances=covariances,
                                           **lazy_args)]
    copies = [w for w in caught if issubclass(w.category, da.core.PerformanceWarning)]
    assert len(copies) == (2 if case == "chunked steps" else 0) and len(caught) == len(copies)
    want = [cubature_filter(zs=zs, fx=fx, hx=hx, nan_means_missing=True, **memory_args),
            cubature_panel_smoother(zs=zs, fx=fx, hx=hx, nan_means_missing=True, covariances=covariances,
                                    **memory_args)]
    assert want[0].status[5] != 0 and not want[0].status[np.arange(M) != 5].any()
    assert (lazy[1].Ps is None) == (not covariances)
    for result, expected in zip(lazy, want):
        assert type(result) is type(expected)
        assert all(a.chunks[0] == zd.chunks[0] for a in result if a is not None)
    flat_lazy = [a for result in lazy for a in result if a is not None]
    flat_want = [a for result in want for a in result if a is not None]
    for got, expected in zip(compute_on(where, request, flat_lazy), flat_want):
        assert got.dtype == expected.dtype and same(got, expected)


@pytest.mark.parametrize("where", WHERE)
def test_dask_data_errors_name_the_global_sequence(where, request):
    x0s, P0, zs, Qs, Rs, dts = panel()
    zs[6, 3, 0] = np.nan                                  # the second chunk's sequence 2
    lazy = vd.cubature_panel_smoother(x0s[0], P0[0], da.from_array(zs, chunks=((4, 5), N, 2)), FX, HX, Qs,
                                      Rs, dts=dts, nan_means_missing=True)
    with pytest.raises(ValueError, match=r"^zs\[6, 3\] \(sequence 6, step 3\) is partly NaN"):
        compute_on(where, request, [lazy.xs])


def _c_model_forms():
    """The forms of a compiled model that hold a bare function pointer, none of which pickles."""
    pointer = ctypes.POINTER(ctypes.c_double)
    prototype = ctypes.CFUNCTYPE(ctypes.c_int, pointer, pointer, ctypes.c_ssize_t, ctypes.c_ssize_t,
                                 ctypes.c_ssize_t, ctypes.c_double, pointer, ctypes.c_ssize_t, ctypes.c_void_p)
    function = prototype(lambda *args: 0)                # never called: the graph is refused first
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype, new_capsule.argtypes = ctypes.py_object, (ctypes.c_void_p, ctypes.c_char_p,
                                                                   ctypes.c_void_p)
    name = MODEL_SIGNATURE.encode()
    capsule = new_capsule(ctypes.cast(function, ctypes.c_void_p).value, name, None)
    forms = {"ctypes": function, "capsule": capsule}
    try:
        from scipy import LowLevelCallable
    except ImportError:
        pass
    else:
        forms["LowLevelCallable"] = LowLevelCallable(capsule)
    return forms, (function, name)                       # the second item keeps the pointers valid


@pytest.mark.parametrize("kind", ["fx", "hx"])
@pytest.mark.parametrize("form", ["ctypes", "capsule", "LowLevelCallable"])
def test_a_model_that_cannot_be_pickled_is_refused_when_the_graph_is_built(kind, form):
    forms, _keep = _c_model_forms()
    if form not in forms:
        pytest.skip("scipy is not installed")
    x0s, P0, zs, Qs, Rs, dts = panel()
    models_ = {"fx": FX, "hx": HX, kind: forms[form]}
    with pytest.raises(TypeError, match=rf"^{kind} is a compiled model that cannot be pickled \(.+\); models "
                                        r"travel to the Dask workers, so use a built-in model"):
        vd.cubature_filter(x0s, P0, da.from_array(zs, chunks=(3, N, 2)), models_["fx"], models_["hx"], Qs, Rs)


# Shape errors: the Dask functions raise them when the graph is built, with the in-memory functions' words.
BAD_SHAPES = [
    (dict(x0s=np.zeros((8, n))), r"^x0s must have shape \(dim_x,\) or \(M, dim_x\) with M = 9; got \(8, 5\)$"),
    (dict(P0=np.eye(4)), r"^P0 must have shape \(5, 5\) or \(M, 5, 5\) with M = 9; got \(4, 4\)$"),
    (dict(Q=np.zeros((N, 9, 9))), r"^Q must have shape \(5, 5\), \(25, 5, 5\) per step, \(9, 5, 5\) per sequence"),
    (dict(R=np.ones((M, 3, 2, 2))), r"^R must have shape \(2, 2\), .* got \(9, 3, 2, 2\)$"),
    (dict(dts=np.ones((M, 2))), r"^dts must be one value, shape \(N,\) = \(25,\) or \(M, N\) = \(9, 25\); "
                                r"got \(9, 2\)$"),
    (dict(zs=np.zeros((M, M, 2)), Q=np.eye(n)[None].repeat(M, 0)),
     r"^Q of shape \(9, 5, 5\) is ambiguous with M = N = 9"),
    (dict(x0s=np.zeros((M, 4)), P0=1.0, Q=1.0), r"^fx .* takes states of 5 entries, but the filter's states have 4"),
    (dict(angle_states=[5]), r"^angle_states holds 5, outside -5..4"),
]


@pytest.mark.parametrize("bad, message", BAD_SHAPES)
def test_dask_checks_shapes_when_the_graph_is_built_as_the_in_memory_panel_does(bad, message):
    x0s, P0, zs, Qs, Rs, dts = panel()
    args = {**dict(x0s=x0s, P0=P0, zs=zs, fx=FX, hx=HX, Q=Qs, R=Rs, dts=dts), **bad}
    with pytest.raises(ValueError, match=message):
        cubature_filter(**args)
    with pytest.raises(ValueError, match=message):
        vd.cubature_filter(**{**args, "zs": da.from_array(args["zs"], chunks=(3, -1, -1))})


@pytest.mark.parametrize("bad, error, message", [
    (dict(square_root=1), TypeError, r"^square_root must be True or False, got int$"),
    (dict(fx="turn"), TypeError, r"^fx must be a model"),
    (dict(zs=da.from_array(np.zeros((M, N, 2)))[da.arange(M) > 3]), ValueError, r"^zs has chunks of unknown size"),
])
def test_dask_checks_flags_and_models_when_the_graph_is_built(bad, error, message):
    x0s, P0, zs, Qs, Rs, dts = panel()
    args = {**dict(x0s=x0s, P0=P0, zs=da.from_array(zs, chunks=(3, N, 2)), fx=FX, hx=HX, Q=Qs, R=Rs), **bad}
    with pytest.raises(error, match=message):
        vd.cubature_filter(**args)
