/* Python binding of the solver library: the module `pemux`. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "hdr/pemu_lib.h"
#include "pemu_plumbing.h"
#include "pemu_subset.h"
#include "pemu_values.h"
#include "pemu_watch.h"

/* The binding's face to the dynamic linker: PyInit_pemux and the method
 * functions. Everything else here stays file-local. */
#define PEMU_METHOD extern "C" __attribute__((visibility("default"))) PyObject *

static PyObject *parse_failure(int parse_result)
{
    pemu::say("Error occured with parsing tuple %d\n", parse_result);
    /* Callers have always received None here; the parser's exception
     * would otherwise travel with it. */
    PyErr_Clear();
    Py_RETURN_NONE;
}

/* Ints are immutable, so equal result words may share one int object.
 * Nearly every word of a large result is 0, all ones, or has few bits: each
 * word with at most two bits (three in large results) gets one object, and
 * other words go through a small direct-mapped cache keyed by their value,
 * which catches the words that recur. The tables are file-level, used only
 * with the interpreter lock held and never re-entered (no Python code runs
 * while a list is filled); every use leaves them clean, so results that
 * need none pay nothing for them.
 *
 * While a list is filled, the references it takes to a shared object are
 * only counted, and added to the object's count once at the end: millions
 * of increments of one count are a chain of dependent writes. Nothing can
 * look at the counts in between: no Python code runs, and ints are not
 * tracked by the garbage collector, so making them starts no collection. */
enum {
    WORD_CACHE_SLOTS = 1 << 11,
    FEW_BIT_SLOTS = 65 * 64,
    THREE_BIT_WORDS = 64 * 63 * 62 / 6
};
/* Below this many words a result is cheap anyway; and the table of
 * three-bit words (650 KiB) pays only in large results. */
static const size_t SHARE_MORE_FROM = 256;
static const size_t SHARE_THREE_BITS_FROM = (size_t)1 << 18;
/* word_int reaches the three-bit table only for words of three or more
 * bits, which holds while the few-bit table is on whenever it is. */
static_assert(SHARE_MORE_FROM <= SHARE_THREE_BITS_FROM, "table order");

struct shared_int {
    PyObject *obj;   /* one reference of the table's own, or NULL */
    Py_ssize_t uses; /* references handed out, not yet counted */
};

struct more_word_ints {
    /* Words of one or two bits at [high * 64 + low], high = 64 for a single
     * bit: found without a branch on which kind, in sparse mixes of both. */
    struct shared_int few_bits[FEW_BIT_SLOTS];
    /* Borrowed from the list being filled, which holds them throughout:
     * an evicted object is then left alone (it is rarely still cached). */
    uint64_t key[WORD_CACHE_SLOTS];
    PyObject *cached[WORD_CACHE_SLOTS];
};

static struct more_word_ints large_result_tables;
/* Words of three bits, in the combinatorial order of their positions. */
static struct shared_int three_bit_words[THREE_BIT_WORDS];
/* The slots of both tables that hold an object: only those need settling. */
static uint16_t filled_slots[FEW_BIT_SLOTS + THREE_BIT_WORDS];
static_assert(FEW_BIT_SLOTS + THREE_BIT_WORDS <= 65536, "slot numbers");

struct word_ints {
    struct shared_int zero, ones, one_bit[64];
    size_t words;                /* in the result */
    struct more_word_ints *more; /* the tables above once in use, or NULL */
    struct shared_int *three_bits;
    size_t filled; /* entries of filled_slots */
};

/* Counts the handed-out references and drops the table's own. */
static void settle(struct shared_int *s)
{
    if (s->obj == NULL)
        return;
    Py_SET_REFCNT(s->obj, Py_REFCNT(s->obj) + s->uses);
#ifdef Py_REF_DEBUG
    _Py_RefTotal += s->uses;
#endif
    s->uses = 0;
    Py_CLEAR(s->obj);
}

static void settle_word_ints(struct word_ints *t)
{
    settle(&t->zero);
    settle(&t->ones);
    for (int b = 0; b < 64; b++)
        settle(&t->one_bit[b]);
    for (size_t i = 0; i < t->filled; i++) {
        size_t slot = filled_slots[i];
        settle(slot < FEW_BIT_SLOTS
                   ? &large_result_tables.few_bits[slot]
                   : &three_bit_words[slot - FEW_BIT_SLOTS]);
    }
    t->filled = 0;
    t->more = NULL;
    t->three_bits = NULL;
}

/* As use_shared, for slot `slot` of the file-level tables. */
static PyObject *use_table_slot(struct word_ints *t, struct shared_int *s,
                                size_t slot, uint64_t w)
{
    if (s->obj == NULL) {
        if ((s->obj = PyLong_FromUnsignedLongLong(w)) == NULL)
            return NULL;
        filled_slots[t->filled++] = (uint16_t)slot;
    }
    s->uses++;
    return s->obj;
}

/* The tables for large results, or NULL for a small one. */
static struct more_word_ints *more_tables(struct word_ints *t)
{
    if (t->more == NULL && t->words >= SHARE_MORE_FROM) {
        t->more = &large_result_tables;
        /* What the cache held last time may be gone; keys without an
         * object are never looked at. */
        memset(t->more->cached, 0, sizeof t->more->cached);
    }
    return t->more;
}

static struct shared_int *three_bit_table(struct word_ints *t)
{
    if (t->three_bits == NULL && t->words >= SHARE_THREE_BITS_FROM)
        t->three_bits = three_bit_words;
    return t->three_bits;
}

static PyObject *use_shared(struct shared_int *s, uint64_t w)
{
    if (s->obj == NULL && (s->obj = PyLong_FromUnsignedLongLong(w)) == NULL)
        return NULL;
    s->uses++;
    return s->obj;
}

/* An int equal to w for one list item (a counted use of a shared object or
 * a new reference), or NULL with an exception set. Words of one or two bits
 * in large results take the few_bits table before they come here. */
static PyObject *word_int(struct word_ints *t, uint64_t w)
{
    if (w == 0)
        return use_shared(&t->zero, w);
    if (w == UINT64_MAX)
        return use_shared(&t->ones, w);
    uint64_t rest = w & (w - 1), rest2 = rest & (rest - 1);
    if (rest == 0)
        return use_shared(&t->one_bit[__builtin_ctzll(w)], w);
    struct shared_int *three = NULL;
    if ((rest2 & (rest2 - 1)) == 0 && (three = three_bit_table(t)) != NULL) {
        unsigned a = (unsigned)__builtin_ctzll(w);
        unsigned b = (unsigned)__builtin_ctzll(rest);
        unsigned c = (unsigned)__builtin_ctzll(rest2);
        size_t slot = c * (c - 1) * (c - 2) / 6 + b * (b - 1) / 2 + a;
        return use_table_slot(t, &three[slot], FEW_BIT_SLOTS + slot, w);
    }
    struct more_word_ints *m = more_tables(t);
    if (m == NULL)
        return PyLong_FromUnsignedLongLong(w);
    size_t h = (size_t)((w * 0x9E3779B97F4A7C15u) >> 53);
    static_assert(WORD_CACHE_SLOTS == (size_t)1 << (64 - 53), "hash width");
    if (m->cached[h] != NULL && m->key[h] == w)
        return Py_NewRef(m->cached[h]);
    PyObject *fresh = PyLong_FromUnsignedLongLong(w);
    if (fresh != NULL) {
        m->cached[h] = fresh;
        m->key[h] = w;
    }
    return fresh;
}

/* Builds a result list from result_buffer (which it frees in every case). */
static PyObject *_generate_result_list_from_c_buf(uint64_t *result_buffer,
                                                  size_t result_buffer_size)
{
    PyObject *list = NULL;
    struct word_ints shared;
    memset(&shared, 0, sizeof shared);
    shared.words = result_buffer_size;
    if (result_buffer_size > (size_t)PY_SSIZE_T_MAX / sizeof(PyObject *)) {
        PyErr_NoMemory();
        goto done;
    }
    list = PyList_New((Py_ssize_t)result_buffer_size);
    if (list == NULL)
        goto done;
    {
        pemu::advise_huge_pages(((PyListObject *)list)->ob_item,
                                result_buffer_size * sizeof(PyObject *));
        /* The commonest words, 0 and all ones, are counted in registers
         * once their object exists (its first use is counted with it). */
        PyObject *zero = NULL, *ones = NULL;
        Py_ssize_t zeros = 0, all_ones = 0;
        struct more_word_ints *m = NULL;
        for (size_t i = 0; i < result_buffer_size; i++) {
            uint64_t w = result_buffer[i];
            uint64_t rest = w & (w - 1);
            PyObject *item;
            if (w == 0 && zero != NULL) {
                item = zero;
                zeros++;
            } else if (w == UINT64_MAX && ones != NULL) {
                item = ones;
                all_ones++;
            } else if (w != 0 && (rest & (rest - 1)) == 0 &&
                       (m != NULL || (m = more_tables(&shared)) != NULL)) {
                unsigned high = rest ? (unsigned)__builtin_ctzll(rest) : 64u;
                size_t slot = high * 64 + (unsigned)__builtin_ctzll(w);
                item = use_table_slot(&shared, &m->few_bits[slot], slot, w);
            } else {
                item = word_int(&shared, w);
                zero = shared.zero.obj;
                ones = shared.ones.obj;
            }
            if (item == NULL) {
                /* Counts settled first: unset items are NULL, which the
                 * list skips. */
                shared.zero.uses += zeros;
                shared.ones.uses += all_ones;
                settle_word_ints(&shared);
                Py_CLEAR(list);
                goto done;
            }
            PyList_SET_ITEM(list, (Py_ssize_t)i, item);
        }
        shared.zero.uses += zeros;
        shared.ones.uses += all_ones;
    }
done:
    settle_word_ints(&shared);
    free(result_buffer);
    return list;
}

/* The values of a solve and the size of its result: true with values and
 * *words set, or false with an exception set. */
static bool take_values(PyObject *obj, const char *what,
                        std::vector<uint64_t> &values, size_t *words)
{
    uint64_t total_sum = 0;
    if (!pemu_py::read_values(obj, what, values, nullptr, &total_sum))
        return false;
    *words = pemu::words_for_total(total_sum);
    return true;
}

/* The one argument of a solve, taken as above: true, or false with *failure
 * what the caller returns (None for arguments that did not parse, as callers
 * have always received, or NULL with an exception set). */
static bool take_argument(PyObject *args, const char *what,
                          std::vector<uint64_t> &values, size_t *words,
                          PyObject **failure)
{
    *failure = NULL;
    PyObject *obj;
    int parsed = PyArg_ParseTuple(args, "O", &obj);
    if (!parsed) {
        *failure = parse_failure(parsed);
        return false;
    }
    return take_values(obj, what, values, words);
}

PEMU_METHOD webinterface_complete_subset_sum(PyObject *self, PyObject *args)
{
    (void)self;
    std::vector<uint64_t> values;
    size_t result_buffer_size = 0;
    PyObject *failure;
    if (!take_argument(args, "complete_subset_sum", values,
                       &result_buffer_size, &failure))
        return failure;

    /* A success writes every word (see the bytes form); calloc costs
     * nothing more for the large blocks that come fresh from the system.
     * A total near 2**64 asks for 2**58 words. */
    uint64_t *result_buffer =
        (uint64_t *)calloc(result_buffer_size, sizeof(uint64_t));
    if (result_buffer == NULL)
        return PyErr_NoMemory();

    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu_status_t c_result =
        fetch_complete_subset_sum(values.data(), values.size(), result_buffer,
                                  &result_buffer_size, err_buf);
    if (c_result != 0) {
        pemu::say("Error occured %s\n", err_buf);
        free(result_buffer);
        PyErr_SetString(PyExc_ConnectionError, err_buf);
        return NULL;
    }
    return _generate_result_list_from_c_buf(result_buffer, result_buffer_size);
}

/* The words live in the bytes object's own storage, which must suit them. */
static_assert(offsetof(PyBytesObject, ob_sval) % alignof(uint64_t) == 0,
              "bytes storage is not word-aligned");

/* The only keyword of the bytes form: progress, a callable or None. False
 * with an exception set for any other. */
static bool progress_keyword(PyObject *kwargs, PyObject **progress)
{
    *progress = NULL;
    if (kwargs == NULL)
        return true;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) ||
            PyUnicode_CompareWithASCIIString(key, "progress") != 0) {
            PyErr_Format(PyExc_TypeError,
                         "complete_subset_sum_bytes() got an unexpected "
                         "keyword argument '%S'",
                         key);
            return false;
        }
        if (!pemu_py::progress_acceptable(value))
            return false;
        *progress = value != Py_None ? value : NULL;
    }
    return true;
}

/* The result as bytes: the library writes straight into the bytes object
 * while the interpreter lock is released, so other threads run. */
PEMU_METHOD webinterface_complete_subset_sum_bytes(PyObject *self,
                                                   PyObject *args,
                                                   PyObject *kwargs)
{
    (void)self;
    PyObject *progress;
    if (!progress_keyword(kwargs, &progress))
        return NULL;
    std::vector<uint64_t> values;
    size_t words = 0;
    PyObject *failure;
    if (!take_argument(args, "complete_subset_sum_bytes", values, &words,
                       &failure))
        return failure;

    PyObject *out = NULL;
    if (words <= (size_t)PY_SSIZE_T_MAX / 8)
        out = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)(words * 8));
    if (out == NULL)
        return PyErr_Occurred() ? NULL : PyErr_NoMemory();
    uint64_t *result = (uint64_t *)PyBytes_AS_STRING(out);

    char err_buf[PEMU_ERR_BUF_SIZE] = {0};
    pemu_py::caller_watch watch = {progress, false};
    pemu_status_t c_result;
    Py_BEGIN_ALLOW_THREADS
    /* Not cleared first: a success writes every word of an exactly sized
     * buffer (the local solver by contract; a remote result only passes its
     * checks once its top bit, in the last word, was decoded, and decoding
     * clears every word up to the last it writes). Clearing would fault the
     * pages in before the huge-page advice could take effect. (The local
     * solver advises its buffer itself; this is for the remote path.) */
    pemu::advise_huge_pages(result, words * 8);
    c_result = fetch_complete_subset_sum_watched(
        values.data(), values.size(), result, &words, err_buf,
        pemu_py::stop_on_signal, &watch,
        progress != NULL ? pemu_py::tell_progress : NULL, &watch);
    Py_END_ALLOW_THREADS
    if (watch.raised) {
        /* The signal handler's or the callable's exception, whatever the
         * library answered. */
        Py_DECREF(out);
        return NULL;
    }
    if (c_result != 0) {
        pemu::say("Error occured %s\n", err_buf);
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
        !Py_IsInitialized() || pemu_py::python_gone()) {
        __atomic_sub_fetch(&callbacks_entering, 1, __ATOMIC_SEQ_CST);
        free(output_binary);
        free(err_str);
        return;
    }
    PyGILState_STATE gstate = PyGILState_Ensure();
    __atomic_sub_fetch(&callbacks_entering, 1, __ATOMIC_SEQ_CST);
    PyObject *callable = (PyObject *)pyCallbackFunction;

    if (PyCallable_Check(callable) != 1) {
        /* Lost its callability since the call. A library never ends its
         * host process: report it and drop the result. */
        pemu::say("_async_callback called with uncallable callback");
        free(err_str);
        free(output_binary);
        Py_DECREF(callable);
        PyGILState_Release(gstate);
        return;
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

PEMU_METHOD webinterface_complete_subset_sum_async(PyObject *self,
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

    std::vector<uint64_t> values;
    size_t words = 0;
    if (!take_values(inputList, "complete_subset_sum_async", values, &words))
        return NULL;
    /* The worker takes over a malloc'ed copy. */
    const size_t input_length = values.size();
    uint64_t *c_input_array = NULL;
    if (input_length > 0) {
        c_input_array = (uint64_t *)malloc(input_length * sizeof(uint64_t));
        if (c_input_array == NULL)
            return PyErr_NoMemory();
        memcpy(c_input_array, values.data(), input_length * sizeof(uint64_t));
    }

    /* Released by _async_callback, which runs exactly once once the
     * worker runs; the library then owns the value array. */
    Py_INCREF(callbackFunction);
    if (fetch_complete_subset_sum_async_start(c_input_array, input_length,
                                              _async_callback,
                                              callbackFunction) != 0) {
        /* As threading does: refuse at the call rather than run the
         * callable on this thread, which may hold a lock it takes. */
        Py_DECREF(callbackFunction);
        free(c_input_array);
        PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
        return NULL;
    }
    Py_RETURN_NONE;
}

/* Reads an index as the check has always read it: any int that fits 64 bits,
 * a negative one as its two's complement (-1 is 2**64 - 1, beyond any
 * result). 0 when the int fits neither way; no exception is left set. */
static int index_from_int(PyObject *obj, unsigned long long *index)
{
    *index = PyLong_AsUnsignedLongLong(obj);
    if (!PyErr_Occurred())
        return 1;
    PyErr_Clear();
    long long signed_index = PyLong_AsLongLong(obj);
    if (!PyErr_Occurred()) {
        *index = (unsigned long long)signed_index;
        return 1;
    }
    PyErr_Clear();
    return 0;
}

/* An index beyond 64 bits lies out of bounds of every result; its word is
 * named exactly. Returns None, or NULL with an exception set. */
static PyObject *out_of_bounds_beyond_64_bits(PyObject *index,
                                              size_t input_length)
{
    PyObject *exact = PyNumber_Index(index); /* a plain int, no subclass */
    PyObject *six = PyLong_FromLong(6);
    PyObject *entry = exact && six ? PyNumber_Rshift(exact, six) : NULL;
    PyObject *text = entry ? PyObject_Str(entry) : NULL;
    if (text == NULL && entry != NULL) {
        /* Too many decimal digits to print: hex has no such limit. */
        PyErr_Clear();
        text = PyNumber_ToBase(entry, 16);
    }
    const char *digits = text ? PyUnicode_AsUTF8(text) : NULL;
    if (digits != NULL)
        pemu::say("Error occured in result check, entry %s is out of bounds "
                  "of input of length %llu",
                  digits, (unsigned long long)input_length);
    Py_XDECREF(exact);
    Py_XDECREF(six);
    Py_XDECREF(entry);
    Py_XDECREF(text);
    if (digits == NULL)
        return NULL;
    Py_RETURN_NONE;
}

/* A result as the check and reachable_sums take it: a list of words, or a
 * buffer of bytes or of 64-bit words (the bytes form, a NumPy uint64 array,
 * a memoryview), read a word at a time where it lies. */
struct result_words {
    PyObject *list = NULL; /* borrowed from the caller's arguments */
    Py_buffer view;
    bool held = false;
    const char *base = NULL;
    Py_ssize_t stride = 0; /* between items */
    bool bytes = false;    /* items of one byte, else of one word */
    bool swap = false;     /* words in the other byte order */
    size_t count = 0;      /* words */

    result_words() = default;
    result_words(const result_words &) = delete;
    result_words &operator=(const result_words &) = delete;
    ~result_words()
    {
        if (held)
            PyBuffer_Release(&view);
    }

    /* False with an exception set when obj is no result. */
    bool open(PyObject *obj, const char *what)
    {
        if (PyList_Check(obj)) {
            list = obj;
            count = (size_t)PyList_GET_SIZE(obj);
            return true;
        }
        if (!PyObject_CheckBuffer(obj)) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes a result as a list of words, bytes or a "
                         "buffer of 64-bit words, not %.100s",
                         what, Py_TYPE(obj)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0)
            return false;
        held = true;
        const char *f = view.format ? view.format : "B";
        const bool native_big = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
        bool big = native_big;
        if (*f == '<' || *f == '>' || *f == '!' || *f == '=' || *f == '@') {
            if (*f == '<')
                big = false;
            else if (*f == '>' || *f == '!')
                big = true;
            f++;
        }
        const bool integer = f[0] != '\0' && f[1] == '\0' &&
                             strchr("bBhHiIlLqQnNc", f[0]) != NULL;
        if (!integer || view.ndim != 1 ||
            (view.itemsize != 1 && view.itemsize != 8)) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes a buffer of bytes or of 64-bit words, not "
                         "of %zd-dimensional items of format '%.20s' and %zd "
                         "bytes",
                         what, (Py_ssize_t)view.ndim,
                         view.format ? view.format : "B", view.itemsize);
            return false;
        }
        base = (const char *)view.buf;
        stride = view.strides ? view.strides[0] : view.itemsize;
        bytes = view.itemsize == 1;
        swap = !bytes && big != native_big;
        Py_ssize_t n = view.shape[0];
        if (bytes && n % 8 != 0) {
            PyErr_Format(PyExc_ValueError,
                         "a result as bytes holds whole 64-bit words, "
                         "so its length is a multiple of 8, not %zd",
                         n);
            return false;
        }
        count = bytes ? (size_t)n / 8 : (size_t)n;
        return true;
    }

    /* Word i < count; false with an exception set when its item is no
     * word. */
    bool word(size_t i, uint64_t *w)
    {
        if (list != NULL) {
            if ((Py_ssize_t)i >= PyList_GET_SIZE(list)) {
                PyErr_SetString(PyExc_RuntimeError,
                                "the result list changed size while it was read");
                return false;
            }
            PyObject *item = PyList_GET_ITEM(list, (Py_ssize_t)i);
            bool negative;
            Py_INCREF(item); /* an __index__ may drop the list's */
            bool ok = pemu_py::read_value(item, (Py_ssize_t)i, false, w, &negative);
            Py_DECREF(item);
            return ok;
        }
        if (bytes) {
            uint64_t v = 0;
            const char *p = base + (Py_ssize_t)(i * 8) * stride;
            for (int k = 7; k >= 0; k--)
                v = v << 8 | (unsigned char)p[k * stride];
            *w = v;
            return true;
        }
        uint64_t v;
        memcpy(&v, base + (Py_ssize_t)i * stride, 8);
        *w = swap ? __builtin_bswap64(v) : v;
        return true;
    }

    /* Bit `index` of a result whose word index / 64 exists. -1 with an
     * exception set. */
    int bit(unsigned long long index)
    {
        if (bytes)
            return ((unsigned char)base[(Py_ssize_t)(index / 8) * stride] >>
                    (index % 8)) &
                   1;
        uint64_t w;
        if (!word((size_t)(index / 64), &w))
            return -1;
        return (int)((w >> (index % 64)) & 1u);
    }
};

PEMU_METHOD webinterface_subset_sum_result_check(PyObject *self,
                                                 PyObject *args)
{
    (void)self;
    PyObject *inputList, *index_obj;
    int parsed = PyArg_ParseTuple(args, "OO", &inputList, &index_obj);
    if (parsed && !PyLong_Check(index_obj))
        parsed = 0; /* a non-int index never parsed */
    if (!parsed)
        return parse_failure(parsed);

    /* Only the word that the index selects is read, so a check costs the
     * same at any size. */
    result_words result;
    if (!result.open(inputList, "subset_sum_result_check"))
        return NULL;
    const size_t input_length = result.count;

    unsigned long long index;
    if (!index_from_int(index_obj, &index))
        return out_of_bounds_beyond_64_bits(index_obj, input_length);
    unsigned long long check_entry = index / 64;
    if (check_entry >= input_length) {
        pemu::say("Error occured in result check, entry %llu is out of bounds "
                  "of input of length %llu",
                  check_entry, (unsigned long long)input_length);
        Py_RETURN_NONE;
    }
    int is_present = result.bit(index);
    if (is_present < 0)
        return NULL;
    return PyBool_FromLong(is_present);
}

/* A bound of reachable_sums, clamped to 0 ... limit: the totals are never
 * negative, and none lies beyond the result. */
static bool sum_bound(PyObject *obj, uint64_t limit, uint64_t *out)
{
    PyObject *index = PyNumber_Index(obj);
    if (index == NULL)
        return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow != 0)
        *out = overflow > 0 ? limit : 0;
    else
        *out = v < 0 ? 0 : std::min((uint64_t)v, limit);
    return true;
}

PEMU_METHOD webinterface_reachable_sums(PyObject *self, PyObject *args,
                                        PyObject *kwargs)
{
    (void)self;
    static const char *keywords[] = {"", "start", "stop", NULL};
    PyObject *obj, *start_obj = NULL, *stop_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:reachable_sums",
                                     (char **)keywords, &obj, &start_obj,
                                     &stop_obj))
        return NULL;
    result_words result;
    if (!result.open(obj, "reachable_sums"))
        return NULL;
    /* No result has 2**58 words; the limit keeps bit numbers in 64 bits. */
    const uint64_t bits = (uint64_t)std::min(result.count, (size_t)1 << 57) * 64;
    uint64_t lo = 0, hi = bits;
    if ((start_obj != NULL && !sum_bound(start_obj, bits, &lo)) ||
        (stop_obj != Py_None && !sum_bound(stop_obj, bits, &hi)))
        return NULL;
    if (lo >= hi)
        return PyList_New(0);

    /* The words of [lo, hi), edges masked, in one place: a list's words are
     * then converted once, and counting them sizes the list exactly. */
    const size_t first = (size_t)(lo / 64), last = (size_t)((hi - 1) / 64);
    std::vector<uint64_t> words;
    try {
        words.resize(last - first + 1);
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
    size_t count = 0;
    for (size_t i = first; i <= last; i++) {
        uint64_t w;
        if (!result.word(i, &w))
            return NULL;
        if (i == first)
            w &= ~uint64_t(0) << (lo % 64);
        if (i == last && hi % 64 != 0)
            w &= ~(~uint64_t(0) << (hi % 64));
        words[i - first] = w;
        count += (size_t)__builtin_popcountll(w);
    }
    PyObject *sums = PyList_New((Py_ssize_t)count);
    if (sums == NULL)
        return NULL;
    Py_ssize_t k = 0;
    for (size_t i = 0; i < words.size(); i++) {
        const long long at = (long long)((first + i) * 64);
        for (uint64_t w = words[i]; w != 0; w &= w - 1) {
            PyObject *s = PyLong_FromLongLong(at + __builtin_ctzll(w));
            if (s == NULL) {
                Py_DECREF(sums); /* unset items are NULL, which it skips */
                return NULL;
            }
            PyList_SET_ITEM(sums, k++, s);
        }
    }
    return sums;
}

static PyMethodDef PEMUXMethods[] = {
    {"complete_subset_sum", webinterface_complete_subset_sum, METH_VARARGS,
     "Run complete subset sum"},
    {"complete_subset_sum_async", webinterface_complete_subset_sum_async,
     METH_VARARGS, "Run complete subset sum"},
    {"complete_subset_sum_bytes",
     (PyCFunction)(void (*)(void))webinterface_complete_subset_sum_bytes,
     METH_VARARGS | METH_KEYWORDS, "Run complete subset sum, result as bytes"},
    {"subset_sum_result_check", webinterface_subset_sum_result_check,
     METH_VARARGS, "Check for a specific int in the results of subset sum"},
    {"reachable_sums", (PyCFunction)(void (*)(void))webinterface_reachable_sums,
     METH_VARARGS | METH_KEYWORDS,
     "reachable_sums(result, start=0, stop=None)\n--\n\nThe totals s with "
     "start <= s < stop that a result marks, ascending"},
    PEMU_SUBSET_METHODS,
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
