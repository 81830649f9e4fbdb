#include "module.hpp"

#include "compat.hpp"
#include "guard.hpp"
#include "names.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vantropy {

ModuleState g_module;

namespace {

Str s_capi{"__pyx_capi__"};
Str s_prepare{"__prepare__"};
Str s_module_key{"__module__"};
Str s_qualname_key{"__qualname__"};
Str s_doc_key{"__doc__"};

// Copies `spec.<from>` into the namespace as `to`; a missing spec attribute
// is skipped, any other error fails.
int copy_spec_attr(PyObject *spec, PyObject *dict, const char *from, const char *to,
                   bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyDict_SetItemString(dict, to, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
  ModuleState &st = g_module;
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (st.interpreter == -1) {
    st.interpreter = current;
  } else if (current != st.interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (st.module) return newref(st.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject *dict = PyModule_GetDict(module.get());
  if (st.info->doc) {
    Ref doc = new_str(st.info->doc);
    if (!doc || PyDict_SetItemString(dict, "__doc__", doc.get()) < 0) return nullptr;
  }
  if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0)
    return nullptr;
  return module.release();
}

bool still_initialising(PyObject *module) {
  Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
  if (!spec) {
    PyErr_Clear();
    return false;
  }
  Ref flag = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
  if (!flag) {
    PyErr_Clear();
    return false;
  }
  int set = truth(flag.get());
  if (set < 0) PyErr_Clear();
  return set > 0;
}

// Imports a whole module: from sys.modules when it is there and not still
// initialising, else absolutely with this module's namespace as globals.
Ref import_module(const char *name) {
  Ref py_name = new_str(name);
  if (!py_name) return nullptr;
  Ref module = Ref::steal(PyImport_GetModule(py_name.get()));
  // A None entry blocks the module; the import below raises for it.
  if (module && module.get() != Py_None && !still_initialising(module.get())) return module;
  if (!module && PyErr_Occurred()) return nullptr;
  Ref top = Ref::steal(
      PyImport_ImportModuleLevelObject(py_name.get(), g_module.dict, nullptr, nullptr, 0));
  if (!top) return nullptr;
  if (!std::strchr(name, '.')) return top;
  // A dotted import returns the top-level package; the module itself is in
  // sys.modules now.
  module = Ref::steal(PyImport_GetModule(py_name.get()));
  if (!module && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "No module named '%s'", name);
  return module;
}

int check_version() {
  unsigned long running = Py_Version;
  int major = static_cast<int>((running >> 24) & 0xff);
  int minor = static_cast<int>((running >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[256];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, g_module.qualname, "does not match", major,
                minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// A failed exec step: the "init <module>" traceback entry, and the record
// of the module released so that a later import starts again.
int exec_failed() noexcept {
  ModuleState &st = g_module;
  char name[256];
  PyOS_snprintf(name, sizeof name, "init %s", st.qualname);
  add_traceback_entry(name, st.filename, st.dict);
  if (st.dict) compat::unwatch_namespace(st.dict);
  st.marker = nullptr;  // the failed module keeps its own
  Py_CLEAR(st.module);
  return -1;
}

int begin_recorded(PyObject *module);

// The common beginning of the exec step.  1 when the module is already
// executed (nothing more to do), 0 to go on, -1 on failure (reported).
int exec_begin(PyObject *module) {
  ModuleState &st = g_module;
  if (st.module) {
    if (st.module == module) {
      // A re-import: the create step handed back this module and the
      // interpreter reset its state pointer, dropping the marker block of
      // the earlier exec and allocating a new one.  The old one is freed
      // here, or every re-import would lose a block.
      void *current = PyModule_GetState(module);
      if (st.marker && st.marker != current) PyMem_Free(st.marker);
      st.marker = current;
      return 1;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.",
                 st.info->shortname);
    return -1;
  }
  st.module = newref(module);
  st.marker = PyModule_GetState(module);
  Py_XSETREF(st.dict, newref(PyModule_GetDict(module)));
  compat::watch_namespace(st.dict, &st.version);
  return begin_recorded(module) < 0 ? exec_failed() : 0;
}

// The rest of the beginning, once the module is recorded.
int begin_recorded(PyObject *module) {
  ModuleState &st = g_module;
  if (!st.builtins) {
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins) return -1;
    st.builtins = newref(builtins);
    st.builtins_dict = PyModule_GetDict(builtins);
  }
  if (PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0) return -1;
  if (check_version() < 0) return -1;
  int assertions = compat::read_assertions_enabled();
  if (assertions < 0) return -1;
  st.assertions = assertions;

  if (!st.empty_tuple) {
    st.empty_tuple = PyTuple_New(0);
    st.empty_bytes = PyBytes_FromStringAndSize("", 0);
    st.empty_str = PyUnicode_FromStringAndSize("", 0);
    if (!st.empty_tuple || !st.empty_bytes || !st.empty_str) return -1;
  }
  if (Str::create_all() < 0 || Constant::create_all() < 0) return -1;

  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  Ref qualname = new_str(st.qualname);
  if (!qualname) return -1;
  int present = PyDict_Contains(modules, qualname.get());
  if (present < 0) return -1;
  if (!present && PyDict_SetItem(modules, qualname.get(), module) < 0) return -1;

  return Builtin::load_all(st.builtins);
}

// Publishes `fn` in this module's `__pyx_capi__`, creating the table when
// the module has none.
int export_function(const char *name, void *fn, const char *signature) {
  Ref capi;
  int found = optional_attr(g_module.module, s_capi, capi);
  if (found < 0) return -1;
  if (!found) {
    capi = Ref::steal(PyDict_New());
    if (!capi || PyModule_AddObjectRef(g_module.module, "__pyx_capi__", capi.get()) < 0) return -1;
  }
  Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
  if (!capsule) return -1;
  return PyDict_SetItemString(capi.get(), name, capsule.get());
}

// Takes a function from `module.__pyx_capi__`, checking its signature
// string; null with an exception set on failure.
void *import_function(PyObject *module, const char *name, const char *signature) {
  Ref capi = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
  if (!capi) return nullptr;
  const char *module_name = PyModule_GetName(module);
  if (!module_name) return nullptr;
  PyObject *capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), name) : nullptr;
  if (!capsule) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                 module_name, name);
    return nullptr;
  }
  const char *got = PyCapsule_GetName(capsule);
  if (!got && PyErr_Occurred()) return nullptr;
  if (!got || std::strcmp(got, signature) != 0) {
    PyErr_Format(PyExc_TypeError,
                 "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 module_name, name, signature, got ? got : "");
    return nullptr;
  }
  return PyCapsule_GetPointer(capsule, got);
}

int import_names(const Member &m) {
  Ref module_name = new_str(m.module);
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!module_name || !fromlist) return -1;
  for (const char *name : m.names) {
    if (!name) break;
    Ref item = Ref::steal(PyUnicode_InternFromString(name));
    if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
    PyObject *name = PyList_GET_ITEM(fromlist.get(), i);
    Ref value = import_from(module_name.get(), fromlist.get(), name);
    if (!value || set_global(name, value.get()) < 0) return -1;
  }
  return 0;
}

// Takes `module.name` and checks its instance size against the size this
// module was built for.
int import_type(const Member &m) {
  Ref module = import_module(m.module);
  if (!module) return -1;
  Ref obj = Ref::steal(PyObject_GetAttrString(module.get(), m.name));
  if (!obj) return -1;
  if (!PyType_Check(obj.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", m.module, m.name);
    return -1;
  }
  auto *type = reinterpret_cast<PyTypeObject *>(obj.get());
  Py_ssize_t basic = type->tp_basicsize;
  Py_ssize_t item = type->tp_itemsize;
  if (item) {
    Py_ssize_t alignment = m.size % 8 ? m.size % 8 : 8;
    if (item < alignment) item = alignment;
  }
  const char *format =
      "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
      "from C header, got %zd from PyObject";
  if (basic + item < m.size) {
    PyErr_Format(PyExc_ValueError, format, m.module, m.name, m.size, basic + item);
    return -1;
  }
  if (basic > m.size) {
    char message[512];
    PyOS_snprintf(message, sizeof message, format, m.module, m.name, m.size, basic);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return -1;
  }
  // Kept for the process (a later full exec replaces it).
  Py_XSETREF(*m.type, reinterpret_cast<PyTypeObject *>(obj.release()));
  return 0;
}

// The defaults tuple of a declaration: one per distinct set of defaults in
// this module, so functions whose defaults are equal share it.  None when
// it gives none.
Ref defaults_of(const FuncSpec &spec) {
  static std::vector<std::pair<std::string, PyObject *>> made;
  std::string key;
  std::vector<PyObject *> values;
  for (const char *param : spec.params) {
    if (!param) break;
    const char *equals = std::strchr(param, '=');
    if (!equals) continue;
    const char *text = equals + 1;
    PyObject *value = std::strcmp(text, "None") == 0    ? Py_None
                      : std::strcmp(text, "False") == 0 ? Py_False
                      : std::strcmp(text, "True") == 0  ? Py_True
                                                        : nullptr;
    if (!value) {
      PyErr_Format(PyExc_SystemError, "%s(): unsupported default %s", spec.name, param);
      return nullptr;
    }
    key += text;
    key += ',';
    values.push_back(value);
  }
  if (values.empty()) return Ref::borrow(Py_None);
  for (const auto &[text, tuple] : made)
    if (text == key) return Ref::borrow(tuple);
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), newref(values[i]));
  made.emplace_back(std::move(key), newref(tuple.get()));  // kept for the process
  return tuple;
}

int run_member(const Member &m) {
  switch (m.kind) {
    case Member::Kind::kExport:
      return export_function(m.name, m.pointer, m.signature);
    case Member::Kind::kCapsule: {
      Ref module = import_module(m.module);
      if (!module) return -1;
      void *fn = import_function(module.get(), m.name, m.signature);
      if (!fn) return -1;
      m.store(fn);
      return 0;
    }
    case Member::Kind::kImport: {
      Ref module = import_module(m.module);
      return module ? set_global(m.name, module.get()) : -1;
    }
    case Member::Kind::kFrom:
      return import_names(m);
    case Member::Kind::kType:
      return import_type(m);
    case Member::Kind::kFunction: {
      Ref defaults = defaults_of(*m.spec);
      if (!defaults) return -1;
      Ref fn = make_function(g_module, *m.spec, defaults.get(), nullptr);
      if (!fn || set_global(m.spec->name, fn.get()) < 0) return -1;
      if (m.keep) Py_XSETREF(*m.keep, fn.release());
      return 0;
    }
    case Member::Kind::kClass: {
      Ref cls = m.build();
      return cls ? set_global(m.name, cls.get()) : -1;
    }
    case Member::Kind::kStep:
      return m.run();
  }
  return 0;
}

// The exec step: the beginning, the module's table, `__test__`.
int exec_module(PyObject *module) {
  int begun = exec_begin(module);
  if (begun != 0) return begun > 0 ? 0 : -1;
  for (const Member &m : g_module.info->members)
    if (run_member(m) < 0) return exec_failed();
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItemString(g_module.dict, "__test__", test.get()) < 0)
    return exec_failed();
  return 0;
}

// The exec slot, which no C++ exception leaves.
int run_exec(PyObject *module) {
  try {
    return exec_module(module);
  } catch (...) {
    raise_from_cpp_exception();
    return g_module.module ? exec_failed() : -1;
  }
}

}  // namespace

PyObject *module_init(const ModuleInfo &info) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void *>(module_create)},
      {Py_mod_exec, reinterpret_cast<void *>(run_exec)},
      {0, nullptr},
  };
  static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
  };
  g_module.info = &info;
  g_module.qualname = info.qualname;
  g_module.filename = info.filename;
  def.m_name = info.shortname;
  def.m_doc = info.doc;
  return PyModuleDef_Init(&def);
}

void add_traceback(const char *name) {
  char full[512];
  PyOS_snprintf(full, sizeof full, "%s.%s", g_module.qualname, name);
  add_traceback_entry(full, g_module.filename, g_module.dict);
}

Ref import_from(PyObject *module_name, PyObject *fromlist, PyObject *name) {
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name, g_module.dict, nullptr, fromlist, 0));
  if (!module) return nullptr;
  Ref value = attr(module.get(), name);
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
  if (!full) return nullptr;
  value = Ref::steal(PyImport_GetModule(full.get()));
  if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return value;
}

Ref import_now(PyObject *name) {
  return Ref::steal(PyImport_ImportModuleLevelObject(name, g_module.dict, nullptr, nullptr, 0));
}

int set_global(PyObject *name, PyObject *value) {
  return PyDict_SetItem(g_module.dict, name, value);
}

int set_global(const char *name, PyObject *value) {
  return PyDict_SetItemString(g_module.dict, name, value);
}

// ---- classes ----

namespace {

// The most derived metaclass of the bases, as class statements choose it.
Ref calculate_metaclass(PyObject *bases) {
  PyTypeObject *winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, candidate)) continue;
    if (PyType_IsSubtype(candidate, winner)) {
      winner = candidate;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return Ref::borrow(reinterpret_cast<PyObject *>(winner));
}

}  // namespace

ClassBuilder::ClassBuilder(PyObject *name, std::initializer_list<PyObject *> bases,
                           PyObject *doc)
    : name_(name) {
  bases_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
  if (!bases_) return;
  Py_ssize_t i = 0;
  for (PyObject *base : bases) PyTuple_SET_ITEM(bases_.get(), i++, newref(base));
  metaclass_ = calculate_metaclass(bases_.get());
  if (!metaclass_) return;
  Ref prepare;
  int found = optional_attr(metaclass_.get(), s_prepare, prepare);
  if (found < 0) return;
  Ref ns = found ? call(prepare.get(), name, bases_.get()) : Ref::steal(PyDict_New());
  Ref module = new_str(g_module.qualname);
  if (!ns || !module || PyObject_SetItem(ns.get(), s_module_key, module.get()) < 0 ||
      PyObject_SetItem(ns.get(), s_qualname_key, name) < 0 ||
      (doc && PyObject_SetItem(ns.get(), s_doc_key, doc) < 0))
    return;
  ns_ = std::move(ns);
}

bool ClassBuilder::set(PyObject *name, PyObject *value) {
  return PyObject_SetItem(ns_.get(), name, value) == 0;
}

Ref ClassBuilder::method(const FuncSpec &spec) {
  Ref defaults = defaults_of(spec);
  if (!defaults) return nullptr;
  Ref fn = make_function(g_module, spec, defaults.get(), nullptr);
  Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
  if (!fn || !name || !set(name.get(), fn.get())) return nullptr;
  return fn;
}

Ref ClassBuilder::lookup(PyObject *name) {
  Ref value = item(ns_.get(), name);
  if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
  PyErr_Clear();
  value = Ref::borrow(PyDict_GetItemWithError(g_module.dict, name));
  if (value || PyErr_Occurred()) return value;
  value = Ref::borrow(PyDict_GetItemWithError(g_module.builtins_dict, name));
  if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return value;
}

Ref ClassBuilder::finish() { return call(metaclass_.get(), name_, bases_.get(), ns_.get()); }

}  // namespace vantropy
