"""The calling conventions every native operation shares: argument conversion and refusal,
argument-count errors, introspection, and module initialisation."""

import fractions
import inspect
import shlex
import subprocess
import sys
import sysconfig
import textwrap
import typing
from pathlib import Path

import numpy as np
import pytest

from velmora_dryx import kestrine as k

MODULES = ["kestrine", "tamsel", "dedup", "lornet", "bramwick"]
A = np.eye(4, dtype=np.float32)


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_signatures_and_introspection():
    f = k.svd_compress_energy
    assert str(inspect.signature(f)) == (
        "(tensor: 'np.ndarray', energy: 'float' = 0.99, min_rank: 'int' = 1, "
        "max_rank: 'int | None' = None) -> 'CompressedTensor'"
    )
    assert f.__annotations__ == {
        "tensor": "np.ndarray",
        "energy": "float",
        "min_rank": "int",
        "max_rank": "int | None",
        "return": "CompressedTensor",
    }
    assert f.__defaults__ == (0.99, 1, None)
    assert f.__kwdefaults__ is None
    assert (f.__name__, f.__qualname__, f.__module__) == (
        "svd_compress_energy",
        "svd_compress_energy",
        "velmora_dryx.kestrine",
    )
    assert k.svd_compress.__doc__ == (
        "Truncated SVD for 2D matrices. Higher-dim inputs are flattened mode-0."
    )
    hints = typing.get_type_hints(k.svd_compress)
    assert hints == {
        "tensor": np.ndarray,
        "rank_ratio": float,
        "min_rank": int,
        "return": k.CompressedTensor,
    }


@pytest.mark.parametrize(
    "value, rank",
    [
        (2, 2),
        (2.9, 2),
        (np.int64(3), 3),
        (np.float32(3.7), 3),
        (True, 1),
        (fractions.Fraction(7, 2), 3),
    ],
)
def test_int_parameters_convert_numbers(value, rank):
    rec = k.svd_compress(A, rank_ratio=0.01, min_rank=value)
    assert rec.metadata["rank"] == rank and type(rec.metadata["rank"]) is int


@pytest.mark.parametrize(
    "value, ratio",
    [(0.5, 0.5), (1, 1.0), (np.float32(0.25), 0.25), (fractions.Fraction(1, 4), 0.25)],
)
def test_float_parameters_convert_numbers(value, ratio):
    assert k.svd_compress(A, value).metadata["rank_ratio"] == ratio


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (
            {"rank_ratio": "0.5"},
            "Argument 'rank_ratio' has incorrect type (expected float, got str)",
        ),
        (
            {"rank_ratio": None},
            "Argument 'rank_ratio' has incorrect type (expected float, got NoneType)",
        ),
        ({"min_rank": "1"}, "Argument 'min_rank' has incorrect type (expected int, got str)"),
        ({"min_rank": [1]}, "Argument 'min_rank' has incorrect type (expected int, got list)"),
        ({"min_rank": None}, "Argument 'min_rank' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_wrong_argument_types_are_refused(kwargs, message):
    with pytest.raises(TypeError) as info:
        k.svd_compress(A, **kwargs)
    assert str(info.value) == message


def test_int_or_none_parameter():
    assert k.svd_compress_energy(A, max_rank=None).metadata["rank"] == 4
    assert k.svd_compress_energy(A, max_rank=2.5).metadata["rank"] == 2
    with pytest.raises(
        TypeError, match=r"^Argument 'max_rank' has incorrect type \(expected int, got str\)$"
    ):
        k.svd_compress_energy(A, max_rank="2")


def test_conversion_precedes_all_other_work():
    with pytest.raises(TypeError):
        k.svd_compress(np.zeros(3), "x")
    with pytest.raises(OverflowError):
        k.svd_compress(A, min_rank=float("inf"))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: k.svd_compress(), "svd_compress() takes at least 1 positional argument (0 given)"),
        (
            lambda: k.svd_compress(A, 0.5, 1, 2),
            "svd_compress() takes at most 3 positional arguments (4 given)",
        ),
        (
            lambda: k.svd_decompress(),
            "svd_decompress() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda: k.svd_decompress(1, 2),
            "svd_decompress() takes exactly 1 positional argument (2 given)",
        ),
        (lambda: k.svd_compress(A, x=1), "svd_compress() got an unexpected keyword argument 'x'"),
        (
            lambda: k.svd_compress(A, tensor=A),
            "svd_compress() got multiple values for argument 'tensor'",
        ),
        (
            lambda: k.svd_compress(rank_ratio=0.5),
            "svd_compress() takes at least 1 positional argument (0 given)",
        ),
        (
            lambda: k.svd_compress(A, **{"min_rank": 1, "bogus": 2}),
            "svd_compress() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_in_any_order():
    a = k.svd_compress(min_rank=3, tensor=A, rank_ratio=0.01)
    assert a.metadata == {"rank_ratio": 0.01, "rank": 3}


def test_methods_bind_like_python_methods():
    rec = k.CompressedTensor(k.CompressionMethod.NONE, (2,), "float32", (np.zeros(2, np.float32),))
    fget = type(rec).original_size_bytes.fget
    assert fget(rec) == 8
    assert fget.__get__(rec, type(rec))() == 8
    assert fget.__qualname__ == "CompressedTensor.original_size_bytes"


def test_function_objects_support_attributes_and_repr():
    assert "svd_compress" in repr(k.svd_compress)
    assert callable(k.svd_compress) and not inspect.isclass(k.svd_compress)


def test_kestrine_import_binds_names_in_order_without_scipy():
    proc = run_python(
        """
        import sys
        import velmora_dryx.kestrine as k
        names = [n for n in vars(k) if not n.startswith("__")]
        print(names[:6])
        print("scipy" in sys.modules)
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "['math', 'dataclass', 'field', 'Enum', 'Sequence', 'np']"
    assert lines[1] == "False"


@pytest.mark.parametrize("name", MODULES)
def test_second_initialisation_is_refused(name):
    proc = run_python(
        f"""
        import sys
        import velmora_dryx.{name}
        del sys.modules["velmora_dryx.{name}"]
        try:
            import velmora_dryx.{name}
        except RuntimeError as e:
            print("refused:", e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("refused: velmora_dryx." + name)


# A declaration whose conventions and implementation disagree must not compile: an Int
# argument read as a double would silently be 0.0.
DECLARATION = """
#include "bridge/declare.hpp"
namespace py = velmora::py;
using namespace velmora::bridge;
namespace {{
py::Obj impl(const py::Obj&, {params}) {{ return py::none(); }}
const auto kOp = def<&impl>("op", nullptr, arg<Array>("x"), {args});
}}
"""


@pytest.mark.parametrize(
    "args, params, error",
    [
        (
            'arg<Float>("a") = 1, arg<Int>("b") = 2, arg<IntOrNone>("c") = none, arg<Str>("d"), '
            'arg<Int>("e"), arg<Dict>("f"), arg<Tuple>("g")',
            "double, long long, std::optional<long long>, const std::string&, const py::Obj&, "
            "const py::Obj&, PyObject*",
            None,
        ),
        ('arg<Int>("a")', "double", "does not feed"),
        ('arg<Float>("a")', "long long", "does not feed"),
        ('arg<IntOrNone>("a")', "long long", "does not feed"),
        ('arg<Dict>("a")', "const std::string&", "does not feed"),
        ('arg<Int>("a") = 0.5', "long long", "floating-point default"),
        ('arg<Float>("a"), arg<Int>("b")', "double", "different parameter counts"),
    ],
)
def test_declarations_must_match_their_implementation_to_compile(tmp_path, args, params, error):
    source = tmp_path / "decl.cpp"
    source.write_text(DECLARATION.format(args=args, params=params))
    cxx = shlex.split(sysconfig.get_config_var("CXX") or "c++")
    include = [f"-I{Path(__file__).resolve().parents[1] / 'cpp'}"]
    include.append(f"-I{sysconfig.get_paths()['include']}")
    cmd = [*cxx, "-std=c++20", "-fsyntax-only", *include, str(source)]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    if error is None:
        assert proc.returncode == 0, proc.stderr
    else:
        assert proc.returncode != 0 and error in proc.stderr, proc.stderr
