// ORDER BY, the plain select, the select joined with the metadata table, the
// select entry point and COUNT.
#include "common.hpp"
#include "conditions.hpp"
#include "methods.hpp"
#include "paths.hpp"
#include "runtime/calls.hpp"
#include "runtime/fast.hpp"
#include "runtime/iter.hpp"
#include "runtime/known.hpp"
#include "runtime/objects.hpp"

using namespace names;

namespace {

using paths::n_separator;

rt::Name n_direction("direction");
rt::Name n_OrderDirection("OrderDirection");
rt::Name n_ASC("ASC");
rt::ClassAttr a_ASC(n_ASC);
rt::Name n_NumberPaginator("NumberPaginator");
rt::Name n_CursorPaginator("CursorPaginator");
rt::Name n_QuarnaConnectionError("QuarnaConnectionError");
rt::Name n_METADATA_SELECT_STATEMENT("METADATA_SELECT_STATEMENT");
rt::Name n_METADATA_SELECT_FIELD("METADATA_SELECT_FIELD");
rt::Name n_TABLE_SEPARATOR("TABLE_SEPARATOR");
rt::Name n_limit("limit");
rt::Name n_offset("offset");
rt::Name n_only("only");
rt::Name n_distinct("distinct");
rt::Name n_build_order_by_statement("_build_order_by_statement");
rt::Name n_select_statement("_select_statement");
rt::Name n_select_with_internal_meta_statement("_select_with_internal_meta_statement");
rt::Literal t_count_star("COUNT(*)");

rt::SelfHook h_build_order_by_statement(n_build_order_by_statement, methods::build_order_by_statement,
                                        rt::Binding::Method);
rt::SelfHook h_select_statement(n_select_statement, methods::select_statement, rt::Binding::Method);
rt::SelfHook h_select_with_internal_meta_statement(n_select_with_internal_meta_statement,
                                                   methods::select_with_internal_meta_statement, rt::Binding::Method);
using common::h_resolve_nested_field_name;

rt::KwNames kw_flags{"is_internal_table", "use_internal_meta_tables"};
rt::KwNames kw_plain_select{"select_only", "conditions", "pagination", "order_by", "is_internal_table"};
rt::KwNames kw_meta_select{"select_only", "conditions", "pagination", "order_by"};
rt::KwNames kw_plain_count{"select_only", "conditions", "is_internal_table"};
rt::KwNames kw_meta_count{"select_only", "conditions"};
rt::InstanceAttr f_field_name(n_field_name);
rt::InstanceAttr f_direction(n_direction);
rt::InstanceAttr f_limit(n_limit);
rt::InstanceAttr f_offset(n_offset);
rt::InstanceAttr f_distinct(n_distinct);
rt::InstanceAttr f_only(n_only);
rt::SelfAttr c_TABLE_SEPARATOR(n_TABLE_SEPARATOR);
rt::SelfAttr c_COLUMN_SEPARATOR(n_COLUMN_SEPARATOR);

PyObject* py_bool(bool b) { return b ? Py_True : Py_False; }

// Q.__bool__ as the query library defines it.
rt::Name n_bool("bool");
rt::FunctionGlobal g_bool(n_bool);
rt::InstanceAttr f_children(n_children);
rt::KnownCode k_tree_bool(
    "class Q:\n"
    "    def __bool__(self):\n"
    "        return bool(self.children)\n",
    "__bool__");

// The truth of a condition tree: 1, 0, or -1 with an exception set.  The
// library's own __bool__ is answered here when its reads are plain (the
// builtin bool, an exact list of children); anything else is tested as it is.
int tree_truth(PyObject* conditions) {
    rt::Ref method = rt::borrow(rt::bool_method(conditions));
    if (method && k_tree_bool.is(method.get()) && rt::frame_unseen() &&
        g_bool.peek(method.get()) == reinterpret_cast<PyObject*>(&PyBool_Type)) {
        rt::Ref children = f_children.peek(conditions);
        if (children && PyList_CheckExact(children.get())) return PyList_GET_SIZE(children.get()) != 0;
    }
    return rt::truth(conditions);
}

// Appends a module-level name, formatted as text.
bool append_global(rt::Text& text, const rt::Name& name) {
    rt::Ref value = rt::global(name);
    return value && text.formatted(value.get());
}

// Appends an attribute of self (a separator), formatted as text.
bool append_self_attr(rt::Text& text, PyObject* self, rt::SelfAttr& name) {
    rt::Ref value = name.get(self);
    return value && text.formatted(value.get());
}

// A name between two reads of a separator attribute of self, each formatted
// as text; a one-character separator is doubled inside the name.  The name
// (get_name() -> rt::Ref) is read between the two, formatted as text.
template <class GetName>
bool append_between_self_attr(rt::Text& text, PyObject* self, rt::SelfAttr& separator, GetName get_name) {
    rt::Ref quote = separator.get(self);
    if (!quote || !text.formatted(quote.get())) return false;
    rt::Ref name = get_name();
    if (name) name = rt::format_text(name.get());
    if (!name || !text.inside_quotes(name.get(), quote.get())) return false;
    return append_self_attr(text, self, separator);
}

// ---------------------------------------------------------------------------
// ORDER BY

struct OrderByArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* order_by() const { return a[2]; }
    PyObject* is_internal_table() const { return a[3]; }
    PyObject* use_internal_meta_tables() const { return a[4]; }
};

PyObject* build_order_by_statement_body(PyObject* const* a) {
    const OrderByArgs p(a);
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    PyObject* order_by = p.order_by();
    int truthy = rt::truth(order_by);
    if (truthy < 0) return nullptr;
    if (!truthy) return PyUnicode_New(0, 0);

    rt::Text terms;
    bool any = false;
    rt::Items items;
    if (!items.start(order_by)) return nullptr;
    rt::Ref item;
    while (items.next(item)) {
        rt::Ref probe = f_field_name.get(item.get());
        if (!probe) return nullptr;
        int nested = PySequence_Contains(probe.get(), n_separator);
        if (nested < 0) return nullptr;
        probe = rt::Ref();
        // Read again: the membership test may have run Python code that changed it.
        rt::Ref field = f_field_name.get(item.get());
        if (!field) return nullptr;
        if (nested) {
            rt::Ref parts[2];
            if (!rt::split_once(field.get(), n_separator, parts)) return nullptr;
            field = h_resolve_nested_field_name.call(self,
                                    {table_name, parts[0].get(), parts[1].get(), p.is_internal_table(),
                                     p.use_internal_meta_tables()},
                                    kw_flags.get());
            if (!field) return nullptr;
        }
        // The resolved expression goes through the mapping hook whatever it is;
        // a path with no expression on this shape (an address part without the
        // metadata join, say), an empty name, or one the hook maps to nothing
        // cannot be ordered by: it adds no term.
        rt::Ref column = common::map_field(self, table_name, field.get());
        if (!column) return nullptr;
        column = rt::format_text(column.get());
        if (!column) return nullptr;
        if (PyUnicode_GET_LENGTH(column.get()) == 0) continue;
        rt::Text term;
        term.str(column.get());
        rt::Ref direction = f_direction.get(item.get());
        if (!direction) return nullptr;
        rt::Ref directions = rt::global(n_OrderDirection);
        if (!directions) return nullptr;
        rt::Ref asc = a_ASC.get(directions.get());
        if (!asc) return nullptr;
        rt::Ref same = rt::steal(PyObject_RichCompare(direction.get(), asc.get(), Py_EQ));
        if (!same) return nullptr;
        int ascending = rt::truth(same.get());
        if (ascending < 0) return nullptr;
        if (ascending) term.lit(" ASC"); else term.lit(" DESC");
        if (any) terms.lit(", ");
        terms.append(term);
        any = true;
    }
    if (PyErr_Occurred()) return nullptr;
    if (terms.empty()) return PyUnicode_New(0, 0);
    rt::Text clause;
    clause.lit(" ORDER BY ");
    clause.append(terms);
    return clause.build().release();
}

// ---------------------------------------------------------------------------
// The clauses both selects share: WHERE, ORDER BY, LIMIT/OFFSET.

PyObject* finish_select(PyObject* self, PyObject* table_name, rt::Text& text, PyObject* conditions,
                        PyObject* pagination, PyObject* order_by, PyObject* is_internal_table,
                        PyObject* use_internal_meta_tables) {
    rt::Ref params = rt::steal(PyList_New(0));
    if (!params) return nullptr;

    int truthy = tree_truth(conditions);
    if (truthy < 0) return nullptr;
    if (truthy) {
        rt::Ref parts[2];
        if (!conditions::tree_parts(self, table_name, conditions, is_internal_table, use_internal_meta_tables, parts))
            return nullptr;
        if (!rt::expect_list(parts[1].get())) return nullptr;
        params = parts[1];
        int has_text = rt::truth(parts[0].get());
        if (has_text < 0) return nullptr;
        if (has_text) {
            text.lit(" WHERE ");
            if (!text.formatted(parts[0].get())) return nullptr;
        }
    }

    truthy = rt::truth(order_by);
    if (truthy < 0) return nullptr;
    if (truthy) {
        rt::Ref clause = common::call_hook(self, h_build_order_by_statement, methods::build_order_by_statement,
                                         {table_name, order_by, is_internal_table, use_internal_meta_tables},
                                         kw_flags.get());
        if (!clause) return nullptr;
        if (!rt::expect_concat_str(clause.get())) return nullptr;
        text.str(clause.get());
    }

    rt::Ref paginator_type = rt::global(n_NumberPaginator);
    if (!paginator_type) return nullptr;
    int numbered = rt::is_instance(pagination, paginator_type.get());
    if (numbered < 0) return nullptr;
    if (numbered) {
        rt::Ref limit = f_limit.get(pagination);
        if (!limit) return nullptr;
        if (!limit.is(Py_None)) {
            rt::Ref offset = f_offset.get(pagination);
            if (!offset) return nullptr;
            int has_offset = rt::truth(offset.get());
            if (has_offset < 0) return nullptr;
            if (!has_offset) offset = rt::steal(PyLong_FromLong(0));
            if (!offset) return nullptr;
            text.lit(" LIMIT ? OFFSET ?");
            if (params.is(Py_None)) {
                rt::raise_none_attr("extend");
                return nullptr;
            }
            // Read again for the parameters: the tests above may have run Python code.
            limit = f_limit.get(pagination);
            if (!limit) return nullptr;
            if (PyList_Append(params.get(), limit.get()) < 0) return nullptr;
            if (PyList_Append(params.get(), offset.get()) < 0) return nullptr;
        }
    }

    return rt::pair(text.build(), params).release();
}

// "SELECT <columns> FROM <sep><table><sep>", the head both selects share.
bool select_from(rt::Text& text, PyObject* self, PyObject* table_name, PyObject* columns) {
    text.lit("SELECT ");
    text.str(columns);
    text.lit(" FROM ");
    return append_between_self_attr(text, self, c_TABLE_SEPARATOR, [table_name] { return rt::borrow(table_name); });
}

// ---------------------------------------------------------------------------
// Plain select

// The parameters both selects take.
struct SelectArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* select_only() const { return a[2]; }
    PyObject* conditions() const { return a[3]; }
    PyObject* pagination() const { return a[4]; }
    PyObject* order_by() const { return a[5]; }
};

struct PlainSelectArgs : SelectArgs {
    using SelectArgs::SelectArgs;
    PyObject* is_internal_table() const { return a[6]; }
};

PyObject* select_statement_body(PyObject* const* a) {
    const PlainSelectArgs p(a);
    rt::Text text;
    if (!select_from(text, p.self(), p.table_name(), p.select_only())) return nullptr;
    return finish_select(p.self(), p.table_name(), text, p.conditions(), p.pagination(), p.order_by(),
                         p.is_internal_table(), Py_False);
}

// ---------------------------------------------------------------------------
// Select joined with the metadata table

PyObject* select_with_internal_meta_statement_body(PyObject* const* a) {
    const SelectArgs p(a);
    rt::Text text;
    if (!select_from(text, p.self(), p.table_name(), p.select_only())) return nullptr;
    text.lit(" AS ");
    if (!append_global(text, n_MODEL_TABLE_ALIAS)) return nullptr;
    text.lit(" JOIN (");
    if (!append_global(text, n_METADATA_SELECT_STATEMENT)) return nullptr;
    text.lit(") AS ");
    if (!append_global(text, n_METADATA_TABLE_ALIAS)) return nullptr;
    text.lit(" ON ");
    if (!append_global(text, n_MODEL_TABLE_ALIAS)) return nullptr;
    text.lit(".partition_key = ");
    if (!append_global(text, n_METADATA_TABLE_ALIAS)) return nullptr;
    text.lit(".object_id AND ");
    if (!append_global(text, n_MODEL_TABLE_ALIAS)) return nullptr;
    text.lit(".range_key = ");
    if (!append_global(text, n_METADATA_TABLE_ALIAS)) return nullptr;
    text.lit(".object_version");
    return finish_select(p.self(), p.table_name(), text, p.conditions(), p.pagination(), p.order_by(), Py_False,
                         Py_True);
}

// ---------------------------------------------------------------------------
// Select entry point

// True when every item of an exact list or tuple is an exact str.
bool only_exact_str(PyObject* items) {
    PyObject* const* item = PySequence_Fast_ITEMS(items);
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(items); i < n; ++i)
        if (!PyUnicode_CheckExact(item[i])) return false;
    return true;
}

// The fields of `only` without duplicates, plus `extra` (an exact str)
// unless it is null, in ascending order: sorted(set(only) | {extra}).
// Exact str fields, in an exact list or tuple, are sorted as they are and
// each run of equal ones kept once, its first: the set would keep that one
// too, and neither hashing nor comparing them runs any code.
rt::Ref sorted_unique_fields(PyObject* only, PyObject* extra = nullptr) {
    if ((PyList_CheckExact(only) || PyTuple_CheckExact(only)) && only_exact_str(only)) {
        rt::Ref fields = rt::steal(PySequence_List(only));
        if (!fields) return rt::Ref();
        if (extra && PyList_Append(fields.get(), extra) < 0) return rt::Ref();
        if (PyList_Sort(fields.get()) < 0) return rt::Ref();
        const Py_ssize_t n = PyList_GET_SIZE(fields.get());
        auto same = [&](Py_ssize_t i) {
            PyObject* f = PyList_GET_ITEM(fields.get(), i);
            PyObject* before = PyList_GET_ITEM(fields.get(), i - 1);
            return f == before || PyUnicode_Compare(f, before) == 0;
        };
        Py_ssize_t first_dup = 1;
        while (first_dup < n && !same(first_dup)) ++first_dup;
        if (first_dup >= n) return fields;
        rt::Ref unique = rt::steal(PyList_GetSlice(fields.get(), 0, first_dup));
        if (!unique) return rt::Ref();
        for (Py_ssize_t i = first_dup + 1; i < n; ++i)
            if (!same(i) && PyList_Append(unique.get(), PyList_GET_ITEM(fields.get(), i)) < 0) return rt::Ref();
        return unique;
    }
    rt::Ref fields = rt::steal(PySet_New(only));
    if (!fields) return rt::Ref();
    if (extra && PySet_Add(fields.get(), extra) < 0) return rt::Ref();
    fields = rt::steal(PySequence_List(fields.get()));
    if (!fields || PyList_Sort(fields.get()) < 0) return rt::Ref();
    return fields;
}

// Is f listed as distinct?  `distinct` is read anew for every field.
int is_distinct(PyObject* query_specifier, PyObject* field) {
    rt::Ref distinct = f_distinct.get(query_specifier);
    if (!distinct) return -1;
    return PySequence_Contains(distinct.get(), field);
}

// Column list of the plain path: "_metadata, distinct age, name".
bool plain_columns(PyObject* self, PyObject* table_name, PyObject* query_specifier, bool internal,
                   rt::Text& columns) {
    rt::Ref only = f_only.get(query_specifier);
    if (!only) return false;
    rt::Ref fields = sorted_unique_fields(only.get(), internal ? nullptr : n_metadata.get());
    only = rt::Ref();
    if (!fields) return false;
    rt::ListItems items(fields.get());
    rt::Ref field;
    Py_ssize_t index = 0;
    for (; items.next(field); ++index) {
        int distinct = is_distinct(query_specifier, field.get());
        if (distinct < 0) return false;
        rt::Ref column = common::map_field(self, table_name, field.get());
        if (!column) return false;
        if (index) columns.lit(", ");
        if (distinct) {
            columns.lit("distinct ");
            if (!columns.formatted(column.get())) return false;
        } else {
            if (!PyUnicode_Check(column.get())) {
                PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                             Py_TYPE(column.get())->tp_name);
                return false;
            }
            columns.str(column.get());
        }
    }
    return true;
}

// Column list of the metadata path without the metadata column: "DISTINCT t1.age, t1.name".
bool meta_columns(PyObject* self, PyObject* table_name, PyObject* query_specifier, rt::Text& columns) {
    rt::Ref only = f_only.get(query_specifier);
    if (!only) return false;
    rt::Ref fields = sorted_unique_fields(only.get());
    if (!fields) return false;
    only = rt::Ref();
    rt::ListItems items(fields.get());
    rt::Ref field;
    for (bool first = true; items.next(field); first = false) {
        int distinct = is_distinct(query_specifier, field.get());
        if (distinct < 0) return false;
        rt::Text item;
        if (distinct) item.lit("DISTINCT ");
        if (!append_global(item, n_MODEL_TABLE_ALIAS)) return false;
        item.lit(".");
        rt::Ref column = common::map_field(self, table_name, field.get());
        if (!column || !item.formatted(column.get())) return false;
        if (!first) columns.lit(", ");
        columns.append(item);
    }
    return true;
}

PyObject* raise_connection_error(const char* message) {
    rt::Ref error_type = rt::global(n_QuarnaConnectionError);
    if (!error_type) return nullptr;
    rt::Ref text = rt::steal(PyUnicode_FromString(message));
    if (!text) return nullptr;
    rt::Ref error = rt::call(error_type.get(), {text.get()});
    if (!error) return nullptr;
    if (!PyExceptionInstance_Check(error.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

PyObject* checked_statement(rt::Ref result) {
    if (!result || !rt::expect_tuple(result.get())) return nullptr;
    return result.release();
}

struct BuildSelectArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* query_specifier() const { return a[2]; }
    PyObject* conditions() const { return a[3]; }
    PyObject* pagination() const { return a[4]; }
    PyObject* order_by() const { return a[5]; }
    PyObject* use_internal_meta_tables() const { return a[6]; }
};

PyObject* build_select_statement_body(PyObject* const* a) {
    const BuildSelectArgs p(a);
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    PyObject* query_specifier = p.query_specifier();
    PyObject* pagination = p.pagination();

    rt::Ref cursor_type = rt::global(n_CursorPaginator);
    if (!cursor_type) return nullptr;
    int cursor = rt::is_instance(pagination, cursor_type.get());
    if (cursor < 0) return nullptr;
    if (cursor) return raise_connection_error("Cursor pagination is not supported");

    const bool internal = common::is_internal_table(table_name);
    int use_meta = rt::truth(p.use_internal_meta_tables());
    if (use_meta < 0) return nullptr;

    if (!use_meta || internal) {
        rt::Text columns;
        bool listed = false;
        int truthy = rt::truth(query_specifier);
        if (truthy < 0) return nullptr;
        if (truthy) {
            rt::Ref only = f_only.get(query_specifier);
            if (!only) return nullptr;
            truthy = rt::truth(only.get());
            if (truthy < 0) return nullptr;
            if (truthy) {
                if (!plain_columns(self, table_name, query_specifier, internal, columns)) return nullptr;
                listed = true;
            }
        }
        if (!listed) columns.lit("*");
        rt::Ref select_only = columns.build();
        if (!select_only) return nullptr;
        return checked_statement(rt::call_method(
            self, n_select_statement,
            {table_name, select_only.get(), p.conditions(), pagination, p.order_by(), py_bool(internal)},
            kw_plain_select.get()));
    }

    rt::Text columns;
    int truthy = rt::truth(query_specifier);
    if (truthy < 0) return nullptr;
    if (truthy && !meta_columns(self, table_name, query_specifier, columns)) return nullptr;
    if (columns.empty()) {
        if (!append_global(columns, n_MODEL_TABLE_ALIAS)) return nullptr;
        columns.lit(".*");
    }
    columns.lit(", ");
    if (!append_global(columns, n_METADATA_SELECT_FIELD)) return nullptr;
    rt::Ref select_only = columns.build();
    if (!select_only) return nullptr;
    return checked_statement(common::call_hook(self, h_select_with_internal_meta_statement,
                                             methods::select_with_internal_meta_statement,
                                             {table_name, select_only.get(), p.conditions(), pagination, p.order_by()},
                                             kw_meta_select.get()));
}

// ---------------------------------------------------------------------------
// COUNT

struct CountArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* conditions() const { return a[2]; }
    PyObject* use_internal_meta_tables() const { return a[3]; }
};

PyObject* build_count_statement_body(PyObject* const* a) {
    const CountArgs p(a);
    PyObject* self = p.self();
    PyObject* table_name = p.table_name();
    PyObject* conditions = p.conditions();
    const bool internal = common::is_internal_table(table_name);
    int use_meta = 0;
    if (!internal) {
        use_meta = rt::truth(p.use_internal_meta_tables());
        if (use_meta < 0) return nullptr;
    }
    if (use_meta) {
        rt::Text columns;
        columns.lit("COUNT(");
        if (!append_global(columns, n_MODEL_TABLE_ALIAS)) return nullptr;
        columns.lit(".");
        if (!append_between_self_attr(columns, self, c_COLUMN_SEPARATOR,
                                      [] { return rt::global(n_PRIMARY_PARTITION_KEY); }))
            return nullptr;
        columns.lit(")");
        rt::Ref select_only = columns.build();
        if (!select_only) return nullptr;
        return checked_statement(h_select_with_internal_meta_statement.call(self,
                                                 {table_name, select_only.get(), conditions},
                                                 kw_meta_count.get()));
    }
    return checked_statement(h_select_statement.call(self,
                                             {table_name, t_count_star.get(), conditions, py_bool(internal)},
                                             kw_plain_count.get()));
}

}  // namespace

namespace methods {
using namespace params;
namespace {
Param opt(const char* name, const char* annotation) { return Param{name, annotation, Check::Any, Default::None}; }
Param select_only() { return Param{"select_only", "str", Check::Str}; }
const char* const kConditions = "Q | None";
const char* const kPagination = "NumberPaginator | CursorPaginator | None";
const char* const kOrderBy = "list[OrderBy] | None";
}  // namespace

const rt::FuncDef build_select_statement{
    "_build_select_statement", "SqliteStatementsMixin._build_select_statement", build_select_statement_body,
    {self(), table_name(), opt("query_specifier", "QuerySpecifier | None"), opt("conditions", kConditions),
     opt("pagination", kPagination), opt("order_by", kOrderBy), flag("use_internal_meta_tables")},
    "tuple[str, list[Any]]", "Build the SELECT statement for a query."};
const rt::FuncDef select_statement{
    "_select_statement", "SqliteStatementsMixin._select_statement", select_statement_body,
    {self(), table_name(), select_only(), opt("conditions", kConditions), opt("pagination", kPagination),
     opt("order_by", kOrderBy), flag("is_internal_table")},
    "tuple[str, list[Any]]", "Build a SELECT over one table."};
const rt::FuncDef select_with_internal_meta_statement{
    "_select_with_internal_meta_statement", "SqliteStatementsMixin._select_with_internal_meta_statement",
    select_with_internal_meta_statement_body,
    {self(), table_name(), select_only(), opt("conditions", kConditions), opt("pagination", kPagination),
     opt("order_by", kOrderBy)},
    "tuple[str, list[Any]]", "Build a SELECT over a model table joined with the metadata table."};
const rt::FuncDef build_count_statement{
    "_build_count_statement", "SqliteStatementsMixin._build_count_statement", build_count_statement_body,
    {self(), table_name(), opt("conditions", kConditions), flag("use_internal_meta_tables")},
    "tuple[str, list[Any]]", "Build the COUNT statement for a condition tree."};
const rt::FuncDef build_order_by_statement{
    "_build_order_by_statement", "SqliteStatementsMixin._build_order_by_statement", build_order_by_statement_body,
    {self(), table_name(), Param{"order_by", kOrderBy}, flag("is_internal_table"), flag("use_internal_meta_tables")},
    "str", "Build the ORDER BY clause of an ordering."};
}  // namespace methods
