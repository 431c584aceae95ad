/* Python binding of the solver library: the module `pemux`. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "hdr/pemu_lib.h"

/* Diagnostics go to the C-level standard output. Flush at once, so that
 * they keep their order with Python's own output when stdout is a pipe. */
#define PEMU_SAY(...)        \
    do {                     \
        printf(__VA_ARGS__); \
        fflush(stdout);      \
    } while (0)

static PyObject *parse_failure(int parse_result)
{
    PEMU_SAY("Error occured with parsing tuple %d\n", parse_result);
    /* Callers have always received None here; the parser's exception
     * would otherwise travel with it. */
    PyErr_Clear();
    Py_RETURN_NONE;
}

/* Converts a list of ints into a malloc'ed value array.
 *
 * Returns 0 with *c_input_array (owned by the caller, NULL when empty) and
 * *input_length set, or -1 with a Python exception set and nothing to free.
 * When total_sum is not NULL it receives the sum, which must fit 64 bits.
 * An object that is not a list is reported and converted as an empty list. */
static int _pull_input_list_from_py_obj(PyObject *inputList,
                                        uint64_t **c_input_array,
                                        size_t *input_length,
                                        uint64_t *total_sum)
{
    int is_list = PyList_Check(inputList);
    if (!is_list) {
        PEMU_SAY("Error occured with PyList_Check %d\n", is_list);
        return 0;
    }
    Py_ssize_t n = PyList_Size(inputList);
    uint64_t *values = NULL;
    if (n > 0) {
        values = (uint64_t *)malloc((size_t)n * sizeof(uint64_t));
        if (values == NULL) {
            PyErr_NoMemory();
            return -1;
        }
    }
    uint64_t total = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyList_GET_ITEM(inputList, i);
        if (!PyLong_Check(item)) {
            puts("Error occured with PyLong_Check");
            fflush(stdout);
            PyErr_Format(PyExc_TypeError,
                         "item %zd of the values is not an int but %.100s", i,
                         Py_TYPE(item)->tp_name);
            goto fail;
        }
        values[i] = PyLong_AsUnsignedLongLong(item);
        if (values[i] == (uint64_t)-1 && PyErr_Occurred()) {
            PyErr_Format(PyExc_OverflowError,
                         "item %zd of the values is outside 0 ... 2**64 - 1", i);
            goto fail;
        }
        if (total_sum != NULL &&
            __builtin_add_overflow(total, values[i], &total)) {
            puts("Error occured, overflow on input");
            fflush(stdout);
            PyErr_SetString(PyExc_OverflowError,
                            "the sum of the values exceeds 2**64 - 1");
            goto fail;
        }
    }
    *c_input_array = values;
    *input_length = (size_t)n;
    if (total_sum != NULL)
        *total_sum = total;
    return 0;

fail:
    free(values);
    return -1;
}

/* Large item arrays are written once, front to back: huge pages cut the
 * cost of first touch. Only advice; the memory is the list's. */
static void advise_huge_pages(void *start, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    const uintptr_t huge = (uintptr_t)2 << 20;
    if (bytes < 4 * huge)
        return;
    uintptr_t lo = ((uintptr_t)start + huge - 1) & ~(huge - 1);
    uintptr_t hi = ((uintptr_t)start + bytes) & ~(huge - 1);
    if (hi > lo)
        madvise((void *)lo, hi - lo, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

/* Builds a result list from result_buffer (which it frees in every case).
 * Nearly every word of a large result is 0, all ones, or a single bit:
 * such items share one int object each instead of allocating millions of
 * equal ints. */
static PyObject *_generate_result_list_from_c_buf(uint64_t *result_buffer,
                                                  size_t result_buffer_size)
{
    PyObject *list = NULL, *zero = NULL, *ones = NULL;
    PyObject *single_bit[64] = {NULL};
    if (result_buffer_size > (size_t)PY_SSIZE_T_MAX / sizeof(PyObject *)) {
        PyErr_NoMemory();
        goto done;
    }
    list = PyList_New((Py_ssize_t)result_buffer_size);
    zero = PyLong_FromUnsignedLongLong(0);
    ones = PyLong_FromUnsignedLongLong(UINT64_MAX);
    if (list == NULL || zero == NULL || ones == NULL) {
        Py_CLEAR(list);
        goto done;
    }
    advise_huge_pages(((PyListObject *)list)->ob_item,
                      result_buffer_size * sizeof(PyObject *));
    for (size_t i = 0; i < result_buffer_size; i++) {
        uint64_t w = result_buffer[i];
        PyObject *item;
        if (w == 0) {
            item = Py_NewRef(zero);
        } else if (w == UINT64_MAX) {
            item = Py_NewRef(ones);
        } else if ((w & (w - 1)) == 0) {
            PyObject **slot = &single_bit[__builtin_ctzll(w)];
            if (*slot == NULL && (*slot = PyLong_FromUnsignedLongLong(w)) == NULL) {
                Py_CLEAR(list);
                goto done;
            }
            item = Py_NewRef(*slot);
        } else if ((item = PyLong_FromUnsignedLongLong(w)) == NULL) {
            Py_CLEAR(list); /* unset items are NULL, which the list skips */
            goto done;
        }
        PyList_SET_ITEM(list, (Py_ssize_t)i, item);
    }
done:
    Py_XDECREF(zero);
    Py_XDECREF(ones);
    for (int b = 0; b < 64; b++)
        Py_XDECREF(single_bit[b]);
    free(result_buffer);
    return list;
}

static PyObject *webinterface_complete_subset_sum(PyObject *self,
                                                  PyObject *args)
{
    (void)self;
    PyObject *inputList;
    int parsed = PyArg_ParseTuple(args, "O", &inputList);
    if (!parsed)
        return parse_failure(parsed);

    uint64_t *c_input_array = NULL;
    size_t input_length = 0;
    uint64_t total_sum = 0;
    if (_pull_input_list_from_py_obj(inputList, &c_input_array, &input_length,
                                     &total_sum) != 0)
        return NULL;

    /* Zero-filled: words the library leaves unwritten must not carry stale
     * memory into Python. A total near 2**64 asks for 2**58 words. */
    size_t result_buffer_size = (size_t)(total_sum / 64) + 1;
    uint64_t *result_buffer =
        (uint64_t *)calloc(result_buffer_size, sizeof(uint64_t));
    if (result_buffer == NULL) {
        free(c_input_array);
        return PyErr_NoMemory();
    }

    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu_status_t c_result =
        fetch_complete_subset_sum(c_input_array, input_length, result_buffer,
                                  &result_buffer_size, err_buf);
    free(c_input_array);
    if (c_result != 0) {
        PEMU_SAY("Error occured %s\n", err_buf);
        free(result_buffer);
        PyErr_SetString(PyExc_ConnectionError, err_buf);
        return NULL;
    }
    return _generate_result_list_from_c_buf(result_buffer, result_buffer_size);
}

/* The result as bytes: the library writes straight into the bytes object,
 * and the interpreter lock is released meanwhile. */
static PyObject *webinterface_complete_subset_sum_bytes(PyObject *self,
                                                        PyObject *args)
{
    (void)self;
    PyObject *inputList;
    int parsed = PyArg_ParseTuple(args, "O", &inputList);
    if (!parsed)
        return parse_failure(parsed);

    uint64_t *c_input_array = NULL;
    size_t input_length = 0;
    uint64_t total_sum = 0;
    if (_pull_input_list_from_py_obj(inputList, &c_input_array, &input_length,
                                     &total_sum) != 0)
        return NULL;

    size_t words = (size_t)(total_sum / 64) + 1;
    PyObject *out = NULL;
    if (words <= (size_t)PY_SSIZE_T_MAX / 8)
        out = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)(words * 8));
    if (out == NULL) {
        free(c_input_array);
        return PyErr_Occurred() ? NULL : PyErr_NoMemory();
    }
    uint64_t *result = (uint64_t *)PyBytes_AS_STRING(out);
    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu_status_t c_result;
    Py_BEGIN_ALLOW_THREADS
    memset(result, 0, words * 8);
    c_result = fetch_complete_subset_sum_cancellable(
        c_input_array, input_length, result, &words, err_buf, NULL, NULL);
    Py_END_ALLOW_THREADS
    free(c_input_array);
    if (c_result != 0) {
        PEMU_SAY("Error occured %s\n", err_buf);
        Py_DECREF(out);
        PyErr_SetString(PyExc_ConnectionError, err_buf);
        return NULL;
    }
    return out;
}

/* Taking the interpreter lock after finalization crashes, and a worker
 * descheduled between a finalization check and the lock can sleep through
 * all of it. So a callback counts itself in callbacks_entering before it
 * looks at python_closed; the exit hook, which runs before finalization
 * proper, sets python_closed and lets those already past the check take the
 * lock. Later ones leave Python alone; their callables die with it. */
static int callbacks_entering = 0;
static int python_closed = 0;

static PyObject *_async_exit_hook(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    __atomic_store_n(&python_closed, 1, __ATOMIC_SEQ_CST);
    Py_BEGIN_ALLOW_THREADS
    /* exit() tears down the TLS library: no transfer may still run then.
     * Bounded, like the wait below: a thread that never runs must not hold
     * up the exit. */
    pemu_shutdown(5000);
    for (int i = 0; i < 5000 &&
                    __atomic_load_n(&callbacks_entering, __ATOMIC_SEQ_CST) != 0;
         i++)
        usleep(1000);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

/* Runs on a worker thread, without the interpreter lock, exactly once per
 * request. Owns output_binary and err_str. */
static void _async_callback(pemu_status_t result, uint64_t *output_binary,
                            size_t output_binary_size, void *pyCallbackFunction,
                            char *err_str)
{
    __atomic_add_fetch(&callbacks_entering, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&python_closed, __ATOMIC_SEQ_CST) ||
        !Py_IsInitialized() || _Py_IsFinalizing()) {
        __atomic_sub_fetch(&callbacks_entering, 1, __ATOMIC_SEQ_CST);
        free(output_binary);
        free(err_str);
        return;
    }
    PyGILState_STATE gstate = PyGILState_Ensure();
    __atomic_sub_fetch(&callbacks_entering, 1, __ATOMIC_SEQ_CST);
    PyObject *callable = (PyObject *)pyCallbackFunction;

    if (PyCallable_Check(callable) != 1) {
        PEMU_SAY("_async_callback called with uncallable callback");
        exit(-1);
    }

    PyObject *resultList;
    if (result != 0) {
        free(err_str);
        free(output_binary);
        resultList = Py_NewRef(Py_None);
    } else {
        resultList =
            _generate_result_list_from_c_buf(output_binary, output_binary_size);
        if (resultList == NULL) {
            /* Out of memory for the list: report failure, not a half list. */
            PyErr_Clear();
            resultList = Py_NewRef(Py_None);
        }
    }

    PyObject *ret = PyObject_CallFunction(callable, "(O)", resultList);
    if (ret == NULL)
        PyErr_Clear(); /* the callable's own failure has no one to go to */
    Py_XDECREF(ret);
    Py_DECREF(resultList);
    Py_DECREF(callable);
    PyGILState_Release(gstate);
}

static PyObject *webinterface_complete_subset_sum_async(PyObject *self,
                                                        PyObject *args)
{
    (void)self;
    PyObject *inputList, *callbackFunction;
    int parsed = PyArg_ParseTuple(args, "OO", &inputList, &callbackFunction);
    if (!parsed)
        return parse_failure(parsed);

    if (!PyCallable_Check(callbackFunction)) {
        PyErr_Format(PyExc_TypeError, "the callback must be callable, not %.100s",
                     Py_TYPE(callbackFunction)->tp_name);
        return NULL;
    }

    uint64_t *c_input_array = NULL;
    size_t input_length = 0;
    uint64_t total_sum = 0;
    if (_pull_input_list_from_py_obj(inputList, &c_input_array, &input_length,
                                     &total_sum) != 0)
        return NULL;

    /* Released by _async_callback, which runs exactly once. */
    Py_INCREF(callbackFunction);
    /* The library takes the value array over. */
    fetch_complete_subset_sum_async(c_input_array, input_length,
                                    _async_callback, callbackFunction);
    Py_RETURN_NONE;
}

static PyObject *webinterface_subset_sum_result_check(PyObject *self,
                                                      PyObject *args)
{
    (void)self;
    PyObject *inputList;
    unsigned long long index;
    int parsed = PyArg_ParseTuple(args, "OK", &inputList, &index);
    if (!parsed)
        return parse_failure(parsed);

    uint64_t *c_input_array = NULL;
    size_t input_length = 0;
    if (_pull_input_list_from_py_obj(inputList, &c_input_array, &input_length,
                                     NULL) != 0)
        return NULL;

    unsigned long long check_entry = index / 64;
    unsigned long long check_offset = index % 64;
    if (check_entry >= input_length) {
        PEMU_SAY("Error occured in result check, entry %llu is out of bounds "
                 "of input of length %llu",
                 check_entry, (unsigned long long)input_length);
        free(c_input_array);
        Py_RETURN_NONE;
    }
    int is_present = (c_input_array[check_entry] >> check_offset) & 1u;
    free(c_input_array);
    return PyBool_FromLong(is_present);
}

static PyMethodDef PEMUXMethods[] = {
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "Run complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async,
     METH_VARARGS, "Run complete subset sum"},
    {"complete_subset_sum_bytes", webinterface_complete_subset_sum_bytes,
     METH_VARARGS, "Run complete subset sum, result as bytes"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check,
     METH_VARARGS, "Check for a specific int in the results of subset sum"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef pemux = {
    PyModuleDef_HEAD_INIT, "pemux", NULL, -1, PEMUXMethods,
    NULL, NULL, NULL, NULL};

static PyMethodDef exit_hook_def = {"_pemux_exit_hook", _async_exit_hook,
                                    METH_NOARGS, NULL};

PyMODINIT_FUNC PyInit_pemux(void)
{
    PyObject *module = PyModule_Create2(&pemux, 1013);
    if (module == NULL)
        return NULL;
    if (PyModule_AddStringConstant(module, "__version__", PEMU_VERSION) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    /* Registered at import, so that it runs after every exit handler that
     * the program registers later: those may still wait for results. */
    PyObject *atexit_mod = PyImport_ImportModule("atexit");
    PyObject *hook = atexit_mod ? PyCFunction_New(&exit_hook_def, NULL) : NULL;
    PyObject *done =
        hook ? PyObject_CallMethod(atexit_mod, "register", "O", hook) : NULL;
    Py_XDECREF(hook);
    Py_XDECREF(atexit_mod);
    if (done == NULL) {
        Py_DECREF(module);
        return NULL;
    }
    Py_DECREF(done);
    return module;
}
