#include "compat.hpp"
#include "module.hpp"

#include <frameobject.h>

#include <string>
#include <unordered_map>

namespace vantropy::compat {
namespace {

// One code object per entry, kept for the process like the module itself;
// null when there is no memory for it.
PyCodeObject *entry_code(const char *funcname, const char *filename, int line) noexcept {
  static std::unordered_map<std::string, PyCodeObject *> cache;
  try {
    std::string key = std::string(funcname) + '\0' + filename + '\0' + std::to_string(line);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PyCodeObject *code = PyCode_NewEmpty(filename, funcname, line);
    if (code) cache.emplace(std::move(key), code);
    return code;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void traceback_add(const char *funcname, const char *filename, int line) {
  // Nothing below may run with the exception set; it is put back before
  // the entry is added to it.
#if PY_VERSION_HEX >= 0x030C0000
  PyObject *pending = PyErr_GetRaisedException();
  auto restore = [&] { PyErr_SetRaisedException(pending); };
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  auto restore = [&] { PyErr_Restore(type, value, tb); };
#endif
  PyCodeObject *code = entry_code(funcname, filename, line);
  PyObject *globals = module_state().dict;
  PyFrameObject *frame = nullptr;
  if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  if (!frame) {
    // Losing an entry is better than losing the exception being reported.
    PyErr_Clear();
    restore();
    return;
  }
  restore();
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace vantropy::compat
