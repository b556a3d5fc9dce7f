"""Copies the help texts of the installed orbelin module into its type stubs.

The texts are written once, in src/python/docstrings.hpp; the stubs carry the
same texts so that editors show them. After changing a text, rebuild and
install the module, then run

    python stubs/sync_docstrings.py          # rewrite the stubs' docstrings
    python stubs/sync_docstrings.py --check  # exit 1 if they differ

tests/test_stubs.py fails while the two differ.
"""

import ast
import inspect
import pathlib
import sys

STUB = pathlib.Path(__file__).resolve().parent / "orbelin-stubs" / "__init__.pyi"


def runtime_doc(module, path):
    """The __doc__ of the module attribute at `path` (a tuple of names)."""
    obj = module
    for name in path:
        obj = getattr(obj, name)
    doc = obj.__doc__
    if doc is None:
        raise SystemExit(f"orbelin.{'.'.join(path)} has no docstring")
    return doc


def docstring_nodes(tree):
    """(path, docstring expression node) for the module, classes, properties and functions."""
    yield (), tree.body[0]
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield (node.name,), node.body[0]
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    yield (node.name, member.name), member.body[0]
        elif isinstance(node, ast.FunctionDef):
            yield (node.name,), node.body[0]


def render(doc, indent):
    if '"""' in doc or "\\" in doc:
        raise SystemExit(f"cannot write this docstring into a stub: {doc[:60]!r}")
    lines = doc.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{doc}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line else "" for line in lines[1:]]
    out.append(f'{indent}"""')
    return out


def synced_text(module, text):
    tree = ast.parse(text)
    lines = text.split("\n")
    edits = []
    for path, node in docstring_nodes(tree):
        if not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)):
            raise SystemExit(f"stub entry {'.'.join(path) or '<module>'} has no docstring")
        edits.append((node.lineno, node.end_lineno, render(runtime_doc(module, path), " " * node.col_offset)))
    for start, end, new in sorted(edits, reverse=True):
        lines[start - 1:end] = new
    return "\n".join(lines)


def main():
    import orbelin

    text = STUB.read_text()
    new = synced_text(orbelin, text)
    if "--check" in sys.argv[1:]:
        if new != text:
            print(f"{STUB} differs from the help texts of orbelin {orbelin.__file__}", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(new)
    return 0


if __name__ == "__main__":
    sys.exit(main())
