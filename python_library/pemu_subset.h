/* The module's calls for which values make a total: subset_with_sum and
 * subsets_with_sum. Registered from the method table in pemutools.cpp. */
#ifndef PEMU_SUBSET_PY_H
#define PEMU_SUBSET_PY_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern "C" __attribute__((visibility("default"))) PyObject *
webinterface_subset_with_sum(PyObject *self, PyObject *args, PyObject *kwargs);
extern "C" __attribute__((visibility("default"))) PyObject *
webinterface_subsets_with_sum(PyObject *self, PyObject *args, PyObject *kwargs);

extern const char pemu_subset_with_sum_doc[];
extern const char pemu_subsets_with_sum_doc[];

/* Entries of the method table (follow it with a comma). */
#define PEMU_SUBSET_METHODS                                             \
    {"subset_with_sum",                                                 \
     (PyCFunction)(void (*)(void))webinterface_subset_with_sum,         \
     METH_VARARGS | METH_KEYWORDS, pemu_subset_with_sum_doc},           \
    {                                                                   \
        "subsets_with_sum",                                             \
            (PyCFunction)(void (*)(void))webinterface_subsets_with_sum, \
            METH_VARARGS | METH_KEYWORDS, pemu_subsets_with_sum_doc     \
    }

#endif /* PEMU_SUBSET_PY_H */
