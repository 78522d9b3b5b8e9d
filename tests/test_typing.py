"""The type stub, introspection and pickling of the compiled module."""
import ast
import copy
import importlib
import importlib.util
import inspect
import os
import pickle
import pydoc
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

MODULE = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin"
SAMPLE = Path(__file__).with_name("typing_sample.py")

# Names the module binds by importing them.  The stub imports them for its annotations without
# re-exporting them: they belong to the standard library, pydantic, pytz and the query model.
IMPORTED = {
    "json", "Callable", "date", "datetime", "Enum", "cache", "Any", "ClassVar", "pytz", "Versions",
    "Filter", "OrderBy", "CursorPaginator", "NumberPaginator", "QuerySpecifier", "Lookup",
    "OrderDirection", "QueryableMixin", "ConnectorEnum", "Q", "BaseModel", "QuarnaConnectionError",
}


@pytest.fixture(scope="module")
def mod():
    return importlib.import_module(MODULE)


@pytest.fixture(scope="module")
def stub(mod):
    path = Path(mod.__file__).with_name("sqlite_statements_mixin.pyi")
    return ast.parse(path.read_text(encoding="utf-8"))


def _classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _exported(tree):
    """Public names of a stub in order: definitions and ``import X as X`` re-exports."""
    names = []
    for node in tree.body:
        if isinstance(node, ast.AnnAssign):
            names.append(node.target.id)
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.append(node.name)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names += [a.asname for a in node.names if a.asname and a.asname == a.name.rpartition(".")[2]]
    return [n for n in names if not n.startswith("_")]


def _text(annotation):
    """Canonical text of an annotation given as an AST node or as runtime text."""
    if isinstance(annotation, str):
        annotation = ast.parse(annotation, mode="eval").body
    return ast.unparse(annotation)


def _stub_parameters(fn):
    """(name, kind, annotation text, default text) of a stub function, and its return text."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [(a.arg, "POSITIONAL_OR_KEYWORD", a.annotation, d) for a, d in zip(positional, defaults)]
    params += [(a.arg, "KEYWORD_ONLY", a.annotation, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    rendered = [(n, k, _text(a) if a else None, ast.unparse(d) if d else None) for n, k, a, d in params]
    return rendered, _text(fn.returns)


def _runtime_parameters(fn):
    signature = inspect.signature(fn)
    rendered = []
    for p in signature.parameters.values():
        annotation = None if p.annotation is p.empty else _text(p.annotation)
        if p.default is p.empty:
            default = None
        elif isinstance(p.default, type):
            default = p.default.__name__
        else:
            default = repr(p.default)
        rendered.append((p.name, p.kind.name, annotation, default))
    return rendered, _text(signature.return_annotation)


def _plain(cls, name):
    """The function behind a class attribute (unwrapping classmethod, staticmethod, cache)."""
    attr = vars(cls)[name]
    if isinstance(attr, (classmethod, staticmethod)):
        return attr.__func__
    return getattr(attr, "__wrapped__", attr)


def _functions(node):
    return [n for n in node.body if isinstance(n, ast.FunctionDef)]


def _decorators(fn):
    return [d.id for d in fn.decorator_list]


def test_stub_and_markers_are_installed_beside_the_module(mod):
    import quarna_data
    import quarna_utils

    here = Path(mod.__file__)
    assert here.suffix in (".so", ".pyd") and here.with_name("sqlite_statements_mixin.pyi").is_file()
    for package in (quarna_data, quarna_utils):
        assert Path(package.__file__).with_name("py.typed").is_file()


def test_stub_lists_every_module_name_in_order(mod, stub):
    runtime = [n for n in vars(mod) if not n.startswith("__")]
    assert _exported(stub) == [n for n in runtime if n not in IMPORTED]
    assert IMPORTED <= set(runtime)


def test_stub_module_constants_have_the_runtime_types(mod, stub):
    declared = {n.target.id: ast.unparse(n.annotation) for n in stub.body if isinstance(n, ast.AnnAssign)}
    for name, annotation in declared.items():
        value = getattr(mod, name)
        origin = annotation.partition("[")[0]
        assert type(value).__name__ == origin, name
    assert all(type(k) is mod.Lookup and type(v) is mod.SqlOperatorTemplate for k, v in mod.sql_operator_map.items())
    assert all(type(item) is str for item in mod.SUPPORTED_NESTED_FIELDS)


def test_stub_methods_match_the_method_table(mod, stub):
    cls = mod.SqliteStatementsMixin
    node = _classes(stub)["SqliteStatementsMixin"]
    methods = _functions(node)
    assert [m.name for m in methods] == [n for n in vars(cls) if callable(_plain(cls, n)) and not n.startswith("__")]
    kinds = {"classmethod": classmethod, "staticmethod": staticmethod}
    for method in methods:
        assert _stub_parameters(method) == _runtime_parameters(_plain(cls, method.name)), method.name
        runtime_kind = type(vars(cls)[method.name])
        assert [kinds[d] for d in _decorators(method)] == [k for k in kinds.values() if runtime_kind is k]


def test_stub_class_attributes_match_the_class_annotations(mod, stub):
    cls = mod.SqliteStatementsMixin
    node = _classes(stub)["SqliteStatementsMixin"]
    attributes = {n.target.id: _text(n.annotation) for n in node.body if isinstance(n, ast.AnnAssign)}
    assert attributes == {name: _text(text) for name, text in cls.__annotations__.items()}


def test_stub_template_fields_and_methods_match_the_model(mod, stub):
    model = mod.SqlOperatorTemplate
    node = _classes(stub)["SqlOperatorTemplate"]
    fields = [n for n in node.body if isinstance(n, ast.AnnAssign)]
    assert [f.target.id for f in fields] == list(model.model_fields)
    for field in fields:
        name = field.target.id
        assert _text(field.annotation) == _text(model.__annotations__[name])
        required = model.model_fields[name].is_required()
        assert (field.value is None) == required and (required or ast.literal_eval(field.value) is None)
    methods = _functions(node)
    assert [m.name for m in methods] == sorted(model.__class_vars__, key=list(model.__annotations__).index)
    for method in methods:
        assert _stub_parameters(method) == _runtime_parameters(vars(model)[method.name]), method.name
        # The class annotation ClassVar[Callable[[self, args...], result]] states the same shape.
        callable_type = ast.parse(model.__annotations__[method.name], mode="eval").body.slice
        arguments, result = callable_type.slice.elts
        params, returns = _stub_parameters(method)
        assert [_text(a) for a in arguments.elts] == ["Any"] + [p[2] for p in params[1:]]
        assert _text(result) == returns


def _mypy_env():
    if importlib.util.find_spec("mypy") is None:
        pytest.fail("mypy is not installed: it is one of the test tools (pip install '.[test]')")
    return dict(os.environ)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def test_sample_passes_mypy_strict(tmp_path, mypy_cache):
    shutil.copy(SAMPLE, tmp_path / SAMPLE.name)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache), SAMPLE.name],
        cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_a_misuse_outside_the_ignored_lines(tmp_path, mypy_cache):
    # The sample's ignores only prove something if mypy reports such lines at all.
    (tmp_path / "misuse.py").write_text(
        f"from {MODULE} import SqliteStatementsMixin, sql_operator_map\n"
        "SqliteStatementsMixin()._build_insert_statement('t', [])\n"
        "reveal_type(sql_operator_map)\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache), "misuse.py"],
        cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 1
    assert 'misuse.py:2: error: Argument 2 to "_build_insert_statement"' in result.stdout
    assert 'dict[quarna_utils.query.enums.Lookup, ' in result.stdout


def test_stubtest_finds_no_difference(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", MODULE],
        cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_sample_runs():
    runpy.run_path(str(SAMPLE), run_name="typing_sample")["main"]()


def _all_methods(mod):
    cls, model = mod.SqliteStatementsMixin, mod.SqlOperatorTemplate
    yield from ((cls, n) for n in vars(cls) if n.startswith("_") and not n.startswith("__"))
    yield from ((model, n) for n in ("build_statement", "build_value"))


def test_help_shows_each_signature_and_a_description(mod):
    for owner, name in _all_methods(mod):
        fn = _plain(owner, name)
        text = pydoc.render_doc(getattr(owner, name), renderer=pydoc.plaintext)
        lines = text.splitlines()
        heading = next(line for line in lines if line.startswith(f"{name}("))
        end = lines.index(heading)
        if heading.endswith("("):  # 3.13 writes a long signature one parameter a line
            end = next(i for i in range(end, len(lines)) if lines[i].startswith(")"))
            params = [line.strip().rstrip(",") for line in lines[lines.index(heading) + 1:end]]
            heading += ", ".join(params) + lines[end]
        assert heading.startswith(f"{name}{inspect.signature(getattr(owner, name))}"), heading
        assert lines[end + 1].strip() == fn.__doc__


def test_bound_signatures_drop_self_or_cls(mod, mixin):
    cls = mod.SqliteStatementsMixin
    assert str(inspect.signature(mixin._fields_map)).startswith("(table_name: 'str', field_name")
    assert str(inspect.signature(cls._to_sql_value)) == "(value: 'Any') -> 'Any'"
    assert str(inspect.signature(mixin._process_field)) == "(field_type: 'str', value: 'Any') -> 'Any'"
    template = mod.sql_operator_map[mod.Lookup.GT]
    assert str(inspect.signature(template.build_value)) == "(value: 'Any', column_type: 'str | None' = None) -> 'Any'"
    bound = inspect.signature(mixin._build_select_statement).bind("t", use_internal_meta_tables=True)
    assert bound.arguments == {"table_name": "t", "use_internal_meta_tables": True}


def test_reprs_read_like_python(mod, mixin):
    model = mod.SqlOperatorTemplate
    assert repr(model.build_value).startswith("<function SqlOperatorTemplate.build_value at 0x")
    assert repr(mixin._fields_map).startswith("<bound method SqliteStatementsMixin._fields_map of <")
    assert repr(mod.SqliteStatementsMixin._to_sql_value).startswith(
        f"<bound method SqliteStatementsMixin._to_sql_value of <class '{MODULE}.SqliteStatementsMixin'>>")
    eq = mod.sql_operator_map[mod.Lookup.EQ]
    for fn in (eq.template, eq.value_modifier):
        assert repr(fn) == f"<function <lambda> at {id(fn):#x}>"
        assert (fn.__name__, fn.__qualname__, fn.__module__) == ("<lambda>", "<lambda>", MODULE)
    assert repr(mod.sql_operator_map[mod.Lookup.GT]) == (
        "SqlOperatorTemplate(template='{field_name} > ?', value_template=None, value_modifier=None)")


def test_methods_and_classes_pickle_by_reference(mod):
    cls, model = mod.SqliteStatementsMixin, mod.SqlOperatorTemplate
    objects = [cls, model, mod.NoValue] + [getattr(owner, name) for owner, name in _all_methods(mod)]
    for obj in objects:
        assert pickle.loads(pickle.dumps(obj)) == obj, obj


def _lookups(mod, with_callables):
    return [k for k, t in mod.sql_operator_map.items()
            if with_callables == any(callable(v) for v in (t.template, t.value_modifier))]


def test_pattern_templates_pickle_and_keep_working(mod):
    for lookup in _lookups(mod, with_callables=False):
        template = mod.sql_operator_map[lookup]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            again = pickle.loads(pickle.dumps(template, protocol))
            assert type(again) is mod.SqlOperatorTemplate and again == template
            assert again.build_statement("x", "ab", "t1") == template.build_statement("x", "ab", "t1")
            assert again.build_value("ab") == template.build_value("ab")
    bound = pickle.loads(pickle.dumps(mod.sql_operator_map[mod.Lookup.GT].build_statement))
    assert bound("age", 1) == "age > ?"


def test_templates_holding_the_module_lambdas_refuse_pickling_clearly(mod):
    lookups = _lookups(mod, with_callables=True)
    assert {lookup.name for lookup in lookups} == {
        "EQ", "NEQ", "IN", "ICONTAINS", "ISTARTSWITH", "IENDSWITH", "ISNULL"}
    for lookup in lookups:
        with pytest.raises(pickle.PicklingError) as info:
            pickle.dumps(mod.sql_operator_map[lookup])
        assert str(info.value).startswith("Can't pickle <function <lambda> at 0x")
        assert str(info.value).endswith(f"attribute lookup <lambda> on {MODULE} failed")


def test_templates_copy_deeply_sharing_their_callables(mod):
    operators = copy.deepcopy(mod.sql_operator_map)
    assert list(operators) == list(mod.sql_operator_map)
    for lookup, template in operators.items():
        original = mod.sql_operator_map[lookup]
        assert template == original and template is not original
        if callable(original.template):
            assert template.template is original.template
    assert operators[mod.Lookup.IN].build_statement("x", "[1, 2]") == "x IN (?,?)"
    assert operators[mod.Lookup.ISNULL].build_value(None) is mod.NoValue


def test_the_installed_packages_pass_mypy_strict(tmp_path, mypy_cache):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(mypy_cache), "-p", "quarna_data",
         "-p", "quarna_utils"],
        cwd=tmp_path, env=_mypy_env(), capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_public_methods_and_functions_of_the_host_and_the_tool_have_docstrings():
    import pkgutil

    import quarna_data.cli
    from quarna_data import SqliteConnection

    missing = []
    for name in dir(SqliteConnection):
        owner = next(k for k in SqliteConnection.__mro__ if name in vars(k))
        attr = getattr(vars(owner)[name], "__func__", vars(owner)[name])
        if not name.startswith("_") and callable(attr) and not (attr.__doc__ or "").strip():
            missing.append(f"SqliteConnection.{name}")
    for info in pkgutil.walk_packages(quarna_data.cli.__path__, "quarna_data.cli."):
        module = importlib.import_module(info.name)
        for name, value in vars(module).items():
            if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
                continue
            members = [(name, value)]
            if inspect.isclass(value):
                members += [(f"{name}.{n}", v) for n, v in vars(value).items()
                            if not n.startswith("_") and inspect.isfunction(v)]
            missing += [f"{info.name}.{n}" for n, v in members
                        if (inspect.isfunction(v) or inspect.isclass(v)) and not (v.__doc__ or "").strip()]
    assert missing == []
