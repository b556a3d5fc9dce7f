"""Shared test helpers."""

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
