"""The hand-written stubs of the extension modules, and the package under mypy --strict."""

import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

root = Path(__file__).resolve().parents[1]
src = root / "src"
modules = ("_tarnwell", "_ensemble", "_refraction", "_parcel", "_radar")
# Kept between runs (ignored by git): a cold mypy run over numpy and xarray takes a minute.
cache_dir = root / ".mypy_cache"


def run_mypy(*args: str, timeout: float = 600) -> subprocess.CompletedProcess[str]:
    """python -m mypy... with the stubs in src/ and the test's own import path."""
    env = dict(os.environ)
    env["MYPYPATH"] = str(src)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=root,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def test_stubtest_and_strict_use() -> None:
    # stubtest passes silently when it finds no stub for a module named with a leading
    # underscore, so the strict check of a typed use below also proves the stubs are seen.
    done = run_mypy("mypy.stubtest", *modules)
    assert done.returncode == 0, done.stdout + done.stderr
    use = (
        "from typing import assert_type\n"
        "import numpy as np\n"
        "from numpy.typing import NDArray\n"
        "import _tarnwell, _ensemble, _refraction, _parcel\n"
        "f = NDArray[np.float64]\n"
        "assert_type(_tarnwell.thermo([300.0], [1e5], [290.0], n_threads=2), f)\n"
        "assert_type(_ensemble.statistics(np.zeros((3, 2)), [50.0], 1), tuple[f, f, f])\n"
        "assert_type(_ensemble.mode([[0.0]], np.int64(3), 1), tuple[f, f])\n"
        "assert_type(_ensemble.words(1, 2, 3, 0, 4), NDArray[np.uint64])\n"
        "assert_type(_refraction.trace([0.0], [0.5], [0.0], [1.0], 10, 6.4e6), f)\n"
        "assert_type(_parcel.parcel([1e5], [[300.0]], [290.0], [], 2, 1e4, True), f)\n"
    )
    done = run_mypy("mypy", "--strict", "--cache-dir", str(cache_dir), "-c", use)
    assert done.returncode == 0, done.stdout + done.stderr


def binding_signature(function: object) -> ast.FunctionDef:
    """The signature line pybind11 writes at the head of a function's docstring."""
    line = str(getattr(function, "__doc__", "")).splitlines()[0]
    parsed = ast.parse(f"def {line}: ...").body[0]
    assert isinstance(parsed, ast.FunctionDef)
    return parsed


def kind(annotation: ast.expr | None) -> str:
    """array, float, int, or the result type with its element type, from either side."""
    text = ast.unparse(annotation) if annotation is not None else ""
    if "ArrayLike" in text:
        return "array"
    if "SupportsFloat" in text:
        return "float"
    if "SupportsInt" in text or text == "SupportsIndex":
        return "int"
    if text.startswith("tuple"):
        return "tuple"
    return text.rsplit(".", 1)[-1].rstrip("]")


@pytest.mark.parametrize("name", modules)
def test_stub_signatures_match_the_bindings(name: str) -> None:
    # stubtest cannot read the signatures of pybind11 functions (there is no
    # __text_signature__), so names, order, defaults and kinds are compared here with the
    # signature lines the bindings generate.
    module = importlib.import_module(name)
    stub = ast.parse((src / f"{name}.pyi").read_text())
    doc = ast.get_docstring(stub, clean=False)
    assert doc is not None and doc.splitlines()[0] == module.__doc__
    stubbed = {d.name: d for d in stub.body if isinstance(d, ast.FunctionDef)}
    assert sorted(stubbed) == sorted(n for n in dir(module) if not n.startswith("_"))
    for function_name, stub_def in stubbed.items():
        runtime = binding_signature(getattr(module, function_name)).args
        args = stub_def.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
        assert [a.arg for a in args.args] == [a.arg for a in runtime.args], function_name
        assert [ast.literal_eval(d) for d in args.defaults] == [
            ast.literal_eval(d) for d in runtime.defaults
        ], function_name
        assert [kind(a.annotation) for a in args.args] == [
            kind(a.annotation) for a in runtime.args
        ], function_name
        assert kind(stub_def.returns) == kind(
            binding_signature(getattr(module, function_name)).returns
        ), function_name
        assert ast.get_docstring(stub_def), function_name


def test_package_passes_mypy_strict() -> None:
    if not (src / "tarnwell" / "__init__.py").exists():
        pytest.skip("the tarnwell package (src/tarnwell) is not written yet")
    done = run_mypy("mypy", "--strict", "--cache-dir", str(cache_dir), str(src / "tarnwell"))
    assert done.returncode == 0, done.stdout + done.stderr
