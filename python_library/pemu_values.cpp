/* Reading the values of a solve from a Python object; see pemu_values.h. */
#include "pemu_values.h"

#include <string.h>

#include <bit>
#include <new>
#include <type_traits>

#include "pemu_plumbing.h"

namespace pemu_py {
namespace {

/* Where the items go, with the running total when the caller wants one. */
struct sink {
    std::vector<uint64_t> &out;
    std::vector<uint8_t> *negative;
    uint64_t *total;
    uint64_t sum = 0;

    /* Stores item i; false with an exception set when the sum passes
     * 2**64 - 1. */
    bool put(Py_ssize_t i, uint64_t magnitude, bool is_negative)
    {
        (void)i;
        try {
            out.push_back(magnitude);
            if (negative != nullptr)
                negative->push_back(is_negative);
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            return false;
        }
        if (total != nullptr && __builtin_add_overflow(sum, magnitude, &sum)) {
            pemu::say("Error occured, overflow on input\n");
            PyErr_SetString(PyExc_OverflowError,
                            "the sum of the values exceeds 2**64 - 1");
            return false;
        }
        return true;
    }

    /* Only an estimate: on failure the vectors grow as they go. */
    void expect(Py_ssize_t n)
    {
        try {
            out.reserve(size_t(n));
            if (negative != nullptr)
                negative->reserve(size_t(n));
        } catch (const std::exception &) {
        }
    }

    bool finish()
    {
        if (total != nullptr)
            *total = sum;
        return true;
    }
};

bool outside_range(Py_ssize_t i)
{
    PyErr_Format(PyExc_OverflowError,
                 "item %zd of the values is outside 0 ... 2**64 - 1", i);
    return false;
}

bool not_an_int(Py_ssize_t i, PyObject *item)
{
    pemu::say("Error occured with PyLong_Check\n");
    PyErr_Format(PyExc_TypeError, "item %zd of the values is not an int but %.100s",
                 i, Py_TYPE(item)->tp_name);
    return false;
}

/* An int item (exactly an int or a subclass): its magnitude and sign. */
bool int_value(PyObject *item, Py_ssize_t i, bool allow_negative, uint64_t *v,
               bool *neg)
{
    *neg = false;
    *v = PyLong_AsUnsignedLongLong(item);
    if (*v != (uint64_t)-1 || !PyErr_Occurred())
        return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError))
        return false; /* not about the range: its own error stands */
    if (!allow_negative)
        return outside_range(i);
    PyErr_Clear();
    /* Negative, or beyond 2**64 - 1: the magnitude of a negative one may
     * still fit. The sign and the negation are int's own, never those of
     * a subclass's methods. */
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (small == -1 && PyErr_Occurred())
        return false;
    if (overflow > 0 || (overflow == 0 && small >= 0))
        return outside_range(i);
    PyObject *magnitude = PyLong_Type.tp_as_number->nb_negative(item);
    if (magnitude == nullptr)
        return false;
    *v = PyLong_AsUnsignedLongLong(magnitude);
    Py_DECREF(magnitude);
    if (*v == (uint64_t)-1 && PyErr_Occurred())
        return outside_range(i);
    *neg = true;
    return true;
}

bool put_int(sink &s, Py_ssize_t i, PyObject *item)
{
    uint64_t v;
    bool neg;
    return int_value(item, i, s.negative != nullptr, &v, &neg) && s.put(i, v, neg);
}

} // namespace

bool read_value(PyObject *item, Py_ssize_t i, bool allow_negative, uint64_t *v,
                bool *neg)
{
    if (PyLong_Check(item))
        return int_value(item, i, allow_negative, v, neg);
    if (!PyIndex_Check(item))
        return not_an_int(i, item);
    PyObject *index = PyNumber_Index(item);
    if (index == nullptr)
        return false;
    bool ok = int_value(index, i, allow_negative, v, neg);
    Py_DECREF(index);
    return ok;
}

namespace {

/* Any item: an int, or what its __index__ gives (NumPy scalars); floats
 * and strings have none and stay errors. */
bool put_item(sink &s, Py_ssize_t i, PyObject *item)
{
    uint64_t v;
    bool neg;
    return read_value(item, i, s.negative != nullptr, &v, &neg) && s.put(i, v, neg);
}

bool read_list(PyObject *list, sink &s)
{
    s.expect(PyList_GET_SIZE(list));
    /* The size is read again each round: an __index__ may change the list. */
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (PyLong_CheckExact(item)) {
            if (!put_int(s, i, item))
                return false;
            continue;
        }
        Py_INCREF(item);
        bool ok = put_item(s, i, item);
        Py_DECREF(item);
        if (!ok)
            return false;
    }
    return s.finish();
}

bool read_iterable(PyObject *iter, sink &s, Py_ssize_t hint)
{
    if (hint > 0)
        s.expect(hint);
    for (Py_ssize_t i = 0;; i++) {
        PyObject *item = PyIter_Next(iter);
        if (item == nullptr)
            return PyErr_Occurred() ? false : s.finish();
        bool ok = put_item(s, i, item);
        Py_DECREF(item);
        if (!ok)
            return false;
    }
}

/* ---- buffers ------------------------------------------------------------ */

/* A buffer view held for the length of a read. */
struct held_buffer {
    Py_buffer view{};
    bool held = false;
    ~held_buffer()
    {
        if (held)
            PyBuffer_Release(&view);
    }
};

/* An item format of the struct module's notation, one integer item. */
struct int_format {
    bool is_signed;
    bool swap; /* stored in the other byte order than this machine's */
};

bool parse_int_format(const char *format, Py_ssize_t itemsize, int_format *f)
{
    if (format == nullptr)
        format = "B";
    bool big = std::endian::native == std::endian::big;
    switch (*format) {
    case '@':
    case '=':
        format++;
        break;
    case '<':
        big = false;
        format++;
        break;
    case '>':
    case '!':
        big = true;
        format++;
        break;
    }
    if (format[0] == '\0' || format[1] != '\0' || strchr("bBhHiIlLqQnN?", format[0]) == nullptr)
        return false;
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8)
        return false;
    f->is_signed = strchr("bhilqn", format[0]) != nullptr;
    f->swap = big != (std::endian::native == std::endian::big);
    return true;
}

template <class U>
U swapped(U v)
{
    if constexpr (sizeof(U) == 1)
        return v;
    else if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(U) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
}

template <class U>
bool read_items(const Py_buffer &view, const int_format &f, sink &s)
{
    using S = std::make_signed_t<U>;
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    const char *p = static_cast<const char *>(view.buf);
    s.expect(n);
    for (Py_ssize_t i = 0; i < n; i++, p += stride) {
        U u;
        memcpy(&u, p, sizeof u); /* items need not be aligned */
        if (f.swap)
            u = swapped(u);
        const bool neg = f.is_signed && S(u) < 0;
        uint64_t v = neg ? uint64_t(0) - uint64_t(int64_t(S(u))) : uint64_t(u);
        if (neg && s.negative == nullptr)
            return outside_range(i);
        if (!s.put(i, v, neg))
            return false;
    }
    return s.finish();
}

/* 1 when read (or failed, with an exception), 0 when the buffer holds
 * Python objects, or refuses the view asked for, and is better read by
 * iterating. */
int read_buffer(PyObject *obj, sink &s, bool *ok)
{
    held_buffer b;
    if (PyObject_GetBuffer(obj, &b.view, PyBUF_RECORDS_RO) != 0) {
        if (PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            return 0;
        }
        *ok = false;
        return 1;
    }
    b.held = true;
    const Py_buffer &view = b.view;
    if (view.format != nullptr && strcmp(view.format, "O") == 0)
        return 0;
    int_format f;
    if (!parse_int_format(view.format, view.itemsize, &f)) {
        PyErr_Format(PyExc_TypeError,
                     "a buffer of values must hold integers, not items of "
                     "format '%.20s'",
                     view.format ? view.format : "B");
        *ok = false;
        return 1;
    }
    if (view.ndim != 1) {
        PyErr_Format(PyExc_TypeError,
                     "a buffer of values must have one dimension, not %d",
                     view.ndim);
        *ok = false;
        return 1;
    }
    switch (view.itemsize) {
    case 1:
        *ok = read_items<uint8_t>(view, f, s);
        break;
    case 2:
        *ok = read_items<uint16_t>(view, f, s);
        break;
    case 4:
        *ok = read_items<uint32_t>(view, f, s);
        break;
    default:
        *ok = read_items<uint64_t>(view, f, s);
        break;
    }
    return 1;
}

} // namespace

bool read_values(PyObject *obj, const char *what, std::vector<uint64_t> &out,
                 std::vector<uint8_t> *negative, uint64_t *total)
{
    out.clear();
    if (negative != nullptr)
        negative->clear();
    sink s{out, negative, total};
    if (PyList_Check(obj))
        return read_list(obj, s);
    bool ok = false;
    if (PyObject_CheckBuffer(obj) && read_buffer(obj, s, &ok))
        return ok;
    PyObject *iter = PyObject_GetIter(obj);
    if (iter == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError,
                         "%s() takes a list or another iterable of ints, "
                         "not %.100s",
                         what, Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    Py_ssize_t hint = PyObject_LengthHint(obj, 0);
    if (hint < 0)
        PyErr_Clear();
    ok = read_iterable(iter, s, hint);
    Py_DECREF(iter);
    return ok;
}

} // namespace pemu_py
