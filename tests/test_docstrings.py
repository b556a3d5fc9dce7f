"""Help texts: the published first paragraphs, the NumPy-style sections after
them, the examples (run as doctests against the module), the module's own
docstring and its version."""

import doctest
import importlib.metadata
import inspect
import re

import numpy as np
import pytest

import orbelin

# Each class with its number of attributes.
CLASSES = {"LambertSolutionArray": 15, "LambertBurnArray": 15, "LambertPorkchopArray": 11}
FUNCTIONS = [name for name in orbelin.__all__ if name not in CLASSES]

# First paragraphs fixed by the module's published interface.
PUBLISHED = {
    "LambertSolutionArray": "Python wrapper for LambertSolution that exposes all fields as arrays",
    "LambertBurnArray": "Python wrapper for Lambert burn solutions (with impulses)\n"
    "Replaces OptimizedLambertSolutionPy and OptimizedLambertSolutionArray",
    "kepler_universal_2body_py": "Python-accessible version of `kepler_universal_2body`",
    "optimize_lambert_transfer_py": "Python-accessible version of `optimize_lambert_transfer`",
    "compute_angular_vel_rad_p_sec": "Python function: Compute angular velocity from state vector(s)",
    "dcm_eci2ric": "Python function: Build DCM from ECI to RIC",
    "dcm_ric2eci": "Python function: Build DCM from RIC to ECI",
    "eci2ric_state": "Python function: Convert deputy ECI state to RIC relative state",
    "ric2eci_state": "Python function: Convert deputy RIC state to ECI relative state",
    "eci2ric_vec": "Python function: Rotate ECI vector(s) into RIC\n"
    "NOTE: These are raw ECI points being rotated, not points relative to the reference state.\n"
    "For relative state conversion, use eci2ric_state.",
    "ric2eci_vec": "Python function: Rotate RIC vector(s) into ECI\n"
    "NOTE: These are raw RIC points being rotated, not points relative to the reference state.\n"
    "For relative state conversion, use ric2eci_state.",
    "apply_ric_waypoint_offset": "Python function: Apply RIC waypoint offset to target state(s)\n"
    "ric_waypoint can be either [dr_r, dr_i, dr_c] (3 elements) or [dr_r, dr_i, dr_c, dv_r, dv_i, dv_c] (6 elements)\n"
    "If only 3 elements are provided, velocity offset is assumed to be zero",
    "compute_sun_state_jd": "Python wrapper for computing Sun's ECI position from Julian date(s)\n\n"
    "Approximates the Sun's ECI XYZ position vector for given Julian date(s).\nResults are in kilometers.\n\n"
    "# Arguments\n* `jd` - Julian date(s) as scalar f64 or array of f64 values\n\n"
    "# Returns\n* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.\n"
    "  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN).",
    "compute_sun_state_posix": "Python wrapper for computing Sun's ECI position from POSIX time(s)\n\n"
    "Approximates the Sun's ECI XYZ position vector for given POSIX time(s).\nResults are in kilometers.\n\n"
    "# Arguments\n* `posix` - POSIX time(s) in seconds since 1970-01-01 00:00:00 UTC as scalar f64 or array of f64 "
    "values\n\n"
    "# Returns\n* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.\n"
    "  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN).",
    "rv2coe": "Python function: Convert ECI state vector(s) to classical orbital elements",
    "coe2rv": "Python function: Convert classical orbital elements to ECI state vector(s)\n"
    "Angles are assumed to be in degrees by default (can be changed to radians by setting deg=False)",
}


def sections(doc):
    """{section title: body text} of a NumPy-style docstring."""
    parts = re.split(r"\n([A-Z][A-Za-z ]+)\n(-+)\n", "\n" + doc)
    found = {}
    for k in range(1, len(parts) - 2, 3):
        title, rule, body = parts[k], parts[k + 1], parts[k + 2]
        assert len(rule) == len(title), f"underline of {title!r}"
        found[title] = body
    return found


def documented_names(section_body):
    """Names at the start of the unindented 'name[, name] : type' lines of a section."""
    names = set()
    for line in section_body.split("\n"):
        if line and not line.startswith(" ") and " : " in line:
            names.update(n.strip() for n in line.split(" : ")[0].split(","))
    return names


@pytest.mark.parametrize("name", sorted(PUBLISHED))
def test_published_text_is_the_first_paragraph(name):
    doc = getattr(orbelin, name).__doc__
    assert doc.startswith(PUBLISHED[name] + "\n\n")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_keep_the_text_signature(name):
    # The signature block stays in front of the help text, so inspect still reads it.
    fn = getattr(orbelin, name)
    assert fn.__text_signature__.startswith("(")
    assert list(inspect.signature(fn).parameters)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_parameter_is_documented_with_its_default(name):
    fn = getattr(orbelin, name)
    found = sections(fn.__doc__)
    assert {"Parameters", "Returns", "Raises", "Examples"} <= found.keys(), found.keys()
    params = inspect.signature(fn).parameters
    assert documented_names(found["Parameters"]) == set(params)
    for p in params.values():
        line = next(line for line in found["Parameters"].split("\n")
                    if re.match(rf"^(\w+, )*{p.name}(, \w+)* : ", line))
        assert ("default" in line) == (p.default is not inspect.Parameter.empty), line


@pytest.mark.parametrize("name", CLASSES)
def test_class_attributes_are_documented(name):
    cls = getattr(orbelin, name)
    found = sections(cls.__doc__)
    attributes = {n for n, v in vars(cls).items() if inspect.isdatadescriptor(v) and not n.startswith("_")}
    assert len(attributes) == CLASSES[name]
    assert documented_names(found["Attributes"]) == attributes


@pytest.mark.parametrize("name", ["__module__"] + orbelin.__all__)
def test_examples_run(name):
    obj = orbelin if name == "__module__" else getattr(orbelin, name)
    test = doctest.DocTestParser().get_doctest(obj.__doc__, {}, name, None, 0)
    if name != "__module__":
        assert test.examples, f"{name} has no example"
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    with np.printoptions(legacy=False):
        runner.run(test)
    assert runner.failures == 0


def test_module_docstring_lists_every_function():
    doc = orbelin.__doc__
    assert doc.startswith("Fast astrodynamics over NumPy arrays.\n")
    listed = set(re.findall(r"\b[a-z][a-z0-9_]+\b", doc))
    assert set(FUNCTIONS) <= listed, set(FUNCTIONS) - listed


def test_version_is_the_distribution_version():
    assert orbelin.__version__ == importlib.metadata.version("orbelin")
    assert "__version__" not in orbelin.__all__
