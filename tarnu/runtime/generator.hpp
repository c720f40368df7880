// The native generator type shared by every module of the package.
//
// A generator runs a *body*: a function resumed with the value sent in that
// returns the next value to yield. The protocol (send, throw, close,
// iteration, the standard messages) and delegation in the manner of
// `yield from` live here, once; a body only says what to do next.
//
// The type is created by whichever module initialises first and shared
// through the interpreter, so all package generators have one type.
#pragma once
#include <Python.h>

#include <cstdint>

#include "errors.hpp"

namespace tarnu::runtime {

struct Generator;

struct GeneratorBody {
    // Called at every resumption that is not absorbed by a delegate. `sent`
    // is the value sent in (borrowed; None at the first resumption; after a
    // delegate ended, the value it returned, as `yield from` evaluates to),
    // or null when an exception is being thrown in (it is pending). Returns
    // a new reference to yield; or null to end the generator: with an
    // exception pending it propagates, without one the generator finishes
    // (StopIteration).
    PyObject *(*resume)(Generator *gen, PyObject *sent);
    // The module the generator's code belongs to, its `__module__`.
    const char *module;
};

// The state (and the context) belong to their generator, which releases
// them when it finishes or is cleared by the collector (it is then
// finished). A body whose data lives in objects that exist anyway (the
// process, the function it was made by) takes them as state and context
// and needs no state object of its own. A state type made for
// a body therefore traverses its fields but has no tp_clear of its own: the
// collector breaks its cycles at the generator, and a body never resumes
// with a half-cleared state. (A state that is an object of its own right,
// such as a Process, must stay usable when the collector clears it.)
struct Generator {
    PyObject_HEAD
    const GeneratorBody *body;
    PyObject *state;      // owned: the body's state object (GC-visible)
    PyObject *context;    // owned or null: what the body reads besides its state (GC-visible)
    PyObject *delegate;   // owned: the iterator delegated to, or null
    PyObject *name;       // owned str
    PyObject *qualname;   // owned str
    PyObject *weakreflist;
    int32_t point;        // the body's resumption point, the body's own to use
    uint8_t flags;        // the body's own bits
    bool started;         // resumed at least once
    bool running;
    bool finished;        // state, context and delegate are released once finished
};

// Makes the shared type ready (first module) or binds to it (later ones).
void init_generator_type();
PyTypeObject *generator_type() noexcept;

// Registers the shared type as a virtual collections.abc.Generator (and with
// backports_abc when it imports). A failure to import collections.abc is
// reported as unraisable and then warned about.
void register_generator_abc();

// Replaces inspect.isgenerator by a wrapper that also accepts the shared
// type, once per process; a later call only adds the type to the wrapper's
// set of types.
void patch_inspect_isgenerator();

// A new generator running `body` with `state` and `context` (may be empty).
Ref new_generator(const GeneratorBody *body, Ref state, PyObject *name, PyObject *qualname, Ref context = {});

// Called by a body: delegate to `iterable` as `yield from` does. Returns the
// first value it yields (new reference; the delegate is installed and later
// resumptions go to it until it ends) or an empty Ref when it ended at once
// (the body carries on). Throws `Error` when it raised.
Ref yield_from(Generator *gen, PyObject *iterable);

// Sends `value` into any generator-like object: fast paths for Python
// generators and package generators; None into another iterator advances it
// (as `yield from` does); else its `send` method. New reference, or null
// with an exception set (StopIteration when it ended).
PyObject *send(PyObject *gen, PyObject *value) noexcept;

// Ends an iterator with `value` as its result, what `yield from` evaluates
// to: sets StopIteration carrying it. The value travels without an exception
// object where the interpreter takes it so (not a tuple, not an exception).
void set_stop_iteration(PyObject *value) noexcept;

}  // namespace tarnu::runtime
