// dispatch.hpp: how a call reaches the members and the state of the manager
// it runs on, and the one place that decides whether it may take the quick
// route there.
//
// The general route is what Python does: every check and print_tree is looked
// up on the instance (self.validate_os, ...) when it is used, and every state
// attribute (self._plugins, self.supported_os, self.chassis_type_list) is read
// through the instance when it is needed.
//
// The quick route is the same algorithm with the lookups answered in advance:
// the module's own checks and renderer are called directly, and the state is
// the one read from the instance dict. It is taken when all of these hold at
// the start of the call (Dispatch's constructor decides, and nothing else):
//   1. the description values the call validates are exact str or None, so
//      truth tests, comparisons and `in` on them run no code of anyone's;
//   2. the class (type(self)) uses the generic attribute lookup, its instances
//      have a dict, every class on its MRO is a type whose dict is an exact
//      dict with exact-str keys only, each of validate_arguments,
//      validate_model, validate_series, validate_os, validate_chassis_type and
//      print_tree resolves there to this module's own method for it, and no
//      class on the MRO defines _plugins, supported_os or chassis_type_list
//      (cached per class in the module state, keyed on the class, held by a
//      weak reference, and its version tag, which changes with every change
//      to the class or its bases);
//   3. the instance dict is an exact dict with exact-str keys only, holds the
//      three state attributes and none of those six member names (read at
//      every call: nothing is remembered about an instance);
//   4. the build does not define SORVEX_GENERAL_ONLY.
// Deciding runs no code outside the interpreter, except that the instance
// dict may first have to be created (once per instance), and a class seen
// for the first time gets a weak reference; either may collect garbage, so
// both happen before what they could change is read. The state is held by
// strong references for the rest of the call.
//
// Outside code can change any of this, so a call leaves the quick route, for
// good, just before anything outside the interpreter may run: the debug
// record of an OS outside the built-in list, the `in` of a state container
// that is not an exact list or tuple of exact str, getfile, a call of an
// overriding member, and all of the general renderer (str() of a leaf, a
// key's __eq__, a dict subclass's methods). Raising ConnectionInfraError ends
// the call. Nothing else on the quick route runs outside code: the tree walk
// looks exact str keys up in the tree's dicts, which for a dict edited by hand
// may call a colliding key's __eq__, exactly where Python would.
#pragma once

#include "state.hpp"

namespace sorvex {

// The instance attributes that hold a manager's state.
enum class State : int { plugins, supported_os, chassis_type_list };
constexpr int kStateCount = 3;

class Dispatch {
public:
    // Decides the route of a call on `self` made through one of the methods
    // of `context`'s module; `values` are the description values the call
    // validates (`value_count` of them, read in place from the call's
    // arguments). False from ok() means that an error was raised while
    // deciding.
    Dispatch(PyObject* self, const Context& context, PyObject* const* values = nullptr, int value_count = 0)
        : self_(self), context_(context) {
        // Inline, so that the loop unrolls for the count of each call site.
        for (int i = 0; i < value_count; ++i) {
            if (values[i] != Py_None && !PyUnicode_CheckExact(values[i])) {
                return;
            }
        }
        decide();
    }
    Dispatch(const Dispatch&) = delete;
    Dispatch& operator=(const Dispatch&) = delete;

    bool ok() const { return ok_; }
    const Context& context() const { return context_; }
    PyObject* globals() const { return context_.globals; }
    const Names& names() const { return context_.state.names; }
    const Keywords& keywords() const { return context_.state.keywords; }
    bool quick() const { return quick_; }

    // Outside code is about to run: the rest of the call takes the general
    // route.
    void leave_quick_route();

    // self.<attribute>: the state read at the start on the quick route, else
    // read through the instance now.
    Ref state(State which) {
        if (quick_) {
            return Ref::from_borrowed(state_[static_cast<int>(which)].get());
        }
        return state_through_instance(which);
    }

    // The state read at the start, borrowed from this Dispatch: only while
    // quick(), when nothing outside the interpreter has run since.
    PyObject* held_state(State which) const { return state_[static_cast<int>(which)].get(); }

    // self.<member> as an attribute lookup finds it. Returns false on error.
    // `callable` is left empty when it is this module's own method for that
    // member, bound to self: the caller then runs the member directly, as
    // calling it would. Otherwise it holds the attribute to call.
    bool resolve(Member member, Ref& callable) {
        if (quick_) {
            callable = Ref();
            return true;
        }
        return resolve_through_instance(member, callable);
    }

private:
    // Preconditions 2 to 4, once the values have passed precondition 1.
    void decide();
    Ref state_through_instance(State which);
    bool resolve_through_instance(Member member, Ref& callable);

    PyObject* self_;
    const Context& context_;
    bool ok_ = true;
    bool quick_ = false;
    Ref state_[kStateCount];
};

// Lets go of the module's class cache.
void clear_class_cache(ModuleState& state);

}  // namespace sorvex
