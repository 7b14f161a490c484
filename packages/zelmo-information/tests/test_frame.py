"""The call frame every function shares: module surface, readable examples of
the binding and conversion messages (test_fuzz_arguments checks every
combination against a model of the frame), values after conversion, views
taken after the conversions, borrows and PanicException."""

import concurrent.futures
import multiprocessing
import pickle
import signal
import subprocess

import numpy as np
import pytest

import zelmo_information
from borrows import exclusive, try_exclusive
from conftest import (AVAILABLE, INDEX_0, REQUIRED, SIGNATURES, Float, Index, _core, child_command, f64, function,
                      panic_type, raises_panic, unaligned, valid_arguments)

H = _core.shannon_entropy
DATA = np.arange(12.0)
BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"


def test_module_lists_its_functions_in_registration_order_and_the_package_reexports_them():
    assert type(_core.__all__) is list and _core.__all__ == AVAILABLE
    assert zelmo_information.__all__ == _core.__all__
    assert all(getattr(zelmo_information, name) is function(name) for name in AVAILABLE)
    assert (_core.__name__, _core.__doc__) == ("zelmo_information._core", "")


@pytest.mark.parametrize("name", AVAILABLE)
def test_function_objects_carry_a_text_signature_and_no_docstring(name):
    f = function(name)
    parts = [p if d is REQUIRED else f"{p}=" + ("..." if d == -1 else repr(d)) for p, _, d in SIGNATURES[name]]
    assert f.__text_signature__ == "(" + ", ".join(parts) + ")"
    assert (f.__doc__, f.__name__, f.__module__, f.__self__) == (None, name, "zelmo_information._core", None)
    assert type(f).__name__ == "builtin_function_or_method"


SubTypeError = type("SubTypeError", (TypeError,), {})


# One example of each message; the oracle in test_fuzz_arguments covers the rest.
TYPE_ERRORS = [
    (lambda: _core.cond_mutual_information(),
     "cond_mutual_information() missing 3 required positional arguments: 'x', 'y', and 'z'"),
    (lambda: _core.joint_entropy(), "joint_entropy() missing 2 required positional arguments: 'x' and 'y'"),
    (lambda: H(DATA), "shannon_entropy() missing 1 required positional argument: 'n_bins'"),
    (lambda: H(DATA, 10, 2.0, 4), "shannon_entropy() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: H(DATA, 10, n_bins=4), "shannon_entropy() got multiple values for argument 'n_bins'"),
    (lambda: H(DATA, N_bins=4), "shannon_entropy() got an unexpected keyword argument 'N_bins'"),
    (lambda: H(DATA, 4, **{"\udcff": 1}), "shannon_entropy() got an unexpected keyword argument '\udcff'"),
    (lambda: H(None, 4), "argument 'data': 'None' is not an instance of 'ndarray'"),
    (lambda: H([1.0, 2.0], 4), "argument 'data': 'list' object is not an instance of 'ndarray'"),
    (lambda: H(DATA.astype(np.float32), 4), "argument 'data': 'ndarray' object is not an instance of 'ndarray'"),
    (lambda: H(DATA, 10.0), "argument 'n_bins': 'float' object cannot be interpreted as an integer"),
    (lambda: _core.mutual_information(DATA, DATA, Index("3")), "argument 'n_bins': __index__ returned non-int (type str)"),
    (lambda: H(DATA, 4, None), "argument 'base': must be real number, not NoneType"),
    (lambda: H(DATA, 4, Float("2")), "argument 'base': Float.__float__ returned non-float (type str)"),
    (lambda: H([1.0], None, None), "argument 'data': 'list' object is not an instance of 'ndarray'"),  # first failure
    (lambda: H(DATA[::2], 3, "x"), "argument 'base': must be real number, not str"),  # views come after
]


@pytest.mark.parametrize("call,message", TYPE_ERRORS)
def test_binding_and_conversion_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message
    assert info.value.__cause__ is None


def test_only_an_exact_type_error_is_wrapped_and_its_cause_carries_over():
    with pytest.raises(TypeError) as info:
        H(DATA, Index((TypeError, "inner", KeyError)))
    assert str(info.value) == "argument 'n_bins': inner"
    assert isinstance(info.value.__cause__, KeyError) and info.value.__suppress_context__
    for call, kind in ((lambda: H(DATA, Index((SubTypeError, "sub"))), SubTypeError),
                       (lambda: H(DATA, Index((ValueError, "sub"))), ValueError),
                       (lambda: H(DATA, 4, Float((ValueError, "sub"))), ValueError)):
        with pytest.raises(kind) as info:
            call()
        assert type(info.value) is kind and str(info.value) == "sub"
    # Range errors are CPython's own OverflowError, without the parameter name.
    for call in (lambda: _core.kl_divergence(DATA, DATA, -1), lambda: _core.joint_entropy(DATA, DATA, 2**64),
                 lambda: H(DATA, 2**70), lambda: H(DATA, 4, 10**400)):
        with pytest.raises(OverflowError) as info:
            call()
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", AVAILABLE)
def test_every_spelling_of_a_call_and_of_a_number_gives_the_same_value(name):
    f, args = function(name), valid_arguments(name)
    names = [p for p, _, _ in SIGNATURES[name]]
    expected = f(*args)
    assert f(**dict(zip(names, args))) == expected
    assert f(**dict(reversed(list(zip(names, args))))) == expected
    assert f(*args[:1], **dict(zip(names[1:], args[1:]))) == expected
    for i, (_, kind, _) in enumerate(SIGNATURES[name]):
        if kind in "iuf":
            same = (True, np.int8(1), np.uint64(1), Index(1)) if kind in "iu" else (2, Float(2.0), Index(2), np.float32(2.0))
            reference = f(*args[:i], 1 if kind in "iu" else 2.0, *args[i + 1:])
            for value in same:
                got = f(*args[:i], value, *args[i + 1:])
                assert got == reference or np.isnan(reference)


def test_one_dimensional_views_must_be_contiguous_and_aligned_and_read_their_own_memory():
    for view in (DATA[::2], DATA[::-1], DATA.reshape(3, 4)[:, 1], unaligned(DATA)):
        with raises_panic("called `Result::unwrap()` on an `Err` value: AsSliceError"):
            _core.mutual_information(DATA, view)
        assert try_exclusive(view)
    for view in (DATA[::2][:0], DATA[::-3][:1], np.asfortranarray(DATA), unaligned([]), np.frombuffer(DATA.tobytes())):
        _core.mutual_information(DATA, view)
    base = f64([9.0, 0.0, 1.0, 2.0, 3.0, 9.0])
    assert H(base[1:5], 4) == 2.0
    readonly = base.copy()
    readonly.flags.writeable = False
    assert H(readonly, 3) == H(base, 3)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_an_array_changed_by_a_later_conversion_is_checked_again():
    data = np.arange(8.0)

    class Retype:
        def __index__(self):
            data.dtype = np.float32  # same buffer, now 16 elements of 4 bytes
            return 4

    with pytest.raises(TypeError, match="^argument 'data': 'ndarray' object"):
        H(data, Retype())
    assert try_exclusive(data)


@pytest.mark.parametrize("name", AVAILABLE)
def test_exclusively_borrowed_arrays_are_refused_and_everything_is_released(name):
    f, args = function(name), valid_arguments(name)
    expected = f(*args)
    arrays = [i for i, (_, kind, _) in enumerate(SIGNATURES[name]) if kind[0] == "a"]
    for i in arrays:
        with exclusive(args[i]):
            with raises_panic(BORROWED):
                f(*args)
            with raises_panic(BORROWED):  # another view of the same memory
                f(*args[:i], args[i][...], *args[i + 1:])
        assert all(try_exclusive(args[j]) for j in arrays)
        assert f(*args) == expected or np.isnan(expected)
    # One array may be passed for several parameters.
    shared = [DATA if kind == "a1" else a for a, (_, kind, _) in zip(args, SIGNATURES[name])]
    f(*shared)
    assert try_exclusive(DATA)


def test_borrow_conflicts_are_decided_by_overlapping_memory():
    base = np.arange(20.0)
    with exclusive(base[:10]):
        assert H(base[10:], 5) == H(np.arange(10.0), 5)
        with raises_panic(BORROWED):
            H(base[5:15], 5)
    assert try_exclusive(base)


def test_panic_exception_derives_from_base_exception_and_reports_to_stderr(capfd):
    panic = panic_type()
    capfd.readouterr()
    assert panic is panic_type() and panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    try:
        H(f64([0.0, 1.0]), 0)
    except Exception:  # noqa: BLE001
        pytest.fail("PanicException was caught as an Exception")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic and exc.args == (INDEX_0,)
    err = capfd.readouterr().err
    assert "panicked at src/kernels/" in err and err.endswith(INDEX_0 + "\n")
    assert H(f64([1.0, 2.0, 3.0, 4.0]), 4) == 2.0  # the module works normally afterwards


def run_fresh(script, stdin=None):
    """Runs `script` in a new interpreter; returns its standard output."""
    done = subprocess.run(child_command(script), input=stdin, capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.mark.parametrize("first", ["lookup", "panic"])
def test_panic_exception_is_the_package_attribute_before_and_after_a_first_panic(first):
    run_fresh(f"""
        import numpy as np
        import zelmo_information as zi

        def provoke():
            try:
                zi.shannon_entropy(np.array([0.0, 1.0]), 0)
            except BaseException as exc:
                return exc

        found = zi.PanicException if "{first}" == "lookup" else None
        exc = provoke()
        found = found or zi.PanicException
        from zelmo_information import PanicException
        assert type(exc) is found is PanicException is zi.PanicException
        assert issubclass(found, BaseException) and not issubclass(found, Exception)
        assert (found.__module__, found.__qualname__) == ("zelmo_information", "PanicException")
        try:
            zi.shannon_entropy(np.array([0.0, 1.0]), 0)
        except zi.PanicException as caught:
            assert caught.args == ("index out of bounds: the len is 0 but the index is 0",)
        assert "PanicException" not in zi.__all__
    """)


def test_a_caught_panic_pickles_into_a_fresh_process():
    with raises_panic("capacity overflow") as info:
        _core.batch_transfer_entropy_py(np.empty((2**32, 0)))
    caught = info.value
    assert type(caught) is zelmo_information.PanicException
    loaded = run_fresh("""
        import pickle, sys
        import numpy as np
        import zelmo_information as zi

        exc = pickle.loads(sys.stdin.buffer.read())
        assert type(exc) is zi.PanicException and exc.args == ("capacity overflow",)
        try:
            zi.batch_transfer_entropy_py(np.empty((2**32, 0)))
        except zi.PanicException as own:
            assert type(own) is type(exc) and own.args == exc.args
        sys.stdout.buffer.write(pickle.dumps(exc))
    """, stdin=pickle.dumps(caught))
    back = pickle.loads(loaded)
    assert type(back) is panic_type() and back.args == caught.args


def test_a_process_pool_reports_the_panic_of_a_worker():
    context = multiprocessing.get_context("spawn")  # workers in fresh interpreters
    # Each worker sets its own SIGINT handler, as every child of the suite does.
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context, initializer=signal.signal,
                                                initargs=(signal.SIGINT, signal.default_int_handler)) as pool:
        failed = pool.submit(_core.shannon_entropy, f64([0.0, 1.0]), 0)
        with raises_panic(INDEX_0):
            failed.result(timeout=120)
        assert pool.submit(_core.shannon_entropy, f64([0.0, 1.0, 2.0, 3.0]), 4).result(timeout=120) == 2.0


def test_a_masked_array_is_read_without_its_mask():
    data = np.ma.array([1.0, 2.0, 3.0, 4.0], mask=[False, False, False, True])
    assert H(data, 4) == H(data.data, 4) == 2.0 and H(data.compressed(), 4) == pytest.approx(np.log2(3))
    assert _core.batch_transfer_entropy_py(np.ma.vstack([data, data[::-1]]), 4) == \
        _core.batch_transfer_entropy_py(np.vstack([data.data, data.data[::-1]]), 4)
