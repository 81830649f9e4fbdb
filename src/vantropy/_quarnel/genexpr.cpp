// Keys for the items of a generator expression: `_genexpr_key` builds a
// function that reads the expression's live frame and returns the current
// values of its loop variables, ordered by their first reference in the
// expression's bytecode, which `_instruction_argvals` lists.
#include "common.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace vantropy::quarnel {
namespace {

Str s_get_instructions{"get_instructions"};
Str s_opname{"opname"};
Str s_argval{"argval"};
Str s_MAKE_CELL{"MAKE_CELL"};
Str s_gi_frame{"gi_frame"};
Str s_f_code{"f_code"};
Str s_f_locals{"f_locals"};
Str s_co_cellvars{"co_cellvars"};
Str s_co_varnames{"co_varnames"};

Global g_instruction_argvals{"_instruction_argvals"};
Global g_simplify_tuple{"simplify_tuple"};

Constant k_from_one{[] {  // slice(1, None, None)
  Ref one = new_int(1);
  return one ? Ref::steal(PySlice_New(one.get(), nullptr, nullptr)) : one;
}};

// `text == "MAKE_CELL"` with Python equality.
int is_make_cell(PyObject *opname) {
  if (opname == s_MAKE_CELL.get()) return 1;
  if (PyUnicode_CheckExact(opname)) return PyUnicode_Compare(opname, s_MAKE_CELL) == 0;
  return compare(opname, s_MAKE_CELL, Py_EQ);
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

  Step resume(PyObject *sent, Ref &out) override {
    if (delegate_.active()) {
      Step step = delegate_.send(sent, out);
      if (step != Step::kReturned) return step;
    } else if (!instructions_ && !start()) {
      return Step::kRaised;
    }
    return next_value(out);
  }

  Step resume_throw(PyObject *args, Ref &out) override {
    if (!delegate_.active()) return GeneratorBody::resume_throw(args, out);
    Step step = delegate_.throw_in(args, out);
    return step == Step::kReturned ? next_value(out) : step;
  }

  int traverse(visitproc visit, void *arg) override {
    Py_VISIT(code_.get());
    Py_VISIT(instructions_.get());
    return delegate_.traverse(visit, arg);
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
  bool start() {
    Ref dis = g_dis.get();
    if (!dis) return false;
    Ref get_instructions = attr(dis.get(), s_get_instructions);
    if (!get_instructions) return false;
    real_source_ = get_instructions.get() == g_real.get_instructions && code_ &&
                   PyCode_Check(code_.get());
    Ref instructions = call(get_instructions.get(), code_.get());
    if (!instructions) return false;
    instructions_ = Ref::steal(PyObject_GetIter(instructions.get()));
    return static_cast<bool>(instructions_);
  }

  // Runs the loop up to its next yield, or to its end.
  Step next_value(Ref &out) {
    while (Ref instr = Ref::steal(PyIter_Next(instructions_.get()))) {
      Ref opname = attr(instr.get(), s_opname);
      if (!opname) return Step::kRaised;
      int skip = is_make_cell(opname.get());
      if (skip < 0) return Step::kRaised;
      if (skip) continue;
      Ref argval = attr(instr.get(), s_argval);
      if (!argval) return Step::kRaised;
      if (PyTuple_Check(argval.get())) {
        argval = attr(instr.get(), s_argval);
        if (!argval || !delegate_.start(argval.get())) return Step::kRaised;
        Step step = delegate_.send(Py_None, out);
        if (step == Step::kReturned) continue;
        return step;
      }
      argval = attr(instr.get(), s_argval);
      if (!argval) return Step::kRaised;
      if (PyUnicode_Check(argval.get())) {
        out = attr(instr.get(), s_argval);
        return out ? Step::kYielded : Step::kRaised;
      }
    }
    if (PyErr_Occurred()) return Step::kRaised;
    out = nullptr;
    return Step::kReturned;
  }

  Ref code_;
  Ref instructions_;  // null until the first run
  YieldFrom delegate_;
  bool real_source_ = false;
};

Ref instruction_argvals(NativeFunction *, PyObject *const *args) {
  PyObject *name = g_instruction_argvals.name();
  return new_generator(std::make_unique<ArgvalsBody>(args[0]), name, name);
}

// ---- the key functions ----

// With at most one candidate name: `lambda: f.f_locals[myvars[0]]`.
Ref key_single(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *myvars = PyTuple_GET_ITEM(self->closure, 1);
  Ref locals = attr(frame, s_f_locals);
  if (!locals) return nullptr;
  Ref name = first_item(myvars);
  return name ? item(locals.get(), name.get()) : nullptr;
}

// The same when `myvars` is a tuple, whose first item cannot change: the
// closure holds that item.
inline Ref key_single_name(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *name = PyTuple_GET_ITEM(self->closure, 1);
  Ref locals = attr(frame, s_f_locals);
  return locals ? item(locals.get(), name) : nullptr;
}

// `simplify_tuple(values)` through the module-level name.
Ref simplified(Ref simplify, Ref values) {
  if (!values) return nullptr;
  if (simplify.get() == g_real.simplify_tuple && PyTuple_CheckExact(values.get()))
    return PyTuple_GET_SIZE(values.get()) == 1 ? Ref::borrow(PyTuple_GET_ITEM(values.get(), 0))
                                               : values;
  return call(simplify.get(), values.get());
}

// With several candidates:
//   lambda: simplify_tuple(tuple(f.f_locals[v] for v in varorder if v in f.f_locals))
Ref key_ordered(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *varorder = PyTuple_GET_ITEM(self->closure, 1);
  Ref simplify = g_simplify_tuple.get();
  if (!simplify) return nullptr;
  Ref values = Ref::steal(PyList_New(0));
  if (!values) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(varorder); ++i) {
    PyObject *name = PyList_GET_ITEM(varorder, i);
    Ref locals = attr(frame, s_f_locals);
    if (!locals) return nullptr;
    int bound = PySequence_Contains(locals.get(), name);
    if (bound < 0) return nullptr;
    if (!bound) continue;
    locals = attr(frame, s_f_locals);
    if (!locals) return nullptr;
    Ref value = item(locals.get(), name);
    if (!value || PyList_Append(values.get(), value.get()) < 0) return nullptr;
  }
  return simplified(std::move(simplify), Ref::steal(PyList_AsTuple(values.get())));
}

// The same for a real frame and names that are plain strings: nothing can
// run between the reads of `f_locals` within one call, so reading it once
// gives the same dict with the same contents.
Ref key_ordered_frame(NativeFunction *self, PyObject *const *) {
  PyObject *frame = PyTuple_GET_ITEM(self->closure, 0);
  PyObject *varorder = PyTuple_GET_ITEM(self->closure, 1);
  Ref simplify = g_simplify_tuple.get();
  if (!simplify) return nullptr;
  Ref locals = attr(frame, s_f_locals);
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
  if (bound < count) values = Ref::steal(PyTuple_GetSlice(values.get(), 0, bound));
  return simplified(std::move(simplify), std::move(values));
}

const FuncSpec kKeySingle = declare<key_single>("<lambda>", {}, "_genexpr_key.<locals>.<lambda>");
const FuncSpec kKeySingleName =
    declare<key_single_name>("<lambda>", {}, "_genexpr_key.<locals>.<lambda>");
const FuncSpec kKeyOrdered = declare<key_ordered>("<lambda>", {}, "_genexpr_key.<locals>.<lambda>");
const FuncSpec kKeyOrderedFrame =
    declare<key_ordered_frame>("<lambda>", {}, "_genexpr_key.<locals>.<lambda>");

// `code.co_varnames[1:]`, with the message of a slice on an object that
// takes no subscript.
Ref without_first(PyObject *names) {
  PyMappingMethods *mp = Py_TYPE(names)->tp_as_mapping;
  if (mp && mp->mp_subscript) return Ref::steal(mp->mp_subscript(names, k_from_one));
  PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(names)->tp_name);
  return nullptr;
}

// `key in set` (or `set.discard(key)`) as Python's set methods do it: a
// set, which cannot be hashed, is looked up as the frozenset of its items.
int set_lookup(PyObject *set, PyObject *key, bool discard) {
  int found = discard ? PySet_Discard(set, key) : PySet_Contains(set, key);
  if (found >= 0 || !PySet_Check(key) || !PyErr_ExceptionMatches(PyExc_TypeError)) return found;
  PyErr_Clear();
  Ref frozen = Ref::steal(PyFrozenSet_New(key));
  if (!frozen) return -1;
  return discard ? PySet_Discard(set, frozen.get()) : PySet_Contains(set, frozen.get());
}

// Takes `v` out of the set of names still to place (`set.remove`).
int remove_name(PyObject *pending, PyObject *name) {
  int found = set_lookup(pending, name, true);
  if (found < 0) return -1;
  if (!found) {
    Ref key = PyTuple_Check(name) ? tuple_of(name) : Ref::borrow(name);
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return -1;
  }
  return 0;
}

// Places one value of the scan: 1 when every name is placed, 0 to go on.
int place(PyObject *value, PyObject *pending, PyObject *varorder) {
  int candidate = set_lookup(pending, value, false);
  if (candidate <= 0) return candidate;
  if (PyList_Append(varorder, value) < 0 || remove_name(pending, value) < 0) return -1;
  return PySet_GET_SIZE(pending) == 0;
}

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// The scan without `dis`, for Python 3.11 bytecode.  `dis.get_instructions`
// builds a record per instruction in Python, which is nearly all the cost
// of `_genexpr_key`; when `dis` and its `get_instructions` are the library's
// own, the values they would give are read straight from the code object.
// The opcode tables are read from `dis` at each call, as its own code reads
// them.

enum ArgKind : std::uint8_t { kNoValue, kConst, kName, kGlobalName, kLocal, kCompare };

struct OpTables {
  ArgKind kind[256] = {};
  int caches[256] = {};
  long have_argument = 0;
  long extended_arg = 0;
  long make_cell = -1;
  Ref cmp_op;
};

Str s_hasconst{"hasconst"};
Str s_hasname{"hasname"};
Str s_hasjabs{"hasjabs"};
Str s_hasjrel{"hasjrel"};
Str s_haslocal{"haslocal"};
Str s_hasfree{"hasfree"};
Str s_hascompare{"hascompare"};
Str s_cmp_op{"cmp_op"};
Str s_inline_cache_entries{"_inline_cache_entries"};
Str s_HAVE_ARGUMENT{"HAVE_ARGUMENT"};
Str s_EXTENDED_ARG{"EXTENDED_ARG"};
Str s_LOAD_GLOBAL{"LOAD_GLOBAL"};
Str s_LOAD_CONST{"LOAD_CONST"};
Str s_opmap{"opmap"};

// An int attribute of `dis`; false (no exception) when it is not one.
bool dis_int(PyObject *dis, PyObject *name, long &out) {
  Ref value = attr(dis, name);
  if (!value || !PyLong_CheckExact(value.get())) return false;
  out = PyLong_AsLong(value.get());
  return !(out == -1 && PyErr_Occurred());
}

// Marks the opcodes listed in dis.<name> as `kind`, unless an earlier
// list (dis tests them in this order) has claimed them.
bool mark(PyObject *dis, PyObject *name, ArgKind kind, OpTables &t, bool claimed[256]) {
  Ref list = attr(dis, name);
  if (!list || !PyList_CheckExact(list.get())) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject *item = PyList_GET_ITEM(list.get(), i);
    if (!PyLong_CheckExact(item)) return false;
    long op = PyLong_AsLong(item);
    if (op < 0 || op > 255) return false;
    if (!claimed[op]) {
      claimed[op] = true;
      t.kind[op] = kind;
    }
  }
  return true;
}

bool read_tables(PyObject *dis, OpTables &t) {
  bool claimed[256] = {};
  long load_const = -1, load_global = -1;
  if (!dis_int(dis, s_HAVE_ARGUMENT, t.have_argument) ||
      !dis_int(dis, s_EXTENDED_ARG, t.extended_arg) ||
      !dis_int(dis, s_LOAD_GLOBAL, load_global) || !dis_int(dis, s_LOAD_CONST, load_const))
    return false;
  // hasconst: only LOAD_CONST has a value (KW_NAMES reads as dis.UNKNOWN).
  if (!mark(dis, s_hasconst, kNoValue, t, claimed)) return false;
  if (load_const >= 0 && load_const < 256 && claimed[load_const]) t.kind[load_const] = kConst;
  if (!mark(dis, s_hasname, kName, t, claimed)) return false;
  if (load_global >= 0 && load_global < 256 && t.kind[load_global] == kName)
    t.kind[load_global] = kGlobalName;
  if (!mark(dis, s_hasjabs, kNoValue, t, claimed) || !mark(dis, s_hasjrel, kNoValue, t, claimed) ||
      !mark(dis, s_haslocal, kLocal, t, claimed) || !mark(dis, s_hasfree, kLocal, t, claimed) ||
      !mark(dis, s_hascompare, kCompare, t, claimed))
    return false;
  // FORMAT_VALUE's value is a tuple of a converter (None or a built-in) and a
  // bool, which no name can equal; every other opcode gives an int or None.
  t.cmp_op = attr(dis, s_cmp_op);
  if (!t.cmp_op || !PyTuple_CheckExact(t.cmp_op.get())) return false;
  Ref caches = attr(dis, s_inline_cache_entries);
  if (!caches || !PyList_CheckExact(caches.get()) || PyList_GET_SIZE(caches.get()) != 256)
    return false;
  for (int op = 0; op < 256; ++op) {
    PyObject *n = PyList_GET_ITEM(caches.get(), op);
    if (!PyLong_CheckExact(n)) return false;
    long v = PyLong_AsLong(n);
    if (v < 0 || v > 0xFFFF) return false;
    t.caches[op] = static_cast<int>(v);
  }
  Ref opmap = attr(dis, s_opmap);
  if (!opmap || !PyDict_CheckExact(opmap.get())) return false;
  PyObject *make_cell = PyDict_GetItemWithError(opmap.get(), s_MAKE_CELL);
  if (make_cell && PyLong_CheckExact(make_cell)) t.make_cell = PyLong_AsLong(make_cell);
  return !PyErr_Occurred();
}

// Item `index` of `tuple` (borrowed), or null (no exception) when it has
// none there.
PyObject *tuple_item(PyObject *tuple, long long index) {
  if (index < 0 || index >= PyTuple_GET_SIZE(tuple)) return nullptr;
  return PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(index));
}

// The values `_instruction_argvals(code)` yields, in order (borrowed from
// the code object); false when the bytecode holds anything the library's
// scan would fail on, which the general path then reports.
bool scan_values(PyCodeObject *code, const OpTables &t, std::vector<PyObject *> &out) {
  Ref bytes = Ref::steal(PyCode_GetCode(code));
  if (!bytes || !PyBytes_CheckExact(bytes.get())) return false;
  const auto *units = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes.get()));
  Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
  auto [consts, names, locals] = compat::code_tables(code);
  if (!PyTuple_Check(consts) || !PyTuple_Check(names) || !PyTuple_Check(locals)) return false;
  long long extended = 0;
  int caches = 0;
  for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
    if (caches) {
      --caches;
      continue;
    }
    int op = units[i];
    caches = t.caches[op];
    if (op < t.have_argument) {
      extended = 0;
      continue;
    }
    long long arg = units[i + 1] | extended;
    extended = op == t.extended_arg ? (arg << 8) : 0;
    if (extended >= 2147483648LL) extended -= 4294967296LL;
    if (op == t.make_cell) continue;
    PyObject *value = nullptr;
    switch (t.kind[op]) {
      case kNoValue: continue;
      case kConst: value = tuple_item(consts, arg); break;
      case kName: value = tuple_item(names, arg); break;
      case kGlobalName:
        if (arg < 0) return false;
        value = tuple_item(names, arg / 2);
        break;
      case kLocal: value = tuple_item(locals, arg); break;
      case kCompare: value = tuple_item(t.cmp_op.get(), arg); break;
    }
    if (!value) return false;
    if (PyTuple_Check(value) && !PyTuple_CheckExact(value)) return false;  // its own iteration
    if (PyTuple_CheckExact(value)) {
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(value); ++j)
        out.push_back(PyTuple_GET_ITEM(value, j));
    } else if (PyUnicode_Check(value)) {
      out.push_back(value);
    }
  }
  return true;
}

// 1 when the names were placed, 0 when the general path must do it (nothing
// has been placed then), -1 on error.
int place_without_dis(PyObject *code, PyObject *pending, PyObject *varorder) {
  if (!PyCode_Check(code)) return 0;
  Ref dis = g_dis.get();
  if (!dis || dis.get() != g_real.dis_module) {
    PyErr_Clear();  // the general path looks it up again and reports it
    return 0;
  }
  Ref get_instructions = attr(dis.get(), s_get_instructions);
  if (!get_instructions || get_instructions.get() != g_real.get_instructions) {
    PyErr_Clear();
    return 0;
  }
  OpTables tables;
  std::vector<PyObject *> values;
  if (!read_tables(dis.get(), tables) ||
      !scan_values(reinterpret_cast<PyCodeObject *>(code), tables, values)) {
    PyErr_Clear();
    return 0;
  }
  for (PyObject *value : values) {
    int done = place(value, pending, varorder);
    if (done < 0) return -1;
    if (done) break;
  }
  return 1;
}
#else
int place_without_dis(PyObject *, PyObject *, PyObject *) { return 0; }
#endif

// The candidate names in the order of their first reference in `code`.
Ref order_names(PyObject *code, PyObject *myvars) {
  Ref varorder = Ref::steal(PyList_New(0));
  Ref pending = Ref::steal(PySet_New(myvars));
  if (!varorder || !pending) return nullptr;

  Ref argvals = g_instruction_argvals.get();
  if (!argvals) return nullptr;
  int placed = argvals.get() == g_real.instruction_argvals
                   ? place_without_dis(code, pending.get(), varorder.get())
                   : 0;
  if (placed < 0) return nullptr;
  if (placed) {
    // Read straight from the code object.
  } else if (argvals.get() == g_real.instruction_argvals) {
    // Our own scan, run in place without a generator object; once every
    // name is placed the rest of the bytecode cannot change the order.
    ArgvalsBody scan(code);
    Ref value;
    Step step;
    while ((step = scan.resume(Py_None, value)) == Step::kYielded) {
      int done = place(value.get(), pending.get(), varorder.get());
      if (done < 0) return nullptr;
      if (done && scan.side_effect_free()) break;
    }
    if (step == Step::kRaised) {
      // As the generator would report it.
      add_traceback("_instruction_argvals");
      convert_escaped_stop_iteration();
      return nullptr;
    }
  } else {
    Ref values = call(argvals.get(), code);
    if (!values) return nullptr;
    Iteration each(values.get());
    while (Ref value = each.next())
      if (place(value.get(), pending.get(), varorder.get()) < 0) return nullptr;
    if (each.failed()) return nullptr;
  }
  return varorder;
}

Ref genexpr_key(NativeFunction *, PyObject *const *args) {
  Ref frame = attr(args[0], s_gi_frame);
  if (!frame) return nullptr;
  Ref code = attr(frame.get(), s_f_code);
  if (!code) return nullptr;
  Ref cellvars = attr(code.get(), s_co_cellvars);
  if (!cellvars) return nullptr;
  Ref varnames = attr(code.get(), s_co_varnames);
  if (!varnames) return nullptr;
  Ref locals_after_first = without_first(varnames.get());
  if (!locals_after_first) return nullptr;
  Ref myvars = Ref::steal(PyNumber_Add(cellvars.get(), locals_after_first.get()));
  if (!myvars) return nullptr;
  Py_ssize_t count = PyObject_Length(myvars.get());
  if (count < 0) return nullptr;

  // The closure holds `x` too: a frame may read freed memory once its
  // generator is gone (seen on 3.13.0), so the generator lives as long as
  // the key function that reads its frame.
  if (count < 2) {
    bool fixed = PyTuple_CheckExact(myvars.get()) && count == 1;
    Ref closure = tuple_of(frame.get(), fixed ? PyTuple_GET_ITEM(myvars.get(), 0) : myvars.get(),
                           args[0]);
    return closure ? new_function(fixed ? kKeySingleName : kKeySingle, closure.get()) : nullptr;
  }
  Ref varorder = order_names(code.get(), myvars.get());
  if (!varorder) return nullptr;
  bool plain = PyFrame_Check(frame.get());
  for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(varorder.get()); ++i)
    plain = PyUnicode_CheckExact(PyList_GET_ITEM(varorder.get(), i));
  Ref closure = tuple_of(frame.get(), varorder.get(), args[0]);
  return closure ? new_function(plain ? kKeyOrderedFrame : kKeyOrdered, closure.get()) : nullptr;
}

}  // namespace

const FuncSpec kInstructionArgvals = declare<instruction_argvals>("_instruction_argvals", {"c"});
const FuncSpec kGenexprKey = declare<genexpr_key>("_genexpr_key", {"x"});

}  // namespace vantropy::quarnel
