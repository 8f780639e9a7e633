// render_plain.cpp: the plain rendering pass, print_tree's algorithm made
// quick for a tree of plain values.
//
// For such a tree every step of the general algorithm is determined: the keys
// sort in code-point order, `key == last_key` holds for the last key only,
// str() of a value runs no code, and `+` is concatenation. Unrolled, a child's
// first line gets "\n", the prefixes of the levels above it and "  |"; each of
// its further lines gets "\n", those prefixes and its separator ("  " for the
// last key, "  |" for the others). This pass writes exactly that, in one walk
// with a stack of its own, into one buffer: linear in the size of the text,
// with no recursion. It allocates no object that the garbage collector tracks
// and runs no code but the interpreter's own str() of plain values, so no
// finalizer or other thread runs in the middle: the borrowed references stay
// valid, and giving up leaves nothing observable behind.
#include "rendering.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace sorvex {

namespace {

// A value whose truth and str() run no code. An int only while it fits in 64
// bits: from 3.12, str() of a huge int runs Python code.
bool is_plain_leaf(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow == 0;
    }
    return type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type || value == Py_None ||
           type == &PyType_Type;
}

// Whether the nesting of non-empty exact dicts below `data` stays within
// `limit` levels. Measured before deep text is written: the prefixes of a tree
// nested deeper than the recursion limit would take memory quadratic in its
// depth before the general algorithm would have failed. Iterative.
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

// Writes a str, each of its lines after the first starting with `next_line`
// (a newline and the prefixes of the node's further lines).
void write_text(TextBuilder& out, PyObject* text, const std::string& next_line) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t start = 0;
    while (true) {
        const Py_ssize_t newline = length == 0 ? -1 : PyUnicode_FindChar(text, '\n', start, length, 1);
        if (newline < 0) {
            out.append_slice(text, start, length);
            return;
        }
        out.append_slice(text, start, newline);
        out.ascii(next_line.data(), next_line.size());
        start = newline + 1;
    }
}

struct Entry {
    PyObject* key;
    PyObject* value;
};

// Appends the entries of an exact dict, sorted by key in code-point order
// as sorted() puts exact str keys; false (nothing added) when a key is not an
// exact str.
bool collect_sorted(PyObject* dict, std::vector<Entry>& entries) {
    const size_t start = entries.size();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !compat::str_ready(key)) {
            PyErr_Clear();
            entries.resize(start);
            return false;
        }
        entries.push_back(Entry{key, value});
    }
    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(start), entries.end(),
              [](const Entry& left, const Entry& right) { return PyUnicode_Compare(left.key, right.key) < 0; });
    return true;
}

// str() of the leaves, remembered for classes: a tree names the same few
// plugin classes in many records, and nothing can rename a class while the
// pass runs.
class LeafTexts {
public:
    // 1 with `text` set; 0 when str() could run outside code (a class whose
    // dict has a key that is not a str: finding __module__ may call its
    // __eq__); -1 on error.
    int text_of(PyObject* leaf, Ref& text) {
        if (!PyType_Check(leaf)) {
            text = Ref::from_new(PyObject_Str(leaf));
            return text ? 1 : -1;
        }
        for (const auto& known : classes_) {
            if (known.first == leaf) {
                text = Ref::from_borrowed(known.second.get());
                return 1;
            }
        }
        Ref dict = Ref::from_new(compat::type_dict(reinterpret_cast<PyTypeObject*>(leaf)));
        if (!dict || !PyDict_CheckExact(dict.get()) || !has_only_str_keys(dict.get())) {
            return PyErr_Occurred() ? -1 : 0;
        }
        text = Ref::from_new(PyObject_Str(leaf));
        if (!text) {
            return -1;
        }
        if (classes_.size() < kRemembered) {
            classes_.emplace_back(leaf, Ref::from_borrowed(text.get()));
        }
        return 1;
    }

private:
    static constexpr size_t kRemembered = 32;
    std::vector<std::pair<PyObject*, Ref>> classes_;
};

// One mapping being rendered: its entries are entries[first, end), `next` is
// the next to render; the node's further-line prefix is prefix[0, rest).
struct Frame {
    size_t first;
    size_t end;
    size_t next;
    size_t rest;
};

// Trees nested deeper than this are measured against the recursion limit
// before more text is written.
constexpr size_t kDepthCheckThreshold = 256;

}  // namespace

int render_plain(PyObject* data, PyObject* output, Ref& out) {
    if (!compat::str_ready(output)) {
        return -1;
    }
    std::vector<Entry> entries;
    if (!collect_sorted(data, entries)) {
        return 0;
    }
    TextBuilder text;
    LeafTexts leaf_texts;
    // "\n" and the prefixes of the current node's further lines
    std::string prefix = "\n";
    write_text(text, output, prefix);
    std::vector<Frame> frames;
    frames.push_back(Frame{0, entries.size(), 0, 1});
    bool depth_checked = false;
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next == frame.end) {
            entries.resize(frame.first);
            frames.pop_back();
            continue;
        }
        const Entry entry = entries[frame.next];
        frame.next += 1;
        const bool last = frame.next == frame.end;
        // The child's first line: "\n", the frame's prefixes, "  |".
        prefix.resize(frame.rest);
        text.ascii(prefix.data(), prefix.size());
        text.ascii(kTreeBar);
        prefix.append(last ? kTreeBlank : kTreeBar);
        const size_t child_rest = prefix.size();
        if (PyDict_CheckExact(entry.value)) {
            if (PyDict_GET_SIZE(entry.value) == 0) {
                continue;  // an empty mapping renders as "": the line holds the bar only
            }
            const size_t child_first = entries.size();
            if (!collect_sorted(entry.value, entries)) {
                return 0;
            }
            text.ascii(kTreeLabel);
            write_text(text, entry.key, prefix);
            if (!depth_checked && frames.size() >= kDepthCheckThreshold) {
                depth_checked = true;
                if (!nesting_within(data, Py_GetRecursionLimit())) {
                    PyErr_SetString(PyExc_RecursionError,
                                    "maximum recursion depth exceeded while rendering the plugin tree");
                    return -1;
                }
            }
            frames.push_back(Frame{child_first, entries.size(), child_first, child_rest});
            continue;
        }
        if (!is_plain_leaf(entry.value)) {
            return 0;
        }
        const int truth = PyObject_IsTrue(entry.value);
        if (truth <= 0) {
            if (truth < 0) {
                return -1;
            }
            continue;  // a false value renders as "" too
        }
        Ref leaf = Ref::from_borrowed(entry.value);
        if (!PyUnicode_CheckExact(entry.value)) {
            const int made = leaf_texts.text_of(entry.value, leaf);
            if (made <= 0) {
                return made;
            }
        }
        if (!PyUnicode_CheckExact(leaf.get())) {
            return 0;
        }
        if (!compat::str_ready(leaf.get())) {
            return -1;
        }
        text.ascii(kTreeLabel);
        write_text(text, entry.key, prefix);
        text.ascii(kTreeEquals);
        write_text(text, leaf.get(), prefix);
        if (text.failed()) {
            return -1;
        }
    }
    out = text.finish();
    return out ? 1 : -1;
}

}  // namespace sorvex
