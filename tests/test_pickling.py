"""Result objects pickle and copy: every field array comes back with its
dtype, shape and bits; deep copies own their arrays; results cross process
boundaries (ProcessPoolExecutor, forkserver and spawn). The class still has no
constructor, and the reconstructor stays out of __all__."""

import copy
import multiprocessing
import pickle
import tracemalloc
import types
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import orbelin


def _positions(seed, shape):
    rng = np.random.default_rng(seed)
    d = rng.normal(size=shape + (3,))
    return rng.uniform(6700.0, 42000.0, shape)[..., None] * d / np.linalg.norm(d, axis=-1, keepdims=True)


def _solve(seed):
    # Two batch axes, a time axis and up to five solutions per case, so that
    # some slots keep their fill values (NaN, 0, False).
    return orbelin.lambert_izzo_vec(_positions(seed, (2, 3)), _positions(seed + 1, (2, 3)), [4000.0, 40000.0], 2,
                                    False)


def field_names(result):
    return [name for name, member in vars(type(result)).items() if isinstance(member, types.MemberDescriptorType)]


def assert_same_fields(a, b):
    assert type(a) is type(b)
    names = field_names(a)
    assert len(names) == 15
    for name in names:
        x, y = getattr(a, name), getattr(b, name)
        assert isinstance(y, np.ndarray), name
        assert (x.dtype, x.shape) == (y.dtype, y.shape), name
        assert x.tobytes() == y.tobytes(), name


@pytest.fixture(scope="module")
def result():
    r = _solve(5)
    assert r.v1.shape[:3] == (2, 3, 2) and r.v1.shape[3] >= 3
    assert np.isnan(r.sma).any() and not np.isnan(r.sma).all()
    return r


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_every_field(result, protocol):
    restored = pickle.loads(pickle.dumps(result, protocol=protocol))
    assert_same_fields(result, restored)
    assert repr(restored) == repr(result)
    assert not np.shares_memory(restored.v1, result.v1)


def test_a_pickle_names_the_class_and_the_reconstructor_of_module_orbelin(result):
    text = pickle.dumps(result, protocol=0)
    assert text.startswith(b"corbelin\n_rebuild_result\n")
    assert b"corbelin\nLambertSolutionArray\n" in text


def test_deepcopy_copies_the_arrays(result):
    twin = copy.deepcopy(result)
    assert_same_fields(result, twin)
    for name in field_names(result):
        assert not np.shares_memory(getattr(twin, name), getattr(result, name)), name
    before = result.sma.copy()
    twin.sma[...] = -1.0
    np.testing.assert_array_equal(result.sma, before)


def test_copy_makes_a_new_object_over_the_same_arrays(result):
    twin = copy.copy(result)
    assert twin is not result
    assert type(twin) is type(result)
    for name in field_names(result):
        assert getattr(twin, name) is getattr(result, name), name


def test_the_class_still_has_no_constructor():
    cls = orbelin.LambertSolutionArray
    for make in (cls, lambda: cls.__new__(cls)):
        with pytest.raises(TypeError) as info:
            make()
        assert str(info.value) == "No constructor defined"


def test_the_reconstructor_is_private():
    assert "_rebuild_result" not in orbelin.__all__
    assert orbelin._rebuild_result.__module__ == "orbelin"
    assert orbelin._rebuild_result.__text_signature__ == "(cls, fields)"


def test_the_reconstructor_refuses_what_no_result_holds(result):
    fields = tuple(getattr(result, name) for name in field_names(result))
    cases = [
        ((dict, fields), "cls must be a result class of orbelin, got <class 'dict'>"),
        ((orbelin.LambertSolutionArray, list(fields)), "fields must be a tuple, got 'list'"),
        ((orbelin.LambertSolutionArray, fields[:14]), "LambertSolutionArray has 15 fields, got 14"),
        ((orbelin.LambertSolutionArray, fields[:3] + (3.0,) + fields[4:]),
         "field 'num_revs' of LambertSolutionArray must be a NumPy array, got 'float'"),
    ]
    for args, message in cases:
        with pytest.raises(TypeError) as info:
            orbelin._rebuild_result(*args)
        assert str(info.value) == message
    assert_same_fields(result, orbelin._rebuild_result(orbelin.LambertSolutionArray, fields))


# Not "fork": this process runs the module's workers, and since 3.12 Python warns that forking a process with threads
# may deadlock the child. What a forked child of the module does is tested in test_module; here only the crossing
# matters, and the forkserver forks its children from a process without threads.
START_METHODS = ["forkserver", "spawn"]


@pytest.mark.parametrize("method", START_METHODS)
def test_results_cross_a_process_pool(result, method):
    context = multiprocessing.get_context(method)
    with ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        # Solved in the children and sent back ...
        solved = list(pool.map(_solve, [5, 6, 7]))
        # ... and sent to a child, restored there, then sent back again.
        echoed = pool.submit(copy.deepcopy, result).result()
    assert_same_fields(result, solved[0])
    assert_same_fields(_solve(7), solved[2])
    assert_same_fields(result, echoed)


def _burns(step):
    # A grid scan without arrival burns: dv2 rows are NaN, the elements finite.
    mu = 398600.4418
    source = np.array([6778.0, 0.0, 0.0, 0.0, np.sqrt(mu / 6778.0), 0.0])
    target = np.array([0.0, 6878.0, 0.0, -np.sqrt(mu / 6878.0), 0.0, 0.0])
    return orbelin.lambert_grid_search(source, target, (0.0, 3000.0), step, rendezvous=False)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_burn_results_pickle_and_copy(protocol):
    burns = _burns(500.0)
    assert burns.t0.size > 0 and np.isnan(burns.dv2).all()
    restored = pickle.loads(pickle.dumps(burns, protocol=protocol))
    assert_same_fields(burns, restored)
    assert repr(restored) == repr(burns)
    twin = copy.deepcopy(burns)
    assert_same_fields(burns, twin)
    assert not np.shares_memory(twin.cost, burns.cost)


def test_burn_results_come_back_from_a_process_pool():
    with ProcessPoolExecutor(max_workers=2, mp_context=multiprocessing.get_context("spawn")) as pool:
        solved = list(pool.map(_burns, [500.0, 750.0]))
    assert_same_fields(_burns(500.0), solved[0])
    assert_same_fields(_burns(750.0), solved[1])


class _Forged:
    """Pickles as a result would, with fields of the test's choosing."""

    def __init__(self, cls, fields):
        self.args = (cls, fields)

    def __reduce__(self):
        return orbelin._rebuild_result, self.args


def _fields(result, **changes):
    return tuple(changes.get(name, getattr(result, name)) for name in field_names(result))


# (result, field, change, error, message template): {got} is the changed field's shape or dtype, {slots} the shape
# of a scalar field of the result.
TAMPERED = [
    ("solutions", "num_revs", lambda a: a.astype(np.float64), TypeError,
     "field 'num_revs' of LambertSolutionArray must be an array of uint64, got float64"),
    ("solutions", "retrograde", lambda a: a.view(np.uint8), TypeError,
     "field 'retrograde' of LambertSolutionArray must be an array of bool, got uint8"),
    ("solutions", "path_flag", lambda a: a.astype(np.int64), TypeError,
     "field 'path_flag' of LambertSolutionArray must be an array of uint64, got int64"),
    ("solutions", "v1", lambda a: a[..., :2], ValueError,
     "field 'v1' of LambertSolutionArray must have shape (..., K, 3), got {got}"),
    ("solutions", "v1", lambda a: a[0, 0, 0, 0], ValueError,
     "field 'v1' of LambertSolutionArray must have shape (..., K, 3), got (3,)"),
    ("solutions", "v2", lambda a: a[:, :, :, :2], ValueError,
     "field 'v2' of LambertSolutionArray must have shape {slots3} like field 'v1', got {got}"),
    ("solutions", "sma", lambda a: a[..., None], ValueError,
     "field 'sma' of LambertSolutionArray must have shape {slots} like field 'v1', got {got}"),
    ("burns", "dv2", lambda a: a.astype(np.float32), TypeError,
     "field 'dv2' of LambertBurnArray must be an array of float64, got float32"),
    ("burns", "t0", lambda a: a[None], ValueError,
     "field 't0' of LambertBurnArray must have shape (n,), got {got}"),
    ("burns", "cost", lambda a: a[:-1], ValueError,
     "field 'cost' of LambertBurnArray must have shape {slots} like field 't0', got {got}"),
    ("burns", "dv1", lambda a: a.reshape(-1), ValueError,
     "field 'dv1' of LambertBurnArray must have shape {slots3} like field 't0', got {got}"),
]


@pytest.mark.parametrize("which, name, change, error, template", TAMPERED,
                         ids=[f"{t[0]}-{t[1]}-{t[3].__name__}-{i}" for i, t in enumerate(TAMPERED)])
def test_a_tampered_pickle_is_refused(result, which, name, change, error, template):
    real = result if which == "solutions" else _burns(500.0)
    changed = change(getattr(real, name))
    slots = real.tof.shape
    message = template.format(got=changed.dtype if error is TypeError else changed.shape, slots=slots,
                              slots3=slots + (3,))
    data = pickle.dumps(_Forged(type(real), _fields(real, **{name: changed})))
    with pytest.raises(error) as info:
        pickle.loads(data)
    assert str(info.value) == message
    # The untouched fields load.
    assert_same_fields(real, pickle.loads(pickle.dumps(_Forged(type(real), _fields(real)))))


@pytest.mark.parametrize("layout, n", [("stride-0", 10**8), ("reversed", 10**6), ("every-second", 10**6)])
def test_repr_reads_the_cost_field_in_place(layout, n):
    # Every other field is one value at stride 0; copying the cost field would take 8 n bytes.
    fields = {name: np.broadcast_to(np.float64(0.25), (n, 3) if name.startswith("dv") else (n,))
              for name in field_names(_burns(500.0))}
    if layout != "stride-0":
        values = np.arange(1.0, 2 * n + 1.0) * 0.25
        fields["cost"] = values[n:][::-1] if layout == "reversed" else values[::2]
    burns = orbelin._rebuild_result(orbelin.LambertBurnArray, tuple(fields.values()))
    tracemalloc.start()
    text = repr(burns)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 2**20
    cost = fields["cost"]
    assert text.splitlines()[4] == (f"               cost: [{n}] (min={cost.min():.6f}, max={cost.max():.6f}, "
                                    f"avg={cost.mean():.6f} km/s)")


def _fault():
    r1 = np.array([7000.0, 0.0, 0.0])
    r2 = np.array([0.0, 7000.0, 0.0])
    return orbelin.lambert_izzo_single(r1, r2, 3600.0, 0, False, mu=0.0)


@pytest.mark.parametrize("method", START_METHODS)
def test_an_internal_fault_crosses_a_process_pool_with_its_message(method):
    with pytest.raises(BaseException) as here:
        _fault()
    with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context(method)) as pool:
        with pytest.raises(BaseException) as there:
            pool.submit(_fault).result()
    # The same class (still no module attribute, still past `except Exception`) and the same text.
    assert type(there.value) is type(here.value)
    assert type(here.value).__name__ == "PanicException" and not hasattr(orbelin, "PanicException")
    assert not isinstance(there.value, Exception)
    assert str(there.value) == str(here.value) == "Gravity parameter mu must be positive, got: 0"
    assert "_rebuild_panic" not in orbelin.__all__
