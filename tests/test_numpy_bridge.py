import numpy as np
import pytest
from array_inputs import at_odd_address, packed_field
from build_probe import import_probe

probe = import_probe()


@pytest.mark.parametrize(
    "fn, array",
    [
        ("f64", np.array([1.5, -0.0, np.nan, np.inf])),
        ("f64", np.empty(0)),
        ("i64", np.array([-(2**63), 0, 2**63 - 1], dtype=np.int64)),
        ("boolean", np.array([True, False, True])),
    ],
)
def test_round_trip_copies(fn, array):
    out = getattr(probe, fn)(array)
    assert out.dtype == array.dtype and out.shape == array.shape
    np.testing.assert_array_equal(out, array)
    assert out.flags.writeable
    if out.size:
        assert not np.shares_memory(out, array)


def test_returned_arrays_are_independent():
    a = np.arange(4.0)
    x, y = probe.f64(a), probe.f64(a)
    x[0] = 99.0
    assert y[0] == 0.0 and a[0] == 0.0


@pytest.mark.parametrize(
    "array",
    [np.arange(10.0)[::2], np.arange(10.0)[::-3], np.arange(12.0).reshape(3, 4)[:, 1]],
)
def test_non_contiguous_1d_is_copied(array):
    np.testing.assert_array_equal(probe.f64(array), array)
    values, _ = probe.column(array)
    assert values == list(array)


@pytest.mark.parametrize("make", [at_odd_address, packed_field])
def test_unaligned_column_is_copied_into_aligned_memory(make):
    a = make(np.array([1.5, -2.0, np.inf, 4.25]))
    values, address = probe.column(a)
    assert values == [1.5, -2.0, np.inf, 4.25]
    assert address != a.__array_interface__["data"][0]
    assert address % 8 == 0


@pytest.mark.parametrize("fn, array, make", [
    ("f64", np.array([1.5, -0.0, np.nan, 7.0]), at_odd_address),
    ("f64", np.array([1.5, -0.0, np.nan, 7.0]), packed_field),
    ("i64", np.array([-(2**63), 5, 2**63 - 1], dtype=np.int64), at_odd_address),
    ("matrix", np.arange(12.0).reshape(3, 4), at_odd_address),
    # Fortran order at an odd address.
    ("matrix", np.arange(12.0).reshape(3, 4), lambda a: at_odd_address(a.T.copy()).T),
])
def test_unaligned_arrays_copy_like_aligned_ones(fn, array, make):
    given = make(array)
    assert not given.flags.aligned
    out = getattr(probe, fn)(given)
    assert out.dtype == array.dtype and out.shape == array.shape
    assert out.tobytes() == np.ascontiguousarray(array).tobytes()


def test_column_reads_contiguous_memory_in_place():
    a = np.arange(5.0)
    values, address = probe.column(a)
    assert values == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert address == a.__array_interface__["data"][0]


def test_bool_bytes_are_normalised():
    raw = np.array([0, 1, 2, 255, 0], dtype=np.uint8).view(np.bool_)
    out = probe.boolean(raw)
    assert out.view(np.uint8).tolist() == [0, 1, 1, 1, 0]


@pytest.mark.parametrize("order", ["C", "F"])
def test_matrix_layouts(order):
    base = np.arange(12.0).reshape(3, 4)
    for panel in (np.asarray(base, order=order), base[::-1, ::2], base.T, base[:, ::-1]):
        out = probe.matrix(panel)
        assert out.shape == panel.shape and out.flags.c_contiguous
        np.testing.assert_array_equal(out, panel)


@pytest.mark.parametrize("shape", [(0, 3), (2, 0), (0, 0)])
def test_empty_matrix_keeps_shape(shape):
    assert probe.matrix(np.empty(shape)).shape == shape


@pytest.mark.parametrize(
    "fn, arg, message",
    [
        ("f64", np.zeros(3, dtype=np.float32), "argument 'data': type mismatch:\n from=float32, to=float64"),
        ("f64", np.zeros((2, 2)), "argument 'data': dimensionality mismatch:\n from=2, to=1"),
        ("f64", [1.0, 2.0], "argument 'data': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ("boolean", np.zeros(3), "argument 'data': type mismatch:\n from=float64, to=bool"),
        ("i64", np.zeros(3, dtype=np.int32), "argument 'data': type mismatch:\n from=int32, to=int64"),
        ("matrix", np.zeros(3), "argument 'data': dimensionality mismatch:\n from=1, to=2"),
        # Dimensions are checked before the element type.
        ("f64", np.zeros((2, 2), dtype=np.int8), "argument 'data': dimensionality mismatch:\n from=2, to=1"),
    ],
)
def test_refusals(fn, arg, message):
    with pytest.raises(TypeError) as e:
        getattr(probe, fn)(arg)
    assert str(e.value) == message


def test_same_array_for_several_parameters_and_big_endian_equivalence():
    a = np.arange(3.0)
    assert probe.bind(a, a, a)[0] is a
    swapped = a.astype(">f8")
    with pytest.raises(TypeError, match="type mismatch"):
        probe.f64(swapped)
