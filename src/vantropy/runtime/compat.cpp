#include "compat.hpp"

namespace vantropy::compat {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

std::uint64_t g_changes = 0;
int g_watcher = -1;  // this module's watcher id, taken once for the process

// Called before every change of a watched dict (and its deallocation).  The
// caches only need to know that something changed, so every event counts.
int namespace_changed(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
  if (g_namespace_version) g_namespace_version = ++g_changes;
  return 0;
}

}  // namespace

int watch_namespace(PyObject *dict) noexcept {
  if (g_watcher < 0) {
    g_watcher = PyDict_AddWatcher(namespace_changed);
    if (g_watcher < 0) {
      PyErr_Clear();  // no id left: the caches stay unused
      return 0;
    }
  }
  if (PyDict_Watch(g_watcher, dict) < 0) {
    PyErr_Clear();
    g_namespace_version = 0;
    return 0;
  }
  g_namespace_version = ++g_changes;
  return 0;
}

void unwatch_namespace(PyObject *dict) noexcept {
  g_namespace_version = 0;
  if (g_watcher >= 0 && PyDict_Unwatch(g_watcher, dict) < 0) PyErr_Clear();
}
#endif

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
