/* The caller's side of a watched call: asked by the library on the calling
 * thread while that thread has given up the interpreter lock (about every
 * 100 ms of a remote wait, about every 20 ms of a local solve). A signal
 * handler that raises (Ctrl-C: KeyboardInterrupt), or a progress callable
 * that raises, ends the call with its exception; once raised, the answer
 * stays yes without the lock. Shared by the module's watched calls. */
#ifndef PEMU_WATCH_PY_H
#define PEMU_WATCH_PY_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pemu_internal.h"

namespace pemu_py {

struct caller_watch {
    PyObject *progress; /* borrowed from the arguments, or NULL */
    bool raised;
};

/* A finalizing interpreter must not be entered. */
inline bool python_gone()
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

inline int stop_on_signal(void *user)
{
    caller_watch *watch = static_cast<caller_watch *>(user);
    if (watch->raised || python_gone())
        return 1; /* stop the wait instead */
    PyGILState_STATE gstate = PyGILState_Ensure();
    watch->raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(gstate);
    return watch->raised;
}

/* Hands the fraction to the progress callable, on the caller's thread. */
inline void tell_progress(double fraction, void *user)
{
    caller_watch *watch = static_cast<caller_watch *>(user);
    if (watch->raised || watch->progress == NULL || python_gone())
        return;
    PyGILState_STATE gstate = PyGILState_Ensure();
    PyObject *ret = PyObject_CallFunction(watch->progress, "(d)", fraction);
    if (ret == NULL)
        watch->raised = true; /* its exception ends the call */
    Py_XDECREF(ret);
    PyGILState_Release(gstate);
}

/* Whether value may be a progress callable (None too); false with a
 * TypeError set. */
inline bool progress_acceptable(PyObject *value)
{
    if (value == Py_None || PyCallable_Check(value))
        return true;
    PyErr_Format(PyExc_TypeError, "progress must be callable or None, not %.100s",
                 Py_TYPE(value)->tp_name);
    return false;
}

/* The library's watch over w: cancel always, progress where one is given. */
inline pemu_watch_t library_watch(caller_watch *w)
{
    return pemu_watch_t{stop_on_signal, w, w->progress != NULL ? tell_progress : NULL, w};
}

} // namespace pemu_py

#endif
