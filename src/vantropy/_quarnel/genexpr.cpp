// Keys for the items of a generator expression: `_genexpr_key` builds a
// function that reads the expression's live frame and returns the current
// values of its loop variables, ordered by their first reference in the
// expression's bytecode, which `_instruction_argvals` lists.
#include "common.hpp"

#include <memory>

namespace vantropy::quarnel {
namespace {

Str s_dis{"dis"};
Str s_get_instructions{"get_instructions"};
Str s_opname{"opname"};
Str s_argval{"argval"};
Str s_MAKE_CELL{"MAKE_CELL"};
Str s_instruction_argvals{"_instruction_argvals"};
Str s_simplify_tuple{"simplify_tuple"};
Str s_gi_frame{"gi_frame"};
Str s_f_code{"f_code"};
Str s_f_locals{"f_locals"};
Str s_co_cellvars{"co_cellvars"};
Str s_co_varnames{"co_varnames"};

// `text == "MAKE_CELL"` with Python equality.
int is_make_cell(PyObject *opname) {
  if (opname == s_MAKE_CELL.get()) return 1;
  if (PyUnicode_CheckExact(opname)) return PyUnicode_Compare(opname, s_MAKE_CELL) == 0;
  Ref equal = Ref::steal(PyObject_RichCompare(opname, s_MAKE_CELL, Py_EQ));
  return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// The body of `_instruction_argvals(c)`:
//
//     for instr in dis.get_instructions(c):
//         if instr.opname == "MAKE_CELL": continue
//         if isinstance(instr.argval, tuple): yield from instr.argval
//         elif isinstance(instr.argval, str): yield instr.argval
//
// `argval` is read anew for every test and for the yield, as that code does.
class ArgvalsBody final : public GeneratorBody {
 public:
  explicit ArgvalsBody(PyObject *code) : code_(Ref::borrow(code)) {}

  PyObject *resume(PyObject *sent) override {
    if (delegate_.active()) {
      Ref out;
      switch (delegate_.send(sent, out)) {
        case YieldFrom::kYielded: return out.release();
        case YieldFrom::kReturned: break;
        case YieldFrom::kError:
        case YieldFrom::kNotThrown: return nullptr;
      }
    } else if (!instructions_ && start() < 0) {
      return nullptr;
    }
    return next_value();
  }

  PyObject *resume_throw(PyObject *args) override {
    if (!delegate_.active()) return GeneratorBody::resume_throw(args);
    Ref out;
    switch (delegate_.throw_in(args, out)) {
      case YieldFrom::kYielded: return out.release();
      case YieldFrom::kReturned: return next_value();
      case YieldFrom::kNotThrown: return not_thrown();
      case YieldFrom::kError: break;
    }
    return nullptr;
  }

  int traverse(visitproc visit, void *arg) override {
    Py_VISIT(code_.get());
    Py_VISIT(instructions_.get());
    if (int r = delegate_.traverse(visit, arg)) return r;
    return GeneratorBody::traverse(visit, arg);
  }

  void clear() override {
    code_.reset();
    instructions_.reset();
    delegate_.clear();
  }

  // The source of instructions is the library's own `get_instructions`,
  // which has no effect beyond its results: a caller may stop early.
  bool side_effect_free() const { return real_source_; }

 private:
  int start() {
    static GlobalSite site_dis;
    Ref dis = global(site_dis, s_dis);
    if (!dis) return -1;
    Ref get_instructions = Ref::steal(PyObject_GetAttr(dis.get(), s_get_instructions));
    if (!get_instructions) return -1;
    real_source_ = get_instructions.get() == g_real.get_instructions && code_ &&
                   PyCode_Check(code_.get());
    Ref instructions = Ref::steal(PyObject_CallOneArg(get_instructions.get(), code_.get()));
    if (!instructions) return -1;
    instructions_ = Ref::steal(PyObject_GetIter(instructions.get()));
    return instructions_ ? 0 : -1;
  }

  PyObject *next_value() {
    while (Ref instr = Ref::steal(PyIter_Next(instructions_.get()))) {
      Ref opname = Ref::steal(PyObject_GetAttr(instr.get(), s_opname));
      if (!opname) return nullptr;
      int skip = is_make_cell(opname.get());
      if (skip < 0) return nullptr;
      if (skip) continue;
      Ref argval = Ref::steal(PyObject_GetAttr(instr.get(), s_argval));
      if (!argval) return nullptr;
      if (PyTuple_Check(argval.get())) {
        argval = Ref::steal(PyObject_GetAttr(instr.get(), s_argval));
        if (!argval || delegate_.start(argval.get()) < 0) return nullptr;
        Ref out;
        switch (delegate_.send(Py_None, out)) {
          case YieldFrom::kYielded: return out.release();
          case YieldFrom::kReturned: continue;
          case YieldFrom::kError:
          case YieldFrom::kNotThrown: return nullptr;
        }
      }
      argval = Ref::steal(PyObject_GetAttr(instr.get(), s_argval));
      if (!argval) return nullptr;
      if (PyUnicode_Check(argval.get())) return PyObject_GetAttr(instr.get(), s_argval);
    }
    return nullptr;  // the instructions ran out, or their iteration failed
  }

  Ref code_;
  Ref instructions_;  // null until the first run
  YieldFrom delegate_;
  bool real_source_ = false;
};

PyObject *instruction_argvals(NativeFunction *, PyObject *const *args) {
  return make_generator(std::make_unique<ArgvalsBody>(args[0]), s_instruction_argvals,
                        s_instruction_argvals);
}

// ---- the key functions ----

// With at most one candidate name: `lambda: f.f_locals[myvars[0]]`.
PyObject *key_single(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *myvars = PyTuple_GET_ITEM(self->closure, 1);
  Ref locals = Ref::steal(PyObject_GetAttr(frame, s_f_locals));
  if (!locals) return nullptr;
  Ref name = Ref::steal(item_zero(myvars));
  if (!name) return nullptr;
  return PyObject_GetItem(locals.get(), name.get());
}

// `simplify_tuple(values)` through the module-level name.
PyObject *simplified(Ref simplify, Ref values) {
  if (!values) return nullptr;
  if (simplify.get() == g_real.simplify_tuple && PyTuple_CheckExact(values.get()))
    return PyTuple_GET_SIZE(values.get()) == 1 ? newref(PyTuple_GET_ITEM(values.get(), 0))
                                               : values.release();
  return PyObject_CallOneArg(simplify.get(), values.get());
}

// With several candidates:
//   lambda: simplify_tuple(tuple(f.f_locals[v] for v in varorder if v in f.f_locals))
PyObject *key_ordered(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *varorder = PyTuple_GET_ITEM(self->closure, 1);
  static GlobalSite site_simplify;
  Ref simplify = global(site_simplify, s_simplify_tuple);
  if (!simplify) return nullptr;
  Ref values = Ref::steal(PyList_New(0));
  if (!values) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(varorder); ++i) {
    PyObject *name = PyList_GET_ITEM(varorder, i);
    Ref locals = Ref::steal(PyObject_GetAttr(frame, s_f_locals));
    if (!locals) return nullptr;
    int bound = PySequence_Contains(locals.get(), name);
    if (bound < 0) return nullptr;
    if (!bound) continue;
    locals = Ref::steal(PyObject_GetAttr(frame, s_f_locals));
    if (!locals) return nullptr;
    Ref value = Ref::steal(PyObject_GetItem(locals.get(), name));
    if (!value || PyList_Append(values.get(), value.get()) < 0) return nullptr;
  }
  return simplified(std::move(simplify), Ref::steal(PyList_AsTuple(values.get())));
}

// The same for a real frame and names that are plain strings: nothing can
// run between the reads of `f_locals` within one call, so reading it once
// gives the same dict with the same contents.
PyObject *key_ordered_frame(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *varorder = PyTuple_GET_ITEM(self->closure, 1);
  static GlobalSite site_simplify;
  Ref simplify = global(site_simplify, s_simplify_tuple);
  if (!simplify) return nullptr;
  Ref locals = Ref::steal(PyObject_GetAttr(frame, s_f_locals));
  if (!locals) return nullptr;
  if (!PyDict_CheckExact(locals.get())) return key_ordered(self, nullptr);
  Py_ssize_t count = PyList_GET_SIZE(varorder);
  Ref values = Ref::steal(PyTuple_New(count));
  if (!values) return nullptr;
  Py_ssize_t bound = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *value = PyDict_GetItemWithError(locals.get(), PyList_GET_ITEM(varorder, i));
    if (value)
      PyTuple_SET_ITEM(values.get(), bound++, newref(value));
    else if (PyErr_Occurred())
      return nullptr;
  }
  if (bound < count) {
    Ref shorter = Ref::steal(PyTuple_GetSlice(values.get(), 0, bound));
    values = std::move(shorter);
  }
  return simplified(std::move(simplify), std::move(values));
}

const FuncSpec kKeySingle{"<lambda>", "_genexpr_key.<locals>.<lambda>", {}, key_single};
const FuncSpec kKeyOrdered{"<lambda>", "_genexpr_key.<locals>.<lambda>", {}, key_ordered};
const FuncSpec kKeyOrderedFrame{"<lambda>", "_genexpr_key.<locals>.<lambda>", {},
                                key_ordered_frame};

// `code.co_varnames[1:]`, with the message of a slice on an object that
// takes no subscript.
PyObject *without_first(PyObject *names) {
  PyMappingMethods *mp = Py_TYPE(names)->tp_as_mapping;
  if (mp && mp->mp_subscript) return mp->mp_subscript(names, g_const.from_one);
  PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(names)->tp_name);
  return nullptr;
}

// Takes `v` out of the set of names still to place (`set.remove`).
int remove_name(PyObject *pending, PyObject *name) {
  int found = PySet_Discard(pending, name);
  if (found < 0) return -1;
  if (!found) {
    Ref key = Ref::steal(PyTuple_Check(name) ? PyTuple_Pack(1, name) : newref(name));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return -1;
  }
  return 0;
}

// Places one value of the scan: 1 when every name is placed, 0 to go on.
int place(PyObject *value, PyObject *pending, PyObject *varorder) {
  int candidate = PySet_Contains(pending, value);
  if (candidate <= 0) return candidate;
  if (PyList_Append(varorder, value) < 0 || remove_name(pending, value) < 0) return -1;
  return PySet_GET_SIZE(pending) == 0;
}

// The candidate names in the order of their first reference in `code`.
PyObject *order_names(PyObject *code, PyObject *myvars) {
  Ref varorder = Ref::steal(PyList_New(0));
  Ref pending = Ref::steal(PySet_New(myvars));
  if (!varorder || !pending) return nullptr;

  static GlobalSite site_argvals;
  Ref argvals = global(site_argvals, s_instruction_argvals);
  if (!argvals) return nullptr;
  if (argvals.get() == g_real.instruction_argvals) {
    // Our own scan, run in place without a generator object; once every
    // name is placed the rest of the bytecode cannot change the order.
    ArgvalsBody scan(code);
    while (Ref value = Ref::steal(scan.resume(Py_None))) {
      int done = place(value.get(), pending.get(), varorder.get());
      if (done < 0) return nullptr;
      if (done && scan.side_effect_free()) break;
    }
    if (PyErr_Occurred()) {
      // As the generator would report it.
      add_traceback("_instruction_argvals");
      convert_escaped_stop_iteration();
      return nullptr;
    }
  } else {
    Ref values = Ref::steal(PyObject_CallOneArg(argvals.get(), code));
    if (!values) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return nullptr;
    while (Ref value = Ref::steal(PyIter_Next(it.get())))
      if (place(value.get(), pending.get(), varorder.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return varorder.release();
}

PyObject *genexpr_key(NativeFunction *, PyObject *const *args) {
  Ref frame = Ref::steal(PyObject_GetAttr(args[0], s_gi_frame));
  if (!frame) return nullptr;
  Ref code = Ref::steal(PyObject_GetAttr(frame.get(), s_f_code));
  if (!code) return nullptr;
  Ref cellvars = Ref::steal(PyObject_GetAttr(code.get(), s_co_cellvars));
  if (!cellvars) return nullptr;
  Ref varnames = Ref::steal(PyObject_GetAttr(code.get(), s_co_varnames));
  if (!varnames) return nullptr;
  Ref locals_after_first = Ref::steal(without_first(varnames.get()));
  if (!locals_after_first) return nullptr;
  Ref myvars = Ref::steal(PyNumber_Add(cellvars.get(), locals_after_first.get()));
  if (!myvars) return nullptr;
  Py_ssize_t count = PyObject_Length(myvars.get());
  if (count < 0) return nullptr;

  if (count < 2) {
    Ref closure = Ref::steal(PyTuple_Pack(2, frame.get(), myvars.get()));
    return closure ? make_function(kKeySingle, nullptr, closure.get()) : nullptr;
  }
  Ref varorder = Ref::steal(order_names(code.get(), myvars.get()));
  if (!varorder) return nullptr;
  bool plain = PyFrame_Check(frame.get());
  for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(varorder.get()); ++i)
    plain = PyUnicode_CheckExact(PyList_GET_ITEM(varorder.get(), i));
  Ref closure = Ref::steal(PyTuple_Pack(2, frame.get(), varorder.get()));
  if (!closure) return nullptr;
  return make_function(plain ? kKeyOrderedFrame : kKeyOrdered, nullptr, closure.get());
}

}  // namespace

const FuncSpec kInstructionArgvals{"_instruction_argvals", nullptr, {"c"}, instruction_argvals};
const FuncSpec kGenexprKey{"_genexpr_key", nullptr, {"x"}, genexpr_key};

}  // namespace vantropy::quarnel
