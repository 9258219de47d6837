import copy
import dataclasses
import pickle
import typing

import numpy as np
import pytest

from velmora_dryx import kestrine as k

CM = k.CompressionMethod


def test_method_members_and_lookup():
    assert [(m.name, m.value) for m in CM] == [
        ("NONE", "none"),
        ("SVD", "svd"),
        ("TUCKER", "tucker"),
        ("TENSOR_TRAIN", "tt"),
    ]
    assert CM.__mro__[1:3] == (str, k.Enum)
    assert CM("tt") is CM.TENSOR_TRAIN and CM(CM.SVD) is CM.SVD
    assert "svd" == CM.SVD and CM.SVD is not "svd"  # noqa: F632
    assert str(CM.TUCKER) == "CompressionMethod.TUCKER"
    assert f"{CM.TUCKER}" == "CompressionMethod.TUCKER"
    for bad in ("TT", "SVD", "TENSOR_TRAIN", None):
        with pytest.raises(ValueError):
            CM(bad)


@pytest.mark.parametrize("obj", [CM.TUCKER, CM, k.CompressedTensor, k.svd_compress])
def test_module_objects_pickle_by_name(obj):
    assert pickle.loads(pickle.dumps(obj)) is obj


def test_record_fields_and_annotations():
    fields = dataclasses.fields(k.CompressedTensor)
    assert [(f.name, f.type) for f in fields] == [
        ("method", "CompressionMethod"),
        ("shape", "tuple[int, ...]"),
        ("dtype", "str"),
        ("cores", "tuple[np.ndarray, ...]"),
        ("factors", "tuple[np.ndarray, ...]"),
        ("metadata", "dict"),
    ]
    assert k.CompressedTensor.__module__ == "velmora_dryx.kestrine"
    assert k.CompressedTensor.__dataclass_params__.frozen
    hints = typing.get_type_hints(k.CompressedTensor)
    assert hints["method"] is CM and hints["metadata"] is dict
    doc = k.CompressedTensor.__doc__
    assert "compressed storage" in doc and "decompress" in doc


def test_record_defaults_are_fresh_and_shared_arrays():
    core = np.ones(3)
    a = k.CompressedTensor(CM.NONE, (3,), "float64", (core,))
    b = k.CompressedTensor(method=CM.NONE, shape=(3,), dtype="float64", cores=(core,))
    assert a.factors == () and a.metadata == {}
    a.metadata["x"] = 1
    assert b.metadata == {}
    assert a.cores[0] is core


def test_record_is_frozen():
    rec = k.CompressedTensor(CM.NONE, (1,), "float32", ())
    for name in ("method", "shape", "dtype", "cores", "factors", "metadata"):
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(rec, name, None)
    assert rec.shape == (1,)
    assert copy.copy(rec) == rec


def _rec(shape, dtype, cores=(), factors=()):
    return k.CompressedTensor(CM.SVD, shape, dtype, cores, factors)


@pytest.mark.parametrize(
    "rec, original, stored, ratio",
    [
        (_rec((3, 4), "float32", (np.zeros((3, 4), np.float32),)), 48, 48, 1.0),
        (
            _rec(
                (10, 8),
                "float32",
                (np.zeros(2, np.float32),),
                (np.zeros((10, 2), np.float32), np.zeros((2, 8), np.float32)),
            ),
            320,
            152,
            320 / 152,
        ),
        (_rec((10, 8), "float64"), 640, 0, 1.0),
        (_rec((0, 8), "float32", (np.zeros(3),)), 0, 24, 0.0),
        (_rec((), "float64", (np.zeros(1, np.float16),)), 8, 2, 4.0),
        (_rec((2, 2), "int8", (np.zeros(1, np.float64),)), 4, 8, 0.5),
        (_rec([2, 3], "float32", (np.zeros(1, np.float32),)), 24, 4, 6.0),
    ],
)
def test_size_properties(rec, original, stored, ratio):
    assert rec.original_size_bytes == original and type(rec.original_size_bytes) is int
    assert rec.compressed_size_bytes == stored and type(rec.compressed_size_bytes) is int
    assert rec.compression_ratio == ratio and type(rec.compression_ratio) is float


def test_size_properties_are_computed_on_every_access():
    rec = k.CompressedTensor(CM.SVD, (4,), "float32", (np.zeros(4, np.float32),))
    assert rec.compressed_size_bytes == 16
    object.__setattr__(rec, "cores", (np.zeros(2, np.float32),))
    assert rec.compressed_size_bytes == 8 and rec.compression_ratio == 2.0


def test_size_property_errors():
    with pytest.raises(TypeError):
        _ = _rec((2,), "not-a-dtype").original_size_bytes
    with pytest.raises(AttributeError):
        _ = _rec((2,), "float32", ([1.0, 2.0],)).compressed_size_bytes


def test_properties_are_read_only():
    rec = _rec((2,), "float32")
    for name in ("original_size_bytes", "compressed_size_bytes", "compression_ratio"):
        assert isinstance(getattr(k.CompressedTensor, name), property)
        with pytest.raises(AttributeError):
            setattr(rec, name, 1)
