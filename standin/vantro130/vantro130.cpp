// The stand-in solver library: environments, models, elements and their
// attributes, with the validation and error reporting of a small but honest
// solver.  There is no optimiser; values are whatever was last stored.
//
// Handles are tokens, not addresses: each new environment or model gets the
// next value of one process-wide counter, and the token is looked up in a
// registry on every call.  A freed token is never issued again, so a stale
// handle kept by a caller can neither crash the library nor alias a newer
// object; it just answers VNT_ERROR_INVALID_HANDLE.
//
// One mutex serialises all calls.  Callers normally hold the interpreter lock
// anyway; the mutex keeps the library honest for callers that do not.

#include "vantro130.h"
#include "vantro130_standin.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr int kNumKinds = 6;

bool element_kind(int kind) { return kind >= VNT_KIND_VAR && kind <= VNT_KIND_SOS; }

// Plural names for messages ("belongs to variables").
std::string kind_noun(int kind) {
  switch (kind) {
    case VNT_KIND_MODEL: return "the model";
    case VNT_KIND_VAR: return "variables";
    case VNT_KIND_CONSTR: return "linear constraints";
    case VNT_KIND_QCONSTR: return "quadratic constraints";
    case VNT_KIND_GENCONSTR: return "general constraints";
    case VNT_KIND_SOS: return "SOS constraints";
    default: return "elements of kind " + std::to_string(kind);
  }
}

std::string quoted(std::string_view name) {
  std::string s = "'";
  s += name;
  s += "'";
  return s;
}

// One stored value.  Strings live on the heap of their own so that the
// pointer handed out by a getter survives vectors of cells being reshuffled
// by element additions and deletions; it changes only when the value does.
struct Cell {
  unsigned char byte = 0;
  int integer = 0;
  double real = 0.0;
  std::unique_ptr<std::string> text;
  bool null_text = false;
};

struct AttrDef {
  std::string name;
  int datatype = VNT_INT;
  int kind = VNT_KIND_MODEL;
  bool settable = false;
  unsigned char byte = 0;
  int integer = 0;
  double real = 0.0;
  std::string text;
  int counts_kind = 0;  // nonzero: the value is the number of elements of that kind
};

AttrDef def_str(const char *name, int kind) {
  AttrDef d;
  d.name = name;
  d.datatype = VNT_STRING;
  d.kind = kind;
  d.settable = true;
  return d;
}

AttrDef def_int(const char *name, int kind, bool settable, int value, int counts_kind = 0) {
  AttrDef d;
  d.name = name;
  d.datatype = VNT_INT;
  d.kind = kind;
  d.settable = settable;
  d.integer = value;
  d.counts_kind = counts_kind;
  return d;
}

AttrDef def_dbl(const char *name, int kind, bool settable, double value) {
  AttrDef d;
  d.name = name;
  d.datatype = VNT_DOUBLE;
  d.kind = kind;
  d.settable = settable;
  d.real = value;
  return d;
}

AttrDef def_char(const char *name, int kind, char value) {
  AttrDef d;
  d.name = name;
  d.datatype = VNT_CHAR;
  d.kind = kind;
  d.settable = true;
  d.byte = static_cast<unsigned char>(value);
  return d;
}

// The order here is the order VNTgetattrname lists them in.
const std::vector<AttrDef> &catalogue() {
  static const std::vector<AttrDef> defs = [] {
    std::vector<AttrDef> v;
    v.push_back(def_str("ModelName", VNT_KIND_MODEL));
    v.push_back(def_int("NumVars", VNT_KIND_MODEL, false, 0, VNT_KIND_VAR));
    v.push_back(def_int("NumConstrs", VNT_KIND_MODEL, false, 0, VNT_KIND_CONSTR));
    v.push_back(def_int("Direction", VNT_KIND_MODEL, true, 1));
    v.push_back(def_dbl("ObjOffset", VNT_KIND_MODEL, true, 0.0));
    v.push_back(def_dbl("ObjValue", VNT_KIND_MODEL, false, VNT_UNDEFINED));
    v.push_back(def_dbl("TimeLimit", VNT_KIND_MODEL, true, VNT_INFINITY));
    v.push_back(def_dbl("LB", VNT_KIND_VAR, true, 0.0));
    v.push_back(def_dbl("UB", VNT_KIND_VAR, true, VNT_INFINITY));
    v.push_back(def_dbl("Cost", VNT_KIND_VAR, true, 0.0));
    v.push_back(def_char("Kind", VNT_KIND_VAR, 'C'));
    v.push_back(def_str("VarName", VNT_KIND_VAR));
    v.push_back(def_dbl("Value", VNT_KIND_VAR, false, VNT_UNDEFINED));
    v.push_back(def_int("Priority", VNT_KIND_VAR, true, 0));
    v.push_back(def_dbl("RHS", VNT_KIND_CONSTR, true, 0.0));
    v.push_back(def_char("Sense", VNT_KIND_CONSTR, '<'));
    v.push_back(def_str("ConstrName", VNT_KIND_CONSTR));
    v.push_back(def_dbl("Dual", VNT_KIND_CONSTR, false, VNT_UNDEFINED));
    v.push_back(def_dbl("QCRHS", VNT_KIND_QCONSTR, true, 0.0));
    v.push_back(def_str("QCName", VNT_KIND_QCONSTR));
    v.push_back(def_str("GenConstrName", VNT_KIND_GENCONSTR));
    v.push_back(def_str("SOSName", VNT_KIND_SOS));
    return v;
  }();
  return defs;
}

Cell fresh_cell(const AttrDef &d) {
  Cell c;
  c.byte = d.byte;
  c.integer = d.integer;
  c.real = d.real;
  if (d.datatype == VNT_STRING) c.text = std::make_unique<std::string>(d.text);
  return c;
}

struct Attr {
  AttrDef def;
  std::vector<Cell> cells;  // one for a model attribute, one per element otherwise
};

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct Model {
  std::vector<Attr> attrs;
  std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> positions;
  std::array<int, kNumKinds> counts{};
  std::string message;
  bool null_message = false;  // a test hook: report the message as a null pointer
  // Keyed by the address of the calling function's __func__, which is unique
  // per function and spells its declared name.
  std::unordered_map<const char *, unsigned long long> calls;
  bool busy = false;
  bool hidden = false;
  bool fail_armed = false;
  int fail_code = 0;
  std::string fail_message;

  std::size_t column_size(int kind) const {
    if (kind == VNT_KIND_MODEL) return 1;
    return element_kind(kind) ? static_cast<std::size_t>(counts[kind]) : 0;
  }

  void define(const AttrDef &d) {
    Attr a{d, {}};
    std::size_t n = column_size(d.kind);
    a.cells.reserve(n);
    for (std::size_t i = 0; i < n; ++i) a.cells.push_back(fresh_cell(d));
    auto it = positions.find(d.name);
    if (it != positions.end()) {
      attrs[it->second] = std::move(a);
    } else {
      positions.emplace(d.name, attrs.size());
      attrs.push_back(std::move(a));
    }
  }

  Attr *find(std::string_view name) {
    auto it = positions.find(name);
    return it == positions.end() ? nullptr : &attrs[it->second];
  }

  void refresh_counts(int kind) {
    for (Attr &a : attrs)
      if (a.def.counts_kind == kind && a.def.kind == VNT_KIND_MODEL) a.cells[0].integer = counts[kind];
  }
};

struct Env {
  std::string message;
  bool null_message = false;  // a test hook: report the message as a null pointer
};

struct Registry {
  std::mutex mu;
  std::uintptr_t last_token = 0x7a1300;
  std::unordered_map<std::uintptr_t, std::unique_ptr<Env>> envs;
  std::unordered_map<std::uintptr_t, std::unique_ptr<Model>> models;

  // Tokens are spaced like aligned pointers so they look plausible in a
  // debugger, and one counter serves both kinds of handle so an environment
  // can never pass for a model.
  std::uintptr_t issue() { return last_token += 16; }
};

// Deliberately never destroyed: handles may be freed from capsule destructors
// while the interpreter shuts down, after this library's static destructors
// would have run.
Registry &registry() {
  static Registry *r = new Registry;
  return *r;
}

Model *find_model(VNTmodel *h) {
  auto &models = registry().models;
  auto it = models.find(reinterpret_cast<std::uintptr_t>(h));
  return it == models.end() ? nullptr : it->second.get();
}

Env *find_env(VNTenv *h) {
  auto &envs = registry().envs;
  auto it = envs.find(reinterpret_cast<std::uintptr_t>(h));
  return it == envs.end() ? nullptr : it->second.get();
}

int fail(Model &m, int code, std::string message) {
  m.message = std::move(message);
  m.null_message = false;
  return code;
}

// Which test hooks a call is subject to.
enum class Gate {
  None,  // element bookkeeping, messages, catalogue listing
  Info,  // VNTgetattrinfo: an injected failure, but not the busy state
  Data,  // get, set, list, prefetch: both
};

// Validates the handle and counts the call; then applies an injected failure
// and the busy state as `gate` says.  On 0, *out is the live model.
int begin_call(VNTmodel *h, const char *fn, Gate gate, const char *attrname, Model *&out) {
  out = nullptr;
  if (h == nullptr) return VNT_ERROR_NULL_ARGUMENT;
  Model *m = find_model(h);
  if (m == nullptr) return VNT_ERROR_INVALID_HANDLE;
  ++m->calls[fn];
  if (gate != Gate::None && m->fail_armed) {
    m->fail_armed = false;
    m->message = std::move(m->fail_message);
    m->null_message = false;
    m->fail_message.clear();
    return m->fail_code;
  }
  if (gate == Gate::Data && m->busy) {
    std::string msg = "Optimization in progress";
    if (attrname != nullptr) msg += "; attribute " + quoted(attrname) + " cannot be accessed now";
    return fail(*m, VNT_ERROR_OPTIMIZATION_IN_PROGRESS, std::move(msg));
  }
  out = m;
  return 0;
}

enum class Level { Model, Element };

// Finds the attribute and checks that the call fits it: the right level, the
// right data type and, for writes, that it is settable.
int resolve(Model &m, const char *name, int datatype, const char *type_label, Level level,
            bool write, Attr *&out) {
  if (name == nullptr) return fail(m, VNT_ERROR_NULL_ARGUMENT, "Null attribute name");
  Attr *a = m.find(name);
  if (a == nullptr) return fail(m, VNT_ERROR_UNKNOWN_ATTRIBUTE, "Unknown attribute " + quoted(name));
  bool is_model = a->def.kind == VNT_KIND_MODEL;
  if (level == Level::Model && !is_model)
    return fail(m, VNT_ERROR_INVALID_ARGUMENT,
                "Attribute " + quoted(name) + " belongs to " + kind_noun(a->def.kind) +
                    " and needs an element index");
  if (level == Level::Element && is_model)
    return fail(m, VNT_ERROR_INVALID_ARGUMENT,
                "Attribute " + quoted(name) + " belongs to the model and takes no element index");
  if (a->def.datatype != datatype)
    return fail(m, VNT_ERROR_INVALID_ARGUMENT,
                "Attribute " + quoted(name) + " is not of type " + type_label);
  if (write && !a->def.settable)
    return fail(m, VNT_ERROR_NOT_SUPPORTED, "Attribute " + quoted(name) + " cannot be set");
  out = a;
  return 0;
}

int check_index(Model &m, const Attr &a, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= a.cells.size())
    return fail(m, VNT_ERROR_INDEX_OUT_OF_RANGE,
                "Index " + std::to_string(index) + " out of range for attribute " + quoted(a.def.name));
  return 0;
}

// Everything a list call checks before it touches a single value.
int check_list(Model &m, const Attr &a, int len, const int *ind, bool have_values) {
  const std::string name = quoted(a.def.name);
  if (len < 0)
    return fail(m, VNT_ERROR_INVALID_ARGUMENT,
                "Negative length " + std::to_string(len) + " for attribute " + name);
  if (len == 0) return 0;
  if (ind == nullptr) return fail(m, VNT_ERROR_NULL_ARGUMENT, "Null index array for attribute " + name);
  if (!have_values) return fail(m, VNT_ERROR_NULL_ARGUMENT, "Null value array for attribute " + name);
  for (int i = 0; i < len; ++i)
    if (int rc = check_index(m, a, ind[i])) return rc;
  return 0;
}

// Per data type: how a value crosses the C boundary.
struct CharT {
  static constexpr int code = VNT_CHAR;
  static constexpr const char *label = "char";
  static char read(const Cell &c) { return static_cast<char>(c.byte); }
  static bool acceptable(char) { return true; }
  static void write(Cell &c, char v) { c.byte = static_cast<unsigned char>(v); }
};

struct IntT {
  static constexpr int code = VNT_INT;
  static constexpr const char *label = "int";
  static int read(const Cell &c) { return c.integer; }
  static bool acceptable(int) { return true; }
  static void write(Cell &c, int v) { c.integer = v; }
};

struct DblT {
  static constexpr int code = VNT_DOUBLE;
  static constexpr const char *label = "double";
  static double read(const Cell &c) { return c.real; }
  static bool acceptable(double) { return true; }
  static void write(Cell &c, double v) { c.real = v; }
};

struct StrT {
  static constexpr int code = VNT_STRING;
  static constexpr const char *label = "string";
  // The interface hands out char * although callers must not write to it.
  static char *read(const Cell &c) {
    return c.null_text || !c.text ? nullptr : const_cast<char *>(c.text->c_str());
  }
  static bool acceptable(const char *v) { return v != nullptr; }
  static void write(Cell &c, const char *v) {
    if (c.text) {
      c.text->assign(v);
    } else {
      c.text = std::make_unique<std::string>(v);
    }
    c.null_text = false;
  }
};

template <class Tr>
std::string unacceptable(const Attr &a) {
  return std::string("Null ") + Tr::label + " value for attribute " + quoted(a.def.name);
}

template <class Tr, class Out>
int get_one(VNTmodel *h, const char *fn, const char *name, Level level, int index, Out *value) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(h, fn, Gate::Data, name, m)) return rc;
  Attr *a;
  if (int rc = resolve(*m, name, Tr::code, Tr::label, level, false, a)) return rc;
  if (level == Level::Model) index = 0;
  else if (int rc = check_index(*m, *a, index)) return rc;
  if (value == nullptr)
    return fail(*m, VNT_ERROR_NULL_ARGUMENT, "Null value pointer for attribute " + quoted(name));
  *value = Tr::read(a->cells[static_cast<std::size_t>(index)]);
  return 0;
}

template <class Tr, class In>
int set_one(VNTmodel *h, const char *fn, const char *name, Level level, int index, In value) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(h, fn, Gate::Data, name, m)) return rc;
  Attr *a;
  if (int rc = resolve(*m, name, Tr::code, Tr::label, level, true, a)) return rc;
  if (level == Level::Model) index = 0;
  else if (int rc = check_index(*m, *a, index)) return rc;
  if (!Tr::acceptable(value)) return fail(*m, VNT_ERROR_NULL_ARGUMENT, unacceptable<Tr>(*a));
  Tr::write(a->cells[static_cast<std::size_t>(index)], value);
  return 0;
}

template <class Tr, class Out>
int get_list(VNTmodel *h, const char *fn, const char *name, int len, const int *ind, Out *values) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(h, fn, Gate::Data, name, m)) return rc;
  Attr *a;
  if (int rc = resolve(*m, name, Tr::code, Tr::label, Level::Element, false, a)) return rc;
  if (int rc = check_list(*m, *a, len, ind, values != nullptr)) return rc;
  for (int i = 0; i < len; ++i) values[i] = Tr::read(a->cells[static_cast<std::size_t>(ind[i])]);
  return 0;
}

template <class Tr, class In>
int set_list(VNTmodel *h, const char *fn, const char *name, int len, const int *ind, const In *values) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(h, fn, Gate::Data, name, m)) return rc;
  Attr *a;
  if (int rc = resolve(*m, name, Tr::code, Tr::label, Level::Element, true, a)) return rc;
  if (int rc = check_list(*m, *a, len, ind, values != nullptr)) return rc;
  for (int i = 0; i < len; ++i)
    if (!Tr::acceptable(values[i]))
      return fail(*m, VNT_ERROR_NULL_ARGUMENT,
                  unacceptable<Tr>(*a) + " at position " + std::to_string(i));
  for (int i = 0; i < len; ++i) Tr::write(a->cells[static_cast<std::size_t>(ind[i])], values[i]);
  return 0;
}

// Hooks explain their failures here instead of in a handle's message.
thread_local std::string hook_error;

int hook_fail(int code, std::string why) {
  hook_error = std::move(why);
  return code;
}

int hook_model(VNTmodel *h, Model *&out) {
  out = nullptr;
  if (h == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null model handle");
  out = find_model(h);
  if (out == nullptr) return hook_fail(VNT_ERROR_INVALID_HANDLE, "Invalid model handle (freed or never created)");
  return 0;
}

// The value a hook addresses: `index` -1 for a model attribute.
int hook_cell(Model &m, const char *name, int index, Attr *&attr, Cell *&cell) {
  if (name == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null attribute name");
  attr = m.find(name);
  if (attr == nullptr) return hook_fail(VNT_ERROR_UNKNOWN_ATTRIBUTE, "Unknown attribute " + quoted(name));
  if (attr->def.kind == VNT_KIND_MODEL) {
    if (index != -1)
      return hook_fail(VNT_ERROR_INDEX_OUT_OF_RANGE,
                       "Attribute " + quoted(name) + " belongs to the model; use index -1, not " +
                           std::to_string(index));
    cell = &attr->cells[0];
    return 0;
  }
  if (index < 0 || static_cast<std::size_t>(index) >= attr->cells.size())
    return hook_fail(VNT_ERROR_INDEX_OUT_OF_RANGE,
                     "Index " + std::to_string(index) + " out of range for attribute " + quoted(name));
  cell = &attr->cells[static_cast<std::size_t>(index)];
  return 0;
}

int hook_bytes(const char *bytes, std::size_t len, std::string &out) {
  if (bytes == nullptr && len > 0) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null message bytes");
  out.assign(bytes == nullptr ? "" : bytes, len);
  return 0;
}

}  // namespace

extern "C" {

// ---- Environments --------------------------------------------------------

int VNTnewenv(VNTenv **envP, const char *license) {
  if (envP == nullptr) return VNT_ERROR_NULL_ARGUMENT;
  *envP = nullptr;
  if (license != nullptr && *license != '\0' && std::strcmp(license, "demo") != 0)
    return VNT_ERROR_INVALID_ARGUMENT;  // no environment, so nowhere to say why
  std::lock_guard lock(registry().mu);
  std::uintptr_t token = registry().issue();
  registry().envs.emplace(token, std::make_unique<Env>());
  *envP = reinterpret_cast<VNTenv *>(token);
  return 0;
}

// Models do not depend on their environment once created, so freeing an
// environment leaves its models fully usable; each is freed on its own.
int VNTfreeenv(VNTenv *env) {
  if (env == nullptr) return VNT_ERROR_NULL_ARGUMENT;
  std::lock_guard lock(registry().mu);
  if (registry().envs.erase(reinterpret_cast<std::uintptr_t>(env)) == 0) return VNT_ERROR_INVALID_HANDLE;
  return 0;
}

const char *VNTgeterrormsg(VNTenv *env) {
  std::lock_guard lock(registry().mu);
  Env *e = env == nullptr ? nullptr : find_env(env);
  if (e == nullptr) return "Invalid environment handle";
  return e->null_message ? nullptr : e->message.c_str();
}

// ---- Models and elements -------------------------------------------------

int VNTnewmodel(VNTenv *env, VNTmodel **modelP, const char *name) {
  if (modelP != nullptr) *modelP = nullptr;
  if (env == nullptr) return VNT_ERROR_NULL_ARGUMENT;
  std::lock_guard lock(registry().mu);
  Env *e = find_env(env);
  if (e == nullptr) return VNT_ERROR_INVALID_HANDLE;
  if (modelP == nullptr) {
    e->message = "Null pointer for the new model";
    return VNT_ERROR_NULL_ARGUMENT;
  }
  auto m = std::make_unique<Model>();
  m->attrs.reserve(catalogue().size());
  for (const AttrDef &d : catalogue()) m->define(d);
  if (name != nullptr) StrT::write(m->find("ModelName")->cells[0], name);
  std::uintptr_t token = registry().issue();
  registry().models.emplace(token, std::move(m));
  *modelP = reinterpret_cast<VNTmodel *>(token);
  return 0;
}

int VNTfreemodel(VNTmodel *model) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::None, nullptr, m)) return rc;
  registry().models.erase(reinterpret_cast<std::uintptr_t>(model));
  return 0;
}

int VNTaddelement(VNTmodel *model, int kind, int *indexP) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::None, nullptr, m)) return rc;
  if (!element_kind(kind))
    return fail(*m, VNT_ERROR_INVALID_ARGUMENT,
                "Cannot add an element of kind " + std::to_string(kind) + "; elements have kinds 1 to 5");
  for (Attr &a : m->attrs)
    if (a.def.kind == kind) a.cells.push_back(fresh_cell(a.def));
  int index = m->counts[kind]++;
  m->refresh_counts(kind);
  if (indexP != nullptr) *indexP = index;
  return 0;
}

// Later elements of the kind move down by one, as their indices do in a
// solver that keeps elements in dense arrays.
int VNTdelelement(VNTmodel *model, int kind, int index) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::None, nullptr, m)) return rc;
  if (!element_kind(kind))
    return fail(*m, VNT_ERROR_INVALID_ARGUMENT,
                "Cannot delete an element of kind " + std::to_string(kind) + "; elements have kinds 1 to 5");
  if (index < 0 || index >= m->counts[kind])
    return fail(*m, VNT_ERROR_INDEX_OUT_OF_RANGE,
                "Index " + std::to_string(index) + " out of range for " + kind_noun(kind));
  for (Attr &a : m->attrs)
    if (a.def.kind == kind) a.cells.erase(a.cells.begin() + index);
  --m->counts[kind];
  m->refresh_counts(kind);
  return 0;
}

int VNTgetnumelements(VNTmodel *model, int kind, int *countP) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::None, nullptr, m)) return rc;
  if (!element_kind(kind))
    return fail(*m, VNT_ERROR_INVALID_ARGUMENT,
                "Kind " + std::to_string(kind) + " has no elements; elements have kinds 1 to 5");
  if (countP == nullptr) return fail(*m, VNT_ERROR_NULL_ARGUMENT, "Null count pointer");
  *countP = m->counts[kind];
  return 0;
}

const char *VNTgetmerrormsg(VNTmodel *model) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (begin_call(model, __func__, Gate::None, nullptr, m) != 0) return "Invalid model handle";
  return m->null_message ? nullptr : m->message.c_str();
}

// ---- Attribute metadata --------------------------------------------------

int VNTgetattrinfo(VNTmodel *model, const char *attrname, int *datatypeP, int *sizeP, int *settableP) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::Info, attrname, m)) return rc;
  if (attrname == nullptr) return fail(*m, VNT_ERROR_NULL_ARGUMENT, "Null attribute name");
  const Attr *a = m->find(attrname);
  if (a == nullptr) return fail(*m, VNT_ERROR_UNKNOWN_ATTRIBUTE, "Unknown attribute " + quoted(attrname));
  if (datatypeP != nullptr) *datatypeP = a->def.datatype;
  if (sizeP != nullptr) *sizeP = a->def.kind;
  if (settableP != nullptr) *settableP = a->def.settable ? 1 : 0;
  return 0;
}

// A count cannot carry an error code; an unusable handle has no attributes.
int VNTgetnumattributes(VNTmodel *model) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (begin_call(model, __func__, Gate::None, nullptr, m) != 0) return 0;
  return m->hidden ? 0 : static_cast<int>(m->attrs.size());
}

int VNTgetattrname(VNTmodel *model, int i, char **attrnameP) {
  std::lock_guard lock(registry().mu);
  if (attrnameP != nullptr) *attrnameP = nullptr;
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::None, nullptr, m)) return rc;
  if (attrnameP == nullptr) return fail(*m, VNT_ERROR_NULL_ARGUMENT, "Null pointer for the attribute name");
  if (i < 0 || static_cast<std::size_t>(i) >= m->attrs.size())
    return fail(*m, VNT_ERROR_INDEX_OUT_OF_RANGE,
                "Attribute position " + std::to_string(i) + " out of range; the model has " +
                    std::to_string(m->attrs.size()) + " attributes");
  *attrnameP = const_cast<char *>(m->attrs[static_cast<std::size_t>(i)].def.name.c_str());
  return 0;
}

// Values are always at hand here, so prefetching only checks the name.
int VNTprefetchattr(VNTmodel *model, const char *attrname) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = begin_call(model, __func__, Gate::Data, attrname, m)) return rc;
  if (attrname == nullptr) return fail(*m, VNT_ERROR_NULL_ARGUMENT, "Null attribute name");
  if (m->find(attrname) == nullptr)
    return fail(*m, VNT_ERROR_UNKNOWN_ATTRIBUTE, "Unknown attribute " + quoted(attrname));
  return 0;
}

// ---- Model-level values --------------------------------------------------

int VNTgetintattr(VNTmodel *model, const char *attrname, int *valueP) {
  return get_one<IntT>(model, __func__, attrname, Level::Model, 0, valueP);
}
int VNTgetdblattr(VNTmodel *model, const char *attrname, double *valueP) {
  return get_one<DblT>(model, __func__, attrname, Level::Model, 0, valueP);
}
int VNTgetstrattr(VNTmodel *model, const char *attrname, char **valueP) {
  return get_one<StrT>(model, __func__, attrname, Level::Model, 0, valueP);
}
int VNTsetintattr(VNTmodel *model, const char *attrname, int value) {
  return set_one<IntT>(model, __func__, attrname, Level::Model, 0, value);
}
int VNTsetdblattr(VNTmodel *model, const char *attrname, double value) {
  return set_one<DblT>(model, __func__, attrname, Level::Model, 0, value);
}
int VNTsetstrattr(VNTmodel *model, const char *attrname, const char *value) {
  return set_one<StrT>(model, __func__, attrname, Level::Model, 0, value);
}

// ---- Single elements -----------------------------------------------------

int VNTgetcharattrelement(VNTmodel *model, const char *attrname, int element, char *valueP) {
  return get_one<CharT>(model, __func__, attrname, Level::Element, element, valueP);
}
int VNTgetintattrelement(VNTmodel *model, const char *attrname, int element, int *valueP) {
  return get_one<IntT>(model, __func__, attrname, Level::Element, element, valueP);
}
int VNTgetdblattrelement(VNTmodel *model, const char *attrname, int element, double *valueP) {
  return get_one<DblT>(model, __func__, attrname, Level::Element, element, valueP);
}
int VNTgetstrattrelement(VNTmodel *model, const char *attrname, int element, char **valueP) {
  return get_one<StrT>(model, __func__, attrname, Level::Element, element, valueP);
}
int VNTsetcharattrelement(VNTmodel *model, const char *attrname, int element, char value) {
  return set_one<CharT>(model, __func__, attrname, Level::Element, element, value);
}
int VNTsetintattrelement(VNTmodel *model, const char *attrname, int element, int value) {
  return set_one<IntT>(model, __func__, attrname, Level::Element, element, value);
}
int VNTsetdblattrelement(VNTmodel *model, const char *attrname, int element, double value) {
  return set_one<DblT>(model, __func__, attrname, Level::Element, element, value);
}
int VNTsetstrattrelement(VNTmodel *model, const char *attrname, int element, const char *value) {
  return set_one<StrT>(model, __func__, attrname, Level::Element, element, value);
}

// ---- Lists ---------------------------------------------------------------

int VNTgetcharattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char *values) {
  return get_list<CharT>(model, __func__, attrname, len, ind, values);
}
int VNTgetintattrlist(VNTmodel *model, const char *attrname, int len, int *ind, int *values) {
  return get_list<IntT>(model, __func__, attrname, len, ind, values);
}
int VNTgetdblattrlist(VNTmodel *model, const char *attrname, int len, int *ind, double *values) {
  return get_list<DblT>(model, __func__, attrname, len, ind, values);
}
int VNTgetstrattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char **values) {
  return get_list<StrT>(model, __func__, attrname, len, ind, values);
}
int VNTsetcharattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char *values) {
  return set_list<CharT>(model, __func__, attrname, len, ind, values);
}
int VNTsetintattrlist(VNTmodel *model, const char *attrname, int len, int *ind, int *values) {
  return set_list<IntT>(model, __func__, attrname, len, ind, values);
}
int VNTsetdblattrlist(VNTmodel *model, const char *attrname, int len, int *ind, double *values) {
  return set_list<DblT>(model, __func__, attrname, len, ind, values);
}
int VNTsetstrattrlist(VNTmodel *model, const char *attrname, int len, int *ind, char **values) {
  return set_list<StrT>(model, __func__, attrname, len, ind, values);
}

// ---- Test hooks ----------------------------------------------------------

const char *VNTstandin_hook_error(void) { return hook_error.c_str(); }

int VNTstandin_fail_next(VNTmodel *model, int code, const char *message, size_t len) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  std::string text;
  if (int rc = hook_bytes(message, len, text)) return rc;
  m->fail_armed = true;
  m->fail_code = code;
  m->fail_message = std::move(text);
  return 0;
}

int VNTstandin_set_busy(VNTmodel *model, int flag) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  m->busy = flag != 0;
  return 0;
}

int VNTstandin_set_model_error_message(VNTmodel *model, const char *bytes, size_t len) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  m->null_message = false;
  return hook_bytes(bytes, len, m->message);
}

int VNTstandin_set_model_null_message(VNTmodel *model) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  m->null_message = true;
  return 0;
}

int VNTstandin_set_env_error_message(VNTenv *env, const char *bytes, size_t len) {
  std::lock_guard lock(registry().mu);
  if (env == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null environment handle");
  Env *e = find_env(env);
  if (e == nullptr)
    return hook_fail(VNT_ERROR_INVALID_HANDLE, "Invalid environment handle (freed or never created)");
  e->null_message = false;
  return hook_bytes(bytes, len, e->message);
}

int VNTstandin_set_env_null_message(VNTenv *env) {
  std::lock_guard lock(registry().mu);
  if (env == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null environment handle");
  Env *e = find_env(env);
  if (e == nullptr)
    return hook_fail(VNT_ERROR_INVALID_HANDLE, "Invalid environment handle (freed or never created)");
  e->null_message = true;
  return 0;
}

int VNTstandin_set_null_string(VNTmodel *model, const char *attrname, int index) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  Attr *a;
  Cell *c;
  if (int rc = hook_cell(*m, attrname, index, a, c)) return rc;
  if (a->def.datatype != VNT_STRING)
    return hook_fail(VNT_ERROR_INVALID_ARGUMENT, "Attribute " + quoted(attrname) + " is not a string attribute");
  c->null_text = true;
  return 0;
}

int VNTstandin_define_attribute(VNTmodel *model, const char *attrname, int datatype, int kind, int settable) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  if (attrname == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null attribute name");
  if (*attrname == '\0') return hook_fail(VNT_ERROR_INVALID_ARGUMENT, "Empty attribute name");
  AttrDef d;
  d.name = attrname;
  d.datatype = datatype;
  d.kind = kind;
  d.settable = settable != 0;
  m->define(d);
  return 0;
}

int VNTstandin_hide_attributes(VNTmodel *model, int flag) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  m->hidden = flag != 0;
  return 0;
}

int VNTstandin_raw_get(VNTmodel *model, const char *attrname, int index, VNTstandin_value *out) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  if (out == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null output pointer");
  Attr *a;
  Cell *c;
  if (int rc = hook_cell(*m, attrname, index, a, c)) return rc;
  int type = a->def.datatype;
  if (type < VNT_CHAR || type > VNT_STRING)
    return hook_fail(VNT_ERROR_INVALID_ARGUMENT, "Attribute " + quoted(attrname) + " has data type " +
                                                     std::to_string(type) + ", which holds no value");
  *out = VNTstandin_value{};
  out->datatype = type;
  out->charval = c->byte;
  out->intval = c->integer;
  out->dblval = c->real;
  if (type == VNT_STRING) {
    out->is_null = c->null_text ? 1 : 0;
    out->strval = c->text ? c->text->c_str() : "";
    out->strlen = c->text ? c->text->size() : 0;
  }
  return 0;
}

int VNTstandin_calls(VNTmodel *model, VNTstandin_call_visitor visit, void *ctx) {
  std::vector<std::pair<const char *, unsigned long long>> snapshot;
  {
    std::lock_guard lock(registry().mu);
    Model *m;
    if (int rc = hook_model(model, m)) return rc;
    if (visit == nullptr) return hook_fail(VNT_ERROR_NULL_ARGUMENT, "Null visitor");
    for (const auto &[name, count] : m->calls)
      if (count > 0) snapshot.emplace_back(name, count);
  }
  for (const auto &[name, count] : snapshot)
    if (int rc = visit(name, count, ctx)) return rc;
  return 0;
}

int VNTstandin_reset_calls(VNTmodel *model) {
  std::lock_guard lock(registry().mu);
  Model *m;
  if (int rc = hook_model(model, m)) return rc;
  m->calls.clear();
  return 0;
}

}  // extern "C"
