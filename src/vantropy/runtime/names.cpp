#include "names.hpp"

#include "compat.hpp"
#include "module.hpp"

#include <cctype>
#include <vector>

namespace vantropy {
namespace {

// Function-local statics: the registries must exist before the first
// namespace-scope Str or Builtin of any translation unit registers itself.
std::vector<Str *> &string_registry() {
  static std::vector<Str *> registry;
  return registry;
}

std::vector<Builtin *> &builtin_registry() {
  static std::vector<Builtin *> registry;
  return registry;
}

bool is_identifier(const char *text) {
  if (!*text || std::isdigit(static_cast<unsigned char>(*text))) return false;
  for (const char *p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!(std::isalnum(c) || c == '_')) return false;
  }
  return true;
}

}  // namespace

Str::Str(const char *text) : text_(text) { string_registry().push_back(this); }

int Str::create_all() {
  for (Str *s : string_registry()) {
    if (s->obj_) continue;
    PyObject *obj = is_identifier(s->text_) ? PyUnicode_InternFromString(s->text_)
                                            : PyUnicode_FromString(s->text_);
    if (!obj) return -1;
    if (PyObject_Hash(obj) == -1) {
      Py_DECREF(obj);
      return -1;
    }
    s->obj_ = obj;  // kept for the life of the process
  }
  return 0;
}

Builtin::Builtin(const char *name) : name_(name) { builtin_registry().push_back(this); }

int Builtin::load_all(PyObject *builtins_module) {
  // Every one is looked up afresh: a full exec step runs again only after a
  // failed import, which may have taken them while a name was rebound.
  for (Builtin *b : builtin_registry()) {
    PyObject *obj = PyObject_GetAttrString(builtins_module, b->name_);
    if (!obj) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
      PyErr_Clear();
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", b->name_);
      return -1;
    }
    Py_XSETREF(b->obj_, obj);
  }
  return 0;
}

Ref global(GlobalSite &site, PyObject *name) {
  ModuleState &st = module_state();
  std::uint64_t version = compat::namespace_version(st.dict);
  if (site.version == version && site.value) return Ref::borrow(site.value);

  PyObject *value = PyDict_GetItemWithError(st.dict, name);
  if (value) {
    if (version) {  // 0: changes cannot be told, so nothing is kept
      site.version = version;
      site.value = value;
    }
    return Ref::borrow(value);
  }
  if (PyErr_Occurred()) return nullptr;
  // Built-ins are not cached: only the namespace's version guards the cache.
  value = PyDict_GetItemWithError(st.builtins_dict, name);
  if (value) return Ref::borrow(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return nullptr;
}

}  // namespace vantropy
