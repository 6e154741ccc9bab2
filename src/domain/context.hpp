// The host reads of a deal that the engine may answer from the objects it
// knows, while they are exactly its own.
//
// Each read below checks, when it is made, that the object it would call is
// still the one this package installed: the module global is the very
// function object found at import, its code is unchanged, the names it reads
// are not shadowed, the storage it reads is of the exact built-in type; a
// collection's static method is still the compiled one.  The checks are
// identity and exact-type tests, a few dictionary lookups in all, so a read
// made after any host code ran (a user callback, a host method) sees what
// that code installed.  While they hold, the value comes straight from the
// storage, with the same result as the call and no host code run (the
// functions read have no effect a host could see); the moment one fails,
// the read is the late-bound call of today.
#pragma once

#include "domain/domain.hpp"

namespace dm::ctx {

// Records the history store's contract-data reader as this package made it
// (called once, when the module is made).
void capture();

// `get_target_info_v2(indices)`: a new list of a copy of each target's
// contract data.
nb::object target_infos(nb::handle indices);

// `get_target_info_v2(indices)[0].get(label)`, as loc_value reads it; the
// entry is read in place (its copy would hold the same keys and values).
nb::object first_target_info_value(nb::handle indices, Name &label);

// `cb.obj_attr_value(records, attr)`: a direct call while `cb` is the
// compiled CollectBase and the method its own.
nb::object obj_attr_value(nb::handle records, Name &attr);

} // namespace dm::ctx
