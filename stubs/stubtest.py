"""Runs mypy's stubtest on the installed orbelin module and its stubs.

The functions' text signatures show every optional parameter as "=...", so
stubtest reads Ellipsis as each runtime default where the stubs give the real
value. That finding, and only that one, is tolerated: any other finding (a
missing or extra name, a parameter of another name, kind or order, a type
that does not fit the runtime value) fails the run.
"""

import re
import subprocess
import sys
import tempfile

TOLERATED = re.compile(
    r'^error: orbelin\.\w+ is inconsistent, runtime parameter "\w+" has a default value of Ellipsis, '
    r"which is different from stub parameter default .+$"
)


def main():
    # From an empty directory, so that nothing in the checkout shadows the installed module.
    with tempfile.TemporaryDirectory() as empty:
        done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orbelin"], cwd=empty, capture_output=True,
                              text=True)
    findings = [line for line in done.stdout.splitlines() if line.startswith("error")]
    unexpected = [line for line in findings if not TOLERATED.match(line)]
    if unexpected or done.returncode not in (0, 1) or (done.returncode == 1 and not findings):
        sys.stdout.write(done.stdout)
        sys.stderr.write(done.stderr)
        print(f"stubtest: {len(unexpected)} finding(s) besides the '=...' defaults", file=sys.stderr)
        return 1
    print(f"stubtest: no finding besides the {len(findings)} '=...' defaults of the text signatures")
    return 0


if __name__ == "__main__":
    sys.exit(main())
