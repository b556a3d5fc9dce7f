"""Writes the type stubs of the orbelin extension module (PEP 561 package
orbelin-stubs) from the module itself, the way nanobind's stubgen does.

The build runs it on the module it has just linked:

    python stubs/stubgen.py MODULE_DIR OUTPUT.pyi

Everything in the stub comes from the module: the names and their order from
__all__ (the registration table), each function's parameters and which of them
are optional from its text signature, the classes' attributes from their
descriptors, every docstring word for word, and the types and default values
from the NumPy-style sections of the docstrings ("name : type, default value",
"Returns", "Attributes"). A type phrase that the table below does not know
stops the generation, so a new kind of parameter cannot slip into the stubs
untyped.
"""

import inspect
import pathlib
import re
import sys

# Scalar-or-array times: one number, or a 1-D list or float64 array of them.
TIMES = "_Times"
ALIASES = {TIMES: "float | Sequence[float] | NDArray[np.float64]"}

# Documented type phrase (the text before ", shape" or ", default") -> annotation.
TYPES = {
    "float": "float",
    "int": "int",
    "bool": "bool",
    "ndarray of float64": "NDArray[np.float64]",
    "ndarray of uint64": "NDArray[np.uint64]",
    "ndarray of int64": "NDArray[np.int64]",
    "ndarray of bool": "NDArray[np.bool_]",
    "tuple of two floats": "tuple[float, float]",
    "tuple of two ndarray of float64": "tuple[NDArray[np.float64], NDArray[np.float64]]",
    "float or sequence of float": TIMES,
    "float or ndarray of float64": "float | NDArray[np.float64]",
    "LambertSolutionArray": "LambertSolutionArray",
    "LambertBurnArray": "LambertBurnArray",
    "LambertPorkchopArray": "LambertPorkchopArray",
    # pandas is optional at run time, and without it the function returns a dict.
    "pandas.DataFrame": "Any",
}

WIDTH = 120


def annotation(phrase, where):
    """The annotation of a documented type phrase such as 'ndarray of float64, shape (..., 3)'."""
    phrase = phrase.split(", shape")[0].split(", same shape")[0].strip()
    optional = phrase.endswith(" or None")
    if optional:
        phrase = phrase[: -len(" or None")]
    if phrase not in TYPES:
        raise SystemExit(f"stubgen: {where}: no annotation for the documented type {phrase!r}")
    return TYPES[phrase] + (" | None" if optional else "")


def sections(doc):
    """{section title: [lines]} of a NumPy-style docstring."""
    out, title, lines = {}, None, doc.split("\n")
    for i, line in enumerate(lines):
        if i + 1 < len(lines) and lines[i + 1] and set(lines[i + 1]) == {"-"} and len(lines[i + 1]) == len(line):
            title = line
            out[title] = []
        elif title is not None and not (line and set(line) == {"-"}):
            out[title].append(line)
    return out


def entries(lines):
    """(names, type text) of the unindented 'a, b : type' lines of a section."""
    for line in lines:
        if line and not line.startswith(" ") and " : " in line:
            head, _, tail = line.partition(" : ")
            yield [n.strip() for n in head.split(",")], tail
        elif line and not line.startswith(" "):
            yield [], line


def parameter_lines(fn):
    """{parameter: (annotation, default text or None)} from the Parameters section."""
    out = {}
    for names, tail in entries(sections(fn.__doc__).get("Parameters", [])):
        default = None
        if ", default " in tail:
            tail, _, default = tail.partition(", default ")
        for name in names:
            out[name] = (annotation(tail, f"{fn.__name__}({name})"), default)
    return out


def return_annotation(fn):
    items = list(entries(sections(fn.__doc__).get("Returns", [])))
    if not items:
        raise SystemExit(f"stubgen: {fn.__name__} documents no result")
    if len(items) == 1 and (len(items[0][0]) <= 1 or items[0][1].startswith("tuple of")):
        names, tail = items[0]
        return annotation(tail, f"{fn.__name__} result")
    # Several named results: the function returns them as a tuple, in order.
    parts = []
    for names, tail in items:
        parts += [annotation(tail, f"{fn.__name__} result {names}")] * len(names)
    return f"tuple[{', '.join(parts)}]"


def docstring(text, indent):
    if '"""' in text or "\\" in text:
        raise SystemExit(f"stubgen: cannot write this docstring into a stub: {text[:60]!r}")
    lines = text.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{text}"""']
    return [f'{indent}"""{lines[0]}'] + [f"{indent}{line}" if line else "" for line in lines[1:]] + [f'{indent}"""']


def function_stub(fn):
    documented = parameter_lines(fn)
    params = []
    for name, p in inspect.signature(fn).parameters.items():
        if name not in documented:
            raise SystemExit(f"stubgen: {fn.__name__}: parameter {name} is not documented")
        ann, default = documented[name]
        if p.default is inspect.Parameter.empty:
            params.append(f"{name}: {ann}")
        elif default is None:
            raise SystemExit(f"stubgen: {fn.__name__}: optional parameter {name} documents no default")
        else:
            params.append(f"{name}: {ann} = {default}")
    result = return_annotation(fn)
    one_line = f"def {fn.__name__}({', '.join(params)}) -> {result}:"
    if len(one_line) <= WIDTH:
        head = [one_line]
    else:
        head = [f"def {fn.__name__}("] + [f"    {p}," for p in params] + [f") -> {result}:"]
    return head + docstring(fn.__doc__, "    ")


def class_stub(cls):
    types = {}
    for names, tail in entries(sections(cls.__doc__).get("Attributes", [])):
        for name in names:
            types[name] = annotation(tail, f"{cls.__name__}.{name}")
    out = ["@final", f"class {cls.__name__}:"] + docstring(cls.__doc__, "    ") + [""]
    for name, member in vars(cls).items():
        if name.startswith("_") or not inspect.isdatadescriptor(member):
            continue
        if name not in types:
            raise SystemExit(f"stubgen: {cls.__name__}.{name} is not documented under Attributes")
        out += ["    @property", f"    def {name}(self) -> {types[name]}:"] + docstring(member.__doc__, "        ")
    return out


def stub_text(module):
    lines = docstring(module.__doc__, "") + [
        "",
        "from collections.abc import Sequence",
        "from typing import Any, final",
        "",
        "import numpy as np",
        "from numpy.typing import NDArray",
        "",
        "__version__: str",
        "__all__ = [",
    ]
    lines += [f'    "{name}",' for name in module.__all__] + ["]", ""]
    lines += ["# A time of flight or a date: one number, or a 1-D list or float64 array of them."]
    lines += [f"{alias} = {value}" for alias, value in ALIASES.items()]
    for name in module.__all__:
        obj = getattr(module, name)
        lines += ["", ""] if isinstance(obj, type) or lines[-1].startswith("@") else [""]
        lines += class_stub(obj) if isinstance(obj, type) else function_stub(obj)
    text = "\n".join(lines) + "\n"
    return re.sub(r"\n{3,}", "\n\n\n", text)


def main(argv):
    if len(argv) != 3:
        raise SystemExit("usage: stubgen.py MODULE_DIR OUTPUT.pyi")
    module_dir = pathlib.Path(argv[1]).resolve()
    sys.path.insert(0, str(module_dir))
    import orbelin

    if pathlib.Path(orbelin.__file__).resolve().parent != module_dir:
        raise SystemExit(f"stubgen: imported {orbelin.__file__}, not the module in {module_dir}")
    out = pathlib.Path(argv[2])
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(stub_text(orbelin))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
