#include "error.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <string>
#include <unordered_map>

namespace vantropy {
namespace {

// One code object per entry, kept for the process like the modules
// themselves: making a fresh one per failure grows memory on 3.13, and
// costs time everywhere.  Null when there is no memory for it.
PyCodeObject *entry_code(const char *name, const char *filename) noexcept {
  static std::unordered_map<std::string, PyCodeObject *> cache;
  try {
    std::string key = std::string(name) + '\0' + filename;
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    PyCodeObject *code = PyCode_NewEmpty(filename, name, 1);
    if (code) cache.emplace(std::move(key), code);
    return code;
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void add_traceback_entry(const char *name, const char *filename, PyObject *globals) noexcept {
  // Nothing below may run with the exception set; it is put back before
  // the entry is added to it.
  PendingError pending;
  PyCodeObject *code = entry_code(name, filename);
  Ref frame;
  if (code && globals)
    frame = Ref::steal(reinterpret_cast<PyObject *>(
        PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
  // Losing an entry is better than losing the exception being reported.
  if (!frame) PyErr_Clear();
  pending.restore();
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace vantropy
