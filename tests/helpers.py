"""Shared test helpers."""

import os
import subprocess
import sys
import textwrap

import pytest


def panic_text(fn, *args, **kwargs):
    """Runs fn and returns the text of the PanicException it must raise.

    PanicException is not a module attribute and derives from BaseException,
    so it is recognised by name and by not being an Exception."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        assert type(e).__name__ == "PanicException", repr(e)
        assert not isinstance(e, Exception)
        return str(e)
    pytest.fail("no PanicException raised")


SETTING = "ORBELIN_NUM_THREADS"


def run_python(code, env=None, cpus=None, timeout=120, address_space=None):
    """Runs `code` in a fresh interpreter and returns its stripped stdout; the
    child must exit 0.

    The child inherits this process's environment without ORBELIN_NUM_THREADS,
    so that a value set in the shell running the tests changes nothing; `env`
    adds variables (that one included). `cpus` pins the child with taskset;
    `address_space` (bytes) lowers its RLIMIT_AS, as `ulimit -v` does."""
    child_env = {k: v for k, v in os.environ.items() if k != SETTING}
    child_env.update(env or {})
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if cpus is not None:
        cmd = ["taskset", "-c", cpus] + cmd

    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (address_space, resource.getrlimit(resource.RLIMIT_AS)[1]))

    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=child_env,
                          preexec_fn=limit if address_space is not None else None)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


_COUNT_WORKERS = """
    import os
    import numpy  # its own threads start here, before ours
    before = len(os.listdir('/proc/self/task'))
    import orbelin
    print(len(os.listdir('/proc/self/task')) - before)
"""


def count_pool_workers(env=None, cpus=None):
    """The number of threads that `import orbelin` starts in a fresh interpreter."""
    return int(run_python(_COUNT_WORKERS, env, cpus))
