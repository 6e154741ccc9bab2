// The matrix rows of bar items: what `GlobalDefine.bar_item_pos` and
// `GlobalDefine.bar_field_name_to_int` compute, natively for the calls the
// engine makes on every bar (an integer item with an int64 array or an int
// of targets, a field name that is known) and by the Python reference
// implementations of `tframe.sysdefine` for everything else, so results and
// errors are those of the reference.  Needs the numpy C API of the calling
// module.
#pragma once

#include "core/pyutil.hpp"

namespace kc {

// Whether `o` is an exact int that fits a long long (then its value in `out`).
bool small_int(nb::handle o, long long &out);

// `bar_item_pos(item, targets)` with the layout constants of `gv`.
nb::object bar_item_pos(nb::handle gv, nb::handle item, nb::handle targets);

// `bar_field_name_to_int(name)`.
nb::object bar_field_name_to_int(nb::handle name);
// The host's table of field names (`_BAR_FIELDS`), read once for several
// names, and `bar_field_name_to_int(name)` with that table.
nb::object bar_fields_table();
nb::object bar_field_name_to_int(nb::handle name, nb::handle fields);

} // namespace kc
