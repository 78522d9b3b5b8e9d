// The standard json.loads of a str is three Python frames (loads, its
// decoder's decode and raw_decode) around one call of the C scanner; the
// frames cost more than the scan of a short document (about 850 ns of 1.5 us
// on 3.10 for a 70-character object).  While loads, the default decoder,
// both of its methods and the scanner are provably the standard ones, with
// no hook of the caller's, the scanner is called here as raw_decode calls
// it, with the recursion counters charged as the three frames would charge
// them, and the result is checked as decode checks it.  Whatever the frames
// would do differently (a BOM, extra data, text the scanner finds no value
// in) is left to the plain call, which then raises its own error.
#pragma once
#include "ref.hpp"

namespace rt {

// loads(s), for the loads just read from the json module: 1 with out the
// decoded value; 0 when the caller is to make the plain call (no error set,
// nothing observable done); -1 with the scanner's error set, which the
// frames would have let through unchanged.
int standard_json_loads(PyObject* loads, PyObject* s, Ref& out);

}  // namespace rt
