// SqlOperatorTemplate, its two methods, the operator callables and sql_operator_map.
#include "common.hpp"
#include "methods.hpp"
#include "runtime/calls.hpp"
#include "runtime/fast.hpp"
#include "runtime/objects.hpp"

using namespace names;

namespace {

rt::Name n_template("template");
rt::Name n_value_template("value_template");
rt::Name n_value_modifier("value_modifier");

// Fields of the template model, read from the instance dict.
rt::InstanceAttr f_template(n_template);
rt::InstanceAttr f_value_template(n_value_template);
rt::InstanceAttr f_value_modifier(n_value_modifier);
rt::Name n_format("format");
rt::Name n_upper("upper");
rt::Name n_BaseModel("BaseModel");
rt::Name n_SqlOperatorTemplate("SqlOperatorTemplate");

// Patterns the operator callables return.
rt::Literal t_is("{field_name} IS ?");
rt::Literal t_eq("{field_name} = ?");
rt::Literal t_is_not("{field_name} IS NOT ?");
rt::Literal t_neq("{field_name} != ?");
rt::Literal t_is_null("{field_name} IS NULL");
rt::Literal t_is_not_null("{field_name} IS NOT NULL");

rt::KwNames kw_field_name{"field_name"};
rt::KwNames kw_value{"value"};

// ---------------------------------------------------------------------------
// Pattern filling.
//
// A pattern is filled with str.format semantics.  The common pattern is an
// exact str whose only replacement fields are "{<name>}" and which has no
// other brace: it is filled by copying the text around the fields, which
// gives the very text str.format gives.  Anything else goes through the
// pattern's own format method.

constexpr int kMaxSplicedFields = 8;

// Offsets of the "{<name>}" fields of a pattern, or -1 when the pattern has
// any other use of braces (or more fields than are spliced).
int simple_fields(PyObject* pattern, const char* name, Py_ssize_t name_len, Py_ssize_t* at) {
    const int kind = PyUnicode_KIND(pattern);
    const void* data = PyUnicode_DATA(pattern);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
    const Py_ssize_t field_len = name_len + 2;
    int count = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '}') return -1;
        if (c != '{') continue;
        if (n - i < field_len || count == kMaxSplicedFields) return -1;
        for (Py_ssize_t k = 0; k < name_len; ++k)
            if (PyUnicode_READ(kind, data, i + 1 + k) != (Py_UCS4)(unsigned char)name[k]) return -1;
        if (PyUnicode_READ(kind, data, i + 1 + name_len) != '}') return -1;
        at[count++] = i;
        i += field_len - 1;
    }
    return count;
}

// Copies the pattern with each field replaced by what `put` appends.
template <class Put>
rt::Ref splice(PyObject* pattern, const Py_ssize_t* at, int count, Py_ssize_t field_len, Put put) {
    if (count == 0) return rt::borrow(pattern);
    rt::Text text;
    Py_ssize_t pos = 0;
    for (int i = 0; i < count; ++i) {
        text.slice(pattern, pos, at[i]);
        if (!put(text)) return rt::Ref();
        pos = at[i] + field_len;
    }
    text.slice(pattern, pos, PyUnicode_GET_LENGTH(pattern));
    return text.build();
}

const char kFieldName[] = "field_name";
const char kValue[] = "value";

// Appends table_name.column_separator field_name column_separator, or
// field_name alone.
bool put_column_reference(rt::Text& text, PyObject* field_name, PyObject* table_name, PyObject* separator) {
    if (PyUnicode_GET_LENGTH(table_name) == 0) {
        text.str(field_name);
        return true;
    }
    text.str(table_name);
    text.lit(".");
    text.str(separator);
    if (!text.inside_quotes(field_name, separator)) return false;
    text.str(separator);
    return true;
}

// The column reference as a str.
rt::Ref column_reference(PyObject* field_name, PyObject* table_name, PyObject* separator) {
    if (PyUnicode_GET_LENGTH(table_name) == 0) return rt::borrow(field_name);
    rt::Text text;
    if (!put_column_reference(text, field_name, table_name, separator)) return rt::Ref();
    return text.build();
}

// pattern.format(field_name=<the column reference>).  The common pattern
// gets the reference written straight into its place (no str of it is
// made: nothing else sees it).
rt::Ref fill_statement(PyObject* pattern, PyObject* field_name, PyObject* table_name, PyObject* separator) {
    if (PyUnicode_CheckExact(pattern)) {
        Py_ssize_t at[kMaxSplicedFields];
        const int count = simple_fields(pattern, kFieldName, sizeof(kFieldName) - 1, at);
        if (count >= 0)
            return splice(pattern, at, count, sizeof(kFieldName) + 1, [=](rt::Text& t) {
                return put_column_reference(t, field_name, table_name, separator);
            });
    }
    rt::Ref column = column_reference(field_name, table_name, separator);
    if (!column) return rt::Ref();
    return rt::call_method(pattern, n_format, {column.get()}, kw_field_name.get());
}

// value_template.format(value=value); each field formats the value anew, as str.format does.
rt::Ref fill_value(PyObject* pattern, PyObject* value) {
    if (PyUnicode_CheckExact(pattern)) {
        Py_ssize_t at[kMaxSplicedFields];
        const int count = simple_fields(pattern, kValue, sizeof(kValue) - 1, at);
        if (count >= 0)
            return splice(pattern, at, count, sizeof(kValue) + 1,
                          [value](rt::Text& t) { return t.formatted(value); });
    }
    return rt::call_method(pattern, n_format, {value}, kw_value.get());
}

// ---------------------------------------------------------------------------
// SqlOperatorTemplate methods.

struct BuildStatementArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* field_name() const { return a[1]; }
    PyObject* value() const { return a[2]; }
    PyObject* table_name() const { return a[3]; }
    PyObject* column_separator() const { return a[4]; }
    PyObject* column_type() const { return a[5]; }
};

PyObject* build_statement_body(PyObject* const* a) {
    const BuildStatementArgs p(a);
    rt::Ref pattern = f_template.get(p.self());
    if (!pattern) return nullptr;
    if (PyCallable_Check(pattern.get())) {
        pattern = rt::call(pattern.get(), {p.value(), p.column_type()});
        if (!pattern) return nullptr;
    }
    rt::Ref result = fill_statement(pattern.get(), p.field_name(), p.table_name(), p.column_separator());
    if (!result || !rt::expect_str(result.get())) return nullptr;
    return result.release();
}

// (self, value, column_type)
PyObject* build_value_body(PyObject* const* a) {
    PyObject* self = a[0];
    rt::Ref value = rt::borrow(a[1]);
    rt::Ref modifier = f_value_modifier.get(self);
    if (!modifier) return nullptr;
    if (PyCallable_Check(modifier.get())) {
        value = rt::call(modifier.get(), {value.get(), a[2]});
        if (!value) return nullptr;
    }
    rt::Ref pattern = f_value_template.get(self);
    if (!pattern) return nullptr;
    if (pattern.is(Py_None)) return value.release();
    return fill_value(pattern.get(), value.get()).release();
}

// ---------------------------------------------------------------------------
// The operator callables: (_value, _column_type); the column type is unused.

PyObject* eq_template(PyObject* const* a) { return rt::borrow(PyBool_Check(a[0]) ? t_is.get() : t_eq.get()).release(); }

PyObject* neq_template(PyObject* const* a) {
    return rt::borrow(PyBool_Check(a[0]) ? t_is_not.get() : t_neq.get()).release();
}

// A bool becomes the integer 1 or 0; anything else passes unchanged.
PyObject* bool_to_int_modifier(PyObject* const* a) {
    if (PyBool_Check(a[0])) return PyLong_FromLong(a[0] == Py_True);
    return rt::borrow(a[0]).release();
}

// "{field_name} IN (?,?,...)" with one placeholder per decoded item (the IN
// contract: see to_sql_value in values.cpp).
PyObject* in_template(PyObject* const* a) {
    rt::Ref decoded = common::json_loads(a[0]);
    if (!decoded) return nullptr;
    const Py_ssize_t n = PyObject_Size(decoded.get());
    if (n < 0) return nullptr;
    rt::Text text;
    text.lit("{field_name} IN (");
    common::tight_placeholders(text, n);
    text.lit(")");
    return text.build().release();
}

// The list to bind, decoded again from the JSON text (the IN contract: see to_sql_value in values.cpp).
PyObject* in_modifier(PyObject* const* a) { return common::json_loads(a[0]).release(); }

// str(value).upper()
PyObject* upper_modifier(PyObject* const* a) {
    rt::Ref text = rt::steal(PyObject_Str(a[0]));
    if (!text) return nullptr;
    return rt::call_method(text.get(), n_upper, {}).release();
}

PyObject* isnull_template(PyObject* const* a) {
    const int truth = rt::truth(a[0]);
    if (truth < 0) return nullptr;
    return rt::borrow(truth ? t_is_null.get() : t_is_not_null.get()).release();
}

PyObject* isnull_modifier(PyObject* const*) { return rt::global(n_NoValue).release(); }

rt::FuncDef lambda(rt::Body body, const char* first = "_value", const char* second = "_column_type") {
    return rt::FuncDef{"<lambda>", "<lambda>", body, {rt::Param{first, nullptr}, rt::Param{second, nullptr}},
                       nullptr};
}

const rt::FuncDef eq_template_def = lambda(eq_template);
const rt::FuncDef neq_template_def = lambda(neq_template);
const rt::FuncDef bool_to_int_def = lambda(bool_to_int_modifier);
const rt::FuncDef in_template_def = lambda(in_template);
const rt::FuncDef in_modifier_def = lambda(in_modifier);
const rt::FuncDef upper_def = lambda(upper_modifier);
const rt::FuncDef isnull_template_def = lambda(isnull_template);
const rt::FuncDef isnull_modifier_def = lambda(isnull_modifier, "_", "__");

// ---------------------------------------------------------------------------
// The class and the table.

using namespace params;

// Class annotations, in definition order.
const char* const kAnnotations[][2] = {
    {"build_statement", "ClassVar[Callable[[Any, str, Any, str, str, str | None], str]]"},
    {"build_value", "ClassVar[Callable[[Any, Any, str | None], Any]]"},
    {"template", "str | Callable[[Any, str | None], str]"},
    {"value_template", "str | None"},
    {"value_modifier", "Callable[[Any, str | None], Any] | None"},
};

struct Entry {
    const char* member;
    const char* pattern;               // the template as a text, or
    const rt::FuncDef* template_fn;    // the template as a callable
    const char* value_template;        // nullptr: left at its default
    const rt::FuncDef* value_modifier; // nullptr: left at its default
};

const Entry kEntries[] = {
    {"EQ", nullptr, &eq_template_def, nullptr, &bool_to_int_def},
    {"NEQ", nullptr, &neq_template_def, nullptr, &bool_to_int_def},
    {"GT", "{field_name} > ?", nullptr, nullptr, nullptr},
    {"GTE", "{field_name} >= ?", nullptr, nullptr, nullptr},
    {"LT", "{field_name} < ?", nullptr, nullptr, nullptr},
    {"LTE", "{field_name} <= ?", nullptr, nullptr, nullptr},
    {"IN", nullptr, &in_template_def, nullptr, &in_modifier_def},
    {"CONTAINS", "{field_name} LIKE ?", nullptr, "%{value}%", nullptr},
    {"ICONTAINS", "UPPER({field_name}) LIKE ?", nullptr, "%{value}%", &upper_def},
    {"STARTSWITH", "{field_name} LIKE ?", nullptr, "{value}%", nullptr},
    {"ISTARTSWITH", "UPPER({field_name}) LIKE ?", nullptr, "{value}%", &upper_def},
    {"ENDSWITH", "{field_name} LIKE ?", nullptr, "%{value}", nullptr},
    {"IENDSWITH", "UPPER({field_name}) LIKE ?", nullptr, "%{value}", &upper_def},
    {"ISNULL", nullptr, &isnull_template_def, nullptr, &isnull_modifier_def},
};

// Keyword names for the fields an entry sets, in field order.
rt::KwNames kw_t{"template"};
rt::KwNames kw_tv{"template", "value_template"};
rt::KwNames kw_tm{"template", "value_modifier"};
rt::KwNames kw_tvm{"template", "value_template", "value_modifier"};

// SqlOperatorTemplate(template=..., [value_template=...], [value_modifier=...])
rt::Ref make_entry(PyObject* cls, const Entry& e) {
    rt::Ref tmpl = e.template_fn ? rt::make_function(*e.template_fn) : rt::steal(PyUnicode_FromString(e.pattern));
    if (!tmpl) return rt::Ref();
    rt::Ref vt, vm;
    if (e.value_template && !(vt = rt::steal(PyUnicode_FromString(e.value_template)))) return rt::Ref();
    if (e.value_modifier && !(vm = rt::make_function(*e.value_modifier))) return rt::Ref();
    if (vt && vm) return rt::call(cls, {tmpl.get(), vt.get(), vm.get()}, kw_tvm.get());
    if (vt) return rt::call(cls, {tmpl.get(), vt.get()}, kw_tv.get());
    if (vm) return rt::call(cls, {tmpl.get(), vm.get()}, kw_tm.get());
    return rt::call(cls, {tmpl.get()}, kw_t.get());
}

}  // namespace

namespace operators {

using namespace params;

const rt::FuncDef build_statement{
    "build_statement",
    "SqlOperatorTemplate.build_statement",
    build_statement_body,
    {self(), Param{"field_name", "str", Check::Str}, Param{"value", "Any"},
     Param{"table_name", "str", Check::Str, Default::EmptyStr},
     Param{"column_separator", "str", Check::Str, Default::Quote},
     Param{"column_type", "str | None", Check::Any, Default::None}},
    "str",
    "Return the condition text for one column, with '?' placeholders."};

const rt::FuncDef build_value{
    "build_value",
    "SqlOperatorTemplate.build_value",
    build_value_body,
    {self(), Param{"value", "Any"}, Param{"column_type", "str | None", Check::Any, Default::None}},
    "Any",
    "Return the parameter value to bind for the condition, or NoValue when nothing is bound."};

rt::Ref make_template_class() {
    rt::Ref base = rt::global(n_BaseModel);
    if (!base) return rt::Ref();
    rt::Ref metaclass = rt::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
    rt::Ref name = rt::steal(PyUnicode_FromString("SqlOperatorTemplate"));
    rt::Ref bases = rt::steal(PyTuple_Pack(1, base.get()));
    rt::Ref ns = rt::steal(PyDict_New());
    rt::Ref annotations = rt::steal(PyDict_New());
    if (!name || !bases || !ns || !annotations) return rt::Ref();
    for (const auto& ann : kAnnotations)
        if (!rt::set_item(annotations.get(), ann[0], rt::steal(PyUnicode_FromString(ann[1])))) return rt::Ref();
    // The namespace in the order a class body fills it.
    if (!rt::set_item(ns.get(), "__module__", rt::borrow(rt::module_name()))) return rt::Ref();
    if (!rt::set_item(ns.get(), "__qualname__", name)) return rt::Ref();
    if (!rt::set_item(ns.get(), "__annotations__", annotations)) return rt::Ref();
    if (!rt::set_item(ns.get(), "value_template", rt::none())) return rt::Ref();
    if (!rt::set_item(ns.get(), "value_modifier", rt::none())) return rt::Ref();
    if (!rt::set_item(ns.get(), "build_statement", rt::make_function(build_statement))) return rt::Ref();
    if (!rt::set_item(ns.get(), "build_value", rt::make_function(build_value))) return rt::Ref();
    return rt::call(metaclass.get(), {name.get(), bases.get(), ns.get()});
}

rt::Ref make_operator_map() {
    rt::Ref cls = rt::global(n_SqlOperatorTemplate);
    if (!cls) return rt::Ref();
    rt::Ref lookup = rt::global(n_Lookup);
    if (!lookup) return rt::Ref();
    rt::Ref map = rt::steal(PyDict_New());
    if (!map) return rt::Ref();
    for (const Entry& e : kEntries) {
        rt::Ref member = rt::steal(PyObject_GetAttrString(lookup.get(), e.member));
        if (!member) return rt::Ref();
        rt::Ref tmpl = make_entry(cls.get(), e);
        if (!tmpl || PyDict_SetItem(map.get(), member.get(), tmpl.get()) < 0) return rt::Ref();
    }
    return map;
}

}  // namespace operators
