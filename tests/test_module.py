"""The module surface: exports, the Encoder class, its constructor and argument binding."""

import gc
import importlib.util
import inspect
import subprocess
import sys
import weakref

import numpy as np
import pytest

import quorvel
from quorvel import Encoder
from conftest import EMPTY_STATE


class Text(str):
    """A str subclass whose str() and equality lie about its content."""

    def __str__(self):
        return "something else"

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


# ---------------------------------------------------------------------------
# Module


def test_all_lists_only_the_encoder():
    assert quorvel.__all__ == ["Encoder"]
    assert type(quorvel.__all__) is list
    assert quorvel.Encoder is Encoder
    assert isinstance(Encoder, type)


def test_module_has_no_other_public_attributes():
    public = [name for name in dir(quorvel) if not name.startswith("_")]
    assert public == ["Encoder"]
    assert isinstance(quorvel.__doc__, str) and quorvel.__doc__.strip()


def test_import_loads_neither_numpy_nor_pandas():
    code = (
        "import sys, quorvel\n"
        "e = quorvel.Encoder()\n"
        "assert e.__getstate__() == b'\\x00' * 5\n"
        "print(sorted(m for m in ('numpy', 'pandas') if m in sys.modules))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_second_module_object_shares_the_class_and_gets_its_own_all():
    # Running the initialisation step on a new module object reuses the one class.
    spec = importlib.util.find_spec("quorvel")
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other is not quorvel
    assert other.Encoder is Encoder
    assert other.__all__ == ["Encoder"]
    assert other.__all__ is not quorvel.__all__
    assert quorvel.__all__ == ["Encoder"]


def test_initialisation_extends_an_existing_all():
    spec = importlib.util.find_spec("quorvel")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = ["Other"]
    spec.loader.exec_module(other)
    assert other.__all__ == ["Other", "Encoder"]
    assert other.Encoder is Encoder


def test_initialisation_faults_when_all_cannot_be_appended_to(capfd):
    spec = importlib.util.find_spec("quorvel")
    other = importlib.util.module_from_spec(spec)
    other.__all__ = ("Other",)
    with pytest.raises(BaseException) as info:
        spec.loader.exec_module(other)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert other.__all__ == ("Other",)
    assert str(info.value) in capfd.readouterr().err


# ---------------------------------------------------------------------------
# Constructor


@pytest.mark.parametrize(
    "make",
    [
        lambda: Encoder(),
        lambda: Encoder(None),
        lambda: Encoder(encoding=None),
        lambda: Encoder("label"),
        lambda: Encoder(encoding="label"),
        lambda: Encoder(Text("label")),
        lambda: Encoder(np.str_("label")),
        lambda: Encoder.__new__(Encoder),
        lambda: Encoder.__new__(Encoder, "label"),
    ],
    ids=["no-args", "None", "kw-None", "label", "kw-label", "str-subclass", "numpy-str", "__new__", "__new__-label"],
)
def test_constructor_accepted_forms_give_a_fresh_encoder(make):
    e = make()
    assert type(e) is Encoder
    assert e.__getstate__() == EMPTY_STATE
    # A fresh encoder has learned nothing: decoding leaves numbers alone.
    out = e.decode(np.array([[0.0, 1.5]]))
    assert out.dtype == np.float64
    assert out.tolist() == [[0.0, 1.5]]


@pytest.mark.parametrize(
    "value",
    ["Label", "label ", " label", "LABEL", "labe", "labels", "", "label\x00", "lábel", Text("Label")],
)
def test_constructor_refuses_other_texts(value):
    # The message carries the given text itself, not what a subclass's __str__ says.
    message = str.__str__(value) + " is not a supported encoding strategy for strings!"
    for call in (lambda: Encoder(value), lambda: Encoder(encoding=value)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
        assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    ("value", "type_name"),
    [
        (5, "int"),
        (b"label", "bytes"),
        (bytearray(b"label"), "bytearray"),
        (1.0, "float"),
        (["label"], "list"),
        (Encoder, "type"),
        (np.float64(1.0), "float64"),
    ],
    ids=["int", "bytes", "bytearray", "float", "list", "type", "numpy-float"],
)
def test_constructor_refuses_non_str_with_note(value, type_name):
    for call in (lambda: Encoder(value), lambda: Encoder(encoding=value)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"'{type_name}' object is not an instance of 'str'"
        assert info.value.__notes__ == ["while processing 'encoding'"]


def test_constructor_type_name_is_qualified():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        Encoder(Outer.Inner())
    assert str(info.value) == (
        "'test_constructor_type_name_is_qualified.<locals>.Outer.Inner' object is not an instance of 'str'"
    )
    assert info.value.__notes__ == ["while processing 'encoding'"]


def test_constructor_lone_surrogate_raises_codec_error_with_note():
    with pytest.raises(UnicodeEncodeError) as info:
        Encoder("\ud800")
    assert info.value.encoding == "utf-8"
    assert info.value.reason == "surrogates not allowed"
    assert info.value.__notes__ == ["while processing 'encoding'"]


# ---------------------------------------------------------------------------
# Argument binding

X = np.zeros((1, 1))


CALL_SHAPES = [
    # too many positional, all parameters required
    (lambda e: e.encode(X, X), "Encoder.encode() takes 1 positional arguments but 2 were given"),
    (lambda e: e.decode(X, X), "Encoder.decode() takes 1 positional arguments but 2 were given"),
    (lambda e: e.decode(X, X, X), "Encoder.decode() takes 1 positional arguments but 3 were given"),
    (
        lambda e: e.__setstate__(EMPTY_STATE, EMPTY_STATE),
        "Encoder.__setstate__() takes 1 positional arguments but 2 were given",
    ),
    # too many positional, one optional parameter
    (lambda e: Encoder("label", "x"), "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (
        lambda e: Encoder(None, None, None, None),
        "Encoder.__new__() takes from 0 to 1 positional arguments but 4 were given",
    ),
    # the count check comes before the keywords
    (lambda e: e.encode(X, X, foo=1), "Encoder.encode() takes 1 positional arguments but 2 were given"),
    (
        lambda e: Encoder("label", "x", foo=1),
        "Encoder.__new__() takes from 0 to 1 positional arguments but 2 were given",
    ),
    # unexpected keyword
    (lambda e: e.encode(foo=1), "Encoder.encode() got an unexpected keyword argument 'foo'"),
    (lambda e: e.encode(X, foo=1), "Encoder.encode() got an unexpected keyword argument 'foo'"),
    (lambda e: e.decode(Obj=X), "Encoder.decode() got an unexpected keyword argument 'Obj'"),
    (lambda e: e.decode(**{"öbj": X}), "Encoder.decode() got an unexpected keyword argument 'öbj'"),
    (lambda e: e.__setstate__(obj=EMPTY_STATE), "Encoder.__setstate__() got an unexpected keyword argument 'obj'"),
    (lambda e: Encoder(encoding="label", foo=1), "Encoder.__new__() got an unexpected keyword argument 'foo'"),
    (lambda e: Encoder(Encoding="label"), "Encoder.__new__() got an unexpected keyword argument 'Encoding'"),
    # keywords are checked in the order given
    (lambda e: e.encode(X, foo=1, obj=X), "Encoder.encode() got an unexpected keyword argument 'foo'"),
    (lambda e: e.encode(X, obj=X, foo=1), "Encoder.encode() got multiple values for argument 'obj'"),
    (lambda e: Encoder(bar=1, foo=2), "Encoder.__new__() got an unexpected keyword argument 'bar'"),
    # multiple values
    (lambda e: e.encode(X, obj=X), "Encoder.encode() got multiple values for argument 'obj'"),
    (lambda e: e.decode(X, obj=X), "Encoder.decode() got multiple values for argument 'obj'"),
    (
        lambda e: e.__setstate__(EMPTY_STATE, state=EMPTY_STATE),
        "Encoder.__setstate__() got multiple values for argument 'state'",
    ),
    (lambda e: Encoder(None, encoding=None), "Encoder.__new__() got multiple values for argument 'encoding'"),
    # missing
    (lambda e: e.encode(), "Encoder.encode() missing 1 required positional argument: 'obj'"),
    (lambda e: e.decode(), "Encoder.decode() missing 1 required positional argument: 'obj'"),
    (lambda e: e.__setstate__(), "Encoder.__setstate__() missing 1 required positional argument: 'state'"),
    # unknown keywords are reported before a missing argument
    (lambda e: e.decode(foo=1), "Encoder.decode() got an unexpected keyword argument 'foo'"),
]


@pytest.mark.parametrize(("call", "message"), CALL_SHAPES, ids=[m for _, m in CALL_SHAPES])
def test_bad_call_shapes(call, message):
    e = Encoder()
    e.encode(np.array([["a"], ["b"]], dtype=object))
    before = e.__getstate__()
    with pytest.raises(TypeError) as info:
        call(e)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")
    # A refused call changes nothing and leaves the instance free.
    assert e.__getstate__() == before
    assert e.encode(np.zeros((1, 1)))[1] is None


def test_bad_call_shapes_through_unbound_methods():
    e = Encoder()
    with pytest.raises(TypeError) as info:
        Encoder.encode(e)
    assert str(info.value) == "Encoder.encode() missing 1 required positional argument: 'obj'"
    with pytest.raises(TypeError) as info:
        Encoder.decode(e, X, X)
    assert str(info.value) == "Encoder.decode() takes 1 positional arguments but 2 were given"


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.encode(obj=np.array([["a"]], dtype=object)),
        lambda e: Encoder.encode(e, obj=np.array([["a"]], dtype=object)),
    ],
)
def test_keyword_arguments_bind(call):
    e = Encoder()
    result, columns = call(e)
    assert columns == [0]
    assert e.decode(obj=result).tolist() == [["a"]]
    e.__setstate__(state=EMPTY_STATE)
    assert e.__getstate__() == EMPTY_STATE


@pytest.mark.parametrize("args", [(1,), (None,), ((),)])
def test_getstate_takes_no_arguments(args):
    e = Encoder()
    with pytest.raises(TypeError) as info:
        e.__getstate__(*args)
    assert "__getstate__() takes no arguments (1 given)" in str(info.value)
    with pytest.raises(TypeError):
        e.__getstate__(state=1)


# ---------------------------------------------------------------------------
# Class properties


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):

        class Sub(Encoder):
            pass

    with pytest.raises(TypeError):
        type("Sub", (Encoder,), {})


def test_instances_have_no_dict_and_no_weakrefs():
    e = Encoder()
    with pytest.raises(AttributeError):
        e.__dict__
    with pytest.raises(AttributeError):
        e.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(e)


def test_instances_are_not_gc_tracked():
    e = Encoder()
    assert not gc.is_tracked(e)
    e.encode(np.array([["a", 1.0]], dtype=object))
    assert not gc.is_tracked(e)
    assert not gc.is_tracked(Encoder.__new__(Encoder))


def test_class_names_and_signature():
    assert Encoder.__module__ == "quorvel"
    assert Encoder.__qualname__ == "Encoder"
    assert Encoder.__name__ == "Encoder"
    assert Encoder.__text_signature__ == "(encoding=None)"
    assert not Encoder.__doc__
    sig = inspect.signature(Encoder)
    assert str(sig) == "(encoding=None)"
    (param,) = sig.parameters.values()
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert param.default is None


@pytest.mark.parametrize(
    ("name", "text_signature", "bound"),
    [
        ("encode", "($self, obj)", "(obj)"),
        ("decode", "($self, obj)", "(obj)"),
        ("__getstate__", "($self)", "()"),
        ("__setstate__", "($self, state)", "(state)"),
    ],
)
def test_method_signatures(name, text_signature, bound):
    method = getattr(Encoder, name)
    assert method.__text_signature__ == text_signature
    assert not method.__doc__
    sig = inspect.signature(getattr(Encoder(), name))
    assert str(sig) == bound
    for param in sig.parameters.values():
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert param.default is inspect.Parameter.empty


def test_class_defines_only_its_own_methods():
    own = {name for name in vars(Encoder) if not name.startswith("__") or name in ("__getstate__", "__setstate__")}
    assert own == {"encode", "decode", "__getstate__", "__setstate__"}
    assert "__init__" not in vars(Encoder)
    assert "__reduce__" not in vars(Encoder)
    assert "__dict__" not in vars(Encoder)
    assert "__weakref__" not in vars(Encoder)

