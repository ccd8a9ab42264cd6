"""The type information shipped for the extension: the stub agrees with the module, and a user file checks."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import lumora

TESTS = Path(__file__).resolve().parent
STUB = TESTS.parent / "src" / "lumora" / "core" / "simulation_storage.pyi"
SAMPLE = TESTS / "typing_sample.py"

KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD}


def stub_functions():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def stub_parameters(node):
    """(name, kind, default, annotation text) for each parameter, as inspect would report them."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    params = []
    for arg, default in zip(positional, defaults, strict=True):
        kind = KINDS["posonlyargs"] if arg in args.posonlyargs else KINDS["args"]
        params.append((arg.arg, kind, default, ast.unparse(arg.annotation)))
    assert args.vararg is None and args.kwarg is None
    for arg, default in zip(args.kwonlyargs, args.kw_defaults, strict=True):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        params.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, value, ast.unparse(arg.annotation)))
    return params


def module_functions(ss):
    kind = type(ss.load_simulation_result)
    return {
        name: value
        for name, value in vars(ss).items()
        if type(value) is kind and getattr(value, "__module__", None) == ss.__name__
    }


def test_stub_declares_exactly_the_module_functions(ss):
    functions = module_functions(ss)
    assert len(functions) == 10
    assert set(stub_functions()) == set(functions)


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_stub_signature_matches_the_module(ss, name):
    node = stub_functions()[name]
    signature = inspect.signature(getattr(ss, name))
    actual = [(p.name, p.kind, p.default, p.annotation) for p in signature.parameters.values()]
    assert stub_parameters(node) == actual
    assert ast.unparse(node.returns) == signature.return_annotation


def test_package_is_marked_typed():
    assert (Path(lumora.__file__).parent / "py.typed").is_file()


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_user_code_type_checks_strictly(tmp_path):
    env = dict(os.environ)
    package_root = Path(lumora.__file__).resolve().parent.parent
    if package_root.name != "site-packages":
        # Run from a source tree or an editable install: point mypy at the sources.
        env["MYPYPATH"] = str(package_root)
    command = [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent"]
    command += ["--cache-dir", str(tmp_path / "cache"), str(SAMPLE)]
    # Run outside the repository so that no project configuration changes the verdict.
    proc = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
