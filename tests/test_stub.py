"""The type stub editors and type checkers read: it must describe the module as it is."""
import ast
import inspect
from pathlib import Path

import pytest

import sorvane

STUB = Path(__file__).resolve().parent.parent / "src" / "sorvane.pyi"


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_definitions():
    """The stub's public top-level functions and classes, by name."""
    return {
        node.name: node
        for node in stub_tree().body
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")
    }


def public_names():
    return sorted(name for name in vars(sorvane) if not name.startswith("_"))


def parameters(function):
    """(name, default as source text or None) per parameter, refusing every other kind."""
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), function.name
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults)]


def runtime_parameters(name):
    text = getattr(sorvane, name).__text_signature__
    return parameters(ast.parse(f"def {name}{text}: pass").body[0])


def test_stub_names_exactly_the_public_names_of_the_module():
    assert sorted(stub_definitions()) == public_names()


@pytest.mark.parametrize("name", [n for n in public_names() if callable(getattr(sorvane, n)) and not isinstance(getattr(sorvane, n), type)])
def test_stub_function_has_the_parameters_and_defaults_of_its_text_signature(name):
    assert parameters(stub_definitions()[name]) == runtime_parameters(name)


@pytest.mark.parametrize("name", [n for n in public_names() if isinstance(getattr(sorvane, n), type)])
def test_stub_class_is_final_with_the_read_only_attributes_of_the_class(name):
    node = stub_definitions()[name]
    assert [ast.unparse(d) for d in node.decorator_list] == ["final"]
    properties = [
        item.name
        for item in node.body
        if isinstance(item, ast.FunctionDef) and [ast.unparse(d) for d in item.decorator_list] == ["property"]
    ]
    runtime = [attr for attr, value in vars(getattr(sorvane, name)).items() if inspect.isgetsetdescriptor(value)]
    assert properties == runtime
    others = [item for item in node.body[1:] if not isinstance(item, ast.FunctionDef)]
    assert others == [], "a class body holds only its docstring and properties"


@pytest.mark.parametrize("name", public_names())
def test_stub_docstring_is_the_module_docstring(name):
    runtime = getattr(sorvane, name).__doc__
    stub = ast.get_docstring(stub_definitions()[name])
    assert stub == (None if runtime is None else inspect.cleandoc(runtime))


@pytest.mark.parametrize(
    "name, annotation",
    [
        ("decision_id", "str"),
        ("t", "float"),
        ("candidate_hash", "int"),
        ("chosen", "int"),
        ("features", "list[tuple[int, float]]"),
        ("propensity", "float"),
        ("model_version", "int"),
        ("salt", "str"),
        ("bits", "int | None"),
        ("context", "Any"),
        ("candidates", "Any"),
    ],
)
def test_stub_record_attribute_types_match_what_a_decided_record_holds(name, annotation):
    node = stub_definitions()["DecisionRecord"]
    returns = {item.name: ast.unparse(item.returns) for item in node.body if isinstance(item, ast.FunctionDef)}
    assert returns[name] == annotation
    state = sorvane.create(8, 10.0)
    record = sorvane.decide(state, {"k": "v"}, [("a", {"x": 1.0})], 0.0, "s")
    value = getattr(record, name)
    expected = {"str": str, "float": float, "int": int, "int | None": int}.get(annotation)
    if expected is not None:
        assert type(value) is expected
    if name == "features":
        assert value and all(type(i) is int and type(v) is float for i, v in value)
