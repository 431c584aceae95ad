/* Values from whatever a Python caller holds them in: a list, a buffer of
 * integers (NumPy arrays, array.array, memoryview), or any other iterable
 * whose items are ints or have __index__. Shared by the module's calls. */
#ifndef PEMU_VALUES_H
#define PEMU_VALUES_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include <vector>

namespace pemu_py {

/* Reads obj (list: fast path with today's messages/errors; buffer with an
 * integer item format of any width and byte order; any other iterable; items
 * with __index__) into out. negative == nullptr: a negative item raises
 * OverflowError as for a list. negative != nullptr: a negative item is stored
 * as its magnitude in out[i] and (*negative)[i] = 1 (its size == out's).
 * Returns false with a Python exception set. `what` names the function for
 * the TypeError of a non-iterable. When total is not nullptr it receives the
 * sum of what out holds, which must fit 64 bits (else OverflowError, with the
 * list's message printed at the item that passes it). */
bool read_values(PyObject *obj, const char *what, std::vector<uint64_t> &out,
                 std::vector<uint8_t> *negative, uint64_t *total = nullptr);

/* One item, item i of some values, read as read_values reads it: its
 * magnitude in *v, *neg set for a negative one (allowed only when
 * allow_negative). False with a Python exception set. */
bool read_value(PyObject *item, Py_ssize_t i, bool allow_negative, uint64_t *v,
                bool *neg);

} // namespace pemu_py

#endif /* PEMU_VALUES_H */
