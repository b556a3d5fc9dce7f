"""The type stubs (package orbelin-stubs, installed beside the extension):
written by the build from the module, with the module's help texts word for
word and the module's parameters and defaults. mypy's stubtest and a strict
mypy run of tests/typing/usage.py check the rest in the test command."""

import ast
import importlib.util
import inspect
import pathlib
import runpy

import numpy as np
import pandas as pd
import pytest

import orbelin

ROOT = pathlib.Path(__file__).resolve().parent.parent
INSTALLED_STUB = pathlib.Path(orbelin.__file__).parent / "orbelin-stubs" / "__init__.pyi"


def load_stubgen():
    spec = importlib.util.spec_from_file_location("stubgen", ROOT / "stubs" / "stubgen.py")
    stubgen = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stubgen)
    return stubgen


# What the build writes for the module under test. A module run from a build directory that installs no stubs
# (the sanitizer build) is checked against the generator's text directly.
GENERATED = load_stubgen().stub_text(orbelin)
TREE = ast.parse(INSTALLED_STUB.read_text() if INSTALLED_STUB.exists() else GENERATED)
STUB_FUNCTIONS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}
STUB_CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}


def stub_docstrings():
    """(dotted name, stub docstring, runtime object) of every documented stub entry."""
    yield "orbelin", ast.get_docstring(TREE), orbelin
    for name, node in STUB_CLASSES.items():
        cls = getattr(orbelin, name)
        yield name, ast.get_docstring(node), cls
        for member in node.body:
            if isinstance(member, ast.FunctionDef):
                yield f"{name}.{member.name}", ast.get_docstring(member), getattr(cls, member.name)
    for name, node in STUB_FUNCTIONS.items():
        yield name, ast.get_docstring(node), getattr(orbelin, name)


DOCSTRINGS = list(stub_docstrings())


def test_the_wheel_installs_this_checkouts_stubs():
    assert INSTALLED_STUB.read_text() == GENERATED
    assert {n.name for n in TREE.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))} == set(orbelin.__all__)


@pytest.mark.parametrize("name, stub_doc, obj", DOCSTRINGS, ids=[d[0] for d in DOCSTRINGS])
def test_stub_docstring_is_the_modules(name, stub_doc, obj):
    assert stub_doc == obj.__doc__


@pytest.mark.parametrize("phrase", ["complex", "ndarray of int32, shape (3,)", "float or None or str"])
def test_the_generator_refuses_an_undocumented_type(phrase):
    with pytest.raises(SystemExit, match="no annotation"):
        load_stubgen().annotation(phrase, "f(x)")


def documented_default(fn, param):
    """The value after 'default' on the parameter's line of the help text."""
    for line in fn.__doc__.split("\n"):
        head, _, tail = line.partition(" : ")
        if tail and param in [n.strip() for n in head.split(",")] and ", default " in tail:
            return ast.literal_eval(tail.split(", default ")[1])
    raise AssertionError(f"{fn.__name__}: no default documented for {param}")


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_stub_parameters_and_defaults_match_the_module(name):
    node = STUB_FUNCTIONS[name]
    fn = getattr(orbelin, name)
    runtime = inspect.signature(fn).parameters
    args = node.args
    assert [a.arg for a in args.args] == list(runtime)
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    optional = [a.arg for a in args.args[len(args.args) - len(args.defaults):]]
    assert optional == [p for p, v in runtime.items() if v.default is not inspect.Parameter.empty]
    for param, default in zip(optional, args.defaults):
        assert ast.literal_eval(default) == documented_default(fn, param), param


# Required arguments of every function, small enough to run fast.
MU = 398600.4418
LEO = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(MU / 7000.0), 0.0])
GEO = np.array([0.0, 42164.0, 0.0, -np.sqrt(MU / 42164.0), 0.0, 0.0])
R1 = np.array([5000.0, 10000.0, 2100.0])
R2 = np.array([-14600.0, 2500.0, 7000.0])
WINDOW = (0.0, 30000.0)
REQUIRED = {
    "lambert_izzo_single": (R1, R2, 86400.0, 1, False),
    "lambert_izzo_vec": (np.stack([R1, R2]), np.stack([R2, R1]), [3600.0, 86400.0], 1, False),
    "lambert_izzo_vec_dv": (np.stack([LEO, GEO]), np.stack([GEO, LEO]), [19000.0, 50000.0], 1, False),
    "lambert_izzo_best_dv": (np.stack([LEO, GEO]), np.stack([GEO, LEO]), [19000.0, 50000.0], 1),
    "lambert_izzo_jacobian": (np.stack([R1, R2]), np.stack([R2, R1]), [3600.0, 86400.0], 1, False),
    "kepler_universal_2body_py": (LEO, 1000.0),
    "kepler_universal_2body_vec": (np.stack([LEO, GEO]), np.array([600.0, 1200.0])),
    "optimize_lambert_transfer_py": (LEO, GEO, WINDOW, 3000.0),
    "optimize_lambert_transfer_grid_py": (LEO, GEO, WINDOW, 3000.0),
    "lambert_grid_search": (LEO, GEO, WINDOW, 3000.0),
    "lambert_porkchop": (np.stack([LEO, LEO]), np.stack([GEO] * 3), np.array([0.0, 600.0]),
                         np.array([9000.0, 19000.0, 30000.0])),
    "optimize_lambert_nm_py": (LEO, GEO, WINDOW, 0, True),
    "optimize_lambert_nm_multi_py": (LEO, GEO, WINDOW, 0, True, 4, False),
    "optimize_lambert_nm_multi_array": (LEO, np.stack([GEO, -GEO]), WINDOW, 0, True, 4, False),
    "optimize_lambert_nm_multi_sunline_py": (LEO, GEO, WINDOW, 0, True, 4, False, 10.0, 946728000.0),
    "rv2coe": (np.stack([LEO, GEO, LEO + 0.5]),),
    "coe2rv": (np.array([[8000.0, 0.1, 30.0, 40.0, 50.0, 60.0], [7000.0, 0.0, 0.0, 0.0, 0.0, 1.0]]),),
}


def result_arrays(result):
    if isinstance(result, (orbelin.LambertSolutionArray, orbelin.LambertBurnArray, orbelin.LambertPorkchopArray)):
        return [v.__get__(result) for n, v in vars(type(result)).items()
                if inspect.isdatadescriptor(v) and not n.startswith("_")]
    if isinstance(result, pd.DataFrame):
        return [result.to_numpy(dtype=float)]
    if isinstance(result, tuple):
        return list(result)
    return [result]


@pytest.mark.parametrize("name", sorted(set(REQUIRED) & set(STUB_FUNCTIONS)))
def test_stub_defaults_are_the_modules(name):
    # Passing the stub's defaults explicitly gives exactly what omitting them gives.
    node = STUB_FUNCTIONS[name]
    optional = node.args.args[len(node.args.args) - len(node.args.defaults):]
    defaults = {a.arg: ast.literal_eval(d) for a, d in zip(optional, node.args.defaults)}
    assert defaults
    fn = getattr(orbelin, name)
    implicit = result_arrays(fn(*REQUIRED[name]))
    explicit = result_arrays(fn(*REQUIRED[name], **defaults))
    assert len(implicit) == len(explicit)
    for a, b in zip(implicit, explicit):
        np.testing.assert_array_equal(a, b)


def test_typed_usage_runs():
    runpy.run_path(str(ROOT / "tests" / "typing" / "usage.py"))


ONE_CASE = {
    "compute_angular_vel_rad_p_sec": (np.stack([LEO, GEO]),),
    "dcm_eci2ric": (np.stack([LEO, GEO]),),
    "dcm_ric2eci": (LEO,),
    "eci2ric_state": (GEO, LEO),
    "ric2eci_state": (np.stack([GEO, LEO]), LEO),
    "eci2ric_vec": (R1, LEO),
    "ric2eci_vec": (np.stack([R1, R2]), LEO),
    "apply_ric_waypoint_offset": (GEO, np.array([0.0, -2.0, 0.0])),
    "compute_sun_state_jd": ([2451545.0, 2451636.0],),
    "compute_sun_state_posix": (946728000.0,),
}
ALIASES = {n.targets[0].id: n.value for n in TREE.body
           if isinstance(n, ast.Assign) and isinstance(n.targets[0], ast.Name) and n.targets[0].id.startswith("_")}


def check_type(value, annotation):
    """Asserts that value has the type that the stub's annotation names."""
    text = ast.unparse(annotation)
    if text in ALIASES:
        return check_type(value, ALIASES[text])
    dtypes = {"NDArray[np.float64]": np.float64, "NDArray[np.uint64]": np.uint64, "NDArray[np.int64]": np.int64,
              "NDArray[np.bool_]": np.bool_}
    if text in dtypes:
        assert isinstance(value, np.ndarray) and value.dtype == dtypes[text], (text, type(value))
    elif text in ("LambertSolutionArray", "LambertBurnArray", "LambertPorkchopArray"):
        assert type(value) is getattr(orbelin, text)
    elif isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "tuple":
        items = annotation.slice.elts
        assert isinstance(value, tuple) and len(value) == len(items)
        for v, a in zip(value, items):
            check_type(v, a)
    else:
        assert text == "Any", f"no check for {text}"


@pytest.mark.parametrize("name", sorted(STUB_FUNCTIONS))
def test_results_have_the_stub_types(name):
    args = REQUIRED.get(name) or ONE_CASE[name]
    result = getattr(orbelin, name)(*args)
    check_type(result, STUB_FUNCTIONS[name].returns)
    if type(result).__name__ in STUB_CLASSES:
        for member in STUB_CLASSES[type(result).__name__].body:
            if isinstance(member, ast.FunctionDef):
                check_type(getattr(result, member.name), member.returns)
