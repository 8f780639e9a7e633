// render_general.cpp: print_tree and __repr__, and the general renderer:
// print_tree's algorithm for any data, with every child rendered through
// self.print_tree.
//
//     if not data: return ""
//     if data == {}: return ""
//     if not isinstance(data, dict): return output + " = " + str(data)
//     sorted_keys = sorted(data.keys()); last_key = sorted_keys[-1]
//     for key in sorted_keys:
//         temp_output = self.print_tree(data=data[key], output="__ " + key)
//         separator = "  " if key == last_key else "  |"
//         current_line = 1
//         for line in temp_output.split("\n"):
//             if current_line == 1 and key == last_key:
//                 output = output + ("\n  |" + line)
//             else:
//                 output = output + ("\n" + separator + line)
//             current_line += 1
//     return output
//
// A call of self.print_tree that finds our own method is rendered in place,
// on a stack of our own, so that the depth of a tree costs no C stack; only a
// call of an override recurses, guarded by the recursion limit and by the room
// left on the thread's stack.
#include "rendering.hpp"

#include <algorithm>
#include <vector>

namespace sorvex {

namespace {

// ---------------------------------------------------------------------------
// The C stack. A thread's stack may be as small as 32 KiB, and the recursion
// limit may have been raised far beyond what it holds, so every level that
// recurses checks the room left. The reserve is sized from the thread's own
// stack: enough for one more level of an override and for raising, and never
// more than a quarter of the stack.
constexpr uintptr_t kMinimumReserve = 12 * 1024;
constexpr uintptr_t kMaximumReserve = 256 * 1024;
// Where the platform does not tell a thread's stack bounds, overrides may
// nest this deep.
constexpr int kUnknownStackDepth = 100;

struct StackLimit {
    uintptr_t floor = 0;  // lowest address a level may start at; 0: not known yet
    bool known = false;
    int depth = 0;        // nesting of guarded calls, where the bounds are unknown
};
// Per thread rather than per module: a thread's stack is the same whichever
// interpreter runs on it.
thread_local StackLimit stack_limit;

void measure_stack() {
    uintptr_t low = 0;
    uintptr_t high = 0;
    stack_limit.known = compat::thread_stack_bounds(low, high);
    if (stack_limit.known) {
        const uintptr_t size = high - low;
        const uintptr_t reserve = std::min(kMaximumReserve, std::max(kMinimumReserve, size / 4));
        stack_limit.floor = low + std::min(reserve, size);
    } else {
        stack_limit.floor = 1;
    }
}

// `key == last_key`, by its truth value.
int keys_equal(PyObject* key, PyObject* last_key) {
    if (key == last_key && PyUnicode_CheckExact(key)) {
        return 1;
    }
    Ref equal = Ref::from_new(PyObject_RichCompare(key, last_key, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// One mapping being rendered.
struct Level {
    Ref data;
    Ref keys;      // sorted
    Ref last_key;
    Py_ssize_t next = 0;
    Ref key;       // whose child is being rendered
    TextBuilder output;
};

// Steps 1 to 4 for (data, output): 0 with `text` set when the rendering is
// done at once (empty or a leaf), 1 with a new level pushed, -1 on error.
int open_level(const Names& names, PyObject* data, PyObject* output, std::vector<Level>& levels, Ref& text) {
    int truth = PyObject_IsTrue(data);
    if (truth <= 0) {
        text = Ref::from_borrowed(names.empty);
        return truth;
    }
    // A new {} each time: a dict subclass's __eq__ gets it and may change it.
    Ref empty = Ref::from_new(PyDict_New());
    Ref equal = empty ? Ref::from_new(PyObject_RichCompare(data, empty.get(), Py_EQ)) : Ref();
    truth = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (truth != 0) {
        text = Ref::from_borrowed(names.empty);
        return truth > 0 ? 0 : -1;
    }
    const int mapping = PyDict_Check(data) ? 1 : PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
    if (mapping <= 0) {
        if (mapping < 0) {
            return -1;
        }
        text = TextBuilder(output).add(names.equals).add_str(data).finish();
        return text ? 0 : -1;
    }
    Ref keys;
    if (PyDict_CheckExact(data)) {
        keys = Ref::from_new(PyDict_Keys(data));
    } else {
        Ref view = Ref::from_new(PyObject_CallMethodObjArgs(data, names.keys, nullptr));
        keys = view ? Ref::from_new(PySequence_List(view.get())) : Ref();
    }
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return -1;
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    if (levels.size() >= static_cast<size_t>(Py_GetRecursionLimit())) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering the plugin tree");
        return -1;
    }
    Level level;
    level.data = Ref::from_borrowed(data);
    level.last_key = Ref::from_borrowed(PyList_GET_ITEM(keys.get(), count - 1));
    level.keys = std::move(keys);
    level.output = TextBuilder(output);
    levels.push_back(std::move(level));
    return 1;
}

// The inner loop for one finished child: its lines join the level's output.
bool add_child_lines(const Names& names, Level& level, PyObject* temp_output) {
    // for line in temp_output.split("\n"), `key == last_key` asked first
    const int is_last = keys_equal(level.key.get(), level.last_key.get());
    Ref lines = is_last < 0 ? Ref()
                : PyUnicode_CheckExact(temp_output)
                    ? Ref::from_new(PyUnicode_Split(temp_output, names.newline, -1))
                    : Ref::from_new(PyObject_CallMethodObjArgs(temp_output, names.split, names.newline, nullptr));
    if (!lines) {
        return false;
    }
    const char* separator = is_last ? kTreeBlank : kTreeBar;
    Ref iterator = Ref::from_new(PyObject_GetIter(lines.get()));
    if (!iterator) {
        return false;
    }
    long current_line = 1;
    while (Ref line = Ref::from_new(PyIter_Next(iterator.get()))) {
        int first_of_last = 0;
        if (current_line == 1) {
            first_of_last = keys_equal(level.key.get(), level.last_key.get());
            if (first_of_last < 0) {
                return false;
            }
        }
        // output + ("\n" + start + line): plain concatenation while both are exact str
        const char* start = first_of_last ? kTreeBar : separator;
        if (level.output.exact() && PyUnicode_CheckExact(line.get())) {
            level.output.ascii("\n").ascii(start).add(line.get());
        } else {
            level.output.add(TextBuilder("\n").ascii(start).add(line.get()).finish().get());
        }
        if (level.output.failed()) {
            return false;
        }
        current_line += 1;
    }
    return !PyErr_Occurred();
}

// Calls an overriding print_tree: callable(data=child, output=label).
Ref call_override(const Keywords& keywords, PyObject* callable, PyObject* child, PyObject* label) {
    if (stack_exhausted()) {
        return {};
    }
    if (Py_EnterRecursiveCall(" while rendering the plugin tree")) {
        return {};
    }
    stack_limit.depth += 1;
    PyObject* values[] = {child, label};
    Ref result = Ref::from_new(compat::vectorcall(callable, values, 0, keywords.print_tree_call));
    stack_limit.depth -= 1;
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

bool stack_exhausted() {
    if (stack_limit.floor == 0) {
        measure_stack();
    }
    const bool exhausted = stack_limit.known ? SORVEX_STACK_ADDRESS() < stack_limit.floor
                                             : stack_limit.depth >= kUnknownStackDepth;
    if (exhausted) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering the plugin tree");
    }
    return exhausted;
}

Ref render_general(Dispatch& dispatch, PyObject* data, PyObject* output) {
    const Names& names = dispatch.names();
    dispatch.leave_quick_route();  // str() of a leaf, a key's __eq__, ... may run anything
    std::vector<Level> levels;
    Ref done;  // a rendering finished, for the level below it
    int opened = open_level(names, data, output, levels, done);
    if (opened <= 0) {
        return opened < 0 ? Ref() : std::move(done);
    }
    while (true) {
        Level& level = levels.back();
        if (done) {
            if (!add_child_lines(names, level, done.get())) {
                return {};
            }
            done = Ref();
        }
        if (level.next == PyList_GET_SIZE(level.keys.get())) {
            done = level.output.finish();
            levels.pop_back();
            if (!done || levels.empty()) {
                return done;
            }
            continue;
        }
        level.key = Ref::from_borrowed(PyList_GET_ITEM(level.keys.get(), level.next));
        level.next += 1;
        // self.print_tree(data=data[key], output="__ " + key), in that order
        Ref print_tree;
        if (!dispatch.resolve(Member::print_tree, print_tree)) {
            return {};
        }
        Ref child = Ref::from_new(PyObject_GetItem(level.data.get(), level.key.get()));
        Ref label = child ? Ref::from_new(PyNumber_Add(names.label_prefix, level.key.get())) : Ref();
        if (!label) {
            return {};
        }
        if (print_tree) {
            done = call_override(dispatch.keywords(), print_tree.get(), child.get(), label.get());
            if (!done) {
                return {};
            }
            continue;
        }
        opened = open_level(names, child.get(), label.get(), levels, done);  // may move `level`
        if (opened < 0) {
            return {};
        }
    }
}

namespace {

// The body of our own print_tree: the plain pass when the call is on the
// quick route and the tree is plain, else the general renderer.
PyObject* render_own(Dispatch& dispatch, PyObject* data, PyObject* output) {
    if (dispatch.quick() && PyDict_CheckExact(data) && PyDict_GET_SIZE(data) != 0 && PyUnicode_CheckExact(output)) {
        Ref text;
        const int done = render_plain(data, output, text);
        if (done != 0) {
            return done < 0 ? nullptr : text.release();
        }
    }
    return render_general(dispatch, data, output).release();
}

}  // namespace

PyObject* print_tree_impl(const Context& context, PyObject* const* args) {
    if (stack_exhausted()) {
        return nullptr;
    }
    Dispatch dispatch(args[0], context);
    return dispatch.ok() ? render_own(dispatch, args[1], args[2]) : nullptr;
}

PyObject* repr_impl(const Context& context, PyObject* const* args) {
    PyObject* self = args[0];
    if (stack_exhausted()) {
        return nullptr;
    }
    // "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
    Ref cls = Ref::from_new(PyObject_GetAttr(self, context.state.names.__class__));
    Ref identity = Ref::from_new(PyLong_FromVoidPtr(self));
    Ref identity_hex = identity ? Ref::from_new(PyNumber_ToBase(identity.get(), 16)) : Ref();
    if (!cls || !identity_hex) {
        return nullptr;
    }
    Ref header =
        TextBuilder("plugins (").add_str(cls.get()).ascii(" at ").add_str(identity_hex.get()).ascii(") ").finish();
    if (!header) {
        return nullptr;
    }
    // self.print_tree(data=self._plugins, output=header), decided after the
    // header, whose str() may have run anything
    Dispatch dispatch(self, context);
    Ref print_tree;
    if (!dispatch.ok() || !dispatch.resolve(Member::print_tree, print_tree)) {
        return nullptr;
    }
    Ref tree = dispatch.state(State::plugins);
    if (!tree) {
        return nullptr;
    }
    if (print_tree) {
        PyObject* values[] = {tree.get(), header.get()};
        return compat::vectorcall(print_tree.get(), values, 0, context.state.keywords.print_tree_call);
    }
    return render_own(dispatch, tree.get(), header.get());
}

}  // namespace sorvex
