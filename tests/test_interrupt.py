"""Ctrl-C during long calls: a child process runs a call that takes far longer than the signal needs to arrive, the
test sends it SIGINT, and KeyboardInterrupt must arrive soon after, leaving the module working in that process."""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import orbelin

CHILD = textwrap.dedent(
    """
    import signal
    import time
    import numpy as np
    import orbelin

    # A process started from a shell's background job inherits SIGINT ignored, and Python then leaves it ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    source = np.array([7000.0, 0.0, 0.0, 0.0, 7.546, 0.0])
    target = np.array([0.0, 7100.0, 0.0, -7.49, 0.0, 0.1])
    {setup}
    print("ready", flush=True)
    try:
        call()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
    # The pool survives: a small batch still gives one row per case.
    dv = orbelin.lambert_izzo_best_dv(np.tile(source, (5, 1)), np.tile(target, (5, 1)), 3000.0, 0)
    print("after", dv[0].shape, flush=True)
    """
)

# A flight long enough for a million revolutions, the most one call solves: two million arcs on the calling thread,
# about a second of work on this machine, so the signal below comes early in it.
MILLION_REVOLUTIONS = (
    "r1 = np.array([7000.0, 0.0, 0.0]); r2 = np.array([0.0, 7100.0, 0.0])\n"
    "s = (7000.0 + 7100.0 + np.linalg.norm(r2 - r1)) / 2.0\n"
    "tof = 1.0000001e6 * np.pi / np.sqrt(2.0 * 398600.4418 / s**3)\n"
)

# Calls that run for a second or (most of them) far longer.
LONG_CALLS = {
    # On the calling thread alone.
    "lambert_izzo_single": MILLION_REVOLUTIONS + "call = lambda: orbelin.lambert_izzo_single(r1, r2, tof, 10**6, False)",
    # On the pool's threads: 200,000 position pairs x 100 times of flight, which the call counts before it sizes its
    # result (max_rev is far above the 10 revolutions these times allow, so no case settles the count early). A
    # single case of a million revolutions would not do here: once interrupted, its remaining arcs still get their
    # records (with their elements or derivatives), which takes seconds under the sanitizers.
    "lambert_izzo_vec": (
        "r1 = np.tile(source[:3], (200000, 1)); r2 = np.tile(target[:3], (200000, 1))\n"
        "call = lambda: orbelin.lambert_izzo_vec(r1, r2, np.linspace(30000.0, 60000.0, 100), 1000, False)"
    ),
    "lambert_izzo_jacobian": (
        "r1 = np.tile(source[:3], (200000, 1)); r2 = np.tile(target[:3], (200000, 1))\n"
        "call = lambda: orbelin.lambert_izzo_jacobian(r1, r2, np.linspace(30000.0, 60000.0, 100), 1000, False)"
    ),
    # 100,000 state pairs x 20 times of flight, up to 10 revolutions both ways round.
    "lambert_izzo_best_dv": (
        "s1 = np.tile(source, (100000, 1)); s2 = np.tile(target, (100000, 1))\n"
        "call = lambda: orbelin.lambert_izzo_best_dv(s1, s2, np.linspace(30000.0, 60000.0, 20), 10)"
    ),
    # 1.5 million porkchop cells of up to 20 revolutions both ways round.
    "lambert_porkchop": (
        "s1 = np.tile(source, (1500, 1)); s2 = np.tile(target, (1000, 1))\n"
        "call = lambda: orbelin.lambert_porkchop(s1, s2, np.zeros(1500), np.linspace(30000.0, 120000.0, 1000), 20)"
    ),
    # A million Nelder-Mead searches.
    "optimize_lambert_nm_multi_py": (
        "call = lambda: orbelin.optimize_lambert_nm_multi_py(source, target, (0.0, 20000.0), 1, False, 10**6, True)"
    ),
    # 16,000 state pairs, each a multi-start search whose starts form a loop nested in the pair's task.
    "optimize_lambert_nm_multi_array": (
        "s1 = np.tile(source, (400, 1)); s2 = np.tile(target, (40, 1))\n"
        "call = lambda: orbelin.optimize_lambert_nm_multi_array(s1, s2, (0.0, 20000.0), 1, False, 100, True)"
    ),
}


class LineReader:
    """Lines of a pipe, each awaited for at most a given time (unbuffered, so select() sees every byte)."""

    def __init__(self, fd):
        self.fd = fd
        self.pending = b""

    def line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return ""
            chunk = os.read(self.fd, 4096)
            if not chunk:
                return ""
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()


@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_sigint_interrupts_a_long_call_promptly(name):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD.format(setup=LONG_CALLS[name])],
        stdout=subprocess.PIPE,
    )
    lines = LineReader(child.stdout.fileno())
    try:
        assert lines.line(60.0) == "ready"
        time.sleep(0.2)
        sent = time.monotonic()  # CLOCK_MONOTONIC: the same clock in both processes
        child.send_signal(signal.SIGINT)
        outcome = lines.line(20.0).split()
        assert outcome and outcome[0] == "interrupted"
        # Typically milliseconds; the bound only has to separate a prompt stop from running the call out.
        assert float(outcome[1]) - sent < 5.0
        assert lines.line(20.0) == "after (5,)"
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()


class Alarm(Exception):
    pass


def test_a_signal_handler_exception_ends_the_call_and_propagates_unchanged():
    def on_alarm(signum, frame):
        raise Alarm("timer fired")

    source = np.tile([7000.0, 0.0, 0.0, 0.0, 7.546, 0.0], (100000, 1))
    target = np.tile([0.0, 7100.0, 0.0, -7.49, 0.0, 0.1], (100000, 1))
    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.monotonic()
        with pytest.raises(Alarm, match="timer fired"):
            # Half a minute of work uninterrupted.
            orbelin.lambert_izzo_best_dv(source, target, np.linspace(30000.0, 60000.0, 20), 10)
        assert time.monotonic() - start < 10.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The module keeps working in this process.
    dv = orbelin.lambert_izzo_best_dv(source[:3], target[:3], 3000.0, 0)
    assert dv[0].shape == (3,)
