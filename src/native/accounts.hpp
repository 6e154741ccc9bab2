// korvit.native.KVBackAccount, PositionsBase, KVBackPosition and target_index:
// backtest accounts and their positions; see accounts.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

void bind_accounts(nanobind::module_ &m);

// KVBackAccount (set by bind_accounts).
PyTypeObject *account_type();

// The closes of one bar, as `closes[target]` reads them: `count` doubles,
// `stride` bytes apart.
struct BarCloses {
    const char *data;
    Py_ssize_t stride;
    Py_ssize_t count;
};

// `valuation(account, contracts, closes, KVBackAccount, terms)[0]` of
// korvit.backtest.session, for an account of exactly KVBackAccount: the same
// doubles, from the same floating-point operations in the same order, into
// `out` (cash, market value, margin, equity).  False, with nothing written,
// where that cannot be told without running host code or where numpy could
// warn (a value that is not a plain int, float or numpy float64, a number
// out of the finite range, a position of another class, a target out of
// range, a class whose fields were replaced): the caller then calls the
// function.  `terms` is `contract_terms(contracts)`, read at the call.
bool value_account(PyObject *account, PyObject *terms, const BarCloses &closes, double (&out)[4]);

} // namespace knative
