"""The module frame: registration, exception classes, SecurityLevel and the argument conventions."""

from __future__ import annotations

import inspect
import operator
import pickle

import pytest

from conftest import DEFAULT_LEVEL, LEVELS, core, velora

# Registration order of the complete module (also the order of __all__).
REGISTRATION_TABLE = [
    "VeloraError",
    "DecapsulationError",
    "DecryptionError",
    "InvalidParameterError",
    "RngError",
    "KeySerializationError",
    "SecurityLevel",
    "KeyPair",
    "generate_keypair",
    "encapsulate",
    "decapsulate",
    "serialize_public_key",
    "deserialize_public_key",
    "generate_keypair_deterministic",
    "encapsulate_deterministic",
    "encrypt_hybrid",
    "decrypt_hybrid",
    "load_public_key_pem",
    "load_public_key_json",
    "load_secret_key_raw",
    "load_secret_key_pem",
    "StreamEncryptorHandle",
    "StreamDecryptorHandle",
    "stream_encryptor_new",
    "stream_decryptor_from_header",
]
# The first fifteen names: exceptions, the two key classes, the KEM and public-key Base64 functions.
KEM_NAMES = REGISTRATION_TABLE[:15]


# ---- registration -----------------------------------------------------------


def test_all_follows_registration_table():
    names = list(core.__all__)
    assert type(core.__all__) is list
    assert names == REGISTRATION_TABLE
    for name in names:
        assert hasattr(core, name), name


def test_package_reexports_every_registered_name():
    assert velora.__all__[: len(core.__all__)] == core.__all__
    for name in core.__all__:
        assert getattr(velora, name) is getattr(core, name)


def test_module_docstring():
    assert core.__doc__ == (
        "Modulo Python `_velora_core`.\n\nRegistra todas las funciones, clases y excepciones expuestas a Python."
    )


def test_panic_exception_is_not_registered():
    assert not hasattr(core, "PanicException")
    assert "PanicException" not in core.__all__
    assert not hasattr(velora, "PanicException")


# ---- exception classes ------------------------------------------------------

EXCEPTIONS = [
    ("VeloraError", "Exception", "Base exception for all Velora errors."),
    ("DecapsulationError", "VeloraError", "ML-KEM structural decapsulation error."),
    ("DecryptionError", "VeloraError", "AES-GCM authentication tag verification failed."),
    ("InvalidParameterError", "VeloraError", "Invalid parameter (buffer size, security level)."),
    ("RngError", "VeloraError", "CSPRNG not available from the operating system."),
    (
        "KeySerializationError",
        "VeloraError",
        "Invalid key serialization format (PEM header, JSON, magic bytes, truncated blob).",
    ),
]


@pytest.mark.parametrize("name, base, doc", EXCEPTIONS, ids=[e[0] for e in EXCEPTIONS])
def test_exception_class(name, base, doc):
    cls = getattr(core, name)
    expected_base = Exception if base == "Exception" else core.VeloraError
    assert cls.__bases__ == (expected_base,)
    assert issubclass(cls, core.VeloraError)
    assert issubclass(cls, Exception)
    assert cls.__module__ == "velora"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert f"{cls.__module__}.{cls.__qualname__}" == f"velora.{name}"


@pytest.mark.parametrize("name", [e[0] for e in EXCEPTIONS])
def test_exception_args_and_pickle_round_trip(name):
    cls = getattr(core, name)
    exc = cls("x")
    assert exc.args == ("x",)
    assert str(exc) == "x"
    back = pickle.loads(pickle.dumps(exc))
    assert type(back) is cls
    assert back.args == ("x",)


def test_catching_base_class_catches_engine_errors():
    with pytest.raises(core.VeloraError) as excinfo:
        core.encapsulate(b"\x00" * 10)
    assert type(excinfo.value) is core.InvalidParameterError


# ---- docstrings and text signatures -------------------------------------------

FUNCTION_DOCS = [
    ("generate_keypair", "(level=...)", "Genera un par de claves ML-KEM para el nivel de seguridad dado."),
    ("encapsulate", "(public_key, level=...)", "Encapsula un shared secret usando la clave publica del receptor."),
    ("decapsulate", "(capsule, secret_key, level=...)", "Desencapsula el shared secret usando la clave secreta."),
    (
        "serialize_public_key",
        "(public_key)",
        "Serializa una llave publica ML-KEM a Base64 URL-safe sin padding.",
    ),
    ("deserialize_public_key", "(b64, level=...)", "Deserializa una llave publica ML-KEM desde Base64 URL-safe."),
    ("generate_keypair_deterministic", "(d, z, level=...)", "Genera un par de claves ML-KEM usando seeds especificos."),
    (
        "encapsulate_deterministic",
        "(public_key, m, level=...)",
        "Encapsula un shared secret usando un mensaje especifico.",
    ),
]
DETERMINISTIC_WARNING = (
    "Esta version es DETERMINISTA y debe usarse SOLO para validacion\ncon vectores KAT conocidos. NO usar en produccion."
)


@pytest.mark.parametrize("name, signature, summary", FUNCTION_DOCS, ids=[f[0] for f in FUNCTION_DOCS])
def test_function_text_signature_and_docstring(name, signature, summary):
    fn = getattr(core, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == core.__name__
    assert fn.__text_signature__ == signature
    assert fn.__doc__.startswith(summary + "\n")
    # The signature is usable by introspection with the documented names.
    params = list(inspect.signature(fn).parameters)
    assert params == [p.strip().split("=")[0] for p in signature[1:-1].split(",")]
    if name.endswith("_deterministic"):
        assert DETERMINISTIC_WARNING in fn.__doc__
    else:
        assert "DETERMINISTA" not in fn.__doc__


def test_decapsulate_docstring_notes_implicit_rejection():
    assert (
        "NOTA: Esta funcion NUNCA lanza error para ciphertext invalido\n(implicit rejection, FIPS 203 §7.3)."
        in core.decapsulate.__doc__
    )


def test_keypair_class_docstrings():
    kp = core.KeyPair
    assert kp.__doc__ == "Par de claves ML-KEM.\n\nContiene la clave publica y la clave secreta como `bytes` de Python."
    assert kp.__module__ == "velora"
    assert kp.public_key.__doc__ == "Clave publica como bytes."
    assert kp.secret_key.__doc__ == "Clave secreta como bytes."
    assert kp.level.__doc__ == "Nivel de seguridad con el que se genero el par."
    assert kp.public_key_b64.__text_signature__ == "($self)"
    assert kp.public_key_b64.__doc__.startswith("Serializa la clave publica a Base64 URL-safe sin padding.\n")
    assert kp.public_key_b64.__doc__.rstrip().endswith("sin padding `=`.")


# ---- SecurityLevel ----------------------------------------------------------

SL = core.SecurityLevel


def test_security_level_class():
    assert SL.__module__ == "velora"
    assert SL.__name__ == "SecurityLevel"
    first, blank, sentence = SL.__doc__.split("\n", 2)
    assert (first, blank) == ("Nivel de seguridad ML-KEM.", "")
    assert "mayusculas" in sentence and sentence.count(".") == 1


@pytest.mark.parametrize("lv", LEVELS, ids=repr)
def test_security_level_member(lv):
    member = getattr(SL, lv.name)
    assert member is lv.member
    assert type(member) is SL
    assert int(member) == lv.value and type(int(member)) is int
    assert repr(member) == f"SecurityLevel.{lv.name}"
    assert str(member) == repr(member)
    assert getattr(SL, lv.name) is getattr(SL, lv.name)


@pytest.mark.parametrize("lv", LEVELS, ids=repr)
def test_security_level_equality(lv):
    member = lv.member
    assert member == lv.member and not (member != lv.member)
    assert member == lv.value and lv.value == member
    assert not (member != lv.value)
    for other in LEVELS:
        if other is not lv:
            assert member != other.member and not (member == other.member)
            assert member != other.value
    assert member != lv.index  # the index is not the value
    assert not (member == str(lv.value)) and member != str(lv.value)
    assert not (member == float(lv.value))
    assert not (member == lv.name)
    assert not (member == None)  # noqa: E711
    assert not (member == 2**100)  # does not fit a C long: no error, just unequal


@pytest.mark.parametrize("other", [SL.ML_KEM_768, 768, 1024, 512.0, "768"], ids=repr)
@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge], ids=lambda o: o.__name__)
def test_security_level_has_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(SL.ML_KEM_512, other)
    with pytest.raises(TypeError):
        op(other, SL.ML_KEM_512)


def test_security_level_is_not_hashable():
    assert SL.__hash__ is None
    with pytest.raises(TypeError):
        hash(SL.ML_KEM_768)
    with pytest.raises(TypeError):
        {SL.ML_KEM_768}
    with pytest.raises(TypeError):
        {SL.ML_KEM_768: 1}


@pytest.mark.parametrize("args", [(), (768,), (SL.ML_KEM_768,)], ids=["no-args", "int", "member"])
def test_security_level_has_no_constructor(args):
    with pytest.raises(TypeError):
        SL(*args)


@pytest.mark.parametrize("make", [lambda: SL.__new__(SL), lambda: object.__new__(SL)], ids=["__new__", "object"])
def test_security_level_cannot_be_allocated_directly(make):
    with pytest.raises(TypeError):
        make()


def test_security_level_offers_no_index_protocol():
    with pytest.raises(TypeError):
        operator.index(SL.ML_KEM_512)
    with pytest.raises(TypeError):
        range(SL.ML_KEM_512)
    with pytest.raises(TypeError):
        [0, 1, 2][SL.ML_KEM_512]


def test_security_level_class_is_immutable():
    with pytest.raises((TypeError, AttributeError)):
        SL.ML_KEM_512 = SL.ML_KEM_1024
    assert int(SL.ML_KEM_512) == 512


# ---- argument conventions ---------------------------------------------------

# name -> (parameter names in signature order, number of required parameters)
SIGNATURES = {
    "generate_keypair": (["level"], 0),
    "encapsulate": (["public_key", "level"], 1),
    "decapsulate": (["capsule", "secret_key", "level"], 2),
    "serialize_public_key": (["public_key"], 1),
    "deserialize_public_key": (["b64", "level"], 1),
    "generate_keypair_deterministic": (["d", "z", "level"], 2),
    "encapsulate_deterministic": (["public_key", "m", "level"], 2),
}
KIND = {"public_key": "bytes", "capsule": "bytes", "secret_key": "bytes", "d": "bytes", "z": "bytes",
        "m": "bytes", "b64": "str", "level": "SecurityLevel"}


@pytest.fixture(scope="module")
def good_args():
    """A valid value for every parameter of every function, at the default level."""
    kp = core.generate_keypair()
    capsule, _ = core.encapsulate(kp.public_key)
    values = {
        "public_key": kp.public_key,
        "capsule": capsule,
        "secret_key": kp.secret_key,
        "b64": core.serialize_public_key(kp.public_key),
        "d": bytes(range(32)),
        "z": bytes(range(32, 64)),
        "m": bytes(range(64, 96)),
        "level": core.SecurityLevel.ML_KEM_768,
    }
    return values


def python_twin(name: str):
    """A Python function with the same signature: the oracle for the interpreter's TypeError texts."""
    params, required = SIGNATURES[name]
    text = ", ".join(p if i < required else f"{p}=None" for i, p in enumerate(params))
    namespace: dict = {}
    exec(f"def {name}({text}):\n    return None\n", namespace)
    return namespace[name]


def interpreter_message(name, args, kwargs) -> str:
    with pytest.raises(TypeError) as excinfo:
        python_twin(name)(*args, **kwargs)
    return str(excinfo.value)


def argument_faults():
    """(function, description, positional args, keyword args) with exactly one passing fault each."""
    for name, (params, required) in SIGNATURES.items():
        if required:
            yield name, "missing-all", (), {}
        if required > 1:
            yield name, "missing-last-required", tuple(params[: required - 1]), {}
        yield name, "surplus-positional", tuple(params) + ("extra",), {}
        yield name, "unknown-keyword", tuple(params[:required]), {"bogus": "extra"}
        yield name, "keyword-typo", tuple(params[:required]), {params[-1] + "_": "extra"}
        yield name, "duplicate", tuple(params[:1]), {params[0]: params[0]}


FAULTS = list(argument_faults())


@pytest.mark.parametrize("name, fault, args, kwargs", FAULTS, ids=[f"{f[0]}-{f[1]}" for f in FAULTS])
def test_argument_passing_errors_use_interpreter_wording(good_args, name, fault, args, kwargs):
    # The fault tuples hold parameter names; swap in valid values (the surplus stays a placeholder).
    real_args = tuple(good_args.get(a, a) for a in args)
    real_kwargs = {k: good_args.get(v, v) for k, v in kwargs.items()}
    with pytest.raises(TypeError) as excinfo:
        getattr(core, name)(*real_args, **real_kwargs)
    message = str(excinfo.value)
    assert message == interpreter_message(name, real_args, real_kwargs)
    fragments = {
        "missing-all": ["missing", "required"],
        "missing-last-required": ["missing", "required"],
        "surplus-positional": ["positional argument", "given"],
        "unknown-keyword": ["got an unexpected keyword argument 'bogus'"],
        "keyword-typo": ["got an unexpected keyword argument"],
        "duplicate": ["got multiple values for argument"],
    }[fault]
    assert message.startswith(name + "()")
    for fragment in fragments:
        assert fragment in message


@pytest.mark.parametrize("keyword", ["level\x00junk", "lev\udc80", "l\u00e9vel", "LEVEL"], ids=repr)
def test_keyword_must_match_a_name_exactly(keyword):
    with pytest.raises(TypeError) as excinfo:
        core.generate_keypair(**{keyword: SL.ML_KEM_512})
    assert str(excinfo.value) == interpreter_message("generate_keypair", (), {keyword: SL.ML_KEM_512})


def test_missing_message_lists_every_missing_name():
    with pytest.raises(TypeError) as excinfo:
        core.decapsulate()
    assert str(excinfo.value) == "decapsulate() missing 2 required positional arguments: 'capsule' and 'secret_key'"


@pytest.mark.parametrize("name", SIGNATURES)
def test_every_parameter_accepted_by_keyword(good_args, name):
    params, _ = SIGNATURES[name]
    by_keyword = getattr(core, name)(**{p: good_args[p] for p in params})
    by_position = getattr(core, name)(*[good_args[p] for p in params])
    if name in ("generate_keypair", "encapsulate"):  # random results: compare shapes only
        assert type(by_keyword) is type(by_position)
    elif name == "generate_keypair_deterministic":
        assert by_keyword.public_key == by_position.public_key
        assert by_keyword.secret_key == by_position.secret_key
    else:
        assert by_keyword == by_position


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


BAD_VALUES = {
    "bytes": [
        (bytearray(b"abc"), "'bytearray' object is not an instance of 'bytes'"),
        (memoryview(b"abc"), "'memoryview' object is not an instance of 'bytes'"),
        ("abc", "'str' object is not an instance of 'bytes'"),
        (None, "'None' is not an instance of 'bytes'"),
        (32, "'int' object is not an instance of 'bytes'"),
    ],
    "str": [
        (b"abc", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (bytearray(b"abc"), "'bytearray' object is not an instance of 'str'"),
    ],
    "SecurityLevel": [
        (768, "'int' object is not an instance of 'SecurityLevel'"),
        (512, "'int' object is not an instance of 'SecurityLevel'"),
        (None, "'None' is not an instance of 'SecurityLevel'"),
        ("ML_KEM_768", "'str' object is not an instance of 'SecurityLevel'"),
        (768.0, "'float' object is not an instance of 'SecurityLevel'"),
    ],
}


def type_faults():
    for name, (params, _) in SIGNATURES.items():
        for p in params:
            for value, message in BAD_VALUES[KIND[p]]:
                yield name, p, value, message


TYPE_FAULTS = list(type_faults())


@pytest.mark.parametrize(
    "name, param, value, message", TYPE_FAULTS, ids=[f"{t[0]}-{t[1]}-{type(t[2]).__name__}" for t in TYPE_FAULTS]
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_wrong_argument_type(good_args, name, param, value, message, by_keyword):
    params, _ = SIGNATURES[name]
    values = {p: (value if p == param else good_args[p]) for p in params}
    fn = getattr(core, name)
    with pytest.raises(TypeError) as excinfo:
        if by_keyword:
            fn(**values)
        else:
            fn(*values.values())
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message
    assert excinfo.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: core.decapsulate(None, None), "capsule"),
        (lambda: core.decapsulate(b"", 1, level=768), "secret_key"),
        (lambda: core.encapsulate(bytearray(), level=None), "public_key"),
        # type and level checks come before the 32-byte checks
        (lambda: core.generate_keypair_deterministic(b"short", b"short", 768), "level"),
        (lambda: core.encapsulate_deterministic(b"", b"short", None), "level"),
        (lambda: core.generate_keypair_deterministic(b"short", "z"), "z"),
    ],
    ids=["both-bad", "second-and-level", "first-and-level", "level-before-d-length", "level-before-m-length",
         "z-type-before-d-length"],
)
def test_first_offending_argument_is_reported(call, param):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert excinfo.value.__notes__ == [f"while processing '{param}'"]


def test_bytes_and_str_subclasses_are_accepted(good_args):
    kp = core.generate_keypair_deterministic(BytesSubclass(good_args["d"]), BytesSubclass(good_args["z"]))
    plain = core.generate_keypair_deterministic(good_args["d"], good_args["z"])
    assert kp.public_key == plain.public_key and kp.secret_key == plain.secret_key
    pk = BytesSubclass(plain.public_key)
    capsule, secret = core.encapsulate(pk)
    assert core.decapsulate(BytesSubclass(capsule), BytesSubclass(plain.secret_key)) == secret
    assert core.encapsulate_deterministic(pk, BytesSubclass(good_args["m"])) == core.encapsulate_deterministic(
        plain.public_key, good_args["m"]
    )
    text = core.serialize_public_key(pk)
    assert text == core.serialize_public_key(plain.public_key)
    assert core.deserialize_public_key(StrSubclass(text)) == plain.public_key


def test_omitted_level_is_ml_kem_768(good_args):
    kp = core.generate_keypair()
    assert kp.level is DEFAULT_LEVEL.member
    assert len(kp.public_key) == DEFAULT_LEVEL.ek
    capsule, secret = core.encapsulate(kp.public_key)
    assert len(capsule) == DEFAULT_LEVEL.capsule
    assert core.decapsulate(capsule, kp.secret_key) == secret
    assert core.decapsulate(capsule, kp.secret_key, level=SL.ML_KEM_768) == secret
    d, z, m = good_args["d"], good_args["z"], good_args["m"]
    a = core.generate_keypair_deterministic(d, z)
    b = core.generate_keypair_deterministic(d, z, SL.ML_KEM_768)
    assert a.level is b.level is SL.ML_KEM_768
    assert (a.public_key, a.secret_key) == (b.public_key, b.secret_key)
    assert core.encapsulate_deterministic(a.public_key, m) == core.encapsulate_deterministic(
        a.public_key, m, level=SL.ML_KEM_768
    )
    text = core.serialize_public_key(a.public_key)
    assert core.deserialize_public_key(text) == core.deserialize_public_key(text, SL.ML_KEM_768)


def test_second_module_object_shares_the_classes():
    import importlib
    import sys

    name = core.__name__
    try:
        del sys.modules[name]
        second = importlib.import_module(name)
        assert second is not core
        assert second.__all__ == core.__all__ and second.__all__ is not core.__all__
        for attr in KEM_NAMES[:8]:  # exception classes and the two key classes are per process
            assert getattr(second, attr) is getattr(core, attr)
        assert second.SecurityLevel.ML_KEM_1024 is core.SecurityLevel.ML_KEM_1024
        assert second.generate_keypair(core.SecurityLevel.ML_KEM_512).level is core.SecurityLevel.ML_KEM_512
    finally:
        sys.modules[name] = core
