// `SystemBaseEnv.get_bar_field`, shared by the environment and the engine.
#pragma once

#include "core/pyutil.hpp"

namespace kc {

// `env.get_bar_field(target_indices, bar_pos, fields)` of the environment `self`:
// a (fields x targets) array of the bar items at fresh bar `bar_pos`.
nb::object bar_field_rows(nb::handle self, nb::handle target_indices, nb::handle bar_pos, nb::handle fields);

// The same for one target (a Python int) and the `field_count` fields named
// at `fields` (each a str, held by the caller), as doubles in `out`, when it
// is plain: a float64 matrix, an in-range bar and target, the native row
// functions installed on `gv`.  Reads the environment the way
// `bar_field_rows` does; false (nothing raised) when anything is unusual,
// and then `bar_field_rows` decides.
bool bar_values_of_one(nb::handle self, nb::handle target, nb::handle bar_pos, PyObject *const *fields,
                       Py_ssize_t field_count, double *out);

} // namespace kc
