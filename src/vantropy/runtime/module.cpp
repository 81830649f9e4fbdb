#include "module.hpp"

#include "compat.hpp"
#include "guard.hpp"
#include "names.hpp"

#include <cstring>
#include <string>

namespace vantropy {
namespace {

ModuleState g_state;

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
  int truth = PyObject_IsTrue(flag.get());
  if (truth < 0) PyErr_Clear();
  return truth > 0;
}

int check_version() {
  unsigned long running = Py_Version;
  int major = static_cast<int>((running >> 24) & 0xff);
  int minor = static_cast<int>((running >> 16) & 0xff);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  char message[256];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, g_state.info->qualname, "does not match", major,
                minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// The exec slot: the module's exec step, which no C++ exception leaves.
int run_exec(PyObject *module) {
  try {
    return g_state.exec(module);
  } catch (...) {
    raise_from_cpp_exception();
    return exec_failed();
  }
}

}  // namespace

ModuleState &module_state() noexcept { return g_state; }

PyObject *module_init(const ModuleInfo &info, int (*exec)(PyObject *)) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_create, reinterpret_cast<void *>(module_create)},
      {Py_mod_exec, reinterpret_cast<void *>(run_exec)},
      {0, nullptr},
  };
  static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, no_methods, slots, nullptr, nullptr, nullptr,
  };
  g_state.info = &info;
  g_state.exec = exec;
  def.m_name = info.shortname;
  def.m_doc = info.doc;
  return PyModuleDef_Init(&def);
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (g_state.interpreter == -1) {
    g_state.interpreter = current;
  } else if (current != g_state.interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_state.module) return newref(g_state.module);

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject *dict = PyModule_GetDict(module.get());
  if (g_state.info->doc) {
    Ref doc = Ref::steal(PyUnicode_FromString(g_state.info->doc));
    if (!doc || PyDict_SetItemString(dict, "__doc__", doc.get()) < 0) return nullptr;
  }
  if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
      copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
      copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
      copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0)
    return nullptr;
  return module.release();
}

int exec_begin(PyObject *module, int (*make_constants)()) {
  ModuleState &st = g_state;
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
  st.dict = PyModule_GetDict(module);
  compat::watch_namespace(st.dict);
  if (!st.builtins) {
    PyObject *builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins) return exec_failed();
    st.builtins = newref(builtins);
    st.builtins_dict = PyModule_GetDict(builtins);
  }
  if (PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0) return exec_failed();
  if (check_version() < 0) return exec_failed();
  int assertions = compat::read_assertions_enabled();
  if (assertions < 0) return exec_failed();
  st.assertions = assertions;

  if (!st.empty_tuple) {
    st.empty_tuple = PyTuple_New(0);
    st.empty_bytes = PyBytes_FromStringAndSize("", 0);
    st.empty_str = PyUnicode_FromStringAndSize("", 0);
    if (!st.empty_tuple || !st.empty_bytes || !st.empty_str) return exec_failed();
  }
  if (Str::create_all() < 0) return exec_failed();
  if (make_constants && make_constants() < 0) return exec_failed();

  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  Ref qualname = Ref::steal(PyUnicode_FromString(st.info->qualname));
  if (!qualname) return exec_failed();
  int present = PyDict_Contains(modules, qualname.get());
  if (present < 0) return exec_failed();
  if (!present && PyDict_SetItem(modules, qualname.get(), module) < 0) return exec_failed();

  if (Builtin::load_all(st.builtins) < 0) return exec_failed();
  return 0;
}

int exec_finish() {
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItemString(g_state.dict, "__test__", test.get()) < 0) return exec_failed();
  return 0;
}

int exec_failed() {
  ModuleState &st = g_state;
  char name[256];
  PyOS_snprintf(name, sizeof name, "init %s", st.info->qualname);
  compat::traceback_add(name, st.info->filename, 1);
  if (st.dict) compat::unwatch_namespace(st.dict);
  st.marker = nullptr;  // the failed module keeps its own
  Py_CLEAR(st.module);
  st.dict = nullptr;
  return -1;
}

void add_traceback(const char *name, int line) {
  std::string full = g_state.info->qualname;
  full += '.';
  full += name;
  compat::traceback_add(full.c_str(), g_state.info->filename, line);
}

int export_function(const char *name, void *fn, const char *signature) {
  ModuleState &st = g_state;
  Ref capi = Ref::steal(PyObject_GetAttrString(st.module, "__pyx_capi__"));
  if (!capi) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    capi = Ref::steal(PyDict_New());
    if (!capi || PyModule_AddObjectRef(st.module, "__pyx_capi__", capi.get()) < 0) return -1;
  }
  Ref capsule = Ref::steal(PyCapsule_New(fn, signature, nullptr));
  if (!capsule) return -1;
  return PyDict_SetItemString(capi.get(), name, capsule.get());
}

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

Ref import_module(const char *name) {
  Ref py_name = Ref::steal(PyUnicode_FromString(name));
  if (!py_name) return nullptr;
  Ref module = Ref::steal(PyImport_GetModule(py_name.get()));
  // A None entry blocks the module; the import below raises for it.
  if (module && module.get() != Py_None && !still_initialising(module.get())) return module;
  if (!module && PyErr_Occurred()) return nullptr;
  Ref top = Ref::steal(
      PyImport_ImportModuleLevelObject(py_name.get(), g_state.dict, nullptr, nullptr, 0));
  if (!top) return nullptr;
  if (!std::strchr(name, '.')) return top;
  // A dotted import returns the top-level package; the module itself is in
  // sys.modules now.
  module = Ref::steal(PyImport_GetModule(py_name.get()));
  if (!module && !PyErr_Occurred())
    PyErr_Format(PyExc_ImportError, "No module named '%s'", name);
  return module;
}

Ref import_from(PyObject *module_name, PyObject *fromlist, PyObject *name) {
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name, g_state.dict, nullptr, fromlist, 0));
  if (!module) return nullptr;
  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
  PyErr_Clear();
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
  if (!full) return nullptr;
  value = Ref::steal(PyImport_GetModule(full.get()));
  if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return value;
}

int import_names(const char *module_name, std::initializer_list<const char *> names) {
  Ref py_module_name = Ref::steal(PyUnicode_FromString(module_name));
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!py_module_name || !fromlist) return -1;
  for (const char *name : names) {
    Ref item = Ref::steal(PyUnicode_InternFromString(name));
    if (!item || PyList_Append(fromlist.get(), item.get()) < 0) return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
    PyObject *name = PyList_GET_ITEM(fromlist.get(), i);
    Ref value = import_from(py_module_name.get(), fromlist.get(), name);
    if (!value || PyDict_SetItem(g_state.dict, name, value.get()) < 0) return -1;
  }
  return 0;
}

PyTypeObject *import_type(PyObject *module, const char *module_name, const char *type_name,
                          Py_ssize_t expected_size) {
  Ref obj = Ref::steal(PyObject_GetAttrString(module, type_name));
  if (!obj) return nullptr;
  if (!PyType_Check(obj.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
    return nullptr;
  }
  auto *type = reinterpret_cast<PyTypeObject *>(obj.get());
  Py_ssize_t basic = type->tp_basicsize;
  Py_ssize_t item = type->tp_itemsize;
  if (item) {
    Py_ssize_t alignment = expected_size % 8 ? expected_size % 8 : 8;
    if (item < alignment) item = alignment;
  }
  if (basic + item < expected_size) {
    PyErr_Format(PyExc_ValueError,
                 "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                 "from C header, got %zd from PyObject",
                 module_name, type_name, expected_size, basic + item);
    return nullptr;
  }
  if (basic > expected_size) {
    char message[512];
    PyOS_snprintf(message, sizeof message,
                  "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd "
                  "from C header, got %zd from PyObject",
                  module_name, type_name, expected_size, basic);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return nullptr;
  }
  return reinterpret_cast<PyTypeObject *>(obj.release());
}

int bind(const char *name, PyObject *value) {
  return PyDict_SetItemString(g_state.dict, name, value);
}

}  // namespace vantropy
