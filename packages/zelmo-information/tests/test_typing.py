"""The type stub shipped with the package: it must describe the extension as
it is at run time, and a type checker in strict mode must accept ordinary use
and reject misuse."""

import ast
import importlib.metadata
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import zelmo_information
from conftest import REQUIRED, SIGNATURES, _core

PACKAGE_DIR = Path(zelmo_information.__file__).parent
STUB = PACKAGE_DIR / "_core.pyi"
ANNOTATION = {"a1": "NDArray[np.float64]", "a2": "NDArray[np.float64]", "i": "int", "u": "int", "f": "float"}


TREE = ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))
FUNCTIONS = {node.name: node for node in TREE.body if isinstance(node, ast.FunctionDef)}


def test_installed_package_ships_a_stub_declaring_exactly_the_runtime_functions():
    assert (PACKAGE_DIR / "py.typed").is_file()
    assert zelmo_information.__version__ == importlib.metadata.version("zelmo-information")
    (declared,) = [ast.literal_eval(node.value) for node in TREE.body
                   if isinstance(node, ast.Assign) and [getattr(t, "id", None) for t in node.targets] == ["__all__"]]
    assert declared == _core.__all__ and sorted(FUNCTIONS) == sorted(_core.__all__)


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_stub_signature_matches_the_runtime_function(name):
    # SIGNATURES is the runtime's own (test_frame checks the text signatures).
    node = FUNCTIONS[name]
    args = node.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    assert [(a.arg, ast.unparse(a.annotation)) for a in args.args] == [(p, ANNOTATION[k]) for p, k, _ in SIGNATURES[name]]
    assert [repr(ast.literal_eval(d)) for d in args.defaults] == [repr(d) for _, _, d in SIGNATURES[name] if d is not REQUIRED]
    assert ast.unparse(node.returns) == ("list[list[float]]" if name == "batch_transfer_entropy_py" else "float")
    doc = ast.get_docstring(node)
    assert doc and "\n\n" not in doc, "one paragraph of documentation"


# Ordinary calls must type-check as written; every line marked with an ignore
# must really be an error of that code (--strict warns about unused ignores,
# so a stub that is too permissive fails here).
USER_SCRIPT = '''
import sys

if sys.version_info >= (3, 11):
    from typing import assert_type
else:
    from typing_extensions import assert_type

import numpy as np
from numpy.typing import NDArray

import zelmo_information
from zelmo_information import batch_transfer_entropy_py, cond_mutual_information, conditional_entropy
from zelmo_information import cross_entropy, hellinger_distance, information_gain, joint_entropy, js_divergence
from zelmo_information import kl_divergence, mutual_information, renyi_entropy, shannon_entropy
from zelmo_information import total_variation_distance, transfer_entropy, tsallis_entropy
from zelmo_information import PanicException
from zelmo_information import network as zn

rng = np.random.default_rng(0)
x: NDArray[np.float64] = rng.normal(size=64)
y = rng.normal(size=64)
z = np.zeros(64)
signals = rng.normal(size=(3, 64))
single = x.astype(np.float32)

assert_type(mutual_information(x, y, n_bins=8), float)
assert_type(transfer_entropy(x, y, 4, history=2), float)
assert_type(batch_transfer_entropy_py(signals, n_bins=4, history=1), list[list[float]])
assert_type(cond_mutual_information(x, y, z, 8), float)
assert_type(shannon_entropy(x, -1, base=np.e), float)
assert_type(renyi_entropy(x, alpha=0.5, n_bins=12, base=10.0), float)
assert_type(tsallis_entropy(data=x, q=1.5), float)
assert_type(conditional_entropy(x, y, 10), float)
assert_type(joint_entropy(x=x, y=y), float)
assert_type(kl_divergence(x, y), float)
assert_type(js_divergence(p=x, q=y, n_bins=5), float)
assert_type(information_gain(x, y), float)
assert_type(cross_entropy(x, y, base=2), float)
assert_type(hellinger_distance(x, y, -1), float)
assert_type(total_variation_distance(x, y), float)
assert_type(zelmo_information.transfer_entropy(x, y), float)
try:
    shannon_entropy(x, 0)
except zelmo_information.PanicException as panic:
    assert_type(panic, PanicException)

assert_type(zn.transfer_entropy_matrix(signals, workers=2), NDArray[np.float64])
assert_type(zn.mutual_information_matrix([[1.0, 2.0, 3.0]], 4, nonfinite="bin"), NDArray[np.float64])
test = zn.transfer_entropy_test(signals, None, 1, surrogates=50, method="shuffle", seed=3, progress=False)
assert_type(test.p_values, NDArray[np.float64])
assert_type(test.effective_te, NDArray[np.float64])
assert_type(test.significant(0.01, correction="bonferroni"), NDArray[np.bool_])
assert_type(test.seed, int)
assert_type(zn.transfer_entropy_bins(1000, history=2), int)
assert_type(zn.conditional_transfer_entropy(x, y, signals, 4, lag=2, condition_lags=[1, 1, 3]), float)
net = zn.infer_network(signals, max_lag=2, alpha=0.01, max_sources=3, seed=1)
assert_type(net.adjacency, NDArray[np.bool_])
assert_type(net.sources(0), list[tuple[int, int]])
assert_type(net.links[0].te, float)

shannon_entropy(x)  # type: ignore[call-arg]
zn.transfer_entropy_test(signals, method="roll")  # type: ignore[arg-type]
zn.transfer_entropy_matrix(signals, nonfinite="drop")  # type: ignore[call-overload]
test.significant(correction="holm")  # type: ignore[arg-type]
zn.infer_network(signals, max_lag=1.5)  # type: ignore[arg-type]
mutual_information(x, y, bins=3)  # type: ignore[call-arg]
kl_divergence([0.0, 1.0], y)  # type: ignore[arg-type]
joint_entropy(single, y)  # type: ignore[arg-type]
transfer_entropy(x, y, 2.5)  # type: ignore[arg-type]
as_text: str = tsallis_entropy(x)  # type: ignore[assignment]
zelmo_information.no_such_measure(x)  # type: ignore[attr-defined]
caught: Exception = PanicException("message")  # type: ignore[assignment]
'''


def test_strict_type_checker_accepts_use_and_rejects_misuse(tmp_path, request):
    pytest.importorskip("mypy", reason="mypy is not installed, so the stub cannot be type-checked")
    script = tmp_path / "use_zelmo.py"
    script.write_text(textwrap.dedent(USER_SCRIPT), encoding="utf-8")
    pytest_cache = getattr(request.config, "cache", None)
    cache = pytest_cache.mkdir("mypy") if pytest_cache is not None else tmp_path / "mypy-cache"
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "--no-color-output",
                             script.name], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
