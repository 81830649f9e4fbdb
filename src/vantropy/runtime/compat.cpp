#include "compat.hpp"

#include "error.hpp"

#include <array>

namespace vantropy::compat {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

// The watched namespaces (one per module) and their counters.
struct Watched {
  PyObject *dict = nullptr;
  std::uint64_t *version = nullptr;
};
std::array<Watched, 8> g_watched;
std::uint64_t g_changes = 0;  // every count handed out, so no value comes back
int g_watcher = -1;           // taken once for the process

// Called before every change of a watched dict (and its deallocation).  The
// caches only need to know that something changed, so every event counts.
int namespace_changed(PyDict_WatchEvent, PyObject *dict, PyObject *, PyObject *) {
  for (Watched &w : g_watched)
    if (w.dict == dict) *w.version = ++g_changes;
  return 0;
}

}  // namespace

void watch_namespace(PyObject *dict, std::uint64_t *version) noexcept {
  *version = 0;
  Watched *slot = nullptr;
  for (Watched &w : g_watched)
    if (!w.dict) {
      slot = &w;
      break;
    }
  if (!slot) return;
  if (g_watcher < 0) {
    g_watcher = PyDict_AddWatcher(namespace_changed);
    if (g_watcher < 0) {
      PyErr_Clear();  // no id left: the caches stay unused
      return;
    }
  }
  if (PyDict_Watch(g_watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  *slot = {dict, version};
  *version = ++g_changes;
}

void unwatch_namespace(PyObject *dict) noexcept {
  for (Watched &w : g_watched) {
    if (w.dict != dict) continue;
    *w.version = 0;
    w = {};
    if (PyDict_Unwatch(g_watcher, dict) < 0) PyErr_Clear();
  }
}
#endif

void attribute_error_context(PyObject *obj, PyObject *name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return;
  Ref exc = PendingError().take();
  if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_AttributeError)) {
    auto *error = reinterpret_cast<PyAttributeErrorObject *>(exc.get());
    if (!error->name && !error->obj &&
        (PyObject_SetAttrString(exc.get(), "name", name) < 0 ||
         PyObject_SetAttrString(exc.get(), "obj", obj) < 0))
      return;  // the error of setting them is what is pending
  }
  set_raised(std::move(exc));
}

int read_assertions_enabled() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  int level = 0;
  if (PyConfig_GetInt("optimization_level", &level) < 0) return -1;
  return level == 0;
#else
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  // Deprecated from 3.12, but set from the configuration at start-up until
  // 3.14 offers the configuration itself.
  return Py_OptimizeFlag == 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif
}

}  // namespace vantropy::compat
