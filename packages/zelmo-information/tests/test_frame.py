"""The call frame every function shares: module surface, argument binding,
conversions and their error wrapping, array checks, views and borrows."""

import sys

import numpy as np
import pytest

import zelmo_information
from borrows import exclusive, try_exclusive
from conftest import AVAILABLE, REQUIRED, SIGNATURES, _core, function, panic_type, raises_panic, valid_arguments


def params(name):
    return [p for p, _, _ in SIGNATURES[name]]


def required(name):
    return [p for p, _, d in SIGNATURES[name] if d is REQUIRED]


def first_array(name):
    return next(i for i, (_, kind, _) in enumerate(SIGNATURES[name]) if kind == "a1")


ONE_D = [n for n in AVAILABLE if any(k == "a1" for _, k, _ in SIGNATURES[n])]


# -- module surface -----------------------------------------------------------


def test_all_lists_functions_in_registration_order_and_package_reexports_them():
    assert isinstance(_core.__all__, list)
    assert _core.__all__ == AVAILABLE
    assert zelmo_information.__all__ == _core.__all__
    for name in _core.__all__:
        assert getattr(zelmo_information, name) is getattr(_core, name)
    assert _core.__name__ == "zelmo_information._core"
    assert _core.__doc__ == ""


@pytest.mark.parametrize("name", AVAILABLE)
def test_function_objects_carry_exact_text_signature_and_no_docstring(name):
    f = function(name)
    parts = []
    for param, _, default in SIGNATURES[name]:
        if default is REQUIRED:
            parts.append(param)
        else:
            parts.append(f"{param}=" + ("..." if default == -1 else repr(default)))
    assert f.__text_signature__ == "(" + ", ".join(parts) + ")"
    assert f.__doc__ is None
    assert f.__name__ == name
    assert f.__module__ == "zelmo_information._core"
    assert f.__self__ is None
    assert type(f).__name__ == "builtin_function_or_method"


# -- binding ------------------------------------------------------------------


def missing_message(name, missing):
    quoted = [f"'{m}'" for m in missing]
    if len(quoted) == 1:
        names = quoted[0]
    elif len(quoted) == 2:
        names = " and ".join(quoted)
    else:
        names = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    noun = "argument" if len(missing) == 1 else "arguments"
    return f"{name}() missing {len(missing)} required positional {noun}: {names}"


@pytest.mark.parametrize("name", AVAILABLE)
def test_binding_errors_name_the_function_and_parameters(name):
    f = function(name)
    args = valid_arguments(name)
    req = required(name)
    with pytest.raises(TypeError) as info:
        f()
    assert str(info.value) == missing_message(name, req)
    if len(req) > 1:
        with pytest.raises(TypeError) as info:
            f(args[0])
        assert str(info.value) == missing_message(name, req[1:])
        with pytest.raises(TypeError) as info:
            f(**{req[-1]: args[len(req) - 1]})
        assert str(info.value) == missing_message(name, req[:-1])
    n = len(args)
    for extra in (1, 2):
        with pytest.raises(TypeError) as info:
            f(*args, *([None] * extra))
        verb = "was" if n + extra == 1 else "were"
        assert str(info.value) == f"{name}() takes from {len(req)} to {n} positional arguments but {n + extra} {verb} given"
    with pytest.raises(TypeError) as info:
        f(*args, bogus=1)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"
    last = params(name)[-1]
    with pytest.raises(TypeError) as info:
        f(*args, **{last: args[-1]})
    assert str(info.value) == f"{name}() got multiple values for argument '{last}'"
    # The positional count is checked before any keyword; keywords in order.
    with pytest.raises(TypeError, match="takes from"):
        f(*args, None, bogus=1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        f(*args[:-1], bogus=1, **{last: args[-1]})


def test_keyword_names_match_exactly():
    data = np.array([1.0, 2.0, 3.0, 4.0])
    with pytest.raises(TypeError, match="unexpected keyword argument 'N_bins'"):
        _core.shannon_entropy(data, N_bins=4)
    with pytest.raises(TypeError, match="unexpected keyword argument 'n_bins\x00'"):
        _core.shannon_entropy(data, **{"n_bins\x00": 4})
    with pytest.raises(TypeError, match="unexpected keyword argument '\udcff'"):
        _core.shannon_entropy(data, 4, **{"\udcff": 1})


@pytest.mark.parametrize("name", AVAILABLE)
def test_positional_keyword_and_mixed_calls_agree(name):
    f = function(name)
    args = valid_arguments(name)
    names = params(name)
    expected = f(*args)
    assert f(**dict(zip(names, args))) == expected
    assert f(**dict(reversed(list(zip(names, args))))) == expected
    assert f(*args[:1], **dict(zip(names[1:], args[1:]))) == expected


def test_defaults_apply_only_to_absent_arguments():
    data = np.arange(1000.0)
    assert _core.shannon_entropy(data, -1) == _core.shannon_entropy(data, -1, 2.0)
    assert _core.shannon_entropy(data, n_bins=-1) == _core.shannon_entropy(data, 31)
    with pytest.raises(TypeError, match="^argument 'base': must be real number, not NoneType$"):
        _core.shannon_entropy(data, -1, None)


# -- conversions --------------------------------------------------------------


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Float:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class SubTypeError(TypeError):
    pass


def caused_type_error():
    err = TypeError("inner")
    err.__cause__ = KeyError("root cause")
    return err


def call_with(name, param, value):
    args = valid_arguments(name)
    args[params(name).index(param)] = value
    return function(name)(*args)


def parameters_of_kind(kinds):
    return [(n, p) for n in AVAILABLE for p, k, _ in SIGNATURES[n] if k in kinds]


@pytest.mark.parametrize("name,param", parameters_of_kind({"a1", "a2"}))
def test_array_parameters_refuse_everything_but_float64_ndarrays(name, param):
    kind = dict((p, k) for p, k, _ in SIGNATURES[name])[param]
    wrong_ndim = np.zeros((2, 2)) if kind == "a1" else np.zeros(3)
    right_shape = (4,) if kind == "a1" else (2, 4)
    cases = [
        (None, "'None' is not an instance of 'ndarray'"),
        ([1.0, 2.0], "'list' object is not an instance of 'ndarray'"),
        (1.5, "'float' object is not an instance of 'ndarray'"),
        (np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
        (memoryview(b"12345678"), "'memoryview' object is not an instance of 'ndarray'"),
        (wrong_ndim, "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape, np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape, np.int64), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape, object), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape, ">f8"), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape, np.complex128), "'ndarray' object is not an instance of 'ndarray'"),
        (np.zeros(right_shape).view(np.recarray).astype(np.float32).view(np.recarray),
         "'recarray' object is not an instance of 'ndarray'"),
        (np.zeros(()), "'ndarray' object is not an instance of 'ndarray'"),
    ]
    for value, message in cases:
        with pytest.raises(TypeError) as info:
            call_with(name, param, value)
        assert str(info.value) == f"argument '{param}': {message}"
        assert info.value.__cause__ is None and info.value.__suppress_context__
    # Equivalent descriptors and subclasses are accepted.
    call_with(name, param, np.zeros(right_shape, "=f8"))
    call_with(name, param, np.zeros(right_shape, "d"))
    call_with(name, param, np.zeros(right_shape).view(np.recarray))
    call_with(name, param, np.ma.masked_array(np.zeros(right_shape)))


@pytest.mark.parametrize("name,param", parameters_of_kind({"i", "u"}))
def test_integer_parameters(name, param):
    unsigned = dict((p, k) for p, k, _ in SIGNATURES[name])[param] == "u"
    prefix = f"argument '{param}': "
    for value, message in [
        (1.5, "'float' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
        ("3", "'str' object cannot be interpreted as an integer"),
        (np.float64(3.0), "'numpy.float64' object cannot be interpreted as an integer"),
        (Index("3"), "__index__ returned non-int (type str)"),
    ]:
        with pytest.raises(TypeError) as info:
            call_with(name, param, value)
        assert type(info.value) is TypeError
        assert str(info.value) == prefix + message
    # Only an exact TypeError is wrapped; its __cause__ carries over.
    with pytest.raises(TypeError) as info:
        call_with(name, param, Index(caused_type_error()))
    assert str(info.value) == prefix + "inner"
    assert isinstance(info.value.__cause__, KeyError) and info.value.__suppress_context__
    with pytest.raises(SubTypeError, match="^sub$"):
        call_with(name, param, Index(SubTypeError("sub")))
    with pytest.raises(ValueError, match="^bad$"):
        call_with(name, param, Index(ValueError("bad")))
    # Range errors are CPython's own OverflowError, unwrapped.
    too_big = [2**64] if unsigned else [2**63, -(2**63) - 1, 2**70]
    for value in too_big + ([-1, Index(-1)] if unsigned else []):
        with pytest.raises(OverflowError) as info:
            call_with(name, param, value)
        assert not str(info.value).startswith("argument")
    # __index__ objects, NumPy integers and bools are integers.
    reference = call_with(name, param, 1)
    for value in (True, np.int8(1), np.uint64(1), Index(1)):
        assert call_with(name, param, value) == reference or np.isnan(reference)


def test_integer_extremes_convert_exactly():
    data = np.array([0.0, 0.0, 1.0])
    # Any negative signed value is the automatic count.
    assert _core.shannon_entropy(data, -(2**63)) == _core.shannon_entropy(data, 10)
    with raises_panic("capacity overflow"):
        _core.shannon_entropy(data, 2**63 - 1)


@pytest.mark.parametrize("name,param", parameters_of_kind({"f"}))
def test_float_parameters(name, param):
    prefix = f"argument '{param}': "
    for value, message in [
        (None, "must be real number, not NoneType"),
        ("2", "must be real number, not str"),
        ([2.0], "must be real number, not list"),
        (Float("2"), "Float.__float__ returned non-float (type str)"),
    ]:
        with pytest.raises(TypeError) as info:
            call_with(name, param, value)
        assert str(info.value) == prefix + message
    with pytest.raises(ValueError, match="^no$"):
        call_with(name, param, Float(ValueError("no")))
    with pytest.raises(OverflowError):
        call_with(name, param, 10**400)
    reference = call_with(name, param, 2.0)
    for value in (2, Float(2.0), Index(2), np.float32(2.0), True + True):
        assert call_with(name, param, value) == reference


def test_conversion_stops_at_first_failure_in_parameter_order():
    data = np.array([1.0, 2.0, 3.0])
    with pytest.raises(TypeError, match="^argument 'data'"):
        _core.shannon_entropy([1.0], None, None)
    with pytest.raises(TypeError, match="^argument 'n_bins'"):
        _core.shannon_entropy(data, None, None)
    # A non-contiguous array is only refused when the views are taken, after
    # every argument converted.
    with pytest.raises(TypeError, match="^argument 'base'"):
        _core.shannon_entropy(np.arange(10.0)[::2], 3, "x")


# -- views --------------------------------------------------------------------


def unaligned(n):
    raw = np.zeros(n * 8 + 1, np.uint8)
    out = raw[1:].view(np.float64)
    out[:] = np.arange(n)
    assert n == 0 or not out.flags.aligned
    return out


@pytest.mark.parametrize("name", ONE_D)
def test_one_dimensional_arrays_must_be_contiguous_and_aligned(name):
    index = first_array(name)
    base = np.arange(12.0)
    refused = [base[::2], base[::-1], base.reshape(3, 4)[:, 1], unaligned(6)]
    for view in refused:
        args = valid_arguments(name)
        args[index] = view
        with raises_panic("called `Result::unwrap()` on an `Err` value: AsSliceError"):
            function(name)(*args)
        assert try_exclusive(view)
    accepted = [base[::2][:0], base[::-3][:1], np.asfortranarray(base), base[2:9], unaligned(0),
                np.frombuffer(base.tobytes())]
    for view in accepted:
        args = valid_arguments(name)
        args[index] = view
        function(name)(*args)


def test_views_read_the_arrays_own_memory():
    base = np.array([9.0, 0.0, 1.0, 2.0, 3.0, 9.0])
    assert _core.shannon_entropy(base[1:5], 4) == 2.0
    readonly = base.copy()
    readonly.flags.writeable = False
    assert _core.shannon_entropy(readonly, 3) == _core.shannon_entropy(base, 3)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_array_mutated_by_a_later_conversion_is_checked_again():
    data = np.arange(8.0)

    class Retype:
        def __index__(self):
            data.dtype = np.float32  # same buffer, now 16 elements of 4 bytes
            return 4

    with pytest.raises(TypeError, match="^argument 'data': 'ndarray' object"):
        _core.shannon_entropy(data, Retype())
    assert try_exclusive(data)


# -- borrows ------------------------------------------------------------------


@pytest.mark.parametrize("name", AVAILABLE)
def test_exclusively_borrowed_arrays_are_refused_and_everything_is_released(name):
    args = valid_arguments(name)
    f = function(name)
    expected = f(*args)
    for i, (_, kind, _) in enumerate(SIGNATURES[name]):
        if kind not in ("a1", "a2"):
            continue
        with exclusive(args[i]):
            with raises_panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"):
                f(*args)
            # A view of the same memory conflicts; other memory does not.
            view = args[i][...]
            with raises_panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"):
                f(*[view if j == i else a for j, a in enumerate(args)])
        for a in args:
            if isinstance(a, np.ndarray):
                assert try_exclusive(a)
        assert f(*args) == expected or np.isnan(expected)


def test_borrow_conflicts_are_decided_by_overlapping_memory():
    base = np.arange(20.0)
    with exclusive(base[:10]):
        assert _core.shannon_entropy(base[10:], 5) == _core.shannon_entropy(np.arange(10.0), 5)
        with raises_panic("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"):
            _core.shannon_entropy(base[5:15], 5)
    assert try_exclusive(base)


def test_one_array_may_be_passed_for_several_parameters():
    data = np.arange(10.0)
    for name in AVAILABLE:
        args = valid_arguments(name)
        for i, (_, kind, _) in enumerate(SIGNATURES[name]):
            if kind == "a1":
                args[i] = data
        function(name)(*args)
    assert try_exclusive(data)


@pytest.mark.parametrize("name", AVAILABLE)
def test_reference_counts_are_unchanged_after_success_and_failure(name):
    f = function(name)
    args = valid_arguments(name)
    before = [sys.getrefcount(a) for a in args]
    for _ in range(100):
        f(*args)
        with pytest.raises(TypeError):
            f(*args, bogus=1)
        with pytest.raises(TypeError):
            f(*args[:-1], "x")
        with pytest.raises(BaseException):
            with exclusive(args[0]):
                f(*args)
    assert [sys.getrefcount(a) for a in args] == before


# -- PanicException -----------------------------------------------------------


def test_panic_exception_derives_from_base_exception_and_reports_to_stderr(capfd):
    panic = panic_type()
    capfd.readouterr()
    assert panic is panic_type()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__name__ == "PanicException"
    assert "BaseException" in panic.__doc__
    try:
        _core.shannon_entropy(np.array([0.0, 1.0]), 0)
    except Exception:  # noqa: BLE001
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic
        assert exc.args == ("index out of bounds: the len is 0 but the index is 0",)
    err = capfd.readouterr().err
    assert "panicked at src/kernels/" in err
    assert err.endswith("index out of bounds: the len is 0 but the index is 0\n")
    # The module works normally after a panic.
    assert _core.shannon_entropy(np.array([1.0, 2.0, 3.0, 4.0]), 4) == 2.0
