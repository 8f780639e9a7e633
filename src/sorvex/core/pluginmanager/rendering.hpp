// rendering.hpp: the two renderers of print_tree, shared by print_tree and
// __repr__.
#pragma once

#include "dispatch.hpp"

namespace sorvex {

// print_tree's algorithm, step by step as defined, for any data, any output
// and any override: every child is rendered through self.print_tree. A call
// that finds the module's own print_tree is rendered in place, on a stack of
// our own rather than the C stack; an override is called, with the recursion
// limit and the room left on the thread's stack checked first.
Ref render_general(Dispatch& dispatch, PyObject* data, PyObject* output);

// The same algorithm made quick for a tree of plain values: a non-empty exact
// dict whose mappings are all exact dicts with exact-str keys, and whose other
// values are exact str, bool, None, float, an int of at most 64 bits, or a
// class of metaclass `type`; with an exact str output, and print_tree not
// overridden (the caller's quick route). 1 with `out` set; 0 when it met a
// value that is not plain (nothing observable happened, so the general
// renderer can start over); -1 on error.
int render_plain(PyObject* data, PyObject* output, Ref& out);

// Whether the calling thread has too little stack left to go one level deeper
// into rendering, RecursionError set if so.
bool stack_exhausted();

}  // namespace sorvex
