// The field-name mapping hooks, the module entry point, multi-phase
// initialisation and the load sequence.
#include "common.hpp"
#include "methods.hpp"
#include "runtime/calls.hpp"
#include "runtime/imports.hpp"
#include "runtime/objects.hpp"
#include "runtime/ref.hpp"
#include "runtime/text.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

using rt::borrow;
using rt::Ref;
using rt::steal;

// ---------------------------------------------------------------------------
// The field-name mapping hooks: identities in this class.

namespace {
PyObject* field_map_identity(PyObject* const* a) { return rt::borrow(a[2]).release(); }

const char* const kMapDoc = "Map a model field name to its column name (identity here).";
const char* const kReverseDoc = "Map a column name back to its model field name (identity here).";
}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef fields_map{
    "_fields_map", "SqliteStatementsMixin._fields_map", field_map_identity,
    {self(), table_name(), Param{"field_name", "str", Check::Str}, Param{"class_version", "str | Versions"}},
    "str", kMapDoc};
const rt::FuncDef field_reverse_map{
    "_field_reverse_map", "SqliteStatementsMixin._field_reverse_map", field_map_identity,
    {self(), table_name(), Param{"field_name", "str", Check::Str}, Param{"class_version", "str | Versions"}},
    "str", kReverseDoc};
}  // namespace methods

// ---------------------------------------------------------------------------
// Load sequence.

namespace {

const char kFullName[] = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin";
const char kInitName[] = "init quarna_data.connections.implementations.mixins.sqlite_statements_mixin";
const char kSourceName[] = "sqlite_statements_mixin.cpp";

using names::n_METADATA_TABLE_ALIAS;
rt::Name n_sql_operator_map("sql_operator_map");
rt::Name n_cache("cache");

rt::Kept g_module;              // the one module object, once its body has started
int64_t g_interpreter = -1;     // the interpreter that first created it

struct ImportStep {
    const char* module;
    const char* name;  // nullptr: `import module`
};

// In the order the names are bound.
const ImportStep kImports[] = {
    {"json", nullptr},
    {"collections.abc", "Callable"},
    {"datetime", "date"},
    {"datetime", "datetime"},
    {"enum", "Enum"},
    {"functools", "cache"},
    {"typing", "Any"},
    {"typing", "ClassVar"},
    {"pytz", nullptr},
    {"quarna_utils.models.enums", "Versions"},
    {"quarna_utils.query.data_models.filter", "Filter"},
    {"quarna_utils.query.data_models.order_by", "OrderBy"},
    {"quarna_utils.query.data_models.paginator", "CursorPaginator"},
    {"quarna_utils.query.data_models.paginator", "NumberPaginator"},
    {"quarna_utils.query.data_models.query_specifier", "QuerySpecifier"},
    {"quarna_utils.query.enums", "Lookup"},
    {"quarna_utils.query.enums", "OrderDirection"},
    {"quarna_utils.query.mixin", "QueryableMixin"},
    {"quarna_utils.query.utils", "ConnectorEnum"},
    {"quarna_utils.query.utils", "Q"},
    {"pydantic", "BaseModel"},
    {"quarna_data.connections.errors", "QuarnaConnectionError"},
    {"quarna_data.table_schemas.constants", "PRIMARY_PARTITION_KEY"},
    {"quarna_data.table_schemas.constants", "SECONDARY_PARTITION_KEY"},
};

bool run_import(PyObject* dict, const ImportStep& step) {
    Ref modname = steal(PyUnicode_FromString(step.module));
    if (!modname) return false;
    if (!step.name) {
        Ref mod = steal(PyImport_ImportModuleLevelObject(modname.get(), dict, nullptr, nullptr, 0));
        return rt::set_item(dict, step.module, mod);
    }
    Ref name = steal(PyUnicode_InternFromString(step.name));
    if (!name) return false;
    Ref fromlist = steal(PyTuple_Pack(1, name.get()));
    if (!fromlist) return false;
    Ref mod = steal(PyImport_ImportModuleLevelObject(modname.get(), dict, nullptr, fromlist.get(), 0));
    if (!mod) return false;
    Ref value = steal(PyObject_GetAttr(mod.get(), name.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        rt::raise_cannot_import(modname.get(), name.get(), mod.get());
        return false;
    }
    return PyDict_SetItem(dict, name.get(), value.get()) == 0;
}

Ref make_plain_class(const char* name, PyObject* bases, PyObject* ns) {
    Ref qualname = steal(PyUnicode_FromString(name));
    if (!qualname) return Ref();
    if (PyDict_SetItemString(ns, "__module__", rt::module_name()) < 0) return Ref();
    if (PyDict_SetItemString(ns, "__qualname__", qualname.get()) < 0) return Ref();
    return steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", name, bases, ns));
}

Ref make_no_value() {
    Ref bases = steal(PyTuple_New(0));
    Ref ns = steal(PyDict_New());
    if (!bases || !ns) return Ref();
    return make_plain_class("NoValue", bases.get(), ns.get());
}

const char kMetadataSelectStatement[] =
    "\nSELECT\n  _m.*,\n  (\n    SELECT _m2.object_version\n    FROM metadata as _m2\n    WHERE\n"
    "        _m.object_version = _m2.prior_version\n        AND\n        _m.object_id = _m2.object_id\n"
    "    LIMIT 1\n  ) as next_version\nFROM metadata as _m\n";

// Pieces of the metadata JSON column; the metadata alias goes between each two.
const char* const kMetadataFieldPieces[] = {
    "\njson_object(\n    'next_version', ",
    ".next_version,\n    'address', json(",
    ".address),\n    'object_id', ",
    ".object_id,\n    'object_version', ",
    ".object_version,\n    'prior_version', ",
    ".prior_version,\n    'class_schema_reference', json(",
    ".class_schema_reference),\n    'class_meta_schema_reference', json(",
    ".class_meta_schema_reference),\n    'class_schema_type', ",
    ".class_schema_type,\n    'is_deleted', ",
    ".is_deleted,\n    'created_at', ",
    ".created_at,\n    'updated_at', ",
    ".updated_at,\n    'transaction', json(",
    ".'transaction')\n) AS _metadata\n",
};

Ref make_metadata_select_field() {
    Ref alias = rt::global(n_METADATA_TABLE_ALIAS);
    if (!alias) return Ref();
    rt::Text text;
    const size_t n = sizeof(kMetadataFieldPieces) / sizeof(kMetadataFieldPieces[0]);
    for (size_t i = 0; i < n; ++i) {
        if (i && !text.formatted(alias.get())) return Ref();
        text.lit(kMetadataFieldPieces[i], std::strlen(kMetadataFieldPieces[i]));
    }
    return text.build();
}

struct MethodEntry {
    const rt::FuncDef* def;
    enum { Plain, ClassMethod, StaticMethod, Cached } kind;
};

const MethodEntry kMethods[] = {
    {&methods::fields_map, MethodEntry::Plain},
    {&methods::field_reverse_map, MethodEntry::Plain},
    {&methods::build_insert_statement, MethodEntry::Plain},
    {&methods::build_bulk_insert_statement, MethodEntry::Plain},
    {&methods::build_delete_statement, MethodEntry::Plain},
    {&methods::build_bulk_delete_statement, MethodEntry::Plain},
    {&methods::build_select_statement, MethodEntry::Plain},
    {&methods::select_statement, MethodEntry::Plain},
    {&methods::select_with_internal_meta_statement, MethodEntry::Plain},
    {&methods::build_count_statement, MethodEntry::Plain},
    {&methods::get_conditions_statement, MethodEntry::Plain},
    {&methods::get_filter_statement, MethodEntry::Plain},
    {&methods::nested_filter_statement, MethodEntry::Plain},
    {&methods::resolve_nested_field_name, MethodEntry::Plain},
    {&methods::build_order_by_statement, MethodEntry::Plain},
    {&methods::convert_date_to_sql_value, MethodEntry::ClassMethod},
    {&methods::to_sql_value, MethodEntry::ClassMethod},
    {&methods::describe_table, MethodEntry::Cached},
    {&methods::process_result, MethodEntry::Plain},
    {&methods::process_field, MethodEntry::StaticMethod},
};

Ref make_mixin_class() {
    Ref ns = steal(PyDict_New());
    if (!ns) return Ref();
    // Namespace order as a class body gives it: module, qualname, annotations, attributes, methods.
    if (PyDict_SetItemString(ns.get(), "__module__", rt::module_name()) < 0) return Ref();
    if (!rt::set_item(ns.get(), "__qualname__", steal(PyUnicode_FromString("SqliteStatementsMixin")))) return Ref();
    Ref annotations = steal(Py_BuildValue("{ssssssss}", "TABLE_SEPARATOR", "str", "COLUMN_SEPARATOR", "str",
                                          "SQL_OPERATOR_MAP", "dict[Lookup, SqlOperatorTemplate]",
                                          "SUBSTITUTE_CHAR", "str"));
    if (!rt::set_item(ns.get(), "__annotations__", annotations)) return Ref();
    if (!rt::set_item(ns.get(), "TABLE_SEPARATOR", steal(PyUnicode_FromString("'")))) return Ref();
    if (!rt::set_item(ns.get(), "COLUMN_SEPARATOR", steal(PyUnicode_FromString("'")))) return Ref();
    if (!rt::set_item(ns.get(), "SQL_OPERATOR_MAP", rt::global(n_sql_operator_map))) return Ref();
    if (!rt::set_item(ns.get(), "SUBSTITUTE_CHAR", steal(PyUnicode_FromString("?")))) return Ref();
    for (const MethodEntry& m : kMethods) {
        Ref fn = rt::make_function(*m.def);
        if (!fn) return Ref();
        switch (m.kind) {
            case MethodEntry::ClassMethod: fn = steal(PyClassMethod_New(fn.get())); break;
            case MethodEntry::StaticMethod: fn = steal(PyStaticMethod_New(fn.get())); break;
            case MethodEntry::Cached: {
                Ref cache = rt::global(n_cache);
                if (!cache) return Ref();
                fn = rt::call(cache.get(), {fn.get()});
                break;
            }
            case MethodEntry::Plain: break;
        }
        if (!rt::set_item(ns.get(), m.def->name, fn)) return Ref();
    }
    Ref bases = steal(PyTuple_New(0));
    if (!bases) return Ref();
    return steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", "SqliteStatementsMixin",
                                       bases.get(), ns.get()));
}

bool check_runtime_version() {
    const char* v = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(v, "%d.%d", &major, &minor) != 2) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kFullName, "does not match", major,
                            minor) == 0;
}

// Runs the module body; on failure returns the step (its traceback line).
int run_body(PyObject* module) {
    int line = 1;
    if (!check_runtime_version()) return line;
    if (!rt::Name::intern_all() || !rt::Literal::make_all() || !rt::KwNames::build_all() ||
        !rt::ready_function_type())
        return line;
    PyObject* dict = PyModule_GetDict(module);
    rt::set_module_dict(dict);
    rt::remember_import_function();

    for (const ImportStep& step : kImports) {
        ++line;
        if (!run_import(dict, step)) return line;
    }
    ++line;
    Ref nested = steal(Py_BuildValue("(s)", "_metadata"));
    if (!rt::set_item(dict, "SUPPORTED_NESTED_FIELDS", nested)) return line;
    if (!rt::set_item(dict, "ADDRESS_FIELD", steal(PyUnicode_FromString("_address")))) return line;
    if (!rt::set_item(dict, "METADATA_FIELD", steal(PyUnicode_FromString("_metadata")))) return line;
    if (!rt::set_item(dict, "MODEL_TABLE_ALIAS", steal(PyUnicode_FromString("t1")))) return line;
    if (!rt::set_item(dict, "METADATA_TABLE_ALIAS", steal(PyUnicode_FromString("t2")))) return line;
    ++line;
    if (!rt::set_item(dict, "NoValue", make_no_value())) return line;
    ++line;
    if (!rt::set_item(dict, "SqlOperatorTemplate", operators::make_template_class())) return line;
    ++line;
    if (!rt::set_item(dict, "sql_operator_map", operators::make_operator_map())) return line;
    ++line;
    if (!rt::set_item(dict, "METADATA_SELECT_STATEMENT", steal(PyUnicode_FromString(kMetadataSelectStatement))))
        return line;
    if (!rt::set_item(dict, "METADATA_SELECT_FIELD", make_metadata_select_field())) return line;
    ++line;
    if (!rt::set_item(dict, "SqliteStatementsMixin", make_mixin_class())) return line;
    return 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (id != g_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_module.get()) return rt::borrow(g_module.get()).release();
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module) {
    if (g_module.get()) {
        if (g_module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'sqlite_statements_mixin' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_module.set(module);
    int failed_at;
    try {
        failed_at = run_body(module);
    } catch (const std::bad_alloc&) {
        // No C++ exception may reach the interpreter.
        PyErr_NoMemory();
        failed_at = 1;
    }
    if (failed_at) {
        rt::add_traceback(kInitName, failed_at, kSourceName);
        rt::set_module_dict(nullptr);
        g_module.clear();
        return -1;
    }
    return 0;
}

// The module keeps process-wide state (the one module object, what the
// runtime remembers) and relies on the global interpreter lock, and says so.
// A subinterpreter refuses to import it (ImportError).  A free-threaded build
// (3.13t and later; built from the sdist, the wheels are for the default
// build) does not refuse it: the import turns the GIL on for the whole process
// and warns that it did (RuntimeWarning).  Only PYTHON_GIL=0 or -X gil=0 keeps
// the GIL off, and the module then runs without the lock it relies on.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sqlite_statements_mixin",
    "SQLite statement builders for the platform's SQLite connection class.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_sqlite_statements_mixin(void) { return PyModuleDef_Init(&module_def); }
