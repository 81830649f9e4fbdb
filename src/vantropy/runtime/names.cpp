#include "names.hpp"

#include <cctype>
#include <vector>

namespace vantropy {
namespace {

// Function-local statics: a registry must exist before the first
// namespace-scope declaration of any translation unit registers itself.
template <class T>
std::vector<T *> &registry() {
  static std::vector<T *> all;
  return all;
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

Str::Str(const char *text) : text_(text) { registry<Str>().push_back(this); }

int Str::create_all() {
  for (Str *s : registry<Str>()) {
    if (s->obj_) continue;
    Ref obj = is_identifier(s->text_) ? Ref::steal(PyUnicode_InternFromString(s->text_))
                                      : new_str(s->text_);
    if (!obj || PyObject_Hash(obj.get()) == -1) return -1;
    s->obj_ = obj.release();  // kept for the life of the process
  }
  return 0;
}

Builtin::Builtin(const char *name) : name_(name) { registry<Builtin>().push_back(this); }

int Builtin::load_all(PyObject *builtins_module) {
  // Every one is looked up afresh: a full exec step runs again only after a
  // failed import, which may have taken them while a name was rebound.
  for (Builtin *b : registry<Builtin>()) {
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

Constant::Constant(Ref (*make)()) : make_(make) { registry<Constant>().push_back(this); }

int Constant::create_all() {
  for (Constant *c : registry<Constant>()) {
    if (c->obj_) continue;
    c->obj_ = c->make_().release();  // kept for the life of the process
    if (!c->obj_) return -1;
  }
  return 0;
}

Ref Global::lookup(std::uint64_t version) const {
  PyObject *value = PyDict_GetItemWithError(g_module.dict, name_);
  if (value) {
    if (version) {  // 0: changes cannot be told, so nothing is kept
      version_ = version;
      value_ = value;
    }
    return Ref::borrow(value);
  }
  if (PyErr_Occurred()) return nullptr;
  // Built-ins are not kept: only the namespace's version guards the cache.
  value = PyDict_GetItemWithError(g_module.builtins_dict, name_);
  if (value) return Ref::borrow(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_.get());
  return nullptr;
}

}  // namespace vantropy
