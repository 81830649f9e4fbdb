#include "generator.hpp"

#include "compat.hpp"
#include "guard.hpp"
#include "module.hpp"
#include "names.hpp"

#include <cstddef>
#include <string>

namespace vantropy {
namespace {

// The life of a generator, as Python's own generators have it.
enum class GenState : char { kCreated, kSuspended, kRunning, kFinished };

struct NativeGenerator {
  PyObject_HEAD
  GeneratorBody *body;
  PyObject *name;
  PyObject *qualname;
  PyObject *traceback_name;  // bytes: "<module>.<qualname>"
  PyObject *weakrefs;
  GenState state;
};

PyTypeObject g_generator_type;
bool g_type_ready = false;
PyObject *g_close_args = nullptr;  // (GeneratorExit,): what close() throws in

Str s_close{"close"};
Str s_throw{"throw"};
Str s_value{"value"};

NativeGenerator *as_generator(PyObject *self) { return reinterpret_cast<NativeGenerator *>(self); }

// The body is done: it keeps nothing alive any more.
void finish(NativeGenerator *g) {
  g->state = GenState::kFinished;
  g->body->clear();
}

// Raises `StopIteration` carrying `value`; an exception or tuple value is
// wrapped in an explicit instance so that it is not taken for the arguments.
void set_stop_value(PyObject *value) {
  Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
  if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

// What a step of the body produced.  A yielded value is returned as is; a
// failure finishes the generator, with StopIteration turned into
// RuntimeError so that it cannot end a caller's loop silently; a return
// finishes it and leaves the return value in `*returned`.
PyObject *after_step(NativeGenerator *g, PyObject *yielded, Ref *returned) {
  if (yielded) {
    g->state = GenState::kSuspended;
    return yielded;
  }
  if (PyErr_Occurred()) {
    compat::traceback_add(PyBytes_AS_STRING(g->traceback_name), module_state().info->filename, 1);
    convert_escaped_stop_iteration();
    finish(g);
    return nullptr;
  }
  *returned = std::move(g->body->result);
  finish(g);
  return nullptr;
}

// The common gate of next(), send() and throw(): a running generator cannot
// be entered again.
bool check_not_running(NativeGenerator *g) {
  if (g->state != GenState::kRunning) return true;
  PyErr_SetString(PyExc_ValueError, "generator already executing");
  return false;
}

// One step with a value sent in.  Returns the value yielded, or null: with
// an exception set, or without when the body returned (value in `*returned`,
// which stays null when the generator had already finished).
PyObject *send_step(NativeGenerator *g, PyObject *sent, Ref *returned) {
  if (g->state == GenState::kCreated && sent != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  if (!check_not_running(g)) return nullptr;
  if (g->state == GenState::kFinished) return nullptr;
  g->state = GenState::kRunning;
  PyObject *yielded = guarded<PyObject *>(nullptr, [&] { return g->body->resume(sent); });
  return after_step(g, yielded, returned);
}

// One step with `throw()` arguments.  A generator that never ran or has
// finished raises the exception at once (a never-run one is finished by it);
// arguments that cannot be raised leave the generator as it was.
PyObject *throw_step(NativeGenerator *g, PyObject *args, Ref *returned) {
  if (g->state != GenState::kSuspended) {
    bool raised = raise_thrown(args);
    if (raised && g->state == GenState::kRunning) {
      PyErr_SetString(PyExc_ValueError, "generator already executing");
    } else if (raised && g->state == GenState::kCreated) {
      finish(g);
    }
    return nullptr;
  }
  g->state = GenState::kRunning;
  PyObject *yielded = guarded<PyObject *>(nullptr, [&] { return g->body->resume_throw(args); });
  if (yielded == not_thrown()) {
    g->state = GenState::kSuspended;
    return nullptr;
  }
  return after_step(g, yielded, returned);
}

PyObject *gen_iternext(PyObject *self) {
  Ref returned;
  PyObject *yielded = send_step(as_generator(self), Py_None, &returned);
  if (!yielded && returned && returned.get() != Py_None) set_stop_value(returned.get());
  return yielded;
}

// send() and throw() report a return as StopIteration, even on a generator
// that had already finished.
PyObject *report_return(PyObject *yielded, const Ref &returned) {
  if (yielded || PyErr_Occurred()) return yielded;
  if (returned && returned.get() != Py_None)
    set_stop_value(returned.get());
  else
    PyErr_SetNone(PyExc_StopIteration);
  return nullptr;
}

PyObject *gen_send(PyObject *self, PyObject *value) {
  Ref returned;
  return report_return(send_step(as_generator(self), value, &returned), returned);
}

PyObject *gen_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected %s%zd argument%s, got %zd",
                 nargs < 1 ? "at least " : "at most ", nargs < 1 ? Py_ssize_t{1} : Py_ssize_t{3},
                 nargs < 1 ? "" : "s", nargs);
    return nullptr;
  }
#if PY_VERSION_HEX >= 0x030C0000
  // The interpreter's own generators warn here from 3.12 on.
  if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                "the (type, exc, tb) signature of throw() is deprecated, "
                                "use the single-arg signature instead.",
                                1) < 0)
    return nullptr;
#endif
  Ref tuple = Ref::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, newref(args[i]));
  Ref returned;
  return report_return(throw_step(as_generator(self), tuple.get(), &returned), returned);
}

PyObject *gen_close(PyObject *self, PyObject *) {
  NativeGenerator *g = as_generator(self);
  if (g->state == GenState::kCreated || g->state == GenState::kFinished) {
    if (g->state == GenState::kCreated) finish(g);
    Py_RETURN_NONE;
  }
  Ref returned;
  PyObject *yielded = throw_step(g, g_close_args, &returned);
  if (yielded) {
    Py_DECREF(yielded);
    PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
    return nullptr;
  }
  if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_StopIteration) ||
      PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// A generator dropped while suspended is closed, as Python's are, so that
// the body can release what it holds; an error is reported as unraisable.
void gen_finalize(PyObject *self) {
  NativeGenerator *g = as_generator(self);
  if (g->state != GenState::kSuspended) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject *res = gen_close(self, nullptr);
  if (res)
    Py_DECREF(res);
  else
    PyErr_WriteUnraisable(self);
  PyErr_Restore(type, value, tb);
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
  NativeGenerator *g = as_generator(self);
  Py_VISIT(g->name);
  Py_VISIT(g->qualname);
  return g->body ? g->body->traverse(visit, arg) : 0;
}

int gen_clear(PyObject *self) {
  NativeGenerator *g = as_generator(self);
  if (g->body) g->body->clear();
  return 0;
}

void gen_dealloc(PyObject *self) {
  NativeGenerator *g = as_generator(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  if (g->weakrefs) PyObject_ClearWeakRefs(self);
  delete g->body;
  Py_CLEAR(g->name);
  Py_CLEAR(g->qualname);
  Py_CLEAR(g->traceback_name);
  PyObject_GC_Del(self);
}

PyObject *gen_repr(PyObject *self) {
  return PyUnicode_FromFormat("<generator object %S at %p>", as_generator(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return newref(as_generator(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_SETREF(as_generator(self)->name, newref(value));
  return 0;
}
PyObject *get_qualname(PyObject *self, void *) { return newref(as_generator(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_SETREF(as_generator(self)->qualname, newref(value));
  return 0;
}
PyObject *get_running(PyObject *self, void *) {
  return PyBool_FromLong(as_generator(self)->state == GenState::kRunning);
}
PyObject *get_suspended(PyObject *self, void *) {
  return PyBool_FromLong(as_generator(self)->state == GenState::kSuspended);
}

PyGetSetDef g_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)),
     METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int ready_type() {
  if (g_type_ready) return 0;
  g_close_args = PyTuple_Pack(1, PyExc_GeneratorExit);
  if (!g_close_args) return -1;
  PyTypeObject &t = g_generator_type;
  Py_SET_TYPE(&t, &PyType_Type);
  Py_SET_REFCNT(&t, 1);
  t.tp_name = "vantropy.native_generator";
  t.tp_basicsize = sizeof(NativeGenerator);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_repr = gen_repr;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = gen_iternext;
  t.tp_finalize = gen_finalize;
  t.tp_traverse = gen_traverse;
  t.tp_clear = gen_clear;
  t.tp_dealloc = gen_dealloc;
  t.tp_getset = g_getset;
  t.tp_methods = g_methods;
  t.tp_weaklistoffset = offsetof(NativeGenerator, weakrefs);
  if (PyType_Ready(&t) < 0) return -1;
  g_type_ready = true;
  return 0;
}

}  // namespace

void convert_escaped_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  PyObject *type2, *value2, *tb2;
  PyErr_Fetch(&type2, &value2, &tb2);
  PyErr_NormalizeException(&type2, &value2, &tb2);
  Py_INCREF(value);
  PyException_SetCause(value2, value);    // steals one reference
  PyException_SetContext(value2, value);  // steals the other
  PyErr_Restore(type2, value2, tb2);
}

PyObject *GeneratorBody::resume_throw(PyObject *args) {
  return raise_thrown(args) ? nullptr : not_thrown();
}

PyObject *not_thrown() noexcept {
  static char marker;
  return reinterpret_cast<PyObject *>(&marker);
}

int GeneratorBody::traverse(visitproc visit, void *arg) {
  Py_VISIT(result.get());
  return 0;
}

bool raise_thrown(PyObject *args) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  PyObject *type = PyTuple_GET_ITEM(args, 0);
  PyObject *value = n > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
  PyObject *tb = n > 2 ? PyTuple_GET_ITEM(args, 2) : nullptr;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  Py_INCREF(type);
  Py_XINCREF(value);
  Py_XINCREF(tb);
  if (PyExceptionClass_Check(type)) {
    PyErr_NormalizeException(&type, &value, &tb);
  } else if (PyExceptionInstance_Check(type)) {
    if (value && value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      Py_DECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      return false;
    }
    Py_XDECREF(value);
    value = type;
    type = newref(PyExceptionInstance_Class(value));
    if (!tb) tb = PyException_GetTraceback(value);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    Py_DECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return false;
  }
  PyErr_Restore(type, value, tb);
  return true;
}

PyTypeObject *generator_type() { return &g_generator_type; }

PyObject *make_generator(std::unique_ptr<GeneratorBody> body, PyObject *name,
                         PyObject *qualname) {
  if (ready_type() < 0) return nullptr;
  std::string traceback_name = module_state().info->qualname;
  traceback_name += '.';
  Py_ssize_t size;
  const char *text = PyUnicode_AsUTF8AndSize(qualname, &size);
  if (!text) return nullptr;
  traceback_name.append(text, static_cast<std::size_t>(size));
  Ref tb_name = Ref::steal(PyBytes_FromStringAndSize(
      traceback_name.data(), static_cast<Py_ssize_t>(traceback_name.size())));
  if (!tb_name) return nullptr;

  NativeGenerator *g = PyObject_GC_New(NativeGenerator, &g_generator_type);
  if (!g) return nullptr;
  g->body = body.release();
  g->name = newref(name);
  g->qualname = newref(qualname);
  g->traceback_name = tb_name.release();
  g->weakrefs = nullptr;
  g->state = GenState::kCreated;
  PyObject_GC_Track(g);
  return reinterpret_cast<PyObject *>(g);
}

// ---- yield from ----

int YieldFrom::start(PyObject *iterable) {
  iter_ = Ref::steal(PyObject_GetIter(iterable));
  return iter_ ? 0 : -1;
}

YieldFrom::Status YieldFrom::send(PyObject *sent, Ref &out) {
  PyObject *result = nullptr;
  PySendResult status = PyIter_Send(iter_.get(), sent, &result);
  if (status == PYGEN_NEXT) {
    out = Ref::steal(result);
    return kYielded;
  }
  iter_.reset();
  if (status == PYGEN_RETURN) {
    out = Ref::steal(result);
    return kReturned;
  }
  return kError;
}

namespace {

// The value a finished delegate handed back through StopIteration, or -1
// when the pending exception is something else (it stays pending).
int fetch_stop_value(Ref &out) {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return -1;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  out = Ref::steal(value ? PyObject_GetAttr(value, s_value) : newref(Py_None));
  Py_XDECREF(value);
  return out ? 0 : -1;
}

}  // namespace

YieldFrom::Status YieldFrom::throw_in(PyObject *args, Ref &out) {
  Ref iter = std::move(iter_);  // delegation ends unless the delegate yields again
  PyObject *type = PyTuple_GET_ITEM(args, 0);
  if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
    // The delegate is closed first; an error of its close() is what the
    // body then raises instead of GeneratorExit.
    Ref close = Ref::steal(PyObject_GetAttr(iter.get(), s_close));
    if (!close) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kError;
      PyErr_Clear();
    } else {
      Ref done = Ref::steal(PyObject_CallNoArgs(close.get()));
      if (!done) return kError;
    }
    if (raise_thrown(args)) return kError;
    iter_ = std::move(iter);
    return kNotThrown;
  }
  Ref method = Ref::steal(PyObject_GetAttr(iter.get(), s_throw));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kError;
    PyErr_Clear();
    if (raise_thrown(args)) return kError;
    iter_ = std::move(iter);
    return kNotThrown;
  }
  Ref result;
  if (PyGen_CheckExact(iter.get()) && PyTuple_GET_SIZE(args) > 1) {
    // The interpreter throws into a generator delegate without going through
    // its throw() method, so the old three-argument form warns only once:
    // the delegate gets the same exception as one instance with its traceback.
    if (!raise_thrown(args)) return kError;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref exc = Ref::steal(value);
    Py_XDECREF(type);
    if (tb) PyException_SetTraceback(exc.get(), tb);
    Py_XDECREF(tb);
    result = Ref::steal(PyObject_CallOneArg(method.get(), exc.get()));
  } else {
    result = Ref::steal(PyObject_Call(method.get(), args, nullptr));
  }
  if (result) {
    iter_ = std::move(iter);
    out = std::move(result);
    return kYielded;
  }
  return fetch_stop_value(out) == 0 ? kReturned : kError;
}

}  // namespace vantropy
