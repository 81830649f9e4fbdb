#include "generator.hpp"

#include "error.hpp"
#include "guard.hpp"
#include "object.hpp"

#include <cstddef>
#include <string>

namespace vantropy {
namespace {

// The life of a generator, as Python's own generators have it.
enum class GenState : char { kCreated, kSuspended, kRunning, kFinished };

struct NativeGenerator {
  PyObject_HEAD
  GeneratorBody *body;
  const ModuleState *home;
  PyObject *name;
  PyObject *qualname;
  PyObject *traceback_name;  // bytes: "<module>.<qualname>"
  PyObject *weakrefs;
  GenState state;
};

// Made when the type is readied, kept for the process.
PyObject *g_close_args = nullptr;  // (GeneratorExit,): what close() throws in
PyObject *g_close = nullptr;
PyObject *g_throw = nullptr;
PyObject *g_value = nullptr;

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

// Applies how a step of the body ended to the generator.  A failure
// finishes it, with StopIteration turned into RuntimeError so that it
// cannot end a caller's loop silently; a return finishes it too.
Step after_step(NativeGenerator *g, Step step) {
  switch (step) {
    case Step::kYielded:
    case Step::kNotThrown:
      g->state = GenState::kSuspended;
      break;
    case Step::kRaised:
      add_traceback_entry(PyBytes_AS_STRING(g->traceback_name), g->home->filename, g->home->dict);
      convert_escaped_stop_iteration();
      finish(g);
      break;
    case Step::kReturned:
      finish(g);
      break;
  }
  return step;
}

// One step with a value sent in.  A generator that has finished returns
// with no value.
Step send_step(NativeGenerator *g, PyObject *sent, Ref &out) {
  if (g->state == GenState::kCreated && sent != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return Step::kRaised;
  }
  if (g->state == GenState::kRunning) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return Step::kRaised;
  }
  if (g->state == GenState::kFinished) return Step::kReturned;
  g->state = GenState::kRunning;
  return after_step(g, guarded(Step::kRaised, [&] { return g->body->resume(sent, out); }));
}

// One step with `throw()` arguments.  A generator that never ran or has
// finished raises the exception at once (a never-run one is finished by it);
// arguments that cannot be raised leave the generator as it was.
Step throw_step(NativeGenerator *g, PyObject *args, Ref &out) {
  if (g->state != GenState::kSuspended) {
    bool raised = raise_thrown(args);
    if (raised && g->state == GenState::kRunning) {
      PyErr_SetString(PyExc_ValueError, "generator already executing");
    } else if (raised && g->state == GenState::kCreated) {
      finish(g);
    }
    return Step::kRaised;
  }
  g->state = GenState::kRunning;
  return after_step(g, guarded(Step::kRaised, [&] { return g->body->resume_throw(args, out); }));
}

PyObject *gen_iternext(PyObject *self) {
  Ref out;
  Step step = send_step(as_generator(self), Py_None, out);
  if (step == Step::kYielded) return out.release();
  if (step == Step::kReturned && out && out.get() != Py_None) set_stop_value(out.get());
  return nullptr;
}

// send() and throw() report a return as StopIteration, even on a generator
// that had already finished.
PyObject *report(Step step, Ref &out) {
  switch (step) {
    case Step::kYielded:
      return out.release();
    case Step::kReturned:
      if (out && out.get() != Py_None)
        set_stop_value(out.get());
      else
        PyErr_SetNone(PyExc_StopIteration);
      return nullptr;
    default:
      return nullptr;
  }
}

PyObject *gen_send(PyObject *self, PyObject *value) {
  Ref out;
  return report(send_step(as_generator(self), value, out), out);
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
  Ref out;
  return report(throw_step(as_generator(self), tuple.get(), out), out);
}

PyObject *gen_close(PyObject *self, PyObject *) {
  NativeGenerator *g = as_generator(self);
  if (g->state == GenState::kCreated || g->state == GenState::kFinished) {
    if (g->state == GenState::kCreated) finish(g);
    Py_RETURN_NONE;
  }
  Ref out;
  switch (throw_step(g, g_close_args, out)) {
    case Step::kYielded:
      PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
      return nullptr;
    case Step::kRaised:
    case Step::kNotThrown:
      if (!PyErr_ExceptionMatches(PyExc_StopIteration) &&
          !PyErr_ExceptionMatches(PyExc_GeneratorExit))
        return nullptr;
      PyErr_Clear();
      Py_RETURN_NONE;
    case Step::kReturned:
      break;
  }
  Py_RETURN_NONE;
}

// A generator dropped while suspended is closed, as Python's are, so that
// the body can release what it holds; an error is reported as unraisable.
void gen_finalize(PyObject *self) {
  NativeGenerator *g = as_generator(self);
  if (g->state != GenState::kSuspended) return;
  PendingError pending;
  Ref closed = Ref::steal(gen_close(self, nullptr));
  if (!closed) PyErr_WriteUnraisable(self);
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
  return set_str_attribute(as_generator(self)->name, value,
                           "__name__ must be set to a string object");
}
PyObject *get_qualname(PyObject *self, void *) { return newref(as_generator(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
  return set_str_attribute(as_generator(self)->qualname, value,
                           "__qualname__ must be set to a string object");
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

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
PyTypeObject g_generator_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantropy.native_generator",
    .tp_basicsize = sizeof(NativeGenerator),
    .tp_dealloc = gen_dealloc,
    .tp_repr = gen_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = gen_traverse,
    .tp_clear = gen_clear,
    .tp_weaklistoffset = offsetof(NativeGenerator, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = gen_iternext,
    .tp_methods = g_methods,
    .tp_getset = g_getset,
    .tp_finalize = gen_finalize,
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

bool ready_type() {
  if (PyType_HasFeature(&g_generator_type, Py_TPFLAGS_READY)) return true;
  g_close_args = PyTuple_Pack(1, PyExc_GeneratorExit);
  g_close = PyUnicode_InternFromString("close");
  g_throw = PyUnicode_InternFromString("throw");
  g_value = PyUnicode_InternFromString("value");
  return g_close_args && g_close && g_throw && g_value && PyType_Ready(&g_generator_type) == 0;
}

// The value a finished delegate handed back through StopIteration, or
// false when the pending exception is something else (it stays pending).
bool take_stop_value(Ref &out) {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return false;
  Ref stop = PendingError().take();
  out = stop ? Ref::steal(PyObject_GetAttr(stop.get(), g_value)) : Ref::borrow(Py_None);
  return static_cast<bool>(out);
}

}  // namespace

void convert_escaped_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  Ref stop = PendingError().take();
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  Ref error = PendingError().take();
  if (!error) return;
  PyException_SetCause(error.get(), newref(stop.get()));  // steals
  PyException_SetContext(error.get(), stop.release());    // steals
  set_raised(std::move(error));
}

Step GeneratorBody::resume_throw(PyObject *args, Ref &) {
  return raise_thrown(args) ? Step::kRaised : Step::kNotThrown;
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
  if (PyExceptionClass_Check(type)) {
    PyObject *t = newref(type);
    PyObject *v = value ? newref(value) : nullptr;
    PyObject *b = tb ? newref(tb) : nullptr;
    PyErr_NormalizeException(&t, &v, &b);
    PyErr_Restore(t, v, b);
    return true;
  }
  if (!PyExceptionInstance_Check(type)) {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return false;
  }
  if (value && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
    return false;
  }
  PyErr_Restore(newref(PyExceptionInstance_Class(type)), newref(type),
                tb ? newref(tb) : PyException_GetTraceback(type));
  return true;
}

Ref make_generator(const ModuleState &home, std::unique_ptr<GeneratorBody> body, PyObject *name,
                   PyObject *qualname) {
  if (!ready_type()) return nullptr;
  std::string traceback_name = home.qualname;
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
  g->home = &home;
  g->name = newref(name);
  g->qualname = newref(qualname);
  g->traceback_name = tb_name.release();
  g->weakrefs = nullptr;
  g->state = GenState::kCreated;
  PyObject_GC_Track(g);
  return Ref::steal(reinterpret_cast<PyObject *>(g));
}

// ---- yield from ----

bool YieldFrom::start(PyObject *iterable) {
  iter_ = Ref::steal(PyObject_GetIter(iterable));
  return static_cast<bool>(iter_);
}

Step YieldFrom::send(PyObject *sent, Ref &out) {
  PyObject *result = nullptr;
  PySendResult status = PyIter_Send(iter_.get(), sent, &result);
  out = Ref::steal(result);
  if (status == PYGEN_NEXT) return Step::kYielded;
  iter_.reset();
  return status == PYGEN_RETURN ? Step::kReturned : Step::kRaised;
}

Step YieldFrom::throw_in(PyObject *args, Ref &out) {
  Ref iter = std::move(iter_);  // delegation ends unless the delegate yields again
  PyObject *type = PyTuple_GET_ITEM(args, 0);
  // A delegate without the method gets nothing; the exception is then
  // raised at the body's suspension point, or refused there.
  auto without_method = [&]() -> Step {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Step::kRaised;
    PyErr_Clear();
    if (raise_thrown(args)) return Step::kRaised;
    iter_ = std::move(iter);
    return Step::kNotThrown;
  };
  if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
    // The delegate is closed first; an error of its close() is what the
    // body then raises instead of GeneratorExit.
    Ref close = Ref::steal(PyObject_GetAttr(iter.get(), g_close));
    if (!close) return without_method();
    if (!Ref::steal(PyObject_CallNoArgs(close.get()))) return Step::kRaised;
    if (raise_thrown(args)) return Step::kRaised;
    iter_ = std::move(iter);
    return Step::kNotThrown;
  }
  Ref method = Ref::steal(PyObject_GetAttr(iter.get(), g_throw));
  if (!method) return without_method();
  Ref result;
  if (PyGen_CheckExact(iter.get()) && PyTuple_GET_SIZE(args) > 1) {
    // The interpreter throws into a generator delegate without going through
    // its throw() method, so the old three-argument form warns only once:
    // the delegate gets the same exception as one instance with its traceback.
    if (!raise_thrown(args)) return Step::kRaised;
    Ref exc = PendingError().take();
    result = Ref::steal(PyObject_CallOneArg(method.get(), exc.get()));
  } else {
    result = Ref::steal(PyObject_Call(method.get(), args, nullptr));
  }
  if (result) {
    iter_ = std::move(iter);
    out = std::move(result);
    return Step::kYielded;
  }
  return take_stop_value(out) ? Step::kReturned : Step::kRaised;
}

}  // namespace vantropy
