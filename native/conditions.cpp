// The nested filter, single filters and condition trees.
#include "common.hpp"
#include "conditions.hpp"
#include "methods.hpp"
#include "paths.hpp"
#include "values.hpp"
#include "runtime/calls.hpp"
#include "runtime/depth.hpp"
#include "runtime/fast.hpp"
#include "runtime/iter.hpp"
#include "runtime/known.hpp"
#include "runtime/objects.hpp"

using namespace names;

namespace {

using rt::Ref;

using common::empty_text;
using common::equals;
using common::text_is;
using paths::n_separator;

// Module names, read at each use.
rt::Name n_ConnectorEnum("ConnectorEnum");
rt::Name n_Q("Q");
rt::Name n_QueryableMixin("QueryableMixin");

// Attributes and hooks.
rt::Name n_ALL("ALL");
rt::Name n_AND("AND");
rt::Name n_OR("OR");
rt::Name n_NEQ("NEQ");
rt::ClassAttr a_ALL(n_ALL);
rt::ClassAttr a_LATEST(n_LATEST);
rt::ClassAttr a_AND(n_AND);
rt::ClassAttr a_OR(n_OR);
rt::ClassAttr a_NEQ(n_NEQ);
rt::Name n_connector("connector");
rt::Name n_negated("negated");
rt::Name n_lookup("lookup");
rt::Name n_is_nested_selection("is_nested_selection");
rt::Name n_SQL_OPERATOR_MAP("SQL_OPERATOR_MAP");
rt::Name n_to_query("to_query");
rt::Name n_build_statement("build_statement");
rt::Name n_build_value("build_value");
rt::Name n_describe_table("_describe_table");
rt::Name n_nested_filter_statement("_nested_filter_statement");
rt::Name n_get_filter_statement("_get_filter_statement");

// Texts.
rt::Literal t_word_and("AND");
rt::Literal t_word_or("OR");
rt::Literal t_latest_without_meta(
    "(cast(json_extract(_metadata, '$.next_version') as text) IS NULL OR "
    "cast(json_extract(_metadata, '$.next_version') as text) = '')");

rt::SelfHook h_nested_filter_statement(n_nested_filter_statement, methods::nested_filter_statement,
                                       rt::Binding::Method);
rt::SelfHook h_get_filter_statement(n_get_filter_statement, methods::get_filter_statement, rt::Binding::Method);
using common::h_get_conditions_statement;
using common::h_resolve_nested_field_name;

rt::KwNames kw_nested{"value_type", "is_internal_table", "use_internal_meta_tables"};
rt::KwNames kw_filter{"is_internal_table", "use_internal_meta_tables"};
rt::KwNames kw_tree{"is_internal_table", "use_internal_meta_tables", "is_grouped"};
rt::KwNames kw_prefix{"prefix"};
rt::InstanceAttr f_lookup(n_lookup);
rt::InstanceAttr f_value(n_value);
rt::InstanceAttr f_field_name(n_field_name);
rt::InstanceAttr f_is_nested_selection(n_is_nested_selection);
rt::InstanceAttr f_children(n_children);
rt::InstanceAttr f_connector(n_connector);
rt::InstanceAttr f_negated(n_negated);
rt::SelfAttr c_SQL_OPERATOR_MAP(n_SQL_OPERATOR_MAP);
rt::SelfAttr c_COLUMN_SEPARATOR(n_COLUMN_SEPARATOR);

// Filter.is_nested_selection as the query library defines it.
rt::Name n_NESTED_SEPARATOR("NESTED_SEPARATOR");
rt::FunctionGlobal g_nested_separator(n_NESTED_SEPARATOR);
rt::KnownCode k_is_nested_selection(
    "class Filter:\n"
    "    def is_nested_selection(self):\n"
    "        return NESTED_SEPARATOR in self.field_name\n",
    "is_nested_selection");

// The pair of a filter that adds nothing: ("", None).
PyObject* no_condition() { return rt::pair(empty_text(), rt::none()).release(); }

// The pair of a tree that adds nothing: ("", []), a new list each time.
PyObject* empty_tree() { return rt::pair(empty_text(), rt::steal(PyList_New(0))).release(); }

// What a leaf or a tree built: the result of a hook, as it returned it, or
// the two items of the pair when this module built it (no tuple is made
// for a caller here that only takes it apart again).
struct Built {
    Ref result;   // a hook's result, to unpack
    Ref parts[2]; // or the two items, made here
    bool set(Ref text, Ref second) {
        if (!text || !second) return false;
        parts[0] = std::move(text);
        parts[1] = std::move(second);
        return true;
    }
    bool take(Ref hook_result) {
        result = std::move(hook_result);
        return bool(result);
    }
    // Into exactly two items: the parts, or the result unpacked.
    bool unpack(Ref* out) {
        if (!result) {
            out[0] = std::move(parts[0]);
            out[1] = std::move(parts[1]);
            return true;
        }
        return rt::unpack(result.get(), out, 2);
    }
    // As the method returns it: the pair, made now.
    PyObject* release() {
        if (result) return result.release();
        return rt::pair(std::move(parts[0]), std::move(parts[1])).release();
    }
};
bool no_condition(Built& out) { return out.set(empty_text(), rt::none()); }
bool empty_tree(Built& out) { return out.set(empty_text(), rt::steal(PyList_New(0))); }

// `value == Versions.<member>`, the enumeration read from the module now.
int equals_version(PyObject* value, rt::ClassAttr& member) {
    Ref versions = rt::global(n_Versions);
    if (!versions) return -1;
    Ref m = member.get(versions.get());
    if (!m) return -1;
    return equals(value, m.get());
}

rt::SelfMethod m_describe_table(n_describe_table);
// The operator's two methods, run directly while they are the module's own.
rt::ObjectMethod m_build_statement(n_build_statement, operators::build_statement);
rt::ObjectMethod m_build_value(n_build_value, operators::build_value);

// self._describe_table(table_name).get(key)
Ref column_type(PyObject* self, PyObject* table_name, PyObject* key) {
    Ref description = m_describe_table.call(self, {table_name});
    if (!description) return Ref();
    if (PyDict_CheckExact(description.get())) {
        PyObject* v = PyDict_GetItemWithError(description.get(), key);
        if (v) return rt::borrow(v);
        if (PyErr_Occurred()) return Ref();
        return rt::none();
    }
    return rt::call_method(description.get(), n_get, {key});
}

// Appends the items of an iterable to a list, one by one, as a for loop takes them.
bool extend(PyObject* list, PyObject* items) {
    rt::Items walk;
    if (!walk.start(items)) return false;
    Ref item;
    while (walk.next(item))
        if (PyList_Append(list, item.get()) < 0) return false;
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// _nested_filter_statement

// Whether the value is a version selector: value_type is Versions, or the value
// is a str equal to Versions.ALL or, failing that, to Versions.LATEST.
int is_version_selector(PyObject* value, PyObject* value_type) {
    Ref versions = rt::global(n_Versions);
    if (!versions) return -1;
    if (value_type == versions.get()) return 1;
    int is_str = rt::is_instance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str <= 0) return is_str;
    int r = equals_version(value, a_ALL);
    if (r != 0) return r;
    return equals_version(value, a_LATEST);
}

// The condition that selects the latest version: no next version.
Ref latest_version_condition(PyObject* use_meta_flag) {
    int use_meta = rt::truth(use_meta_flag);
    if (use_meta < 0) return Ref();
    if (!use_meta) return rt::borrow(t_latest_without_meta);
    rt::Text text;
    text.lit("(");
    Ref alias = rt::global(n_METADATA_TABLE_ALIAS);
    if (!alias || !text.formatted(alias.get())) return Ref();
    text.lit(".'next_version' IS NULL OR ");
    // Read again, as the f-string's second field reads it: formatting may run Python code.
    alias = rt::global(n_METADATA_TABLE_ALIAS);
    if (!alias || !text.formatted(alias.get())) return Ref();
    text.lit(".'next_version' = '')");
    return text.build();
}

struct NestedFilterArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* field_name() const { return a[2]; }
    PyObject* nested_fields() const { return a[3]; }
    PyObject* sql_operator_template() const { return a[4]; }
    PyObject* value() const { return a[5]; }
    PyObject* value_type() const { return a[6]; }
    PyObject* is_internal_table() const { return a[7]; }
    PyObject* use_internal_meta_tables() const { return a[8]; }
};

PyObject* nested_filter_statement_body(PyObject* const* a) {
    const NestedFilterArgs p(a);
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    PyObject* field_name = p.field_name();
    PyObject* nested_fields = p.nested_fields();
    PyObject* op = p.sql_operator_template();
    PyObject* value = p.value();
    PyObject* is_internal_table = p.is_internal_table();
    PyObject* use_internal_meta_tables = p.use_internal_meta_tables();

    int selector = is_version_selector(value, p.value_type());
    if (selector < 0) return nullptr;
    if (selector) {
        int all = equals_version(value, a_ALL);
        if (all < 0) return nullptr;
        if (all) return no_condition();
        Ref address = rt::global(n_ADDRESS_FIELD);
        if (!address) return nullptr;
        int latest = equals(field_name, address.get());
        if (latest < 0) return nullptr;
        if (latest && text_is(nested_fields, "object_version")) {
            latest = equals_version(value, a_LATEST);
            if (latest < 0) return nullptr;
            if (latest) {
                Ref condition = latest_version_condition(use_internal_meta_tables);
                if (!condition) return nullptr;
                Ref no_value = rt::global(n_NoValue);
                if (!no_value) return nullptr;
                return rt::pair(condition, no_value).release();
            }
        }
    }

    Ref expression = common::call_hook(
        self, h_resolve_nested_field_name, methods::resolve_nested_field_name,
        {table_name, field_name, nested_fields, reinterpret_cast<PyObject*>(Py_TYPE(value)), is_internal_table,
         use_internal_meta_tables},
        kw_nested.get());
    if (!expression) return nullptr;
    int truthy = rt::truth(expression.get());
    if (truthy < 0) return nullptr;
    if (!truthy) return no_condition();
    Ref mapped = common::map_field(self, table_name, expression.get());
    if (!mapped) return nullptr;

    Ref empty = empty_text();
    if (!empty) return nullptr;
    Ref separator = c_COLUMN_SEPARATOR.get(self);
    if (!separator) return nullptr;
    Ref statement_type = column_type(self, table_name, mapped.get());
    if (!statement_type) return nullptr;
    Ref statement = m_build_statement.call(op,
                                    {mapped.get(), value, empty.get(), separator.get(), statement_type.get()});
    if (!statement) return nullptr;
    Ref value_type = column_type(self, table_name, field_name);
    if (!value_type) return nullptr;
    Ref bound = m_build_value.call(op, {value, value_type.get()});
    if (!bound) return nullptr;
    return rt::pair(statement, bound).release();
}

// ---------------------------------------------------------------------------
// _get_filter_statement

struct FilterArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* filter_item() const { return a[2]; }
    PyObject* is_internal_table() const { return a[3]; }
    PyObject* use_internal_meta_tables() const { return a[4]; }
};

// Raises the ValueError of a lookup that the connection has no operator for.
QUARNA_COLD void raise_unsupported(PyObject* item) {
    // Read again: the membership test may have run Python code that changed it.
    Ref lookup = f_lookup.get(item);
    if (!lookup) return;
    rt::Text text;
    text.lit("Lookup '");
    if (!text.formatted(lookup.get())) return;
    text.lit("' is not supported for this connection.");
    Ref message = text.build();
    if (!message) return;
    Ref error = rt::call(PyExc_ValueError, {message.get()});
    if (!error) return;
    PyErr_SetObject(PyExc_ValueError, error.get());
}

// self.SQL_OPERATOR_MAP[filter.lookup], after testing that the lookup is in it.
Ref filter_operator(PyObject* self, PyObject* item) {
    Ref lookup = f_lookup.get(item);
    if (!lookup) return Ref();
    Ref op_map = c_SQL_OPERATOR_MAP.get(self);
    if (!op_map) return Ref();
    int supported = PySequence_Contains(op_map.get(), lookup.get());
    if (supported < 0) return Ref();
    if (!supported) {
        raise_unsupported(item);
        return Ref();
    }
    // Both read again: the membership test may have run Python code that changed them.
    op_map = c_SQL_OPERATOR_MAP.get(self);
    if (!op_map) return Ref();
    lookup = f_lookup.get(item);
    if (!lookup) return Ref();
    return rt::steal(PyObject_GetItem(op_map.get(), lookup.get()));
}

// self._to_sql_value(filter.value)
Ref filter_value(PyObject* self, PyObject* item) {
    Ref raw = f_value.get(item);
    if (!raw) return Ref();
    values::SqlValue conv;
    if (!conv.fetch(self)) return Ref();
    return conv.convert(raw.get());
}

// The condition of a filter on a column of the table: operator.build_statement
// and operator.build_value, or no condition for Versions.ALL.
bool column_filter(FilterArgs p, PyObject* op, PyObject* field, PyObject* value, Built& out) {
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    PyObject* item = p.filter_item();
    // filter.value is read again at each use below (the conversion ran Python code).
    Ref raw = f_value.get(item);
    if (!raw) return false;
    Ref versions = rt::global(n_Versions);
    if (!versions) return false;
    int is_version = rt::is_instance(raw.get(), versions.get());
    if (is_version < 0) return false;
    if (is_version) {
        raw = f_value.get(item);
        if (!raw) return false;
        int all = equals_version(raw.get(), a_ALL);
        if (all < 0) return false;
        if (all) return no_condition(out);
    }
    raw = Ref();
    int use_meta = rt::truth(p.use_internal_meta_tables());
    if (use_meta < 0) return false;
    Ref alias = use_meta ? rt::global(n_MODEL_TABLE_ALIAS) : empty_text();
    if (!alias) return false;
    Ref separator = c_COLUMN_SEPARATOR.get(self);
    if (!separator) return false;
    Ref type = column_type(self, table_name, field);
    if (!type) return false;
    Ref statement =
        m_build_statement.call(op, {field, value, alias.get(), separator.get(), type.get()});
    if (!statement) return false;
    // The column type is read again: build_statement may have changed the description.
    type = column_type(self, table_name, field);
    if (!type) return false;
    Ref bound = m_build_value.call(op, {value, type.get()});
    if (!bound) return false;
    return out.set(std::move(statement), std::move(bound));
}

// The condition of a filter on a nested path "<field>__<keys>": the field is
// mapped and self._nested_filter_statement builds the rest.
bool nested_path_filter(FilterArgs p, PyObject* op, PyObject* field, PyObject* value, Built& out) {
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    Ref head_rest[2];
    if (!rt::split_once(field, n_separator, head_rest)) return false;
    Ref head = common::map_field(self, table_name, head_rest[0].get());
    if (!head) return false;
    // Read again for its type: the mapping hook may have changed it.
    Ref raw = f_value.get(p.filter_item());
    if (!raw) return false;
    Ref result = common::call_hook(self, h_nested_filter_statement, methods::nested_filter_statement,
                                 {table_name, head.get(), head_rest[1].get(), op, value,
                                  reinterpret_cast<PyObject*>(Py_TYPE(raw.get())), p.is_internal_table(),
                                  p.use_internal_meta_tables()},
                                 kw_nested.get());
    if (!result || !rt::expect_tuple(result.get())) return false;
    return out.take(std::move(result));
}

// filter.is_nested_selection, tested for its truth: 1, 0, or -1 with an
// exception set.  The library's own property is answered here when its
// reads are plain (two exact str, the separator from the getter's globals);
// anything else is read and tested as it is.
int is_nested_selection(PyObject* item) {
    Ref getter = rt::property_getter(item, n_is_nested_selection);
    if (getter && k_is_nested_selection.is(getter.get()) && rt::frame_unseen()) {
        PyObject* separator = g_nested_separator.peek(getter.get());
        if (separator && PyUnicode_CheckExact(separator)) {
            Ref field = f_field_name.peek(item);
            if (field && PyUnicode_CheckExact(field.get())) return PyUnicode_Contains(field.get(), separator);
        }
    }
    Ref nested_flag = f_is_nested_selection.get(item);
    if (!nested_flag) return -1;
    return rt::truth(nested_flag.get());
}

// What _get_filter_statement returns, into `out`; false with an exception set.
bool filter_statement(FilterArgs p, Built& out) {
    PyObject* self = p.self();
    PyObject* item = p.filter_item();
    Ref op = filter_operator(self, item);
    if (!op) return false;
    Ref value = filter_value(self, item);
    if (!value) return false;
    Ref name = f_field_name.get(item);
    if (!name) return false;
    Ref field = common::map_field(self, p.table_name(), name.get());
    if (!field) return false;
    int nested = is_nested_selection(item);
    if (nested < 0) return false;
    if (nested) return nested_path_filter(p, op.get(), field.get(), value.get(), out);
    return column_filter(p, op.get(), field.get(), value.get(), out);
}

PyObject* get_filter_statement_body(PyObject* const* a) {
    Built built;
    if (!filter_statement(FilterArgs(a), built)) return nullptr;
    return built.release();
}

// ---------------------------------------------------------------------------
// _get_conditions_statement

// The connector words of a tree, read from ConnectorEnum when the call starts.
class Connectors {
public:
    bool start() {
        Ref connector_enum = rt::global(n_ConnectorEnum);
        if (!connector_enum) return false;
        and_ = a_AND.get(connector_enum.get());
        if (!and_) return false;
        or_ = a_OR.get(connector_enum.get());
        return bool(or_);
    }
    // The text written between two contributions for this connector, or
    // nullptr with KeyError (or the error of hashing the connector) set.
    const char* text(PyObject* connector) {
        if (connector == and_.get()) return " AND ";
        if (connector == or_.get()) return " OR ";
        // Anything else is looked up as a key of {AND: "AND", OR: "OR"}.
        if (!table_) {
            table_ = rt::steal(PyDict_New());
            if (!table_) return nullptr;
            if (PyDict_SetItem(table_.get(), and_.get(), t_word_and) < 0) return nullptr;
            if (PyDict_SetItem(table_.get(), or_.get(), t_word_or) < 0) return nullptr;
        }
        Ref word = rt::steal(PyObject_GetItem(table_.get(), connector));
        if (!word) return nullptr;
        return word.is(t_word_and) ? " AND " : " OR ";
    }

private:
    Ref and_, or_, table_;
};

// Appends a piece of condition text that must be a str.
bool append_text(rt::Text& text, const char* connector, PyObject* piece) {
    if (!rt::expect_concat_str(piece)) return false;
    if (connector) text.lit(connector, std::strlen(connector));
    text.str(piece);
    return true;
}

struct TreeArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* conditions() const { return a[2]; }
    PyObject* is_internal_table() const { return a[3]; }
    PyObject* use_internal_meta_tables() const { return a[4]; }
    PyObject* is_grouped() const { return a[5]; }
};

// The helpers of a tree level below are kept out of line (QUARNA_COLD): the
// level's own frame stays on the stack while its sub-trees are built, so
// what it holds bounds how deep a tree the stack can take.

// Adds what a sub-tree or leaf built through self contributes: `built` is
// its (text, bound) pair, or empty with an exception set.  An empty text adds
// nothing; otherwise the text follows the connector and add_bound(params,
// bound) takes the values to bind.
template <class AddBound>
QUARNA_COLD bool add_built(Built& built, rt::Text& text, PyObject* params, const char* connector, bool& contributed,
                           AddBound add_bound) {
    Ref parts[2];
    if (!built.unpack(parts)) return false;
    int truthy = rt::truth(parts[0].get());
    if (truthy < 0) return false;
    if (!truthy) return true;
    if (!append_text(text, connector, parts[0].get())) return false;
    if (!add_bound(params, parts[1].get())) return false;
    contributed = true;
    return true;
}

bool tree_statement(TreeArgs p, Built& out);

// self._get_conditions_statement(table_name, conditions, is_internal_table=...,
// use_internal_meta_tables=..., is_grouped=...) into `out`.  While the
// lookup would find this module's own method, its work is done here without
// the call: the arguments are this call's own (table_name already tested).
bool tree_through_self(PyObject* self, PyObject* table_name, PyObject* conditions, PyObject* is_internal_table,
                       PyObject* use_internal_meta_tables, PyObject* is_grouped, Built& out) {
    if (h_get_conditions_statement.still_default(self)) {
        PyObject* args[] = {self, table_name, conditions, is_internal_table, use_internal_meta_tables, is_grouped};
        return tree_statement(TreeArgs(args), out);
    }
    return out.take(h_get_conditions_statement.call(self, {table_name, conditions, is_internal_table,
                                                           use_internal_meta_tables, is_grouped},
                                                    kw_tree.get()));
}

// Builds a sub-tree through self and adds what it contributes.
bool add_subtree(TreeArgs p, PyObject* subtree, rt::Text& text, PyObject* params, const char* connector,
                 bool& contributed) {
    Built built;
    return tree_through_self(p.self(), p.table_name(), subtree, p.is_internal_table(), p.use_internal_meta_tables(),
                             Py_True, built) &&
           add_built(built, text, params, connector, contributed, extend);
}

// The tree a queryable value states for the prefix "<mapped field>__",
// inverted for the not-equal lookup.
QUARNA_COLD Ref queryable_tree(TreeArgs p, PyObject* child, PyObject* value) {
    Ref field = f_field_name.get(child);
    if (!field) return Ref();
    Ref mapped = common::map_field(p.self(), p.table_name(), field.get());
    if (!mapped) return Ref();
    rt::Text prefix_text;
    if (!prefix_text.formatted(mapped.get())) return Ref();
    prefix_text.lit("__");
    Ref prefix = prefix_text.build();
    if (!prefix) return Ref();
    Ref new_q = rt::call_method(value, n_to_query, {prefix.get()}, kw_prefix.get());
    if (!new_q) return Ref();
    Ref lookup = f_lookup.get(child);
    if (!lookup) return Ref();
    Ref lookup_enum = rt::global(n_Lookup);
    if (!lookup_enum) return Ref();
    Ref neq = a_NEQ.get(lookup_enum.get());
    if (!neq) return Ref();
    int negate = equals(lookup.get(), neq.get());
    if (negate < 0) return Ref();
    if (negate) return rt::steal(PyNumber_Invert(new_q.get()));
    return new_q;
}

// A leaf whose value is queryable adds the tree the value states.
QUARNA_COLD bool add_queryable(TreeArgs p, PyObject* child, PyObject* value, rt::Text& text, PyObject* params,
                               const char* connector, bool& contributed) {
    Ref tree = queryable_tree(p, child, value);
    return tree && add_subtree(p, tree.get(), text, params, connector, contributed);
}

// Builds a leaf through self._get_filter_statement and adds what it contributes.
QUARNA_COLD bool add_leaf(TreeArgs p, PyObject* child, rt::Text& text, PyObject* params,
                          const char* connector, bool& contributed) {
    // A leaf binds nothing (NoValue), the items of a list (an IN filter's, see
    // the IN contract at to_sql_value in values.cpp), or one value.
    auto add_bound = [](PyObject* params, PyObject* bound) {
        Ref no_value = rt::global(n_NoValue);
        if (!no_value) return false;
        if (bound == no_value.get()) return true;
        if (PyList_Check(bound)) return extend(params, bound);
        return PyList_Append(params, bound) == 0;
    };
    // While the lookup would find this module's own method, its work is
    // done here without the call (the arguments are this call's own).
    Built built;
    if (h_get_filter_statement.still_default(p.self())) {
        PyObject* args[] = {p.self(), p.table_name(), child, p.is_internal_table(), p.use_internal_meta_tables()};
        if (!filter_statement(FilterArgs(args), built)) return false;
    } else if (!built.take(h_get_filter_statement.call(
                   p.self(), {p.table_name(), child, p.is_internal_table(), p.use_internal_meta_tables()},
                   kw_filter.get()))) {
        return false;
    }
    return add_built(built, text, params, connector, contributed, add_bound);
}

// The pair of a tree that contributed `text`, negated when the tree is.
QUARNA_COLD bool finish_tree(PyObject* conditions, const rt::Text& text, Ref params, Built& out) {
    Ref negated = f_negated.get(conditions);
    if (!negated) return false;
    int negate = rt::truth(negated.get());
    if (negate < 0) return false;
    Ref statement;
    if (negate) {
        rt::Text outer;
        outer.lit("NOT (");
        outer.append(text);
        outer.lit(")");
        statement = outer.build();
    } else {
        statement = text.build();
    }
    return out.set(std::move(statement), std::move(params));
}

// What _get_conditions_statement returns, into `out`; false with an exception set.
bool tree_statement(TreeArgs p, Built& out) {
    rt::RecursionGuard guard(" while building a condition tree");
    if (!guard) return false;
    PyObject* conditions = p.conditions();
    PyObject* is_grouped = p.is_grouped();

    rt::Text text;
    Ref params = rt::steal(PyList_New(0));
    if (!params) return false;
    Connectors connectors;
    if (!connectors.start()) return false;
    int grouped = rt::truth(is_grouped);
    if (grouped < 0) return false;
    if (grouped) text.lit("(");

    Ref children = f_children.get(conditions);
    if (!children) return false;
    int any = rt::truth(children.get());
    if (any < 0) return false;
    if (!any) return empty_tree(out);
    // Read again for the loop: the truth test may have run Python code that changed it.
    children = f_children.get(conditions);
    if (!children) return false;
    rt::Items walk;
    if (!walk.start(children.get())) return false;
    children = Ref();

    bool contributed = false;
    Ref child;
    while (walk.next(child)) {
        const char* connector = nullptr;
        if (contributed) {
            Ref c = f_connector.get(conditions);
            if (!c) return false;
            connector = connectors.text(c.get());
            if (!connector) return false;
        }
        Ref q = rt::global(n_Q);
        if (!q) return false;
        int is_tree = rt::is_instance(child.get(), q.get());
        if (is_tree < 0) return false;
        if (is_tree) {
            if (!add_subtree(p, child.get(), text, params.get(), connector, contributed)) return false;
            continue;
        }
        Ref value = f_value.get(child.get());
        if (!value) return false;
        Ref queryable = rt::global(n_QueryableMixin);
        if (!queryable) return false;
        int is_queryable = rt::is_instance(value.get(), queryable.get());
        if (is_queryable < 0) return false;
        if (is_queryable) {
            if (!add_queryable(p, child.get(), value.get(), text, params.get(), connector, contributed))
                return false;
            continue;
        }
        value = Ref();
        if (!add_leaf(p, child.get(), text, params.get(), connector, contributed)) return false;
    }
    if (PyErr_Occurred()) return false;

    // Tested again, as the Python code tests it twice: its truth may have changed.
    grouped = rt::truth(is_grouped);
    if (grouped < 0) return false;
    if (grouped) {
        text.lit(")");
        if (text.length() == 2) return empty_tree(out);
    }
    // Nothing contributed: no condition at all, negated or not ("NOT ()" is not SQL).
    if (text.empty()) return empty_tree(out);
    return finish_tree(conditions, text, std::move(params), out);
}

PyObject* get_conditions_statement_body(PyObject* const* a) {
    Built built;
    if (!tree_statement(TreeArgs(a), built)) return nullptr;
    return built.release();
}

}  // namespace

namespace conditions {
bool tree_parts(PyObject* self, PyObject* table_name, PyObject* conditions, PyObject* is_internal_table,
                PyObject* use_internal_meta_tables, rt::Ref* parts) {
    Built built;
    if (h_get_conditions_statement.still_default(self)) {
        PyObject* args[] = {self, table_name, conditions, is_internal_table, use_internal_meta_tables, Py_False};
        if (!tree_statement(TreeArgs(args), built)) return false;
    } else if (!built.take(h_get_conditions_statement.call(
                   self, {table_name, conditions, is_internal_table, use_internal_meta_tables}, kw_filter.get()))) {
        return false;
    }
    return built.unpack(parts);
}
}  // namespace conditions

namespace methods {
using namespace params;
namespace {
Param text(const char* name) { return Param{name, "str", Check::Str}; }
}  // namespace

const rt::FuncDef get_conditions_statement{
    "_get_conditions_statement", "SqliteStatementsMixin._get_conditions_statement", get_conditions_statement_body,
    {self(), table_name(), Param{"conditions", "Q"}, flag("is_internal_table"), flag("use_internal_meta_tables"),
     flag("is_grouped")},
    "tuple[str, list[Any]]", "Build the WHERE text and parameters of a condition tree."};
const rt::FuncDef get_filter_statement{
    "_get_filter_statement", "SqliteStatementsMixin._get_filter_statement", get_filter_statement_body,
    {self(), table_name(), Param{"filter_item", "Filter"}, flag("is_internal_table"),
     flag("use_internal_meta_tables")},
    "tuple[str, Any]", "Build the condition text and value to bind of one filter."};
const rt::FuncDef nested_filter_statement{
    "_nested_filter_statement", "SqliteStatementsMixin._nested_filter_statement", nested_filter_statement_body,
    {self(), table_name(), text("field_name"), text("nested_fields"),
     Param{"sql_operator_template", "SqlOperatorTemplate"}, Param{"value", "Any"}, Param{"value_type", "Any"},
     flag("is_internal_table"), flag("use_internal_meta_tables")},
    "tuple[str, Any]", "Build the condition of a filter on a nested field path."};
}  // namespace methods
