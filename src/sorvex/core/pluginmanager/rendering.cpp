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

#if defined(__linux__)
#include <pthread.h>
#endif
#include <cstdint>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace sorvex {

namespace {

// The general algorithm recurses on the C stack (through any override of
// print_tree, too), and the interpreter's recursion limit may have been
// raised far beyond what that stack holds. So every level also checks the
// room left on the thread's stack, where the platform tells its bounds, and
// the number of our own nested levels everywhere.
constexpr int kMaxGeneralDepth = 10000;
constexpr uintptr_t kStackReserve = 256 * 1024;
thread_local int general_depth = 0;
// Set while a tree that the plain pass gave up on is rendered by the general
// algorithm: its sub-trees are not tried again (each try would walk the rest
// of the tree down to the same value).
thread_local int general_only = 0;
thread_local uintptr_t stack_floor = 0;  // lowest usable address; 1 when unknown

bool stack_nearly_full() {
#if defined(__linux__) && defined(__GLIBC__)
    if (stack_floor == 0) {
        stack_floor = 1;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &low, &size) == 0 && size > kStackReserve) {
                stack_floor = reinterpret_cast<uintptr_t>(low) + kStackReserve;
            }
            pthread_attr_destroy(&attributes);
        }
    }
    char here = 0;
    return stack_floor > 1 && reinterpret_cast<uintptr_t>(&here) < stack_floor;
#else
    return false;
#endif
}

// A value whose truth, str() and comparison with {} run no user code. An int
// only when it is small: from 3.12, str() of a huge int runs Python code.
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
// `limit` levels. Checked before deep text is built: the prefixes of a tree
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

// Output of the plain pass, written straight into the str object that is
// returned: bytes while every character is ASCII, widened to UCS-4 at the
// first other character. It starts as large as the text last rendered from
// the same mapping (a registry is mostly printed again and again at much the
// same size), grows by resizing, and is cut to size at the end, so the text
// is normally written once and never copied.
class TextWriter {
public:
    explicit TextWriter(PyObject* data) : data_(data) {
        capacity_ = std::max(kMinimumCapacity, std::min(size_hint(data), kLargestHint));
        text_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity_), 127));
        if (!text_ && capacity_ > kMinimumCapacity) {
            // Only a hint: the mapping may have shrunk since.
            PyErr_Clear();
            capacity_ = kMinimumCapacity;
            text_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity_), 127));
        }
        failed_ = !text_;
    }

    // After a failed allocation (MemoryError set) nothing more is written.
    bool failed() const { return failed_; }

    void ascii(const char* text, size_t length) {
        if (failed_) {
            return;
        }
        if (wide_mode_) {
            wide_.insert(wide_.end(), text, text + length);
            return;
        }
        if (size_ + length > capacity_ && !resize(std::max(capacity_ * 2, size_ + length))) {
            return;
        }
        std::memcpy(PyUnicode_1BYTE_DATA(text_.get()) + size_, text, length);
        size_ += length;
    }

    // Characters [start, end) of a str.
    void slice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        if (failed_) {
            return;
        }
        if (PyUnicode_IS_ASCII(text)) {
            ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)) + start, static_cast<size_t>(end - start));
            return;
        }
        widen();
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (Py_ssize_t i = start; i < end; ++i) {
            wide_.push_back(PyUnicode_READ(kind, data, i));
        }
    }

    // The text, or NULL with the error set.
    Ref finish() {
        if (failed_) {
            return {};
        }
        if (wide_mode_) {
            remember_size(data_, wide_.size());
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_.data(),
                                                        static_cast<Py_ssize_t>(wide_.size())));
        }
        if (!resize(size_)) {
            return {};
        }
        remember_size(data_, size_);
        return std::move(text_);
    }

private:
    static constexpr size_t kMinimumCapacity = 4096;
    static constexpr size_t kLargestHint = size_t{64} << 20;

    // Sizes last rendered, by the address of the mapping: only a hint, so an
    // address reused by another mapping does no harm.
    struct SizeHint {
        const void* data = nullptr;
        size_t size = 0;
    };
    static constexpr size_t kHints = 8;
    static SizeHint* hints() {
        thread_local SizeHint table[kHints];
        return table;
    }
    static size_t size_hint(const void* data) {
        for (size_t i = 0; i < kHints; ++i) {
            if (hints()[i].data == data) {
                return hints()[i].size;
            }
        }
        return 0;
    }
    static void remember_size(const void* data, size_t size) {
        SizeHint* table = hints();
        size_t slot = kHints - 1;
        for (size_t i = 0; i < kHints; ++i) {
            if (table[i].data == data) {
                slot = i;
                break;
            }
        }
        // Most recent first.
        for (size_t i = slot; i > 0; --i) {
            table[i] = table[i - 1];
        }
        table[0] = SizeHint{data, size};
    }

    bool resize(size_t capacity) {
        if (failed_) {
            return false;
        }
        PyObject* text = text_.release();
        const bool resized = PyUnicode_Resize(&text, static_cast<Py_ssize_t>(capacity)) == 0;
        text_ = Ref::steal(text);  // on failure, the old object, left as it was
        if (!resized) {
            failed_ = true;
            return false;
        }
        capacity_ = capacity;
        return true;
    }

    void widen() {
        if (!wide_mode_ && !failed_) {
            const Py_UCS1* data = PyUnicode_1BYTE_DATA(text_.get());
            wide_.assign(data, data + size_);
            text_ = Ref();
            wide_mode_ = true;
        }
    }

    const void* data_;
    Ref text_;
    size_t capacity_ = 0;
    size_t size_ = 0;
    bool failed_ = false;
    std::vector<Py_UCS4> wide_;
    bool wide_mode_ = false;
};

// Writes a str, starting every line after its first with `next_line` (a
// newline and the prefix of the node's further lines).
void write_text(TextWriter& out, PyObject* text, const std::string& next_line) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
        const char* end = data + length;
        while (true) {
            const char* newline = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)));
            if (newline == nullptr) {
                out.ascii(data, static_cast<size_t>(end - data));
                return;
            }
            out.ascii(data, static_cast<size_t>(newline - data));
            out.ascii(next_line.data(), next_line.size());
            data = newline + 1;
        }
    }
    Py_ssize_t start = 0;
    while (true) {
        const Py_ssize_t newline = PyUnicode_FindChar(text, '\n', start, length, 1);
        if (newline < 0) {
            out.slice(text, start, length);
            return;
        }
        out.slice(text, start, newline);
        out.ascii(next_line.data(), next_line.size());
        start = newline + 1;
    }
}

// A str whose characters cannot be read: never the case for exact str
// objects made by the interpreter, but checked rather than assumed.
bool readable(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// A key of a mapping being rendered, with its value.
struct Entry {
    PyObject* key;
    PyObject* value;
};

// Code-point order, as sorted() puts exact str keys.
bool text_less(PyObject* left, PyObject* right) {
    if (PyUnicode_KIND(left) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(right) == PyUnicode_1BYTE_KIND) {
        const size_t left_length = static_cast<size_t>(PyUnicode_GET_LENGTH(left));
        const size_t right_length = static_cast<size_t>(PyUnicode_GET_LENGTH(right));
        const int order = std::memcmp(PyUnicode_1BYTE_DATA(left), PyUnicode_1BYTE_DATA(right),
                                      std::min(left_length, right_length));
        return order != 0 ? order < 0 : left_length < right_length;
    }
    return PyUnicode_Compare(left, right) < 0;
}

// Appends the keys of an exact dict, sorted, to `keys`; false (nothing added)
// when one is not an exact str.
bool collect_plain_keys(PyObject* dict, std::vector<Entry>& keys) {
    const size_t start = keys.size();
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !readable(key)) {
            PyErr_Clear();
            keys.resize(start);
            return false;
        }
        keys.push_back(Entry{key, value});
        // The children are read soon after, one by one: in a large tree they
        // are rarely in cache, so ask for them now.
        prefetch(value);
    }
    std::sort(keys.begin() + static_cast<std::ptrdiff_t>(start), keys.end(),
              [](const Entry& left, const Entry& right) { return text_less(left.key, right.key); });
    return true;
}

// str() of the leaves of one pass, remembered for classes: a tree names the
// same few plugin classes in many records, and nothing can rename a class
// while the pass runs.
class LeafTexts {
public:
    // 1 with `text` set; 0 when str() could run outside code (a class whose
    // dict has a key that is not a str: finding __module__ may call its
    // __eq__); -1 on error.
    int text_of(PyObject* leaf, Ref& text) {
        if (!PyType_Check(leaf)) {
            text = Ref::steal(PyObject_Str(leaf));
            return text ? 1 : -1;
        }
        for (const auto& known : classes_) {
            if (known.first == leaf) {
                text = Ref::borrow(known.second.get());
                return 1;
            }
        }
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(leaf));
        if (!dict || !PyDict_CheckExact(dict.get()) || !has_only_str_keys(dict.get())) {
            return PyErr_Occurred() ? -1 : 0;
        }
        text = Ref::steal(PyObject_Str(leaf));
        if (!text) {
            return -1;
        }
        if (classes_.size() < kRemembered) {
            classes_.emplace_back(leaf, Ref::borrow(text.get()));
        }
        return 1;
    }

private:
    static constexpr size_t kRemembered = 32;
    std::vector<std::pair<PyObject*, Ref>> classes_;
};

// One mapping being rendered: its keys are keys[first, end), `next` the next
// one to render; rest[0, rest_length) is a newline and the prefix of its
// further lines.
struct Frame {
    PyObject* dict;
    size_t first;
    size_t end;
    size_t next;
    size_t rest_length;
};

// A large tree does not fit in the cache, and every node is reached through
// the one before it, so walking it waits on memory at every step. Hence the
// siblings ahead of the one being rendered are fetched in a pipeline: each
// step asks for the hash tables of the nodes the previous step asked for, or
// reads those tables and asks for the children they name, one level per step.
// A sibling kLookahead places ahead thus arrives with its top levels in
// cache. Reading a node here runs no code; the pipeline only issues
// prefetches and never changes what is rendered.
class Prefetcher {
public:
    // A render step: the child at `index` of the frame at `depth` is about to
    // be rendered.
    void step(const std::vector<Entry>& entries, size_t depth, size_t index, size_t end) {
        if (depth != depth_) {
            if (depth < depth_ && depth_ != kNone) {
                depth_ = kNone;  // back in an outer frame: its siblings are few or done
            }
            if (end - index < 3) {
                return;
            }
            depth_ = depth;
            for (size_t ahead = 1; ahead < kLookahead; ++ahead) {
                start(entries, index + ahead, end);
            }
        }
        start(entries, index + kLookahead, end);
        for (Slot& slot : slots_) {
            if (slot.sibling > index && slot.sibling < index + kLookahead) {
                advance(slot);
            }
        }
    }

    // The frame at `depth` was left.
    void left(size_t depth) {
        if (depth == depth_) {
            depth_ = kNone;
        }
    }

private:
    static constexpr size_t kLookahead = 10;
    static constexpr size_t kWidth = 16;
    static constexpr size_t kNone = static_cast<size_t>(-1);

    struct Slot {
        size_t sibling = kNone;
        PyObject* pending[kWidth];
        size_t count = 0;
        bool tables_next = false;
    };

    void start(const std::vector<Entry>& entries, size_t index, size_t end) {
        if (index >= end) {
            return;
        }
        Slot& slot = slots_[index % kLookahead];
        slot.sibling = index;
        slot.count = 0;
        PyObject* sibling = entries[index].value;
        if (PyDict_CheckExact(sibling)) {
            slot.pending[0] = sibling;  // its object was asked for with its parent's keys
            slot.count = 1;
            slot.tables_next = true;
        }
    }

    // Alternately: keep the pending values that are mappings (their objects
    // have arrived) and ask for their hash tables; or read those tables and
    // ask for every value they hold, looking at none of them yet.
    static void advance(Slot& slot) {
        if (slot.tables_next) {
            size_t count = 0;
            for (size_t i = 0; i < slot.count; ++i) {
                if (PyDict_CheckExact(slot.pending[i])) {
                    prefetch_table(slot.pending[i]);
                    slot.pending[count++] = slot.pending[i];
                }
            }
            slot.count = count;
            slot.tables_next = false;
            return;
        }
        PyObject* values[kWidth];
        size_t count = 0;
        for (size_t i = 0; i < slot.count && count < kWidth; ++i) {
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (count < kWidth && PyDict_Next(slot.pending[i], &position, &key, &value)) {
                prefetch(key);
                prefetch(value);
                values[count++] = value;
            }
        }
        std::copy(values, values + count, slot.pending);
        slot.count = count;
        slot.tables_next = true;
    }

    static void prefetch_table(PyObject* dict) {
        const char* table = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        prefetch(table);
        prefetch(table + 64);
    }

    size_t depth_ = kNone;
    Slot slots_[kLookahead];
};

// Trees nested deeper than this are measured against the recursion limit
// before any text is written.
constexpr size_t kDepthCheckThreshold = 256;

// The plain pass over a non-empty exact dict under an exact str header.
// 1 with `out` set; 0 when a value that is not plain is met; -1 on error.
//
// It allocates no object that the garbage collector tracks and calls no code
// outside the interpreter's own str(), so no finalizer or other thread can run
// in the middle: the borrowed references below stay valid, and giving up with
// 0 leaves nothing observable behind.
int render_plain_pass(PyObject* data, PyObject* header, Ref& out) {
    if (!readable(header)) {
        return -1;
    }
    std::vector<Entry> keys;
    if (!collect_plain_keys(data, keys)) {
        return 0;
    }
    TextWriter writer(data);
    LeafTexts leaf_texts;
    Prefetcher prefetcher;
    std::string rest = "\n";
    write_text(writer, header, rest);
    std::vector<Frame> frames;
    frames.push_back(Frame{data, 0, keys.size(), 0, 1});
    bool depth_checked = false;
    while (!frames.empty()) {
        Frame& frame = frames.back();
        if (frame.next == frame.end) {
            keys.resize(frame.first);
            frames.pop_back();
            prefetcher.left(frames.size());
            continue;
        }
        PyObject* key = keys[frame.next].key;
        PyObject* child = keys[frame.next].value;
        frame.next += 1;
        const bool last = frame.next == frame.end;
        prefetcher.step(keys, frames.size() - 1, frame.next - 1, frame.end);
        // The child's first line: "\n", the frame's prefix, "  |".
        rest.resize(frame.rest_length);
        writer.ascii(rest.data(), rest.size());
        writer.ascii("  |", 3);
        rest.append(last ? "  " : "  |");
        const size_t child_rest_length = rest.size();
        if (PyDict_CheckExact(child)) {
            if (PyDict_GET_SIZE(child) == 0) {
                continue;  // an empty mapping renders as an empty line
            }
            const size_t child_first = keys.size();
            if (!collect_plain_keys(child, keys)) {
                return 0;
            }
            writer.ascii("__ ", 3);
            write_text(writer, key, rest);
            if (!depth_checked && frames.size() >= kDepthCheckThreshold) {
                depth_checked = true;
                if (!nesting_within(data, Py_GetRecursionLimit())) {
                    PyErr_SetString(PyExc_RecursionError,
                                    "maximum recursion depth exceeded while rendering the plugin tree");
                    return -1;
                }
            }
            frames.push_back(Frame{child, child_first, keys.size(), child_first, child_rest_length});
            continue;
        }
        if (!is_plain_leaf(child)) {
            return 0;
        }
        const int truth = PyObject_IsTrue(child);
        if (truth < 0) {
            return -1;
        }
        if (!truth) {
            continue;  // a false value renders as an empty line
        }
        Ref text = Ref::borrow(child);
        if (!PyUnicode_CheckExact(child)) {
            const int made = leaf_texts.text_of(child, text);
            if (made <= 0) {
                return made;
            }
        }
        if (!PyUnicode_CheckExact(text.get())) {
            return 0;
        }
        if (!readable(text.get())) {
            return -1;
        }
        writer.ascii("__ ", 3);
        write_text(writer, key, rest);
        writer.ascii(" = ", 3);
        write_text(writer, text.get(), rest);
    }
    out = writer.finish();
    return out ? 1 : -1;
}

// The plain pass, with an allocation failure in its containers turned into
// MemoryError here rather than unwinding through the interpreter.
int render_plain(PyObject* data, PyObject* header, Ref& out) {
    try {
        const int done = render_plain_pass(data, header, out);
        // Giving up on a value that is not plain after the writer failed
        // still leaves the MemoryError to report.
        return done == 0 && PyErr_Occurred() ? -1 : done;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
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
    if (general_depth >= kMaxGeneralDepth || stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while rendering the plugin tree");
    } else {
        general_depth += 1;
        PyObject* stack[] = {self, child, label};
        if (print_tree.own != nullptr) {
            result = Ref::steal(print_tree_impl(print_tree.own, stack));
        } else {
            result = call_resolved(print_tree, stack, 0, S.kw_print_tree);
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
    // A new {} each time: a dict subclass's __eq__ gets it and may change it.
    Ref empty = Ref::steal(PyDict_New());
    Ref equal = empty ? Ref::steal(PyObject_RichCompare(data, empty.get(), Py_EQ)) : Ref();
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
    return call_resolved(print_tree, stack, 0, S.kw_print_tree).release();
}

}  // namespace

PyObject* print_tree_impl(NativeMethod* /*method*/, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* data = args[1];
    PyObject* output = args[2];
    if (general_only == 0 && PyDict_CheckExact(data) && PyDict_GET_SIZE(data) != 0 && PyUnicode_CheckExact(output) &&
        has_only_str_keys(data)) {
        // The first child's lookup of self.print_tree happens here, once.
        Resolved print_tree;
        if (!resolve_method(self, S.print_tree, spec_print_tree, print_tree)) {
            return nullptr;
        }
        if (print_tree.own == nullptr) {
            return render_general(self, data, output, &print_tree).release();
        }
        Ref rendered;
        const int done = render_plain(data, output, rendered);
        if (done != 0) {
            return done < 0 ? nullptr : rendered.release();
        }
        general_only += 1;
        Ref result = render_general(self, data, output, nullptr);
        general_only -= 1;
        return result.release();
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
