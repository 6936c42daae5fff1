"""The package around the module: its type stubs and its import from a checkout."""

import ast
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def stub(native):
    """The module's stub, as installed beside it: top-level name to AST node."""
    package = pathlib.Path(native.__file__).parent
    assert (package / "py.typed").is_file()
    assert (package / "__init__.pyi").is_file()
    tree = ast.parse((package / "_native.pyi").read_text(encoding="utf-8"))
    nodes = {"__doc__": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            nodes[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            nodes[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                nodes[target.id] = node
    return nodes


def stub_parameters(function, drop_first):
    """(name, kind, default) of a stub function's parameters; default is
    inspect's `empty` when there is none."""
    args = function.args
    assert not args.posonlyargs and not args.kwonlyargs and not args.kwarg
    params = args.args[1:] if drop_first else args.args
    defaults = [inspect.Parameter.empty] * (len(params) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    out = [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for p, d in zip(params, defaults)]
    if args.vararg:
        out.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    return out


def runtime_parameters(obj, drop_first):
    params = list(inspect.signature(obj).parameters.values())
    if drop_first:
        params = params[1:]
    return [(p.name, p.kind, p.default) for p in params]


def runtime_members(cls):
    """The names a caller uses on instances or the class, dunders aside."""
    return {name for name in vars(cls)
            if not name.startswith("__") or name in ("__enter__", "__exit__")}


def stub_members(node):
    return {n.name for n in node.body if isinstance(n, ast.FunctionDef)} - {"__new__", "__eq__"}


def test_stub_names_are_the_modules(native, stub):
    assert ast.literal_eval(stub["__all__"].value) == native.__all__
    assert set(stub) - {"__doc__", "__all__", "_Path"} == set(native.__all__)
    assert stub["__doc__"] == native.__doc__
    for name in native.__all__:
        if isinstance(getattr(native, name), type):
            assert isinstance(stub[name], ast.ClassDef), name
        elif callable(getattr(native, name)):
            assert isinstance(stub[name], ast.FunctionDef), name


def test_stub_signatures_and_docs_are_the_modules(native, stub):
    checked = 0
    for name in native.__all__:
        obj, node = getattr(native, name), stub[name]
        if isinstance(node, ast.FunctionDef):
            assert stub_parameters(node, False) == runtime_parameters(obj, False), name
            assert ast.get_docstring(node) == obj.__doc__, name
            checked += 1
        elif isinstance(node, ast.ClassDef) and not issubclass(obj, BaseException):
            assert ast.get_docstring(node) == obj.__doc__, name
            assert stub_members(node) == runtime_members(obj), name
            for member in node.body:
                if not isinstance(member, ast.FunctionDef) or member.name == "__eq__":
                    continue
                qualname = f"{name}.{member.name}"
                if member.name == "__new__":
                    assert obj.__text_signature__ is not None, qualname
                    assert stub_parameters(member, True) == runtime_parameters(obj, False), qualname
                    continue
                runtime = getattr(obj, member.name)
                static = isinstance(inspect.getattr_static(obj, member.name), staticmethod)
                if isinstance(runtime, property) or type(runtime).__name__ == "getset_descriptor":
                    assert any(isinstance(d, ast.Name) and d.id == "property"
                               for d in member.decorator_list), qualname
                else:
                    assert stub_parameters(member, not static) == \
                        runtime_parameters(runtime, not static), qualname
                assert ast.get_docstring(member) == runtime.__doc__, qualname
                checked += 1
    assert checked


@pytest.mark.parametrize("pythonpath", [True, False], ids=["built", "not_on_the_path"])
def test_import_from_the_checkout_root(native, pythonpath):
    # Started in the root, Python finds the source package first; it holds no
    # module, so the package must find the built one or say what to do.
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = str(pathlib.Path(native.__file__).parents[1])
    result = subprocess.run(
        [sys.executable, "-S", "-c", "import tarvel_binary; print(tarvel_binary._native.__file__)"],
        cwd=ROOT, env=env, capture_output=True, text=True)
    if pythonpath:
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == native.__file__
    else:
        assert result.returncode != 0
        assert "tarvel_binary._native is not built or not on the path" in result.stderr
