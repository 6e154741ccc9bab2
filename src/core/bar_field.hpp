// `SystemBaseEnv.get_bar_field`, shared by the environment and the engine.
#pragma once

#include "core/pyutil.hpp"

namespace kc {

// `env.get_bar_field(target_indices, bar_pos, fields)` of the environment `self`:
// a (fields x targets) array of the bar items at fresh bar `bar_pos`.
nb::object bar_field_rows(nb::handle self, nb::handle target_indices, nb::handle bar_pos, nb::handle fields);

} // namespace kc
