// The native generator object, one type for every module of the package.  A
// module function that must return a generator hands its body, a C++
// object with a resume callback and its own state, to `make_generator`;
// the object supplies everything callers see of a Python generator:
// `next()`, `send()`, `throw()`, `close()`, iteration, `gi_running`, the
// start and exhaustion rules and finalisation.  `YieldFrom` gives a body
// the delegation rules of `yield from`.
#pragma once

#include "state.hpp"

#include <memory>

namespace vantropy {

// How a step of a generator body ended, as the interpreter's own
// generators report it.
enum class Step {
  kYielded,   // the value is the one yielded; the body is suspended
  kReturned,  // the body returned; the value is its return value (null: None)
  kRaised,    // an exception is set; the body is done
  // `throw()` was given arguments that cannot be raised: their TypeError is
  // set, and the body stays suspended where it was.
  kNotThrown,
};

// The code of one generator.  The generator calls `resume` to run the body
// up to its next yield; the body keeps whatever it needs to go on from there.
class VANTROPY_SHARED GeneratorBody {
 public:
  virtual ~GeneratorBody() = default;

  // Runs to the next yield.  `sent` is the value sent in (None for `next()`
  // and for the first run); `out` receives the value yielded or returned.
  virtual Step resume(PyObject *sent, Ref &out) = 0;

  // `throw()` (or `close()`, with GeneratorExit) arrived while the body was
  // suspended; `args` are the arguments of the call.  The body raises them
  // at its suspension point with `raise_thrown` (or first hands them to a
  // delegate).  By default the exception leaves the body.
  virtual Step resume_throw(PyObject *args, Ref &out);

  virtual int traverse(visitproc, void *) { return 0; }
  // Drops every reference the body holds; called when the generator
  // finishes, so that a finished generator keeps nothing alive.
  virtual void clear() {}
};

// A new generator of the module `home` running `body`.  `name` and
// `qualname` appear as `__name__`, `__qualname__` and in `repr`; a failing
// body adds the traceback entry "<module qualname>.<qualname>".
VANTROPY_SHARED Ref make_generator(const ModuleState &home, std::unique_ptr<GeneratorBody> body,
                                   PyObject *name, PyObject *qualname);

// Raises what `throw(type[, value[, traceback]])` was called with (`args`):
// what a body does when a thrown exception reaches its suspension point.
// Returns false, with the interpreter's TypeError set, for arguments that
// cannot be raised.
VANTROPY_SHARED bool raise_thrown(PyObject *args);

// PEP 479: a StopIteration that escaped a generator body becomes
// RuntimeError "generator raised StopIteration", chained to it; any other
// pending exception is left as it is.  Applied to every generator's body,
// and available to code that runs a body in place of a generator object.
VANTROPY_SHARED void convert_escaped_stop_iteration();

// A `yield from` in progress: the iterator delegated to.  A body that
// delegates forwards its `resume` and `resume_throw` here while `active()`.
class VANTROPY_SHARED YieldFrom {
 public:
  bool active() const noexcept { return static_cast<bool>(iter_); }
  // Starts delegating to `iter(iterable)`; false with an exception set.
  bool start(PyObject *iterable);

  // Sends `sent` to the delegate: `next()` for None when it is an iterator,
  // its `send` method otherwise.  kYielded: `out` is the value to yield.
  // kReturned: the delegate finished, `out` holds its return value and
  // delegation is over.  kRaised: the delegate raised; delegation is over.
  Step send(PyObject *sent, Ref &out);

  // A pending exception thrown into the delegating body.  GeneratorExit
  // closes the delegate (its `close` method, when it has one); any other
  // exception goes to the delegate's `throw` method, called with `args`.
  // kYielded and kReturned as for `send`; kRaised: the pending exception
  // (the thrown one, or what the delegate raised instead) is to be raised at
  // the body's suspension point.  Delegation is over unless kYielded.
  // kNotThrown: `raise_thrown` refused the arguments; the delegation stays
  // as it was.
  Step throw_in(PyObject *args, Ref &out);

  int traverse(visitproc visit, void *arg) {
    Py_VISIT(iter_.get());
    return 0;
  }
  void clear() noexcept { iter_.reset(); }

 private:
  Ref iter_;
};

}  // namespace vantropy
