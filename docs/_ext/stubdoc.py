"""Signatures and missing docstrings for autodoc, taken from the stubs.

The extension modules' functions carry plain text signatures (parameters
and literal defaults, no types), and a few carry no docstring at all. The
``.pyi`` stubs installed with the package hold both: typed signatures for
every function and method, with the documented defaults, and the
documentation of the names whose runtime docstring is empty. This extension reads the stubs of
the installed package and gives autodoc

- the stub's signature of every function, method and class it documents;
- the stub's docstring wherever the runtime object has none.

A docstring's first line that repeats the call signature is dropped, since
the rendered signature above it says the same, more precisely.
"""
import ast
import importlib.util
import inspect
import pathlib
import re

_STUBS = None


def _load_stubs():
    """{qualified name: (signature, return annotation, docstring)} of every stub."""
    package = importlib.util.find_spec("tarnu")
    found = {}
    for root in package.submodule_search_locations:
        for path in sorted(pathlib.Path(root).rglob("*.pyi")):
            parts = path.relative_to(root).with_suffix("").parts
            module = ".".join(("tarnu",) + tuple(p for p in parts if p != "__init__"))
            tree = ast.parse(path.read_text())
            tree = _Readable(_aliases(tree)).visit(tree)
            _walk(tree, module, found, in_class=False)
    return found


def _aliases(tree):
    """The module's private type aliases (``_Seconds = Union[...]``), which
    mean nothing to a reader, by name."""
    aliases = {}
    for item in tree.body:
        if (
            isinstance(item, ast.Assign)
            and len(item.targets) == 1
            and isinstance(item.targets[0], ast.Name)
            and item.targets[0].id.startswith("_")
            and not isinstance(item.value, ast.Call)  # TypeVar, ParamSpec
        ):
            aliases[item.targets[0].id] = item.value
    return aliases


class _Readable(ast.NodeTransformer):
    """Writes annotations as a reader expects them: private aliases spelled
    out, ``Optional[X]`` as ``X | None`` and ``Union[A, B]`` as ``A | B``."""

    def __init__(self, aliases):
        self.aliases = aliases

    def visit_Name(self, node):
        if node.id in self.aliases:
            return self.visit(self.aliases[node.id])
        return node

    def visit_Subscript(self, node):
        node = self.generic_visit(node)
        name = node.value.id if isinstance(node.value, ast.Name) else None
        items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
        if name == "Optional":
            items = items + [ast.Constant(None)]
        elif name != "Union":
            return node
        result = items[0]
        for item in items[1:]:
            result = ast.BinOp(result, ast.BitOr(), item)
        return result


def _walk(node, prefix, found, in_class):
    body = node.body
    for index, item in enumerate(body):
        if isinstance(item, ast.ClassDef):
            name = f"{prefix}.{item.name}"
            init = next(
                (f for f in item.body if isinstance(f, ast.FunctionDef) and f.name == "__init__"),
                None,
            )
            signature = _signature(init, drop_first=True)[0] if init else None
            found.setdefault(name, (signature, None, ast.get_docstring(item)))
            _walk(item, name, found, in_class=True)
        elif isinstance(item, ast.FunctionDef):
            name = f"{prefix}.{item.name}"
            # The first of a set of overloads is the one shown.
            if name in found:
                continue
            signature, returns = _signature(item, drop_first=in_class and not _is_static(item))
            found[name] = (signature, returns, ast.get_docstring(item))
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            # A string right after a variable is its docstring.
            following = body[index + 1] if index + 1 < len(body) else None
            if (
                isinstance(following, ast.Expr)
                and isinstance(following.value, ast.Constant)
                and isinstance(following.value.value, str)
            ):
                doc = inspect.cleandoc(following.value.value)
                found[f"{prefix}.{item.target.id}"] = (None, None, doc)


def _is_static(func):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in func.decorator_list)


def _signature(func, drop_first):
    args = func.args
    if drop_first:
        args = ast.arguments(
            posonlyargs=args.posonlyargs[1:] if args.posonlyargs else [],
            args=args.args if args.posonlyargs else args.args[1:],
            vararg=args.vararg,
            kwonlyargs=args.kwonlyargs,
            kw_defaults=args.kw_defaults,
            kwarg=args.kwarg,
            defaults=args.defaults,
        )
    returns = ast.unparse(func.returns) if func.returns is not None else None
    return f"({ast.unparse(args)})", returns


def _stubs():
    global _STUBS
    if _STUBS is None:
        _STUBS = _load_stubs()
    return _STUBS


def _process_signature(app, what, name, obj, options, signature, return_annotation):
    entry = _stubs().get(name)
    if entry is None or entry[0] is None:
        return None
    return _with_defaults(entry[0], signature), entry[1]


def _with_defaults(stub, documented):
    """The stub's signature, with the defaults that the stub leaves as
    ``...`` taken from the docstring's signature (``TIME_PASSED``) where it
    names them."""
    if not documented or "..." not in stub:
        return stub
    try:
        ours = ast.parse(f"def f{stub}: pass").body[0].args
        theirs = ast.parse(f"def f{documented}: pass").body[0].args
    except SyntaxError:
        return stub
    named = {}
    for params, defaults in ((theirs.args, theirs.defaults), (theirs.kwonlyargs, theirs.kw_defaults)):
        for param, default in zip(params[len(params) - len(defaults):], defaults):
            if default is not None:
                named[param.arg] = default
    for params, defaults in ((ours.args, ours.defaults), (ours.kwonlyargs, ours.kw_defaults)):
        offset = len(params) - len(defaults)
        for i, default in enumerate(defaults):
            if isinstance(default, ast.Constant) and default.value is Ellipsis:
                defaults[i] = named.get(params[offset + i].arg, default)
    return f"({ast.unparse(ours)})"


def _process_docstring(app, what, name, obj, options, lines):
    entry = _stubs().get(name)
    short = name.rsplit(".", 1)[-1]
    # A first line that names the call ("run_until(ex_time, ...)") repeats
    # the signature rendered above it.
    if lines and re.match(rf"{re.escape(short)}\(.*\):?\s*$", lines[0]):
        del lines[0]
        while lines and not lines[0].strip():
            del lines[0]
    if entry is None or not entry[2]:
        return
    # A constant's own docstring is its type's; the stub says what it means.
    if what == "data" or not any(line.strip() for line in lines):
        lines[:] = entry[2].splitlines() + [""]


def setup(app):
    app.connect("autodoc-process-signature", _process_signature)
    app.connect("autodoc-process-docstring", _process_docstring)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
