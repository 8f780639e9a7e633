// Rendering of a plugin tree as indented text ("|__ " connectors, keys in
// sorted order), and the manager's repr, which renders its whole tree.
//
// print_tree is defined recursively through the instance, so a subclass may
// override it at any level. When it is not overridden and the tree holds only
// plain values (exact dicts with exact str keys, and leaves whose str() runs no
// user code), the text is produced by one iterative pass and joined once:
// linear in the size of the output and free of C recursion. Anything else is
// rendered by the general recursive algorithm, with the interpreter's
// recursion limit enforced at every level.
#include "pluginmanager.hpp"

#include <utility>
#include <vector>

namespace sorvex {

namespace {

// Our own C frames per thread in the general algorithm: a bound on C stack
// use even when the interpreter's recursion limit has been raised very high.
constexpr int kMaxGeneralDepth = 10000;
thread_local int general_depth = 0;

// A value whose truth, str() and comparison with {} run no user code.
bool is_plain_leaf(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           value == Py_None || type == &PyType_Type;
}

// The keys of an exact dict, sorted, when every one is an exact str; an
// empty Ref without error otherwise.
Ref plain_sorted_keys(PyObject* dict) {
    Ref keys = Ref::steal(PyDict_Keys(dict));
    if (!keys) {
        return {};
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(keys.get(), i))) {
            return {};
        }
    }
    if (PyList_Sort(keys.get()) < 0) {
        return {};
    }
    return keys;
}

// Appends `text` to `pieces`, starting every line after its first with
// `next_line` ("\n" and the prefix of the node's further lines).
bool append_text(PyObject* pieces, PyObject* text, PyObject* next_line) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t newline = PyUnicode_FindChar(text, '\n', 0, length, 1);
    if (newline == -2) {
        return false;
    }
    if (newline == -1) {
        return PyList_Append(pieces, text) == 0;
    }
    Py_ssize_t start = 0;
    while (true) {
        const Py_ssize_t end = newline < 0 ? length : newline;
        Ref segment = Ref::steal(PyUnicode_Substring(text, start, end));
        if (!segment || PyList_Append(pieces, segment.get()) < 0) {
            return false;
        }
        if (newline < 0) {
            return true;
        }
        if (PyList_Append(pieces, next_line) < 0) {
            return false;
        }
        start = newline + 1;
        newline = PyUnicode_FindChar(text, '\n', start, length, 1);
        if (newline == -2) {
            return false;
        }
    }
}

// One mapping being rendered. `child_line` starts the first line of every
// child, and the further lines of all but the last ("\n", the prefix of this
// node's further lines, "  |"); `last_child_rest` starts the further lines of
// the last child ("\n", that prefix, "  ").
struct Frame {
    Ref dict;
    Ref keys;
    Py_ssize_t next;
    Ref child_line;
    Ref last_child_rest;
};

bool push_frame(std::vector<Frame>& frames, Ref dict, Ref keys, PyObject* rest) {
    Ref child_line = Ref::steal(PyUnicode_Concat(rest, S.bar_prefix));
    Ref last_child_rest = Ref::steal(PyUnicode_Concat(rest, S.blank_prefix));
    if (!child_line || !last_child_rest) {
        return false;
    }
    frames.push_back(Frame{std::move(dict), std::move(keys), 0, std::move(child_line), std::move(last_child_rest)});
    return true;
}

// Whether the nesting of non-empty exact dicts below `data` stays within
// `limit` levels. Checked before any text is built: the prefixes of a tree
// nested that deep would take memory quadratic in its depth. Runs no code
// outside this module, so borrowed references stay valid.
bool nesting_within(PyObject* data, long limit) {
    std::vector<std::pair<PyObject*, Py_ssize_t>> stack;
    stack.emplace_back(data, 0);
    while (!stack.empty()) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!PyDict_Next(stack.back().first, &stack.back().second, &key, &value)) {
            stack.pop_back();
            continue;
        }
        if (PyDict_CheckExact(value) && PyDict_GET_SIZE(value) != 0) {
            if (static_cast<long>(stack.size()) >= limit) {
                return false;
            }
            stack.emplace_back(value, 0);
        }
    }
    return true;
}

// The iterative pass over a non-empty exact dict with plain keys, under an
// exact str header. 1 with `out` set; 0 when a value that is not plain is
// met (nothing observable has happened: no user code ran); -1 on error.
int render_plain(PyObject* data, Ref keys, PyObject* header, Ref& out) {
    if (!nesting_within(data, Py_GetRecursionLimit())) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering the plugin tree");
        return -1;
    }
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces || !append_text(pieces.get(), header, S.newline)) {
        return -1;
    }
    std::vector<Frame> frames;
    if (!push_frame(frames, Ref::borrow(data), std::move(keys), S.newline)) {
        return -1;
    }
    while (!frames.empty()) {
        Frame& frame = frames.back();
        const Py_ssize_t count = PyList_GET_SIZE(frame.keys.get());
        if (frame.next == count) {
            frames.pop_back();
            continue;
        }
        Ref key = Ref::borrow(PyList_GET_ITEM(frame.keys.get(), frame.next));
        frame.next += 1;
        Ref rest = Ref::borrow(frame.next == count ? frame.last_child_rest.get() : frame.child_line.get());
        PyObject* value = PyDict_GetItemWithError(frame.dict.get(), key.get());
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                Ref args = Ref::steal(PyTuple_Pack(1, key.get()));
                if (args) {
                    PyErr_SetObject(PyExc_KeyError, args.get());
                }
            }
            return -1;
        }
        Ref child = Ref::borrow(value);
        if (PyDict_CheckExact(child.get())) {
            Ref child_keys;
            if (PyDict_GET_SIZE(child.get()) != 0) {
                child_keys = plain_sorted_keys(child.get());
                if (!child_keys) {
                    return PyErr_Occurred() ? -1 : 0;
                }
            }
            if (PyList_Append(pieces.get(), frame.child_line.get()) < 0) {
                return -1;
            }
            if (!child_keys) {
                continue;  // an empty mapping renders as an empty line
            }
            // `frame` may move when a frame is pushed.
            if (PyList_Append(pieces.get(), S.label_prefix) < 0 || !append_text(pieces.get(), key.get(), rest.get()) ||
                !push_frame(frames, std::move(child), std::move(child_keys), rest.get())) {
                return -1;
            }
            continue;
        }
        if (!is_plain_leaf(child.get())) {
            return 0;
        }
        if (PyList_Append(pieces.get(), frame.child_line.get()) < 0) {
            return -1;
        }
        const int truth = PyObject_IsTrue(child.get());
        if (truth < 0) {
            return -1;
        }
        if (!truth) {
            continue;  // a false value renders as an empty line
        }
        Ref text = Ref::steal(PyObject_Str(child.get()));
        if (!text || PyList_Append(pieces.get(), S.label_prefix) < 0 ||
            !append_text(pieces.get(), key.get(), rest.get()) || PyList_Append(pieces.get(), S.equals) < 0 ||
            !append_text(pieces.get(), text.get(), rest.get())) {
            return -1;
        }
    }
    out = Ref::steal(PyUnicode_Join(S.empty, pieces.get()));
    return out ? 1 : -1;
}

// `output += piece`, repeated: exact str pieces are collected and joined
// once; anything else goes through the generic += at the point it arrives.
class Accumulator {
public:
    explicit Accumulator(PyObject* start) : text_(Ref::borrow(start)) {}

    bool add(PyObject* piece) {
        if (PyUnicode_CheckExact(piece) && text_ && PyUnicode_CheckExact(text_.get())) {
            if (!pieces_) {
                pieces_ = Ref::steal(PyList_New(0));
                if (!pieces_ || PyList_Append(pieces_.get(), text_.get()) < 0) {
                    return false;
                }
            }
            return PyList_Append(pieces_.get(), piece) == 0;
        }
        if (!flush()) {
            return false;
        }
        text_ = Ref::steal(PyNumber_InPlaceAdd(text_.get(), piece));
        return bool(text_);
    }

    Ref finish() {
        if (!flush()) {
            return {};
        }
        return std::move(text_);
    }

private:
    bool flush() {
        if (pieces_) {
            text_ = Ref::steal(PyUnicode_Join(S.empty, pieces_.get()));
            pieces_ = Ref();
        }
        return bool(text_);
    }

    Ref text_;
    Ref pieces_;  // while set, the text is the join of these exact str pieces
};

// `key == last_key`, by its truth value.
int keys_equal(PyObject* key, PyObject* last_key) {
    if (key == last_key && PyUnicode_CheckExact(key)) {
        return 1;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(key, last_key, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

Ref render_child(PyObject* self, const Resolved& print_tree, PyObject* child, PyObject* label) {
    if (Py_EnterRecursiveCall(" while rendering the plugin tree")) {
        return {};
    }
    Ref result;
    if (general_depth >= kMaxGeneralDepth) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering the plugin tree");
    } else {
        general_depth += 1;
        PyObject* stack[] = {self, child, label};
        if (print_tree.own != nullptr) {
            result = Ref::steal(print_tree_impl(print_tree.own, stack));
        } else {
            result = call_resolved(print_tree, self, stack, 0, S.kw_print_tree);
        }
        general_depth -= 1;
    }
    Py_LeaveRecursiveCall();
    return result;
}

// The general algorithm, step by step as defined, for any data and any
// overrides. `first` is the resolution of self.print_tree for the first key
// when the caller already made it.
Ref render_general(PyObject* self, PyObject* data, PyObject* output, Resolved* first) {
    int truth = PyObject_IsTrue(data);
    if (truth <= 0) {
        return truth < 0 ? Ref() : Ref::borrow(S.empty);
    }
    Ref equal = Ref::steal(PyObject_RichCompare(data, S.empty_dict, Py_EQ));
    truth = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (truth != 0) {
        return truth < 0 ? Ref() : Ref::borrow(S.empty);
    }
    if (!PyDict_Check(data)) {
        return TextBuilder(output).add(S.equals).add_str(data).finish();
    }
    Ref keys;
    if (PyDict_CheckExact(data)) {
        keys = Ref::steal(PyDict_Keys(data));
    } else {
        Ref view = Ref::steal(PyObject_CallMethodNoArgs(data, S.keys));
        keys = view ? Ref::steal(PySequence_List(view.get())) : Ref();
    }
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return {};
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return {};
    }
    Ref last_key = Ref::borrow(PyList_GET_ITEM(keys.get(), count - 1));
    Accumulator result(output);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
        Resolved print_tree;
        if (i == 0 && first != nullptr) {
            print_tree = std::move(*first);
        } else if (!resolve_method(self, S.print_tree, spec_print_tree, print_tree)) {
            return {};
        }
        Ref child = node_get(data, key.get());
        Ref label = child ? Ref::steal(PyNumber_Add(S.label_prefix, key.get())) : Ref();
        if (!label) {
            return {};
        }
        Ref rendered = render_child(self, print_tree, child.get(), label.get());
        if (!rendered) {
            return {};
        }
        const int is_last = keys_equal(key.get(), last_key.get());
        if (is_last < 0) {
            return {};
        }
        PyObject* separator = is_last ? S.blank_prefix : S.bar_prefix;
        Ref lines = PyUnicode_CheckExact(rendered.get())
                        ? Ref::steal(PyUnicode_Split(rendered.get(), S.newline, -1))
                        : Ref::steal(PyObject_CallMethodOneArg(rendered.get(), S.split, S.newline));
        Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
        if (!iterator) {
            return {};
        }
        long current_line = 1;
        while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
            int first_of_last = 0;
            if (current_line == 1) {
                first_of_last = keys_equal(key.get(), last_key.get());
                if (first_of_last < 0) {
                    return {};
                }
            }
            Ref piece;
            if (first_of_last) {
                piece = Ref::steal(PyNumber_Add(S.newline_bar, line.get()));
            } else {
                Ref start = Ref::steal(PyNumber_Add(S.newline, separator));
                piece = start ? Ref::steal(PyNumber_Add(start.get(), line.get())) : Ref();
            }
            if (!piece || !result.add(piece.get())) {
                return {};
            }
            current_line += 1;
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    return result.finish();
}

const char kPrintTreeDoc[] =
    "\n"
    "        This Method print the plugin list in tree structure\n"
    "\n"
    "        Every mapping becomes a branch whose keys are listed in sorted\n"
    "        order; every other value becomes a leaf \"key = value\". A tree\n"
    "        with one plugin registered for OS talvo renders as\n"
    "\n"
    "        plugin\n"
    "          |__ talvo\n"
    "            |__ data\n"
    "              |__ single_rp\n"
    "                |__ cls = <class 'talvo.TalvoConnection'>\n"
    "                |__ path = /plugins/talvo.py\n"
    "        ";

PyObject* repr_impl(NativeMethod* /*method*/, PyObject* const* args) {
    PyObject* self = args[0];
    Ref cls = Ref::steal(PyObject_GetAttr(self, S.__class__));
    Ref identity = Ref::steal(PyLong_FromVoidPtr(self));
    Ref identity_hex = identity ? Ref::steal(PyNumber_ToBase(identity.get(), 16)) : Ref();
    if (!cls || !identity_hex) {
        return nullptr;
    }
    Ref header =
        TextBuilder("plugins (").add_str(cls.get()).text(" at ").add_str(identity_hex.get()).text(") ").finish();
    if (!header) {
        return nullptr;
    }
    Resolved print_tree;
    if (!resolve_method(self, S.print_tree, spec_print_tree, print_tree)) {
        return nullptr;
    }
    Ref tree = Ref::steal(PyObject_GetAttr(self, S._plugins));
    if (!tree) {
        return nullptr;
    }
    PyObject* stack[] = {self, tree.get(), header.get()};
    if (print_tree.own != nullptr) {
        return print_tree_impl(print_tree.own, stack);
    }
    return call_resolved(print_tree, self, stack, 0, S.kw_print_tree).release();
}

}  // namespace

PyObject* print_tree_impl(NativeMethod* /*method*/, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* data = args[1];
    PyObject* output = args[2];
    if (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) != 0 && PyUnicode_CheckExact(output)) {
        Ref keys = plain_sorted_keys(data);
        if (!keys && PyErr_Occurred()) {
            return nullptr;
        }
        if (keys) {
            // The first child's lookup of self.print_tree happens here, once.
            Resolved print_tree;
            if (!resolve_method(self, S.print_tree, spec_print_tree, print_tree)) {
                return nullptr;
            }
            if (print_tree.own != nullptr) {
                Ref rendered;
                const int done = render_plain(data, std::move(keys), output, rendered);
                if (done != 0) {
                    return done < 0 ? nullptr : rendered.release();
                }
                return render_general(self, data, output, nullptr).release();
            }
            return render_general(self, data, output, &print_tree).release();
        }
    }
    return render_general(self, data, output, nullptr).release();
}

MethodSpec spec_print_tree = {
    "print_tree", kPrintTreeDoc, "(self, data, output='plugin')", 3, 2, {"self", "data", "output"},
    {nullptr, nullptr, "plugin"}, print_tree_impl, false, {},
};

MethodSpec spec_repr = {
    "__repr__", nullptr, "(self)", 1, 1, {"self"}, {}, repr_impl, false, {},
};

}  // namespace sorvex
