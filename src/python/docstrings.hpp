#pragma once
// The help texts of the module, its functions and its two classes. Each is the text that follows a function's
// signature block (binder.cpp writes "name(params)\n--\n\n" in front of it). The first paragraph of several texts
// is fixed by the module's published interface and must stay as it is; the NumPy-style sections follow it. The
// build writes the type stubs from these texts (stubs/stubgen.py): the types and defaults of the stubs are read from
// the "name : type, default value" lines of the Parameters, Returns and Attributes sections. tests/test_docstrings.py
// runs every example below as a doctest.

namespace orbelin::py::doc {

inline constexpr const char* module = R"doc(Fast astrodynamics over NumPy arrays.

orbelin is a C++20 extension module for mission analysis and rendezvous
work: Izzo's Lambert solver (single and multi-revolution), delta-v budgets,
classical orbital elements, universal-variable Kepler propagation, an
analytic Sun position, conversions between the inertial frame (ECI) and the
radial / in-track / cross-track frame (RIC) of a reference orbit, and
optimisers of two-impulse transfers (grid scans and multi-start Nelder-Mead).

Units are kilometres, seconds and km/s; ``mu`` defaults to the Earth's
gravitational parameter, 398600.4418 km^3/s^2. Array arguments must be
NumPy ``float64`` arrays (no conversion from lists or other dtypes). The
batch functions spread their cases over a pool of worker threads.

Lambert solving
    lambert_izzo_single   one problem, every solution (LambertSolutionArray)
    lambert_izzo_vec      batches of problems (LambertSolutionArray)
    lambert_izzo_vec_dv   delta-v of every solution, batches of state pairs
    lambert_izzo_best_dv  cheapest delta-v of both directions, batches
    lambert_izzo_jacobian d(v1, v2)/d(r1, r2, tof) of every solution, batches
Orbital elements
    rv2coe, coe2rv        states <-> classical elements, batches
Propagation
    kepler_universal_2body_py   one state over one interval
    kepler_universal_2body_vec  batches of states and intervals
Sun position
    compute_sun_state_jd, compute_sun_state_posix
RIC frame (batches, one reference may serve many inputs)
    dcm_eci2ric, dcm_ric2eci, eci2ric_vec, ric2eci_vec,
    eci2ric_state, ric2eci_state, apply_ric_waypoint_offset,
    compute_angular_vel_rad_p_sec
Transfer optimisation (one source and one target state; LambertBurnArray)
    lambert_grid_search, optimize_lambert_transfer_py,
    optimize_lambert_transfer_grid_py, optimize_lambert_nm_py,
    optimize_lambert_nm_multi_py, optimize_lambert_nm_multi_sunline_py,
    optimize_lambert_nm_multi_array (batches of states, a pandas DataFrame)
Porkchop scans (departure dates x arrival dates; LambertPorkchopArray)
    lambert_porkchop

Errors: argument problems raise TypeError naming the argument, bad shapes
and empty inputs raise ValueError, and a violated internal expectation
(such as a non-positive mu reaching the Lambert solver) raises
PanicException, which derives from BaseException, not Exception.)doc";

// ---------------------------------------------------------------------------------------------------------------
// Result classes.

inline constexpr const char* lambert_solution_array =
    R"doc(Python wrapper for LambertSolution that exposes all fields as arrays

Every Lambert solution of a call, one slot per solution, as fifteen
NumPy arrays. Instances come from lambert_izzo_single and
lambert_izzo_vec only; the class has no constructor.

Slots: a case (one position pair with one time of flight) yields the direct
arc first, then a left-branch (path_flag 1) and a right-branch (path_flag 0)
arc for each feasible number of revolutions up to max_rev. With S the shape
of the scalar attributes, S is (K,) for lambert_izzo_single and for
lambert_izzo_vec it is the batch axes of r1, then T if T >= 2 times of
flight were given, then K, the largest number of solutions of any case.
Slots that a case does not fill hold NaN, 0 or False.

Attributes
----------
v1, v2 : ndarray of float64, shape S + (3,)
    Velocities on the transfer arc at r1 and at r2, km/s.
tof : ndarray of float64, shape S
    Time of flight of each solution, s.
num_revs : ndarray of uint64, shape S
    Complete revolutions of each solution.
path_flag : ndarray of uint64, shape S
    1 for a left-branch solution, 0 for a right-branch or direct arc.
retrograde : ndarray of bool, shape S
    The retrograde argument, in every filled slot.
sma, ecc, inc, raan, argp, ta_depart, ta_arrive, rp, ra : ndarray of float64
    Elements of each transfer arc, shape S: semi-major axis (km),
    eccentricity, inclination, right ascension of the ascending node,
    argument of perigee, true anomaly at r1 and at r2 (degrees), radius of
    perigee and of apogee (km; ra is inf for a hyperbolic arc).

Notes
-----
Each read returns the stored array itself, not a copy; the attributes
cannot be reassigned, but the arrays are writeable: a change made in place
is seen by later reads and by a copy.copy() of the object, which shares
the arrays (copy.deepcopy() and pickle copy them).

Examples
--------
>>> import numpy as np, orbelin
>>> r1 = np.array([5000.0, 10000.0, 2100.0])
>>> r2 = np.array([-14600.0, 2500.0, 7000.0])
>>> sol = orbelin.lambert_izzo_single(r1, r2, 86400.0, 2, False)
>>> sol.num_revs.tolist(), sol.path_flag.tolist()
([0, 1, 1, 2, 2], [0, 1, 0, 1, 0])
>>> sol.v1.shape
(5, 3))doc";

inline constexpr const char* lambert_burn_array = R"doc(Python wrapper for Lambert burn solutions (with impulses)
Replaces OptimizedLambertSolutionPy and OptimizedLambertSolutionArray

The two-impulse transfers found by an optimisation function, one row per
transfer, as fifteen float64 NumPy arrays. Instances come from
lambert_grid_search, optimize_lambert_transfer_py,
optimize_lambert_transfer_grid_py, optimize_lambert_nm_py,
optimize_lambert_nm_multi_py and optimize_lambert_nm_multi_sunline_py; the
class has no constructor. Times are seconds after the common epoch of the
source and target states given to the function.

Attributes
----------
t0, tf, tof : ndarray of float64, shape (n,)
    Departure time, arrival time and time of flight tf - t0, s.
cost : ndarray of float64, shape (n,)
    |dv1| + |dv2| for a rendezvous, |dv1| alone otherwise, km/s.
dv1 : ndarray of float64, shape (n, 3)
    Departure impulse in ECI, km/s.
dv2 : ndarray of float64, shape (n, 3)
    Arrival impulse in ECI, km/s; NaN when no arrival burn was asked for.
sma, ecc, inc, raan, argp, ta_depart, ta_arrive, rp, ra : ndarray of float64
    Elements of each transfer arc, shape (n,): semi-major axis (km),
    eccentricity, inclination, right ascension of the ascending node,
    argument of perigee, true anomaly at departure and at arrival
    (degrees), radius of perigee and of apogee (km; ra is inf for a
    hyperbolic arc).

Notes
-----
A search that found nothing gives zero rows, or one row of NaN for the
functions that always return one row. Each read returns the stored array
itself, not a copy; the attributes cannot be reassigned, but the arrays
are writeable: a change made in place is seen by later reads, by repr()
and by a copy.copy() of the object, which shares the arrays
(copy.deepcopy() and pickle copy them). repr() lists the shapes and the
minimum, maximum and mean cost.

Examples
--------
A window of 4 hours in 20-minute steps has 12 * 13 / 2 = 78 cells, each
with a transfer here:

>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([-42164.0, 0.0, 0.0, 0.0, -3.074660235, 0.0])
>>> burns = orbelin.lambert_grid_search(leo, geo, (0.0, 14400.0), 1200.0)
>>> burns.t0.shape, burns.dv1.shape
((78,), (78, 3))
>>> i = int(np.argmin(burns.cost))
>>> bool(np.allclose(burns.cost[i], np.linalg.norm(burns.dv1[i]) + np.linalg.norm(burns.dv2[i])))
True)doc";

inline constexpr const char* lambert_porkchop_array =
    R"doc(Porkchop scan: the cheapest Lambert transfer of every departure x arrival cell

The cells of one lambert_porkchop call as NumPy arrays of shape (n, m):
row i is departure state i at departure_times[i], column j arrival state
j at arrival_times[j]. Instances come from lambert_porkchop only; the
class has no constructor.

Each cell holds the arc that lambert_izzo_best_dv would choose for the
same two states and time of flight. A cell whose arrival is not after its
departure, or that has no arc, holds NaN, 0 and False; its tof is still
the time of flight when the arrival is after the departure.

Attributes
----------
dv1, dv2 : ndarray of float64, shape (n, m, 3)
    Departure impulse v1 - u1 and arrival impulse u2 - v2, km/s. With
    planetary states, these are the hyperbolic excess velocities.
dv1_mag, dv2_mag : ndarray of float64, shape (n, m)
    Their magnitudes, km/s (departure and arrival v-infinity).
total : ndarray of float64, shape (n, m)
    dv1_mag + dv2_mag, km/s.
c3 : ndarray of float64, shape (n, m)
    dv1_mag**2, km^2/s^2: the launch energy when the departure states are
    a planet's.
tof : ndarray of float64, shape (n, m)
    arrival_times[j] - departure_times[i], s.
num_revs : ndarray of uint64, shape (n, m)
    Complete revolutions of each cell's arc.
path_flag : ndarray of uint64, shape (n, m)
    1 for a left-branch arc, 0 for a right-branch or direct arc.
retrograde : ndarray of bool, shape (n, m)
    Whether each cell's arc is the retrograde one.
best_index : ndarray of int64, shape (2,)
    (i, j) of the cheapest cell by the cost the arcs were chosen by
    (total with rendezvous, dv1_mag without); the first in row-major
    order on a tie; (-1, -1) when no cell has a transfer.

Notes
-----
Each read returns the stored array itself, not a copy; the attributes
cannot be reassigned, but the arrays are writeable: a change made in place
is seen by later reads, by repr() and by a copy.copy() of the object,
which shares the arrays (copy.deepcopy() and pickle copy them). repr()
lists shapes and the minimum, maximum and mean total.

Examples
--------
One departure state against three arrival dates, the first of them
before the departure:

>>> import numpy as np, orbelin
>>> leo = np.array([[7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0]])
>>> geo = np.array([[0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0]] * 3)
>>> pc = orbelin.lambert_porkchop(leo, geo, np.array([0.0]), np.array([-600.0, 9000.0, 18000.0]))
>>> pc.total.shape, pc.dv1.shape, pc.best_index.tolist()
((1, 3), (1, 3, 3), [0, 1])
>>> pc.tof.tolist()
[[nan, 9000.0, 18000.0]]
>>> round(float(pc.c3[0, 1]), 3)
25.468)doc";

// ---------------------------------------------------------------------------------------------------------------
// Lambert solving.

inline constexpr const char* lambert_izzo_single = R"doc(Solve one Lambert problem: every arc from r1 to r2 in time tof.

Izzo's method finds the direct arc and, for each number of complete
revolutions up to max_rev that the time of flight allows, a left-branch
and a right-branch arc. Each arc is annotated with its orbital elements.
This function takes exactly one case; use lambert_izzo_vec for batches.

Parameters
----------
r1, r2 : ndarray of float64, shape (3,)
    Departure and arrival positions, km. Must be contiguous 1-D arrays.
tof : float
    Time of flight, s. A non-positive value gives one row of NaN.
max_rev : int
    Largest number of complete revolutions to solve for (>= 0).
retrograde : bool
    Solve for retrograde instead of prograde motion (True or False only).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2. Must be positive.
tol : float, default 1e-8
    Householder tolerance on the iteration variable x.
maxiter : int, default 50
    Householder iteration limit.
reentry_check : bool, default False
    Blank (NaN) the solutions whose perigee lies below the Earth's surface.

Returns
-------
LambertSolutionArray
    n rows, one per solution (n = 2M + 1 with M <= max_rev the number of
    feasible revolution counts): v1 and v2 of shape (n, 3) in km/s, the
    other attributes of shape (n,).

Raises
------
TypeError
    r1 or r2 is not a 1-D float64 NumPy array or is not contiguous; a
    flag is not a bool; a count is not an int.
ValueError
    r1 or r2 does not hold 3 elements;
    max_rev admits more than a million revolutions in the time of flight
    (more than the solver solves in one call).
OverflowError
    max_rev or maxiter is negative.
PanicException
    mu is not positive (derives from BaseException).

See Also
--------
lambert_izzo_vec : the same for batches of problems.

Examples
--------
Curtis, Orbital Mechanics for Engineering Students, Example 5.2:

>>> import numpy as np, orbelin
>>> r1 = np.array([5000.0, 10000.0, 2100.0])
>>> r2 = np.array([-14600.0, 2500.0, 7000.0])
>>> sol = orbelin.lambert_izzo_single(r1, r2, 3600.0, 0, False, mu=398600.0)
>>> np.round(sol.v1, 4)
array([[-5.9925,  1.9254,  3.2456]])
>>> np.round(sol.ecc, 4)
array([0.4335]))doc";

inline constexpr const char* lambert_izzo_vec =
    R"doc(Solve Lambert's problem for batches of position pairs and times of flight.

Every row pair of r1 and r2 is combined with every time of flight; each such
case is solved on the worker pool by Izzo's method (direct arc, then a left
and a right arc per feasible revolution count) and each solution is
annotated with its orbital elements.

Parameters
----------
r1 : ndarray of float64, shape (..., 3)
    Departure positions, km, with any number of leading batch axes.
r2 : ndarray of float64, same shape as r1
    Arrival positions, km. No broadcasting: the shapes must match.
tof : float or sequence of float
    Time of flight, s: one number, or a 1-D list or float64 array of T
    values applied to every position pair.
max_rev : int
    Largest number of complete revolutions to solve for (>= 0).
retrograde : bool
    Solve for retrograde instead of prograde motion (True or False only).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2. Must be positive.
tol : float, default 1e-8
    Householder tolerance on the iteration variable x.
maxiter : int, default 50
    Householder iteration limit.
reentry_check : bool, default False
    Blank (NaN) the solutions whose perigee lies below the Earth's surface.

Returns
-------
LambertSolutionArray
    Scalar attributes of shape S = batch axes of r1, then T if T >= 2, then
    K (the largest number of solutions of any case, at most 2*max_rev + 1);
    v1 and v2 of shape S + (3,). Unused slots hold NaN, 0 or False.

Raises
------
TypeError
    r1 or r2 is not a float64 NumPy array; tof is a list of ints; a flag
    is not a bool.
ValueError
    "r1 must have shape [..., 3]", "r1 and r2 must have matching shapes",
    "Failed to reshape r1" (a layout that cannot be read as rows, such as
    a strided slice), "Time-of-flight array must be 1D, got <n>D",
    "Time-of-flight array cannot be empty", "No valid solutions found for
    any input" (for example an empty batch);
    max_rev admits more than a million revolutions in the time of flight
    (more than the solver solves in one call).
OverflowError
    max_rev or maxiter is negative.
PanicException
    mu is not positive (derives from BaseException).

See Also
--------
lambert_izzo_single : one problem.
lambert_izzo_vec_dv, lambert_izzo_best_dv : delta-v between states.

Examples
--------
>>> import numpy as np, orbelin
>>> r1 = np.tile([5000.0, 10000.0, 2100.0], (4, 1))
>>> r2 = np.tile([-14600.0, 2500.0, 7000.0], (4, 1))
>>> sols = orbelin.lambert_izzo_vec(r1, r2, [3600.0, 86400.0], 2, False)
>>> sols.v1.shape
(4, 2, 5, 3)
>>> sols.num_revs[0].tolist()
[[0, 0, 0, 0, 0], [0, 1, 1, 2, 2]]
>>> bool(np.isnan(sols.sma[0, 0, 1:]).all())
True)doc";

inline constexpr const char* lambert_izzo_vec_dv =
    R"doc(Delta-v of every Lambert solution between batches of state pairs.

For each case (a row pair of s1 and s2 with one time of flight) every
solution in the chosen direction of motion gives the departure impulse
dv1 = v1 - u1 and the arrival impulse dv2 = u2 - v2, where u1 and u2 are
the velocities of s1 and s2 and v1, v2 those of the transfer arc. When the
two positions are collinear the plane of s1's orbit fixes the arc's plane.

Parameters
----------
s1 : ndarray of float64, shape (..., 6)
    Departure states [x, y, z, vx, vy, vz], km and km/s, any batch axes.
s2 : ndarray of float64, same shape as s1
    Arrival states. No broadcasting: the shapes must match.
tof : float or sequence of float
    Time of flight, s: one number or a 1-D list or float64 array of T
    values applied to every state pair.
max_rev : int
    Largest number of complete revolutions to solve for (>= 0).
retrograde : bool
    Solve for retrograde instead of prograde motion (True or False only).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2. Must be positive.
tol : float, default 1e-8
    Householder tolerance on the iteration variable x.
maxiter : int, default 50
    Householder iteration limit.
reentry_check : bool, default False
    Blank (NaN) the solutions whose perigee lies below the Earth's surface.

Returns
-------
dv1_mag, dv2_mag, dv_total : ndarray of float64, shape S
    |dv1|, |dv2| and |dv1| + |dv2| per solution, km/s. S = batch axes of
    s1, then T if T >= 2, then K, the largest number of solutions of any
    case; unused slots hold NaN.
dv1, dv2 : ndarray of float64, shape S + (3,)
    The impulse vectors in ECI, km/s.

Raises
------
TypeError
    s1 or s2 is not a float64 NumPy array; tof is a list of ints; a flag
    is not a bool.
ValueError
    "s1 must have shape [..., 6]", "s1 and s2 must have matching shapes",
    "Failed to reshape s1", "Time-of-flight array must be 1D, got <n>D",
    "Time-of-flight array cannot be empty", "No solutions found for any
    input";
    max_rev admits more than a million revolutions in the time of flight
    (more than the solver solves in one call).
OverflowError
    max_rev or maxiter is negative.
PanicException
    mu is not positive (derives from BaseException).

See Also
--------
lambert_izzo_best_dv : only the cheapest solution of both directions.

Examples
--------
A Hohmann transfer from a 7000 km circular orbit to GEO, half a transfer
period long, and a slower arc of twice that time:

>>> import numpy as np, orbelin
>>> mu = 398600.4418
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(mu / 7000.0), 0.0])
>>> geo = np.array([-42164.0, 0.0, 0.0, 0.0, -np.sqrt(mu / 42164.0), 0.0])
>>> half = np.pi * np.sqrt(((7000.0 + 42164.0) / 2) ** 3 / mu)
>>> dv1, dv2, total, dv1_vec, dv2_vec = orbelin.lambert_izzo_vec_dv(
...     leo, geo, [half, 2 * half], 0, False)
>>> total.shape, dv1_vec.shape
((2, 1), (2, 1, 3))
>>> np.round(total[:, 0], 4)
array([3.7707, 5.0645]))doc";

inline constexpr const char* lambert_izzo_best_dv = R"doc(Cheapest Lambert transfer between batches of state pairs.

For each case (a row pair of s1 and s2 with one time of flight) the solver
runs prograde and then retrograde, and the solution of least cost is kept:
|dv1| + |dv2| for a rendezvous, |dv1| alone for an intercept. Ties keep the
earlier solution, so prograde wins over retrograde. dv1 = v1 - u1 is the
departure impulse and dv2 = u2 - v2 the arrival impulse.

Parameters
----------
s1 : ndarray of float64, shape (..., 6)
    Departure states [x, y, z, vx, vy, vz], km and km/s, any batch axes.
s2 : ndarray of float64, same shape as s1
    Arrival states. No broadcasting: the shapes must match.
tof : float or sequence of float
    Time of flight, s: one number or a 1-D list or float64 array of T
    values applied to every state pair.
max_rev : int
    Largest number of complete revolutions to solve for (>= 0).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2. Must be positive.
tol : float, default 1e-8
    Householder tolerance on the iteration variable x.
maxiter : int, default 50
    Householder iteration limit.
rendezvous : bool, default True
    True: the cost is |dv1| + |dv2|; False: the cost is |dv1|.
reentry_check : bool, default False
    Blank (NaN) the solutions whose perigee lies below the Earth's surface.

Returns
-------
dv1_mag, dv2_mag, dv_total : ndarray of float64, shape S
    |dv1|, |dv2| and |dv1| + |dv2| of the chosen solution, km/s (the total
    also when rendezvous is False). S = batch axes of s1, then T if T >= 2;
    a single state pair and one tof give 0-d arrays. NaN for a case
    without any solution.
dv1, dv2 : ndarray of float64, shape S + (3,)
    The impulse vectors in ECI, km/s.

Raises
------
TypeError
    s1 or s2 is not a float64 NumPy array; tof is a list of ints; a flag
    is not a bool.
ValueError
    "s1 must have shape [..., 6]", "s1 and s2 must have matching shapes",
    "Reshape s1 failed: ..." (a layout that cannot be read as rows),
    "Time-of-flight must be 1D", "Reshape dv1_mag: ..." (an empty tof
    list with a non-empty batch);
    max_rev admits more than a million revolutions in the time of flight
    (more than the solver solves in one call).
OverflowError
    max_rev or maxiter is negative.
PanicException
    mu is not positive (derives from BaseException).

See Also
--------
lambert_izzo_vec_dv : every solution in one direction.

Examples
--------
The Hohmann transfer from a 7000 km circular orbit to GEO (2.337 and
1.434 km/s):

>>> import numpy as np, orbelin
>>> mu = 398600.4418
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(mu / 7000.0), 0.0])
>>> geo = np.array([-42164.0, 0.0, 0.0, 0.0, -np.sqrt(mu / 42164.0), 0.0])
>>> half = np.pi * np.sqrt(((7000.0 + 42164.0) / 2) ** 3 / mu)
>>> dv1, dv2, total, dv1_vec, dv2_vec = orbelin.lambert_izzo_best_dv(leo, geo, half, 0)
>>> print(f"{float(dv1):.3f} {float(dv2):.3f} {float(total):.3f}")
2.337 1.434 3.771
>>> dv1.shape, dv1_vec.shape
((), (3,)))doc";

inline constexpr const char* lambert_izzo_jacobian =
    R"doc(Partial derivatives of Lambert solutions for batches of position pairs.

For every solution that lambert_izzo_vec gives with the same arguments (the
same cases and the same solution slots), the 6x7 Jacobian of the terminal
velocities (v1, v2) with respect to the positions and the time of flight
(r1, r2, tof). The derivatives are exact to rounding: the geometry is
differentiated in forward mode and the solver's variable x implicitly, at
its converged root of the time equation.

Parameters
----------
r1 : ndarray of float64, shape (..., 3)
    Departure positions, km, with any number of leading batch axes.
r2 : ndarray of float64, same shape as r1
    Arrival positions, km. No broadcasting: the shapes must match.
tof : float or sequence of float
    Time of flight, s: one number, or a 1-D list or float64 array of T
    values applied to every position pair.
max_rev : int
    Largest number of complete revolutions to solve for (>= 0).
retrograde : bool
    Solve for retrograde instead of prograde motion (True or False only).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2. Must be positive.
tol : float, default 1e-8
    Householder tolerance on the iteration variable x.
maxiter : int, default 50
    Householder iteration limit.

Returns
-------
ndarray of float64, shape S + (6, 7)
    S = batch axes of r1, then T if T >= 2, then K (the largest number of
    solutions of any case). Rows v1x, v1y, v1z, v2x, v2y, v2z; columns
    r1x, r1y, r1z, r2x, r2y, r2z, tof; entries in 1/s, and km/s^2 in the
    tof column. NaN in unused slots and where the derivatives are not
    defined: positions within about 1e-6 rad of collinear (transfer angle
    0 or 180 degrees, where the transfer plane is not fixed), arcs within
    1e-6 of the parabola in 1 - x^2, and arcs without a solution.

Raises
------
TypeError
    r1 or r2 is not a float64 NumPy array; tof is a list of ints; a flag
    is not a bool.
ValueError
    "r1 must have shape [..., 3]", "r1 and r2 must have matching shapes",
    "Failed to reshape r1" (a layout that cannot be read as rows, such as
    a strided slice), "Time-of-flight array must be 1D, got <n>D",
    "Time-of-flight array cannot be empty", "No valid solutions found for
    any input" (for example an empty batch).
MemoryError
    The result would not fit in the memory this process may use.
OverflowError
    max_rev or maxiter is negative.
PanicException
    mu is not positive (derives from BaseException).

See Also
--------
lambert_izzo_vec : the solutions themselves, slot for slot.

Examples
--------
A small change of the arrival position and of the time, predicted to first
order and compared with a new solve:

>>> import numpy as np, orbelin
>>> r1 = np.array([5000.0, 10000.0, 2100.0])
>>> r2 = np.array([-14600.0, 2500.0, 7000.0])
>>> jac = orbelin.lambert_izzo_jacobian(r1, r2, 3600.0, 0, False)
>>> jac.shape
(1, 6, 7)
>>> step = np.array([0, 0, 0, 0.5, -0.3, 0.2, 1.0])  # km and s
>>> before = orbelin.lambert_izzo_vec(r1, r2, 3600.0, 0, False).v1[0]
>>> after = orbelin.lambert_izzo_vec(r1, r2 + step[3:6], 3601.0, 0, False).v1[0]
>>> (1e3 * (jac[0, :3] @ step)).round(3).tolist()  # predicted change of v1, m/s
[1.639, 1.045, -0.005]
>>> (1e3 * (after - before)).round(3).tolist()
[1.639, 1.045, -0.005])doc";

// ---------------------------------------------------------------------------------------------------------------
// Propagation.

inline constexpr const char* kepler_universal_2body_py = R"doc(Python-accessible version of `kepler_universal_2body`

Propagate one Cartesian state over dt_sec seconds on a two-body (Kepler)
orbit, by the universal-variable formulation (Newton iteration on the
universal anomaly, Stumpff functions, Lagrange f and g coefficients).
Elliptic, parabolic and hyperbolic orbits alike; a negative dt_sec
propagates backwards. This function takes exactly one state and one
interval.

Parameters
----------
init_state_vec : ndarray of float64, shape (6,)
    State [x, y, z, vx, vy, vz], km and km/s; a contiguous 1-D array.
dt_sec : float
    Interval, s.
mu : float, default 398600.4418
    Gravitational parameter of the central body, km^3/s^2.

Returns
-------
position, velocity : tuple of two ndarray of float64, shape (3,)
    The propagated position (km) and velocity (km/s).

Raises
------
TypeError
    init_state_vec is not a 1-D float64 NumPy array.
PanicException
    init_state_vec does not hold 6 elements or is not contiguous (derives
    from BaseException).

Examples
--------
One period of a circular orbit of radius 7000 km returns to the start:

>>> import numpy as np, orbelin
>>> mu = 398600.4418
>>> state = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(mu / 7000.0), 0.0])
>>> period = 2 * np.pi * np.sqrt(7000.0 ** 3 / mu)
>>> r, v = orbelin.kepler_universal_2body_py(state, period)
>>> bool(np.allclose(r, state[:3], atol=1e-6)), bool(np.allclose(v, state[3:], atol=1e-9))
(True, True)
>>> r, v = orbelin.kepler_universal_2body_py(state, period / 4)
>>> np.round(r, 6) + 0.0
array([   0., 7000.,    0.]))doc";

// Not registered yet: the batch form of the propagation, (states, dt, mu=...).
inline constexpr const char* kepler_universal_2body_vec = R"doc(Propagate batches of states on two-body (Kepler) orbits.

The batch form of kepler_universal_2body_py: every state of states is
propagated by its interval with the universal-variable formulation.
Elliptic, parabolic and hyperbolic orbits alike; negative intervals
propagate backwards.

Parameters
----------
states : ndarray of float64, shape (..., 6)
    States [x, y, z, vx, vy, vz], km and km/s, any batch axes.
dt : float or ndarray of float64
    Interval, s: one number for every state, or an array that broadcasts
    against the batch axes of states (for example shape (n,) for states
    of shape (n, 6)).
mu : float, default 398600.4418
    Gravitational parameter of the central body, km^3/s^2.

Returns
-------
ndarray of float64, shape (..., 6)
    The propagated states, position (km) then velocity (km/s), with the
    broadcast batch axes.

Raises
------
TypeError
    states is not a float64 NumPy array.
ValueError
    states does not have a last axis of 6, or dt does not broadcast
    against its batch axes.

See Also
--------
kepler_universal_2body_py : one state, returned as (position, velocity).

Examples
--------
>>> import numpy as np, orbelin
>>> mu = 398600.4418
>>> state = np.array([7000.0, 0.0, 0.0, 0.0, np.sqrt(mu / 7000.0), 0.0])
>>> period = 2 * np.pi * np.sqrt(7000.0 ** 3 / mu)
>>> out = orbelin.kepler_universal_2body_vec(np.tile(state, (4, 1)), period * np.arange(4) / 4)
>>> out.shape
(4, 6)
>>> np.round(out[:, :3], 6) + 0.0
array([[ 7000.,     0.,     0.],
       [    0.,  7000.,     0.],
       [-7000.,     0.,     0.],
       [    0., -7000.,     0.]]))doc";

// ---------------------------------------------------------------------------------------------------------------
// Transfer optimisation.

inline constexpr const char* optimize_lambert_transfer_py =
    R"doc(Python-accessible version of `optimize_lambert_transfer`

Scan a regular grid of departure and arrival times for the transfer of
least departure delta-v, then evaluate that transfer fully.

The source and the target are propagated (two-body, with mu) to every
grid cell (t0, tf), t0 < tf, both in time_bounds and spaced dt_step apart;
each cell is rated by the departure impulse |dv1| of its zero-revolution
arcs in the direction that retrograde selects. The best cell (the last one
of equal value) is then evaluated in both directions, without an arrival
burn.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s; contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
dt_step : float
    Grid spacing, s; positive.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
retrograde : bool, default False
    Direction of motion used to rate the cells.

Returns
-------
LambertBurnArray
    Exactly one row; dv2 is NaN (an intercept) and cost is |dv1|, km/s.
    When no cell has a finite rating, the last cell of the grid is the
    one evaluated. When the grid has no cell at all (hi < lo + dt_step: a
    zero-width, reversed or too short window), the cell (lo, lo + dt_step)
    is evaluated instead, although it ends outside the window. The row is
    NaN only when that evaluation finds no transfer in either direction.

Raises
------
TypeError
    A state is not a 1-D float64 NumPy array or is not contiguous;
    time_bounds is not a tuple.
ValueError
    A state does not hold 6 elements; time_bounds does not hold 2 values
    or is not finite; dt_step is not positive or too small to advance the
    grid.
MemoryError
    The grid has more cells than the memory available can hold.

See Also
--------
optimize_lambert_transfer_grid_py : every cell of the same grid.
lambert_grid_search : the grid with rendezvous cost and revolutions.

Examples
--------
>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([-42164.0, 0.0, 0.0, 0.0, -3.074660235, 0.0])
>>> burn = orbelin.optimize_lambert_transfer_py(leo, geo, (0.0, 14400.0), 600.0)
>>> burn.cost.shape, bool(np.isnan(burn.dv2).all())
((1,), True)
>>> bool(np.isclose(burn.cost[0], np.linalg.norm(burn.dv1[0])))
True)doc";

inline constexpr const char* optimize_lambert_transfer_grid_py =
    R"doc(Evaluate every cell of a departure / arrival time grid as an intercept.

The source and the target are propagated (two-body, with mu) to every
grid cell (t0, tf), t0 < tf, both in time_bounds and spaced dt_step apart
(row by row: ascending t0, then ascending tf). Each cell is evaluated with
the zero-revolution arcs of both directions and no arrival burn; the
cheapest departure impulse of the cell is kept. The rows do not depend on
retrograde.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s; contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
dt_step : float
    Grid spacing, s; positive.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
retrograde : bool, default False
    Direction used by the cell scan; it does not change the rows.

Returns
-------
LambertBurnArray
    One row per grid cell that has a transfer, in grid order; dv2 is NaN
    and cost is |dv1|, km/s.

Raises
------
TypeError
    A state is not a 1-D float64 NumPy array or is not contiguous;
    time_bounds is not a tuple.
ValueError
    A state does not hold 6 elements; time_bounds does not hold 2 values
    or is not finite; dt_step is not positive or too small to advance the
    grid.
MemoryError
    The grid has more cells than the memory available can hold.

See Also
--------
lambert_grid_search : the same grid with rendezvous cost and revolutions.

Examples
--------
A window of 4 hours with 10-minute steps has 24 * 25 / 2 = 300 cells:

>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([-42164.0, 0.0, 0.0, 0.0, -3.074660235, 0.0])
>>> cells = orbelin.optimize_lambert_transfer_grid_py(leo, geo, (0.0, 14400.0), 600.0)
>>> cells.t0.shape
(300,)
>>> bool((cells.tof > 0).all())
True)doc";

inline constexpr const char* lambert_grid_search =
    R"doc(Scan a regular grid of departure and arrival times for two-impulse transfers.

The source and the target are propagated (two-body, with mu) to every
grid cell (t0, tf), t0 < tf, both in time_bounds and spaced dt_step apart
(row by row: ascending t0, then ascending tf). In each cell Lambert's
problem is solved prograde and retrograde with up to max_rev revolutions,
and the cheapest solution is kept: |dv1| + |dv2| for a rendezvous, |dv1|
for an intercept. Cells without any solution are dropped. The cells run on
the worker pool.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s; contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
dt_step : float
    Grid spacing, s; positive. About ((hi - lo) / dt_step)**2 / 2 cells.
max_rev : int, default 0
    Largest number of complete revolutions.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2 (propagation and Lambert solver).
tol : float, default 1e-8
    Lambert solver tolerance.
maxiter : int, default 50
    Lambert solver iteration limit.
rendezvous : bool, default True
    True: match the target's velocity (cost |dv1| + |dv2|); False: an
    intercept (cost |dv1|, dv2 NaN).

Returns
-------
LambertBurnArray
    One row per cell that has a transfer, in grid order; times in s after
    the epoch, impulses and cost in km/s.

Raises
------
TypeError
    A state is not a 1-D float64 NumPy array or is not contiguous;
    time_bounds is not a tuple.
ValueError
    A state does not hold 6 elements; time_bounds does not hold 2 values
    or is not finite; dt_step is not positive or too small to advance the
    grid;
    max_rev admits more than a million revolutions in the window (more
    than the solver solves in one call).
MemoryError
    The grid has more cells than the memory available can hold.
OverflowError
    max_rev or maxiter is negative.

See Also
--------
optimize_lambert_nm_multi_py : a Nelder-Mead search of the same costs.

Examples
--------
Rendezvous from a 7000 km circular orbit with a GEO target 90 degrees
ahead; the Hohmann transfer costs 3.7707 km/s, and the best cell of a
5-minute grid comes close:

>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0])
>>> burns = orbelin.lambert_grid_search(leo, geo, (0.0, 30000.0), 300.0)
>>> i = int(np.argmin(burns.cost))
>>> bool(3.7707 <= burns.cost[i] < 3.80), burns.dv1.shape[1]
(True, 3))doc";

inline constexpr const char* lambert_porkchop =
    R"doc(Porkchop scan: every departure date against every arrival date in one call.

Cell (i, j) is the transfer from departure_states[i], dated
departure_times[i], to arrival_states[j], dated arrival_times[j], over
the time between the two dates. Lambert's problem is solved prograde and
retrograde with up to max_rev revolutions and the cheapest arc is kept by
the rule of lambert_izzo_best_dv: |dv1| + |dv2| for a rendezvous, |dv1|
for an intercept, the earlier arc on a tie. Cells whose arrival is not
after the departure are NaN. The cells run on the worker pool; Ctrl-C
stops the call.

The states are usually a planet's, read from an ephemeris at each date
(for example pyerfa's plan94 or epv00, or astropy), in km and km/s about
the central body of mu.

Parameters
----------
departure_states : ndarray of float64, shape (n, 6)
    States [x, y, z, vx, vy, vz] at the departure dates, km and km/s.
arrival_states : ndarray of float64, shape (m, 6)
    States at the arrival dates, in the same frame.
departure_times : ndarray of float64, shape (n,)
    Departure dates, s; contiguous 1-D array.
arrival_times : ndarray of float64, shape (m,)
    Arrival dates, s, on the same time scale as departure_times.
max_rev : int, default 0
    Largest number of complete revolutions.
mu : float, default 398600.4418
    Gravitational parameter of the central body, km^3/s^2 (the Sun's is
    1.32712440018e11).
rendezvous : bool, default True
    True: the cost is |dv1| + |dv2|; False: |dv1| alone.
tol : float, default 1e-8
    Lambert solver tolerance.
maxiter : int, default 50
    Lambert solver iteration limit.

Returns
-------
LambertPorkchopArray
    Arrays of shape (n, m) (dv1, dv2: (n, m, 3)) and best_index, the
    (i, j) of the cheapest cell.

Raises
------
TypeError
    An argument is not a float64 NumPy array, a time array has other than
    one axis or is not contiguous.
ValueError
    The states are not of shape (n, 6) and (m, 6) or not contiguous in
    memory, a time array does not hold one time per state, or tol is not a
    positive finite number.
MemoryError
    The n x m cells need more memory than is available.
OverflowError
    max_rev or maxiter is negative.

See Also
--------
lambert_izzo_best_dv : the same cell rule over pairs of states.
lambert_grid_search : one window of times for two propagated states.

Examples
--------
From a 7000 km circular orbit to GEO, both coplanar; departures over one
LEO period, arrivals over one GEO period. The best cell comes close to
the Hohmann transfer, 3.7708 km/s:

>>> import numpy as np, orbelin
>>> def circle(r, t, mu=398600.4418):
...     w = np.sqrt(mu / r**3)
...     c, s = np.cos(w * t), np.sin(w * t)
...     return np.stack([r * c, r * s, 0 * t, -r * w * s, r * w * c, 0 * t], axis=-1)
>>> t_dep = np.linspace(0.0, 5800.0, 30)
>>> t_arr = np.linspace(10000.0, 96000.0, 200)
>>> pc = orbelin.lambert_porkchop(circle(7000.0, t_dep), circle(42164.0, t_arr), t_dep, t_arr)
>>> pc.total.shape, pc.dv1.shape
((30, 200), (30, 200, 3))
>>> i, j = pc.best_index
>>> round(float(pc.total[i, j]), 2)
3.79)doc";

inline constexpr const char* optimize_lambert_nm_py =
    R"doc(Find the cheapest two-impulse transfer from one start by Nelder-Mead.

Minimises the transfer cost over the departure and arrival times (t0, tf)
inside time_bounds with one Nelder-Mead search started from initial_guess
(default: t0 at the middle of the window, tf a quarter of the window
later). Each cost evaluation propagates the source to t0 and the target to
tf (two-body, with mu), optionally moves the arrival point to a RIC
waypoint of the target, and solves Lambert's problem in both directions.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s; contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
max_rev : int
    Largest number of complete revolutions.
optimize_rendezvous : bool
    True: cost |dv1| + |dv2| (match the target's velocity); False: cost
    |dv1| (an intercept, dv2 NaN).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
max_iters : int or None, default None
    Nelder-Mead iteration limit; None means 50.
initial_guess : tuple of two floats or None, default None
    Starting (t0, tf), s after the epoch.
ric_waypoint : ndarray of float64 or None, default None
    Aim point relative to the target in its RIC frame: shape (3,) for
    [dr_r, dr_i, dr_c] (km) or (6,) adding [dv_r, dv_i, dv_c] (km/s).

Returns
-------
LambertBurnArray
    Exactly one row: the transfer found, or NaN everywhere when the
    search found no feasible transfer.

Raises
------
TypeError
    A state or the waypoint is not a 1-D float64 NumPy array or is not
    contiguous; time_bounds or initial_guess is not a tuple.
ValueError
    A state does not hold 6 elements; the waypoint does not hold 3 or 6;
    a tuple does not hold 2 values;
    max_rev admits more than a million revolutions in the window (more
    than the solver solves in one call).
OverflowError
    max_rev or max_iters is negative.

See Also
--------
optimize_lambert_nm_multi_py : many starts spread over the window.

Examples
--------
>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0])
>>> burn = orbelin.optimize_lambert_nm_py(leo, geo, (0.0, 30000.0), 0, True,
...                                       initial_guess=(3000.0, 22000.0))
>>> burn.cost.shape, round(float(burn.cost[0]), 4)
((1,), 3.7707))doc";

inline constexpr const char* optimize_lambert_nm_multi_py =
    R"doc(Find the cheapest two-impulse transfers by multi-start Nelder-Mead.

Up to num_solvers starts (t0, tf) are placed on a regular grid of the
window and searched in parallel on the worker pool, each by Nelder-Mead as
in optimize_lambert_nm_py. Answers that land on the same times (within
0.1 % of the window in both t0 and tf) can be merged, keeping the
cheapest; return_best_only keeps just the best.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s; contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
max_rev : int
    Largest number of complete revolutions.
optimize_rendezvous : bool
    True: cost |dv1| + |dv2|; False: cost |dv1| (dv2 NaN).
num_solvers : int
    Number of starts (fewer when the start grid has fewer pairs).
return_best_only : bool
    Keep only the cheapest answer.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
remove_duplicates : bool, default True
    Merge answers at the same times and sort by ascending cost; without
    it the answers keep the order of the starts.
max_iters : int or None, default None
    Nelder-Mead iteration limit per start; None means 50.
ric_waypoint : ndarray of float64 or None, default None
    Aim point relative to the target in its RIC frame: shape (3,) for
    [dr_r, dr_i, dr_c] (km) or (6,) adding [dv_r, dv_i, dv_c] (km/s).

Returns
-------
LambertBurnArray
    One row per answer (zero rows when no start found a transfer).

Raises
------
TypeError
    A state or the waypoint is not a 1-D float64 NumPy array or is not
    contiguous; time_bounds is not a tuple.
ValueError
    A state does not hold 6 elements; the waypoint does not hold 3 or 6;
    time_bounds does not hold 2 values;
    max_rev admits more than a million revolutions in the window (more
    than the solver solves in one call).
MemoryError
    The starts (and, unless return_best_only, a result row for each)
    need more memory than the process may still use; raised before any
    search.
OverflowError
    A count is negative.

See Also
--------
optimize_lambert_nm_multi_array : every pair of two batches of states.
lambert_grid_search : an exhaustive scan of the same costs.

Examples
--------
Rendezvous from a 7000 km circular orbit with a GEO target 90 degrees
ahead; the Hohmann transfer (2.3368 + 1.4339 = 3.7707 km/s) is the
cheapest two-impulse transfer:

>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0])
>>> best = orbelin.optimize_lambert_nm_multi_py(leo, geo, (0.0, 30000.0), 0, True, 16, True)
>>> best.cost.shape, round(float(best.cost[0]), 4)
((1,), 3.7707))doc";

inline constexpr const char* optimize_lambert_nm_multi_array =
    R"doc(Multi-start Nelder-Mead transfer search for every pair of two state batches.

Runs the search of optimize_lambert_nm_multi_py for every (source, target)
pair of the two batches (all targets of source 0 first, then source 1, and
so on), the pairs in parallel on the worker pool, and returns one table
row per answer.

Parameters
----------
source_state : ndarray of float64, shape (..., 6)
    Chaser states, km and km/s, any batch axes (S states).
target_state : ndarray of float64, shape (..., 6)
    Target states at the same epoch, any batch axes (T states).
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
max_rev : int
    Largest number of complete revolutions.
optimize_rendezvous : bool
    True: cost |dv1| + |dv2|; False: cost |dv1| (dv2 NaN).
num_solvers : int
    Number of starts per pair.
return_best_only : bool
    Keep only the cheapest answer of each pair.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
remove_duplicates : bool, default True
    Merge answers at the same times, sorted by ascending cost.
max_iters : int or None, default None
    Nelder-Mead iteration limit per start; None means 50.
ric_waypoint : ndarray of float64 or None, default None
    RIC aim points, shape (..., 3) or (..., 6): one row for every pair, or
    one per target state.

Returns
-------
pandas.DataFrame
    Columns source_idx, target_idx (int), t0, tf (s), cost (km/s), dv1_x,
    dv1_y, dv1_z, dv2_x, dv2_y, dv2_z (km/s), one row per answer. A dict
    of lists with the same keys when pandas cannot be imported.

Raises
------
TypeError
    A state or waypoint array is not a float64 NumPy array; time_bounds is
    not a tuple.
ValueError
    "source_state must have shape [..., 6]", "target_state must have shape
    [..., 6]", "ric_waypoint must have shape [..., 3] or [..., 6]", "If
    ric_waypoint is an array, it must have the same batch size as
    target_state", "Failed to reshape ..." (a layout that cannot be read
    as rows); batches whose pairs outnumber a 64-bit count;
    max_rev admits more than a million revolutions in the window (more
    than the solver solves in one call).
MemoryError
    The pairs (each with one table row) and the starts of the searches
    running at once need more memory than the process may still use
    (raised before any search), or the table of answers does.
OverflowError
    A count is negative.

Examples
--------
>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([[0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0],
...                 [-42164.0, 0.0, 0.0, 0.0, -3.074660235, 0.0]])
>>> table = orbelin.optimize_lambert_nm_multi_array(leo, geo, (0.0, 30000.0), 0, True, 8, True)
>>> list(table["target_idx"])
[0, 1]
>>> list(table.columns[:5])
['source_idx', 'target_idx', 't0', 'tf', 'cost'])doc";

inline constexpr const char* optimize_lambert_nm_multi_sunline_py =
    R"doc(Multi-start Nelder-Mead transfer search aimed at a point on the Sun line.

As optimize_lambert_nm_multi_py, but the arrival point is moved
sun_vector_offset_km from the target towards the Sun (the analytic Sun
position at the arrival time, with t0_ref the POSIX time of the states'
epoch); the target's velocity is unchanged.

Parameters
----------
source_state, target_state : ndarray of float64, shape (6,)
    Chaser and target states [x, y, z, vx, vy, vz] at a common epoch,
    km and km/s (geocentric ECI); contiguous 1-D arrays.
time_bounds : tuple of two floats
    (lo, hi): window of departure and arrival times, s after the epoch.
max_rev : int
    Largest number of complete revolutions.
optimize_rendezvous : bool
    True: cost |dv1| + |dv2|; False: cost |dv1| (dv2 NaN).
num_solvers : int
    Number of starts.
return_best_only : bool
    Keep only the cheapest answer.
sun_vector_offset_km : float
    Distance of the aim point from the target along the target-Sun line,
    km, positive towards the Sun.
t0_ref : float
    POSIX time (s since 1970-01-01 00:00:00 UTC) of the states' epoch.
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
remove_duplicates : bool, default True
    Merge answers at the same times, sorted by ascending cost.
max_iters : int or None, default None
    Nelder-Mead iteration limit per start; None means 50.

Returns
-------
LambertBurnArray
    One row per answer (zero rows when no start found a transfer). The
    elements describe the arc to the unshifted target.

Raises
------
TypeError
    A state is not a 1-D float64 NumPy array or is not contiguous;
    time_bounds is not a tuple.
ValueError
    A state does not hold 6 elements; time_bounds does not hold 2 values;
    max_rev admits more than a million revolutions in the window (more
    than the solver solves in one call).
MemoryError
    The starts (and, unless return_best_only, a result row for each)
    need more memory than the process may still use; raised before any
    search.
OverflowError
    A count is negative.

Examples
--------
Aim 10 km sunward of a GEO target, epoch 2000-01-01 12:00 UTC:

>>> import numpy as np, orbelin
>>> leo = np.array([7000.0, 0.0, 0.0, 0.0, 7.546049108, 0.0])
>>> geo = np.array([0.0, 42164.0, 0.0, -3.074660235, 0.0, 0.0])
>>> best = orbelin.optimize_lambert_nm_multi_sunline_py(
...     leo, geo, (0.0, 30000.0), 0, True, 16, True, 10.0, 946728000.0)
>>> best.cost.shape, bool(3.7 < best.cost[0] < 3.9)
((1,), True))doc";

// ---------------------------------------------------------------------------------------------------------------
// RIC frame.

inline constexpr const char* compute_angular_vel_rad_p_sec =
    R"doc(Python function: Compute angular velocity from state vector(s)

omega = (r x v) / |r|^2 of each state, the angular velocity of its RIC
frame in ECI, rad/s; (0, 0, 0) for a state at the origin.

Parameters
----------
input_state : ndarray of float64, shape (..., 6)
    States [x, y, z, vx, vy, vz], km and km/s, any batch axes.

Returns
-------
ndarray of float64, shape (..., 3)
    Angular velocity vectors, rad/s.

Raises
------
TypeError
    input_state is not a float64 NumPy array.
ValueError
    "input_state must have shape [..., 6]", "Failed to reshape
    input_state".

Examples
--------
>>> import numpy as np, orbelin
>>> w = orbelin.compute_angular_vel_rad_p_sec(np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]))
>>> bool(np.allclose(w, [0.0, 0.0, 7.5 / 7000.0]))
True)doc";

inline constexpr const char* dcm_eci2ric = R"doc(Python function: Build DCM from ECI to RIC

The direction-cosine matrix M whose rows are the unit radial (R), in-track
(I) and cross-track (C) vectors of the reference state in ECI, so that a
RIC vector is M @ (ECI vector). R is along r, C along r x v and I = C x R.
A degenerate reference (zero r or r x v) gets (1, 0, 0) for the axis that
cannot be formed.

Parameters
----------
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference states [x, y, z, vx, vy, vz], km and km/s, any batch axes.

Returns
-------
ndarray of float64, shape (..., 3, 3)
    One matrix per reference state; element [..., i, j] is ECI component
    j of axis i.

Raises
------
TypeError
    ref_state_eci is not a float64 NumPy array.
ValueError
    "ref_state_eci must have shape [..., 6]", "Failed to reshape
    ref_state_eci".

See Also
--------
dcm_ric2eci : the transpose.

Examples
--------
>>> import numpy as np, orbelin
>>> orbelin.dcm_eci2ric(np.array([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0])) + 0.0
array([[ 0.,  1.,  0.],
       [-1.,  0.,  0.],
       [ 0.,  0.,  1.]]))doc";

inline constexpr const char* dcm_ric2eci = R"doc(Python function: Build DCM from RIC to ECI

The transpose of dcm_eci2ric: its columns are the unit radial, in-track
and cross-track vectors of the reference state in ECI, so that an ECI
vector is M @ (RIC vector).

Parameters
----------
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference states [x, y, z, vx, vy, vz], km and km/s, any batch axes.

Returns
-------
ndarray of float64, shape (..., 3, 3)
    One matrix per reference state; element [..., i, j] is ECI component
    i of axis j.

Raises
------
TypeError
    ref_state_eci is not a float64 NumPy array.
ValueError
    "ref_state_eci must have shape [..., 6]", "Failed to reshape
    ref_state_eci".

Examples
--------
>>> import numpy as np, orbelin
>>> ref = np.array([[0.0, 7000.0, 0.0, -7.5, 0.0, 0.0],
...                 [7000.0, 0.0, 0.0, 0.0, 7.5, 0.0]])
>>> m = orbelin.dcm_ric2eci(ref)
>>> m.shape, bool(np.allclose(m, orbelin.dcm_eci2ric(ref).transpose(0, 2, 1)))
((2, 3, 3), True))doc";

inline constexpr const char* eci2ric_state = R"doc(Python function: Convert deputy ECI state to RIC relative state

The deputy's position and velocity relative to the reference (chief), in
the reference's rotating RIC frame: rho = M (r_d - r) and
rho_dot = M ((v_d - v) - omega x (r_d - r)), with M = dcm_eci2ric(ref) and
omega = (r x v) / |r|^2.

Parameters
----------
dep_state_eci : ndarray of float64, shape (..., 6)
    Deputy states [x, y, z, vx, vy, vz] in ECI, km and km/s.
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference (chief) states in ECI.

Returns
-------
ndarray of float64, shape (..., 6)
    Relative states [R, I, C, dR, dI, dC], km and km/s. The batch counts
    pair element by element when equal; a count of 1 on either side
    serves every element of the other. The result takes the batch axes
    of the larger side (the deputy's on a tie).

Raises
------
TypeError
    An argument is not a float64 NumPy array.
ValueError
    "dep_state_eci must have shape [..., 6]", "ref_state_eci must have
    shape [..., 6]", "Failed to reshape ...", or batch counts that differ
    with neither being 1.

See Also
--------
ric2eci_state : the inverse.

Examples
--------
A deputy 1 km above a circular chief at the same velocity drifts
backwards in the rotating frame:

>>> import numpy as np, orbelin
>>> chief = np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0])
>>> deputy = chief + [1.0, 0.0, 0.0, 0.0, 0.0, 0.0]
>>> rel = orbelin.eci2ric_state(deputy, chief)
>>> bool(np.allclose(rel, [1.0, 0.0, 0.0, 0.0, -7.5 / 7000.0, 0.0]))
True)doc";

inline constexpr const char* ric2eci_state = R"doc(Python function: Convert deputy RIC state to ECI relative state

The deputy's absolute ECI state from its state relative to the reference
(chief) in the reference's rotating RIC frame: r_d = r + M^T rho and
v_d = v + omega x (M^T rho) + M^T rho_dot. The inverse of eci2ric_state.

Parameters
----------
rel_state_ric : ndarray of float64, shape (..., 6)
    Relative states [R, I, C, dR, dI, dC], km and km/s.
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference (chief) states [x, y, z, vx, vy, vz] in ECI.

Returns
-------
ndarray of float64, shape (..., 6)
    Deputy states in ECI, km and km/s. Batch counts pair as in
    eci2ric_state.

Raises
------
TypeError
    An argument is not a float64 NumPy array.
ValueError
    "rel_state_ric must have shape [..., 6]", "ref_state_eci must have
    shape [..., 6]", "Failed to reshape ...", or batch counts that differ
    with neither being 1.

Examples
--------
>>> import numpy as np, orbelin
>>> chief = np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0])
>>> deputies = np.array([[7001.0, 0.0, 0.0, 0.0, 7.5, 0.0],
...                      [7000.0, 2.0, 0.5, 0.01, 7.5, 0.0]])
>>> rel = orbelin.eci2ric_state(deputies, chief)
>>> bool(np.allclose(orbelin.ric2eci_state(rel, chief), deputies))
True)doc";

inline constexpr const char* eci2ric_vec = R"doc(Python function: Rotate ECI vector(s) into RIC
NOTE: These are raw ECI points being rotated, not points relative to the reference state.
For relative state conversion, use eci2ric_state.

Returns M @ p with M = dcm_eci2ric(ref_state_eci); the reference position
is not subtracted.

Parameters
----------
pos_eci : ndarray of float64, shape (..., 3)
    Vectors in ECI components.
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference states [x, y, z, vx, vy, vz], km and km/s.

Returns
-------
ndarray of float64, shape (..., 3)
    The vectors in RIC components. Batch counts pair as in eci2ric_state.

Raises
------
TypeError
    An argument is not a float64 NumPy array.
ValueError
    "pos_eci must have shape [..., 3]", "ref_state_eci must have shape
    [..., 6]", "Failed to reshape ...", or batch counts that differ with
    neither being 1.

Examples
--------
>>> import numpy as np, orbelin
>>> ref = np.array([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0])
>>> orbelin.eci2ric_vec(np.array([0.0, 7000.0, 0.0]), ref) + 0.0
array([7000.,    0.,    0.]))doc";

inline constexpr const char* ric2eci_vec = R"doc(Python function: Rotate RIC vector(s) into ECI
NOTE: These are raw RIC points being rotated, not points relative to the reference state.
For relative state conversion, use ric2eci_state.

Returns M^T @ p with M = dcm_eci2ric(ref_state_eci); the reference
position is not added.

Parameters
----------
pos_ric : ndarray of float64, shape (..., 3)
    Vectors in RIC components.
ref_state_eci : ndarray of float64, shape (..., 6)
    Reference states [x, y, z, vx, vy, vz], km and km/s.

Returns
-------
ndarray of float64, shape (..., 3)
    The vectors in ECI components. Batch counts pair as in eci2ric_state.

Raises
------
TypeError
    An argument is not a float64 NumPy array.
ValueError
    "pos_ric must have shape [..., 3]", "ref_state_eci must have shape
    [..., 6]", "Failed to reshape ...", or batch counts that differ with
    neither being 1.

Examples
--------
One reference serves many vectors:

>>> import numpy as np, orbelin
>>> ref = np.array([0.0, 7000.0, 0.0, -7.5, 0.0, 0.0])
>>> orbelin.ric2eci_vec(np.eye(3), ref) + 0.0
array([[ 0.,  1.,  0.],
       [-1.,  0.,  0.],
       [ 0.,  0.,  1.]]))doc";

inline constexpr const char* apply_ric_waypoint_offset =
    R"doc(Python function: Apply RIC waypoint offset to target state(s)
ric_waypoint can be either [dr_r, dr_i, dr_c] (3 elements) or [dr_r, dr_i, dr_c, dv_r, dv_i, dv_c] (6 elements)
If only 3 elements are provided, velocity offset is assumed to be zero

The ECI state of the point whose RIC relative state with respect to the
target is the waypoint (as ric2eci_state): a zero velocity offset means
zero velocity in the rotating RIC frame.

Parameters
----------
target_state_eci : ndarray of float64, shape (..., 6)
    Target states [x, y, z, vx, vy, vz] in ECI, km and km/s.
ric_waypoint : ndarray of float64, shape (..., 3) or (..., 6)
    Offsets: position in km, velocity in km/s.

Returns
-------
ndarray of float64, shape (..., 6)
    The offset states in ECI. Batch counts pair element by element when
    equal; a count of 1 on either side serves every element of the other.

Raises
------
TypeError
    An argument is not a float64 NumPy array.
ValueError
    "target_state_eci must have shape [..., 6]", "ric_waypoint must have
    shape [..., 3] or [..., 6]", "If both target_state_eci and
    ric_waypoint are arrays, they must have matching batch sizes",
    "Failed to reshape ...".

Examples
--------
A point 2 km behind a circular target:

>>> import numpy as np, orbelin
>>> target = np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0])
>>> aim = orbelin.apply_ric_waypoint_offset(target, np.array([0.0, -2.0, 0.0]))
>>> bool(np.allclose(aim, [7000.0, -2.0, 0.0, 2 * 7.5 / 7000.0, 7.5, 0.0]))
True)doc";

// ---------------------------------------------------------------------------------------------------------------
// Sun position.

inline constexpr const char* compute_sun_state_jd =
    R"doc(Python wrapper for computing Sun's ECI position from Julian date(s)

Approximates the Sun's ECI XYZ position vector for given Julian date(s).
Results are in kilometers.

# Arguments
* `jd` - Julian date(s) as scalar f64 or array of f64 values

# Returns
* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.
  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN).

A low-precision analytic solar theory (mean longitude and anomaly, a
two-term equation of centre and distance series, linearly varying
obliquity), geocentric, mean equator of date.

Parameters
----------
jd : float or sequence of float
    One Julian date (days), or a 1-D list or float64 array of N dates.

Returns
-------
ndarray of float64, shape (N, 6)
    x, y, z of the Sun in km, then three NaN columns; (1, 6) for a number.

Raises
------
TypeError
    A list of ints or an array of another dtype than float64.
ValueError
    "Julian date array must be 1D, got <n>D", "Julian date input cannot
    be empty".

Examples
--------
>>> import numpy as np, orbelin
>>> sun = orbelin.compute_sun_state_jd([2451545.0, 2451636.0])
>>> sun.shape
(2, 6)
>>> au = 149597870.7
>>> bool(0.983 < np.linalg.norm(sun[0, :3]) / au < 1.017), bool(np.isnan(sun[:, 3:]).all())
(True, True))doc";

inline constexpr const char* compute_sun_state_posix =
    R"doc(Python wrapper for computing Sun's ECI position from POSIX time(s)

Approximates the Sun's ECI XYZ position vector for given POSIX time(s).
Results are in kilometers.

# Arguments
* `posix` - POSIX time(s) in seconds since 1970-01-01 00:00:00 UTC as scalar f64 or array of f64 values

# Returns
* PyArrayDyn<f64> with shape (N, 6) where N is the number of input times.
  Columns are X, Y, Z positions (km) and velocity (NaN, NaN, NaN).

The same as compute_sun_state_jd after JD = posix / 86400 + 2440587.5.

Parameters
----------
posix : float or sequence of float
    One POSIX time (s), or a 1-D list or float64 array of N times.

Returns
-------
ndarray of float64, shape (N, 6)
    x, y, z of the Sun in km, then three NaN columns; (1, 6) for a number.

Raises
------
TypeError
    A list of ints or an array of another dtype than float64.
ValueError
    "POSIX time array must be 1D, got <n>D", "POSIX time input cannot be
    empty".

Examples
--------
2000-01-01 12:00:00 UTC is Julian date 2451545.0:

>>> import numpy as np, orbelin
>>> a = orbelin.compute_sun_state_posix(946728000.0)
>>> b = orbelin.compute_sun_state_jd(2451545.0)
>>> a.shape, bool(np.allclose(a[:, :3], b[:, :3]))
((1, 6), True))doc";

// ---------------------------------------------------------------------------------------------------------------
// Orbital elements.

inline constexpr const char* rv2coe = R"doc(Python function: Convert ECI state vector(s) to classical orbital elements

Elements [a, e, i, raan, argp, nu] of each state: semi-major axis (km;
negative for a hyperbola, inf for a parabola), eccentricity, inclination,
right ascension of the ascending node, argument of periapsis and true
anomaly, every angle in [0, 360) degrees (or [0, 2 pi) radians). Circular
orbits get argp = 0 and nu measured from the node (or from the x axis when
also equatorial); equatorial orbits get raan = 0 and argp measured from
the x axis. With special=True three more columns follow: argument of
latitude, true longitude and longitude of periapsis.

Parameters
----------
eci_state_rv : ndarray of float64, shape (..., 6)
    States [x, y, z, vx, vy, vz], km and km/s, any batch axes.
deg : bool, default True
    Angles in degrees (True) or radians (False).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.
tol : float, default 1e-8
    Threshold for circular (e < tol), equatorial (sin i < tol) and
    parabolic (|energy| < tol) orbits.
special : bool, default False
    Append the three special angles.

Returns
-------
ndarray of float64, shape (..., 6) or (..., 9) with special
    The elements of each state.

Raises
------
TypeError
    eci_state_rv is not a float64 NumPy array.
ValueError
    "eci_state_rv must have shape [..., 6]", "Failed to reshape
    eci_state_rv".

See Also
--------
coe2rv : the inverse.

Examples
--------
Curtis, Example 4.3:

>>> import numpy as np, orbelin
>>> state = np.array([-6045.0, -3490.0, 2500.0, -3.457, 6.618, 2.533])
>>> [round(float(x), 2) for x in orbelin.rv2coe(state, mu=398600.0)]
[8788.1, 0.17, 153.25, 255.28, 20.07, 28.45])doc";

inline constexpr const char* coe2rv = R"doc(Python function: Convert classical orbital elements to ECI state vector(s)
Angles are assumed to be in degrees by default (can be changed to radians by setting deg=False)

The inverse of rv2coe for its first six columns: the perifocal position
and velocity rotated by the 3-1-3 angles raan, i, argp. A parabolic
element set (a infinite) gives NaN.

Parameters
----------
coe : ndarray of float64, shape (..., 6)
    Elements [a, e, i, raan, argp, nu]: a in km, angles in degrees (or
    radians with deg=False), any batch axes.
deg : bool, default True
    Angles in degrees (True) or radians (False).
mu : float, default 398600.4418
    Gravitational parameter, km^3/s^2.

Returns
-------
ndarray of float64, shape (..., 6)
    States [x, y, z, vx, vy, vz], km and km/s.

Raises
------
TypeError
    coe is not a float64 NumPy array.
ValueError
    "coe must have shape [..., 6]", "Failed to reshape coe".

Examples
--------
>>> import numpy as np, orbelin
>>> states = np.array([[-6045.0, -3490.0, 2500.0, -3.457, 6.618, 2.533],
...                    [7000.0, 100.0, -50.0, 0.1, 7.4, 1.0]])
>>> back = orbelin.coe2rv(orbelin.rv2coe(states))
>>> back.shape, bool(np.allclose(back, states))
((2, 6), True))doc";

}  // namespace orbelin::py::doc
