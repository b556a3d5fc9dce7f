"""Analytic Sun position through compute_sun_state_jd and compute_sun_state_posix."""

import inspect

import numpy as np
import pytest

import orbelin

AU_KM = 149597870.7
J2000 = 2451545.0

JD_DOC = (
    "Python wrapper for computing Sun's ECI position from Julian date(s)\n"
    "\n"
    "Approximates the Sun's ECI XYZ position vector for given Julian date(s).\n"
    "Results are in kilometers.\n"
    "\n"
    "# Arguments\n"
    "* `jd` - Julian date(s) as scalar f64 or array of f64 values\n"
    "\n"
    "# Returns\n"
    "* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.\n"
    "  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN)."
)

POSIX_DOC = (
    "Python wrapper for computing Sun's ECI position from POSIX time(s)\n"
    "\n"
    "Approximates the Sun's ECI XYZ position vector for given POSIX time(s).\n"
    "Results are in kilometers.\n"
    "\n"
    "# Arguments\n"
    "* `posix` - POSIX time(s) in seconds since 1970-01-01 00:00:00 UTC as scalar f64 or array of f64 values\n"
    "\n"
    "# Returns\n"
    "* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.\n"
    "  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN)."
)


def almanac_sun(jd):
    """Low-precision solar coordinates of the Astronomical Almanac (section C),
    quoted to about 0.01 deg between 1950 and 2050: unit vector in the mean
    equator frame of date and the distance in AU."""
    n = np.asarray(jd) - J2000
    mean_longitude = 280.460 + 0.9856474 * n
    g = np.radians(357.528 + 0.9856003 * n)
    lam = np.radians(mean_longitude + 1.915 * np.sin(g) + 0.020 * np.sin(2.0 * g))
    eps = np.radians(23.439 - 0.0000004 * n)
    direction = np.stack([np.cos(lam), np.cos(eps) * np.sin(lam), np.sin(eps) * np.sin(lam)], axis=-1)
    distance = 1.00014 - 0.01671 * np.cos(g) - 0.00014 * np.cos(2.0 * g)
    return direction, distance, eps


def ecliptic_longitude_deg(row, eps):
    """Ecliptic longitude of an equatorial position, in [0, 360)."""
    x, y, z = row[:3]
    return np.degrees(np.arctan2(y * np.cos(eps) + z * np.sin(eps), x)) % 360.0


def test_distance_at_j2000():
    rows = orbelin.compute_sun_state_jd(J2000)
    assert rows.shape == (1, 6)
    distance_au = np.linalg.norm(rows[0, :3]) / AU_KM
    assert 0.983 < distance_au < 1.017
    # Three days before perihelion the Earth is 0.9833 AU from the Sun.
    assert abs(distance_au - 0.9833) < 2e-4


def test_direction_matches_the_almanac_over_1950_to_2050():
    jd = np.linspace(2433282.5, 2469807.5, 1201)  # 1950-01-01 to 2050-01-01
    rows = orbelin.compute_sun_state_jd(jd)
    assert rows.shape == (jd.size, 6)
    direction, distance, _ = almanac_sun(jd)
    unit = rows[:, :3] / np.linalg.norm(rows[:, :3], axis=1, keepdims=True)
    angle = np.degrees(np.arccos(np.clip(np.sum(unit * direction, axis=1), -1.0, 1.0)))
    assert angle.max() < 0.01
    np.testing.assert_allclose(np.linalg.norm(rows[:, :3], axis=1) / AU_KM, distance, rtol=0, atol=1e-4)


@pytest.mark.parametrize(
    "jd, longitude_deg",
    [
        (2451623.8160, 0.0),  # March equinox 2000-03-20 07:35 UTC
        (2451716.5750, 90.0),  # June solstice 2000-06-21 01:48 UTC
        (2451810.2271, 180.0),  # September equinox 2000-09-22 17:27 UTC
        (2451900.0674, 270.0),  # December solstice 2000-12-21 13:37 UTC
    ],
)
def test_equinoxes_and_solstices_of_2000(jd, longitude_deg):
    row = orbelin.compute_sun_state_jd(jd)[0]
    _, _, eps = almanac_sun(jd)
    difference = (ecliptic_longitude_deg(row, eps) - longitude_deg + 180.0) % 360.0 - 180.0
    assert abs(difference) < 0.02
    declination = np.degrees(np.arcsin(row[2] / np.linalg.norm(row[:3])))
    expected = np.degrees(np.arcsin(np.sin(eps) * np.sin(np.radians(longitude_deg))))
    assert abs(declination - expected) < 0.02


def test_z_is_positive_on_the_northern_half_of_the_ecliptic():
    jd = np.linspace(2451545.0, 2451545.0 + 3 * 365.25, 500)
    rows = orbelin.compute_sun_state_jd(jd)
    _, _, eps = almanac_sun(jd)
    longitude = np.array([ecliptic_longitude_deg(row, e) for row, e in zip(rows, eps)])
    away_from_nodes = np.abs(((longitude + 90.0) % 180.0) - 90.0) > 0.1
    north = (longitude > 0.0) & (longitude < 180.0)
    assert np.all((rows[:, 2] > 0.0)[away_from_nodes] == north[away_from_nodes])


def test_posix_epoch_of_j2000_matches_julian_date():
    # 2000-01-01 12:00:00 UTC is Julian date 2451545.0.
    np.testing.assert_array_equal(orbelin.compute_sun_state_posix(946728000.0), orbelin.compute_sun_state_jd(J2000))


def test_posix_array_matches_julian_dates():
    posix = np.array([0.0, 946728000.0, 1700000000.0])
    jd = posix / 86400.0 + 2440587.5
    np.testing.assert_allclose(orbelin.compute_sun_state_posix(posix), orbelin.compute_sun_state_jd(jd),
                               rtol=1e-12, equal_nan=True)


@pytest.mark.parametrize("fn, value", [(orbelin.compute_sun_state_jd, J2000),
                                        (orbelin.compute_sun_state_posix, 946728000.0)])
def test_velocity_columns_are_nan(fn, value):
    rows = fn(np.array([value, value + 10.0]))
    assert np.all(np.isnan(rows[:, 3:]))
    assert np.all(np.isfinite(rows[:, :3]))


def test_list_of_floats_gives_rows_in_input_order():
    rows = orbelin.compute_sun_state_jd([2451545.0, 2451636.0])
    assert rows.shape == (2, 6)
    np.testing.assert_array_equal(rows[0], orbelin.compute_sun_state_jd(2451545.0)[0])
    np.testing.assert_array_equal(rows[1], orbelin.compute_sun_state_jd(2451636.0)[0])
    assert not np.allclose(rows[0, :3], rows[1, :3])


@pytest.mark.parametrize(
    "value",
    [2451545, np.float64(2451545.0), np.float32(2451545.0), np.int64(2451545), np.array(2451545.0),
     np.array([2451545.0]), np.array([[2451545.0]]), (2451545.0,)],
    ids=["int", "float64", "float32-scalar", "int64-scalar", "0d", "1-element", "1x1", "tuple"],
)
def test_single_values_give_one_row(value):
    rows = orbelin.compute_sun_state_jd(value)
    assert rows.shape == (1, 6)
    np.testing.assert_array_equal(rows, orbelin.compute_sun_state_jd(2451545.0))


@pytest.mark.parametrize("fn", [orbelin.compute_sun_state_jd, orbelin.compute_sun_state_posix])
@pytest.mark.parametrize("value", [[2451545, 2451636], np.array([1.0, 2.0], dtype=np.float32),
                                   np.array([1, 2], dtype=np.int32)])
def test_other_dtypes_are_refused(fn, value):
    with pytest.raises(TypeError) as info:
        fn(value)
    assert str(info.value) == f"type mismatch:\n from={np.asarray(value).dtype}, to=float64"


@pytest.mark.parametrize(
    "fn, value, message",
    [
        (orbelin.compute_sun_state_jd, np.zeros((2, 1)), "Julian date array must be 1D, got 2D"),
        (orbelin.compute_sun_state_jd, [[1.0, 2.0], [3.0, 4.0]], "Julian date array must be 1D, got 2D"),
        (orbelin.compute_sun_state_jd, np.zeros((2, 1, 2)), "Julian date array must be 1D, got 3D"),
        (orbelin.compute_sun_state_jd, [], "Julian date input cannot be empty"),
        (orbelin.compute_sun_state_jd, np.zeros(0), "Julian date input cannot be empty"),
        (orbelin.compute_sun_state_posix, np.zeros((2, 1)), "POSIX time array must be 1D, got 2D"),
        (orbelin.compute_sun_state_posix, [], "POSIX time input cannot be empty"),
    ],
)
def test_value_errors(fn, value, message):
    with pytest.raises(ValueError) as info:
        fn(value)
    assert str(info.value) == message


def test_nan_dates_give_nan_rows():
    rows = orbelin.compute_sun_state_jd([float("nan"), J2000])
    assert np.all(np.isnan(rows[0]))
    assert np.all(np.isfinite(rows[1, :3]))


def test_result_array_properties():
    jd = np.array([J2000, J2000 + 1.0])
    kept = jd.copy()
    rows = orbelin.compute_sun_state_jd(jd)
    assert rows.dtype == np.float64
    assert rows.flags.c_contiguous and rows.flags.writeable and rows.flags.owndata
    rows[:] = 0.0
    np.testing.assert_array_equal(jd, kept)


def test_strided_dates_are_read_in_order():
    jd = np.array([J2000, 0.0, J2000 + 100.0, 0.0])[::2]
    np.testing.assert_array_equal(orbelin.compute_sun_state_jd(jd),
                                  orbelin.compute_sun_state_jd([J2000, J2000 + 100.0]))


@pytest.mark.parametrize("fn, name, doc", [(orbelin.compute_sun_state_jd, "jd", JD_DOC),
                                            (orbelin.compute_sun_state_posix, "posix", POSIX_DOC)])
def test_docstrings_and_signatures(fn, name, doc):
    assert fn.__doc__.startswith(doc + "\n\n")
    assert fn.__text_signature__ == f"({name})"
    assert list(inspect.signature(fn).parameters) == [name]


@pytest.mark.parametrize("fn, name", [(orbelin.compute_sun_state_jd, "jd"),
                                       (orbelin.compute_sun_state_posix, "posix")])
def test_missing_argument(fn, name):
    with pytest.raises(TypeError) as info:
        fn()
    assert str(info.value) == f"{fn.__name__}() missing 1 required positional argument: '{name}'"


def test_keyword_arguments():
    np.testing.assert_array_equal(orbelin.compute_sun_state_jd(jd=J2000),
                                  orbelin.compute_sun_state_posix(posix=946728000.0))
