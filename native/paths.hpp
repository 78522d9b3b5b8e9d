// Nested field paths: a field name, then keys, joined with "__"
// ("_metadata__address__object_id").  paths.cpp resolves one to an SQL
// expression (_resolve_nested_field_name); the builders that meet one in a
// filter or an ordering split off the field and call that hook through self.
#pragma once
#include "runtime/names.hpp"

namespace paths {
// The separator of a nested path, "__".
extern rt::Name n_separator;
}  // namespace paths
