/* Which values make a total, from Python: one subset (subset_with_sum) or
 * an iterator over every subset (subsets_with_sum). subset_with_sum keeps
 * the path rule of the other calls (the service unless PEMU_KILLSWITCH=1);
 * subsets_with_sum always solves in-process. */
#include "pemu_subset.h"

#include <stdint.h>
#include <string.h>

#include <memory>
#include <new>
#include <vector>

#include "pemu_internal.h"
#include "pemu_values.h"
#include "pemu_watch.h"
#include "remote/subset_exchange.h"
#include "subset.h"

namespace {

using pemu::wide_int;

/* The one place a failed search becomes a Python exception: memory as
 * MemoryError, everything else as the ConnectionError of the other calls.
 * Always NULL. */
PyObject *raise_failure(const char *err_buf, bool memory)
{
    PyErr_SetString(memory || strstr(err_buf, "out of memory") != NULL
                        ? PyExc_MemoryError
                        : PyExc_ConnectionError,
                    err_buf);
    return NULL;
}

/* A total: any int, or an object with __index__. Beyond +-(2**64 - 1) no
 * subset reaches it, so such totals are held as +-2**64. */
bool read_total(PyObject *obj, wide_int *out)
{
    PyObject *index = PyNumber_Index(obj);
    if (index == NULL)
        return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        Py_DECREF(index);
        return false;
    }
    if (overflow == 0) {
        *out = v;
        Py_DECREF(index);
        return true;
    }
    PyObject *magnitude = PyNumber_Absolute(index);
    Py_DECREF(index);
    if (magnitude == NULL)
        return false;
    const unsigned long long m = PyLong_AsUnsignedLongLong(magnitude);
    Py_DECREF(magnitude);
    wide_int w = wide_int(m);
    if (m == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        w = wide_int(1) << 64;
    }
    *out = overflow > 0 ? w : -w;
    return true;
}

/* Values (signed, as magnitudes and flags) and a total, or false with an
 * exception set. */
bool read_problem(PyObject *values_obj, PyObject *total_obj, const char *what,
                  std::vector<uint64_t> &mag, std::vector<uint8_t> &neg,
                  wide_int *total)
{
    uint64_t sum = 0;
    return pemu_py::read_values(values_obj, what, mag, &neg, &sum) &&
           read_total(total_obj, total);
}

PyObject *index_list(const std::vector<size_t> &indices)
{
    PyObject *list = PyList_New((Py_ssize_t)indices.size());
    if (list == NULL)
        return NULL;
    for (size_t k = 0; k < indices.size(); k++) {
        PyObject *i = PyLong_FromSize_t(indices[k]);
        if (i == NULL) {
            Py_DECREF(list);
            return NULL;
        }
        PyList_SET_ITEM(list, (Py_ssize_t)k, i);
    }
    return list;
}

/* ---- the iterator of subsets_with_sum -------------------------------- */

struct subset_iterator {
    PyObject_HEAD
        /* Made in place by subsets_with_sum, destroyed by the dealloc. */
        std::unique_ptr<pemu::subset_enumerator>
            walk;
    Py_ssize_t left; /* answers still to give; -1 without a limit */
};

void iterator_dealloc(PyObject *self)
{
    subset_iterator *it = reinterpret_cast<subset_iterator *>(self);
    PyTypeObject *type = Py_TYPE(self);
    it->walk.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *iterator_next(PyObject *self)
{
    subset_iterator *it = reinterpret_cast<subset_iterator *>(self);
    if (it->left == 0 || !it->walk)
        return NULL;
    std::vector<size_t> indices;
    bool more;
    try {
        more = it->walk->next(indices);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    if (!more) {
        it->walk.reset(); /* the tables go as soon as the walk ends */
        return NULL;
    }
    if (it->left > 0 && --it->left == 0)
        it->walk.reset();
    return index_list(indices);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_dealloc, (void *)iterator_dealloc},
    {Py_tp_iter, (void *)PyObject_SelfIter},
    {Py_tp_iternext, (void *)iterator_next},
    {Py_tp_doc, (void *)"Iterator over the subsets of subsets_with_sum"},
    {0, NULL}};

PyType_Spec iterator_spec = {"pemux.SubsetIterator", sizeof(subset_iterator), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             iterator_slots};

/* Made at the first use and kept for the process, like the module. */
PyTypeObject *iterator_type(void)
{
    static PyObject *type = NULL;
    if (type == NULL)
        type = PyType_FromSpec(&iterator_spec);
    return reinterpret_cast<PyTypeObject *>(type);
}

} // namespace

const char pemu_subset_with_sum_doc[] =
    "subset_with_sum(values, total, /, *, progress=None)\n--\n\n"
    "Indices (ascending) of one subset of values that sums to total, or None\n"
    "when no subset does.\n\n"
    "values take the forms of complete_subset_sum (list, integer buffer,\n"
    "iterable) and may be negative; total is any int. The answer is summed\n"
    "before it is returned. Memory is about one result of complete_subset_sum\n"
    "for the values' magnitudes, time about one such solve. Solves in-process\n"
    "with PEMU_KILLSWITCH=1; otherwise on the solving service, over the client\n"
    "of complete_subset_sum (same configuration, retries, poll schedule and\n"
    "ConnectionError messages). A service's subset is checked before it is\n"
    "returned (indices ascending, distinct, in range, summing to total), else\n"
    "ConnectionError \"Result ...\"; its answer that no subset exists cannot\n"
    "be checked without solving again, and is taken as it comes. The\n"
    "interpreter lock is released meanwhile; progress, when given, is called\n"
    "with the fraction done (0.0 ... 1.0) at most 10 times a second (in-process\n"
    "only) and once with 1.0 at the end, on the calling thread. Ctrl-C on the\n"
    "main thread, or an exception from progress, ends the call with that\n"
    "exception. MemoryError when memory runs out.";

const char pemu_subsets_with_sum_doc[] =
    "subsets_with_sum(values, total, /, limit=None)\n--\n\n"
    "Iterator over every subset of values that sums to total, each once, as\n"
    "lists of ascending indices; at most limit of them when limit is given.\n\n"
    "Values and total as in subset_with_sum; always in-process. Tables are\n"
    "made at the call: for n values with magnitudes summing to S, and t the\n"
    "total plus the negatives' magnitudes, at most about\n"
    "n * (min(t, S - t) + 1) / 8 bytes. A problem whose tables would pass\n"
    "PEMU_MAX_MEMORY (bytes; default half the machine's memory) raises\n"
    "MemoryError before any of them is made. The interpreter lock is released\n"
    "while they are made, and Ctrl-C on the main thread ends that with\n"
    "KeyboardInterrupt. Between two answers the walk takes O(n) steps: no\n"
    "branch that cannot reach the total is explored.";

extern "C" PyObject *webinterface_subset_with_sum(PyObject *self,
                                                  PyObject *args,
                                                  PyObject *kwargs)
{
    (void)self;
    static const char *keywords[] = {"", "", "progress", NULL};
    PyObject *values_obj, *total_obj, *progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:subset_with_sum",
                                     (char **)keywords, &values_obj, &total_obj,
                                     &progress))
        return NULL;
    if (!pemu_py::progress_acceptable(progress))
        return NULL;
    std::vector<uint64_t> mag;
    std::vector<uint8_t> neg;
    wide_int total = 0;
    if (!read_problem(values_obj, total_obj, "subset_with_sum", mag, neg, &total))
        return NULL;
    const bool local = keep_local() != 0;

    pemu_py::caller_watch w = {progress != Py_None ? progress : NULL, false};
    const pemu_watch_t watch = pemu_py::library_watch(&w);
    std::vector<size_t> indices;
    bool found = false;
    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu_status_t status;
    Py_BEGIN_ALLOW_THREADS
    try {
        status = local ? pemu::subset_with_sum(mag.data(), neg.data(), mag.size(),
                                               total, indices, &found, err_buf,
                                               &watch)
                       : pemu::remote::fetch_subset(mag.data(), neg.data(),
                                                    mag.size(), total, indices,
                                                    &found, err_buf, &watch);
    } catch (const std::bad_alloc &) {
        status = pemu::fail("[Local failure] out of memory", err_buf);
    }
    Py_END_ALLOW_THREADS
    if (w.raised)
        return NULL; /* the handler's or the callable's exception */
    if (status != 0)
        return raise_failure(err_buf, false);
    /* The service tells nothing of how far it is: only the end. */
    if (!local && w.progress != NULL) {
        PyObject *r = PyObject_CallFunction(w.progress, "d", 1.0);
        if (r == NULL)
            return NULL;
        Py_DECREF(r);
    }
    if (!found)
        Py_RETURN_NONE;
    return index_list(indices);
}

extern "C" PyObject *webinterface_subsets_with_sum(PyObject *self,
                                                   PyObject *args,
                                                   PyObject *kwargs)
{
    (void)self;
    static const char *keywords[] = {"", "", "limit", NULL};
    PyObject *values_obj, *total_obj, *limit_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:subsets_with_sum",
                                     (char **)keywords, &values_obj, &total_obj,
                                     &limit_obj))
        return NULL;
    Py_ssize_t limit = -1;
    if (limit_obj != Py_None) {
        PyObject *index = PyNumber_Index(limit_obj);
        if (index == NULL)
            return NULL;
        limit = PyLong_AsSsize_t(index);
        Py_DECREF(index);
        if (limit == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                return NULL;
            PyErr_Clear(); /* more answers than any walk gives */
            limit = PY_SSIZE_T_MAX;
        } else if (limit < 0) {
            PyErr_SetString(PyExc_ValueError, "limit must be None or at least 0");
            return NULL;
        }
    }
    std::vector<uint64_t> mag;
    std::vector<uint8_t> neg;
    wide_int total = 0;
    if (!read_problem(values_obj, total_obj, "subsets_with_sum", mag, neg, &total))
        return NULL;
    PyTypeObject *type = iterator_type();
    if (type == NULL)
        return NULL;

    std::unique_ptr<pemu::subset_enumerator> walk;
    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu::subset_enumerator::made made;
    const uint64_t budget = pemu::max_memory_budget();
    /* Large tables take a while to make: Ctrl-C ends that too. */
    pemu_py::caller_watch w = {NULL, false};
    const pemu_watch_t watch = pemu_py::library_watch(&w);
    Py_BEGIN_ALLOW_THREADS
    made = pemu::subset_enumerator::create(mag.data(), neg.data(), mag.size(),
                                           total, budget, &walk, err_buf, &watch);
    Py_END_ALLOW_THREADS
    if (w.raised)
        return NULL; /* the signal handler's exception */
    if (made != pemu::subset_enumerator::made::ok)
        return raise_failure(err_buf, made == pemu::subset_enumerator::made::too_big);

    subset_iterator *it = PyObject_New(subset_iterator, type);
    if (it == NULL)
        return NULL;
    new (&it->walk) std::unique_ptr<pemu::subset_enumerator>(std::move(walk));
    it->left = limit;
    return reinterpret_cast<PyObject *>(it);
}
