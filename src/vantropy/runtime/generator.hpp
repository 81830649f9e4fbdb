// The native generator object.  A module function that must return a
// generator hands its body, a C++ object with a resume callback and its own
// state, to `make_generator`; the object supplies everything callers see of a
// Python generator: `next()`, `send()`, `throw()`, `close()`, iteration,
// `gi_running`, the start and exhaustion rules and finalisation.  `YieldFrom`
// gives a body the delegation rules of `yield from`.
#pragma once

#include "ref.hpp"

#include <memory>

namespace vantropy {

// The code of one generator.  The generator calls `resume` to run the body
// up to its next yield; the body keeps whatever it needs to go on from there.
class GeneratorBody {
 public:
  virtual ~GeneratorBody() = default;

  // Runs to the next yield.  `sent` is the value sent in (None for `next()`
  // and for the first run).  Returns a new reference to the value yielded,
  // or null: with an exception set the generator fails with it; without,
  // the body has returned, with `result` as its return value (null = None).
  virtual PyObject *resume(PyObject *sent) = 0;

  // `throw()` (or `close()`, with GeneratorExit) arrived while the body was
  // suspended; `args` are the arguments of the call.  The body raises them
  // at its suspension point with `raise_thrown` (or first hands them to a
  // delegate).  Same results as `resume`, plus `not_thrown()` when
  // `raise_thrown` refused the arguments.  By default the exception leaves
  // the body.
  virtual PyObject *resume_throw(PyObject *args);

  virtual int traverse(visitproc visit, void *arg);
  // Drops every reference the body holds; called when the generator
  // finishes, so that a finished generator keeps nothing alive.
  virtual void clear() {}

  Ref result;
};

// A new generator running `body`.  `name` and `qualname` (new references
// made from the texts) appear as `__name__`, `__qualname__` and in `repr`;
// a failing body adds the traceback entry "<module qualname>.<qualname>".
PyObject *make_generator(std::unique_ptr<GeneratorBody> body, PyObject *name,
                         PyObject *qualname);

// Raises what `throw(type[, value[, traceback]])` was called with (`args`):
// what a body does when a thrown exception reaches its suspension point.
// Returns false, with the interpreter's TypeError set, for arguments that
// cannot be raised; the generator is then left as it was.
bool raise_thrown(PyObject *args);

// What `resume_throw` returns after `raise_thrown` refused the arguments:
// the TypeError is pending and the generator stays suspended, as Python's
// generators do for a `throw()` with arguments that cannot be raised.
PyObject *not_thrown() noexcept;

// PEP 479: a StopIteration that escaped a generator body becomes
// RuntimeError "generator raised StopIteration", chained to it; any other
// pending exception is left as it is.  Applied to every generator's body,
// and available to code that runs a body in place of a generator object.
void convert_escaped_stop_iteration();

// The type object, ready after the first `make_generator`.
PyTypeObject *generator_type();

// A `yield from` in progress: the iterator delegated to.  A body that
// delegates forwards its `resume` and `resume_throw` here while `active()`.
class YieldFrom {
 public:
  enum Status { kYielded, kReturned, kError, kNotThrown };

  bool active() const noexcept { return static_cast<bool>(iter_); }
  // Starts delegating to `iter(iterable)`; -1 on error.
  int start(PyObject *iterable);

  // Sends `sent` to the delegate: `next()` for None when it is an iterator,
  // its `send` method otherwise.  kYielded: `out` is the value to yield.
  // kReturned: the delegate finished, `out` holds its return value (None
  // when it gave none) and delegation is over.  kError: the delegate raised;
  // delegation is over.
  Status send(PyObject *sent, Ref &out);

  // A pending exception thrown into the delegating body.  GeneratorExit
  // closes the delegate (its `close` method, when it has one); any other
  // exception goes to the delegate's `throw` method, called with `args`.
  // kYielded and kReturned as for `send`; kError: the pending exception (the
  // thrown one, or what the delegate raised instead) is to be raised at the
  // body's suspension point.  Delegation is over unless kYielded.
  // kNotThrown: `raise_thrown` refused the arguments (TypeError pending);
  // the delegation stays as it was.
  Status throw_in(PyObject *args, Ref &out);

  int traverse(visitproc visit, void *arg) {
    Py_VISIT(iter_.get());
    return 0;
  }
  void clear() noexcept { iter_.reset(); }

 private:
  Ref iter_;
};

}  // namespace vantropy
