#include "runtime/map.h"

#include <time.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "runtime/compat/dicts.h"
#include "runtime/compat/errors.h"
#include "runtime/context.h"
#include "runtime/function.h"
#include "runtime/kernel.h"
#include "runtime/lane.h"
#include "runtime/ref.h"
#include "runtime/value.h"

namespace nrt {

const char kMapDoc[] =
    "map($self, /, *iterables, out=None, **keywords)\n--\n\n"
    "Call the function on each element, as [f(*args, **keywords) for args in zip(*iterables)]\n"
    "does, and return the results as an array('d'), or store them into out (a writable\n"
    "one-dimensional buffer of doubles of the same length) and return out. The iterables\n"
    "must have equal lengths. An object with the buffer protocol is read in place, element\n"
    "by element as indexing a memoryview of it gives them.";

namespace {

// Ints up to this magnitude convert to doubles exactly.
constexpr std::int64_t kExactInt = std::int64_t{1} << 53;

// n objects of T in the interpreter's memory: the module links no C++
// runtime, so no operator new.
template <typename T>
class Array {
public:
    Array() noexcept = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() {
        for (Py_ssize_t k = 0; k < n_; k++) p_[k].~T();
        PyMem_Free(p_);
    }
    // False with MemoryError set.
    bool allocate(Py_ssize_t n) noexcept {
        p_ = static_cast<T*>(PyMem_Malloc(n > 0 ? n * sizeof(T) : 1));
        if (p_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        for (; n_ < n; n_++) new (&p_[n_]) T();
        return true;
    }
    T* get() const noexcept { return p_; }
    T& operator[](Py_ssize_t k) const noexcept { return p_[k]; }

private:
    T* p_ = nullptr;
    Py_ssize_t n_ = 0;
};

// ---- one input value, as read ahead for a kernel -------------------------

enum class Kind : unsigned char {
    Float,     // d
    Int,       // an int of at most kExactInt in magnitude: i, and d = i
    Signed,    // a wider int: i
    Unsigned,  // a wider unsigned int of a buffer: u
    Object,    // anything else: o
};

struct Item {
    Kind kind = Kind::Float;
    double d = 0.0;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    // The object the element is, held; null for a buffer's, which has none
    // until indexing a memoryview makes one.
    PyObject* o = nullptr;

    static Item of_float(double v) noexcept {
        Item it;
        it.d = v;
        return it;
    }
    static Item of_int(std::int64_t v) noexcept {
        Item it;
        if (v >= -kExactInt && v <= kExactInt) {
            it.kind = Kind::Int;
            it.d = static_cast<double>(v);
        } else {
            it.kind = Kind::Signed;
        }
        it.i = v;
        return it;
    }
    static Item of_unsigned(std::uint64_t v) noexcept {
        if (v <= static_cast<std::uint64_t>(kExactInt)) return of_int(static_cast<std::int64_t>(v));
        Item it;
        it.kind = Kind::Unsigned;
        it.u = v;
        return it;
    }
    // Takes over a new reference.
    static Item of_object(PyObject* owned) noexcept {
        Item it;
        if (PyFloat_CheckExact(owned)) {
            it = of_float(PyFloat_AS_DOUBLE(owned));
        } else if (PyLong_CheckExact(owned)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(owned, &overflow);
            it.kind = Kind::Object;
            if (overflow == 0 && v >= -kExactInt && v <= kExactInt) it = of_int(v);
        } else {
            it.kind = Kind::Object;
        }
        it.o = owned;
        return it;
    }

    // Whether a kernel may take it, as d.
    bool machine() const noexcept { return kind == Kind::Float || kind == Kind::Int; }
    // Whether handing it to the function can run code outside the module:
    // anything but an exact int or float.
    bool foreign() const noexcept { return o != nullptr && !PyLong_CheckExact(o) && !PyFloat_CheckExact(o); }

    // The value a body gets, the element's own object where it has one;
    // empty (with an exception set) when no int object can be made.
    Val value() const noexcept {
        if (o != nullptr) return Val::borrow(o);
        switch (kind) {
            case Kind::Float: return Val::of_float(d);
            case Kind::Int: return Val::of_int(i);
            case Kind::Signed: return Val::steal(PyLong_FromLongLong(i));
            case Kind::Unsigned: return Val::steal(PyLong_FromUnsignedLongLong(u));
            case Kind::Object: break;
        }
        return Val();
    }
    void clear() noexcept {
        Py_CLEAR(o);
        kind = Kind::Float;
    }
};

// ---- the iterables -----------------------------------------------------------

// The native formats whose items a memoryview gives as floats or ints.
bool readable_format(const char* format, char* code) noexcept {
    if (format == nullptr) {
        *code = 'B';
        return true;
    }
    if (format[0] == '@') format++;
    if (format[0] == '\0' || format[1] != '\0') return false;
    switch (format[0]) {
        case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l': case 'L':
        case 'q': case 'Q': case 'n': case 'N': case 'f': case 'd':
            *code = format[0];
            return true;
        default:
            return false;
    }
}

template <typename T>
T load(const char* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

Item decode(char code, const char* p) noexcept {
    switch (code) {
        case 'b': return Item::of_int(load<signed char>(p));
        case 'B': return Item::of_int(load<unsigned char>(p));
        case 'h': return Item::of_int(load<short>(p));
        case 'H': return Item::of_int(load<unsigned short>(p));
        case 'i': return Item::of_int(load<int>(p));
        case 'I': return Item::of_int(load<unsigned int>(p));
        case 'l': return Item::of_int(load<long>(p));
        case 'L': return Item::of_unsigned(load<unsigned long>(p));
        case 'q': return Item::of_int(load<long long>(p));
        case 'Q': return Item::of_unsigned(load<unsigned long long>(p));
        case 'n': return Item::of_int(load<Py_ssize_t>(p));
        case 'N': return Item::of_unsigned(load<std::size_t>(p));
        case 'f': return Item::of_float(load<float>(p));
        default: return Item::of_float(load<double>(p));
    }
}

// What an element read ahead is: a float or an int of at most kExactInt in
// magnitude, kept as a double, or an item held.
constexpr unsigned char kAheadFloat = 0;
constexpr unsigned char kAheadInt = 1;
constexpr unsigned char kAheadHeld = 2;

// One iterable: a one-dimensional buffer of a readable format, read in
// place; an exact list or tuple, read by index as its iterator reads it;
// anything else through its iterator, one element at a time.
class Source {
public:
    enum class Way { Buffer, Sequence, Iterator };

    Source() noexcept = default;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    ~Source() {
        if (way_ == Way::Buffer) PyBuffer_Release(&view_);
    }

    // False with an exception set.
    bool open(PyObject* object) noexcept {
        object_ = object;
        if (PyObject_CheckBuffer(object)) {
            if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) == 0) {
                if (view_.ndim == 1 && readable_format(view_.format, &code_)) {
                    way_ = Way::Buffer;
                    return true;
                }
                PyBuffer_Release(&view_);
            } else if (PyErr_ExceptionMatches(PyExc_BufferError)) {
                // An exporter that cannot give this view: iterated instead.
                PyErr_Clear();
            } else {
                return false;
            }
        }
        if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
            way_ = Way::Sequence;
            return true;
        }
        iterator_ = Ref(PyObject_GetIter(object));
        way_ = Way::Iterator;
        return static_cast<bool>(iterator_);
    }

    bool indexed() const noexcept { return way_ != Way::Iterator; }

    // The length, for an indexed source; a list's may change as code runs.
    Py_ssize_t length() const noexcept {
        if (way_ == Way::Buffer) return view_.shape ? view_.shape[0] : view_.len / view_.itemsize;
        return PySequence_Fast_GET_SIZE(object_);
    }

    // Element j (an iterator gives its next one): 1, or 0 when there is
    // none, or -1 with an exception set.
    int read(Py_ssize_t j, Item* item) noexcept {
        item->clear();
        switch (way_) {
            case Way::Buffer:
                if (j >= length()) return 0;
                *item = decode(code_, address(j));
                return 1;
            case Way::Sequence: {
                if (j >= PySequence_Fast_GET_SIZE(object_)) return 0;
                PyObject* element = PySequence_Fast_GET_ITEM(object_, j);
                Py_INCREF(element);
                *item = Item::of_object(element);
                return 1;
            }
            case Way::Iterator: {
                PyObject* next = PyIter_Next(iterator_.get());
                if (next == nullptr) return PyErr_Occurred() ? -1 : 0;
                *item = Item::of_object(next);
                return 1;
            }
        }
        return -1;
    }

    // Elements j to j + n - 1 ahead of their calls, for a kernel: a machine
    // value as a double in column[] (kinds[] says whether it was an int),
    // anything else held in items[] with its flag in rare[] set. An indexed
    // source has them all.
    void read_ahead(Py_ssize_t j, Py_ssize_t n, double* column, unsigned char* kinds, unsigned char* rare,
                    Item* items) noexcept {
        if (way_ == Way::Buffer && code_ == 'd') {
            for (Py_ssize_t e = 0; e < n; e++) column[e] = load<double>(address(j + e));
            std::memset(kinds, kAheadFloat, n);
            return;
        }
        for (Py_ssize_t e = 0; e < n; e++) {
            if (way_ == Way::Sequence) {
                // An exact float is read without holding it: the kernel
                // needs its value only.
                PyObject* element = PySequence_Fast_GET_ITEM(object_, j + e);
                if (PyFloat_CheckExact(element)) {
                    column[e] = PyFloat_AS_DOUBLE(element);
                    kinds[e] = kAheadFloat;
                    continue;
                }
            }
            Item item;
            read(j + e, &item);
            if (item.machine()) {
                column[e] = item.d;
                kinds[e] = item.kind == Kind::Int ? kAheadInt : kAheadFloat;
                item.clear();
            } else {
                column[e] = 0.0;
                kinds[e] = kAheadHeld;
                rare[e] = 1;
                items[e] = item;
            }
        }
    }

    // The bytes the buffer spans, for overlap tests; empty otherwise.
    void span(const char** low, const char** high) const noexcept {
        *low = *high = nullptr;
        if (way_ != Way::Buffer || length() == 0) return;
        const char* first = address(0);
        const char* last = address(length() - 1);
        *low = first < last ? first : last;
        *high = (first < last ? last : first) + view_.itemsize;
    }
    bool same_layout(const Py_buffer& other) const noexcept {
        return way_ == Way::Buffer && code_ == 'd' && view_.buf == other.buf &&
               view_.strides[0] == other.strides[0];
    }

private:
    const char* address(Py_ssize_t j) const noexcept {
        Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
        return static_cast<const char*>(view_.buf) + j * stride;
    }

    Way way_ = Way::Iterator;
    PyObject* object_ = nullptr;  // borrowed from the call's arguments
    Py_buffer view_ = {};
    char code_ = 'd';
    Ref iterator_;
};

// ---- where the results go ----------------------------------------------------

bool native_double(const char* format) noexcept {
    if (format == nullptr) return false;
    if (format[0] == '@' || format[0] == '=' || (format[0] == '<' && PY_LITTLE_ENDIAN) ||
        (format[0] == '>' && PY_BIG_ENDIAN)) {
        format++;
    }
    return format[0] == 'd' && format[1] == '\0';
}

// Where the results go, element j after element j - 1: `out`; an array('d')
// made for a length known before any call; or memory that grows, made into
// an array('d') at the end (also when code run meanwhile lengthened a list).
class Target {
public:
    Target() noexcept = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target() {
        if (viewed_) PyBuffer_Release(&view_);
        PyMem_Free(grown_);
    }

    // Checks `out` before any call; false with an exception set.
    bool open_out(const char* name, PyObject* out) noexcept {
        if (!PyObject_CheckBuffer(out)) {
            PyErr_Format(PyExc_TypeError, "%s.map() out must be a writable buffer of doubles, not '%.200s'", name,
                         Py_TYPE(out)->tp_name);
            return false;
        }
        if (PyObject_GetBuffer(out, &view_, PyBUF_RECORDS_RO) < 0) return false;
        viewed_ = true;
        if (view_.readonly) {
            PyErr_Format(PyExc_TypeError, "%s.map() out must be writable", name);
            return false;
        }
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_TypeError, "%s.map() out must be one-dimensional, not of %d dimensions", name,
                         view_.ndim);
            return false;
        }
        if (!native_double(view_.format) || view_.itemsize != sizeof(double)) {
            PyErr_Format(PyExc_TypeError, "%s.map() out must hold doubles (format 'd'), not format '%s'", name,
                         view_.format ? view_.format : "B");
            return false;
        }
        mode_ = Mode::Out;
        result_ = Ref::borrow(out);
        return true;
    }

    // An array('d') for `length` results; false with an exception set.
    bool open_array(Py_ssize_t length) noexcept {
        if (!make_array(length)) return false;
        mode_ = Mode::Array;
        return true;
    }

    bool is_out() const noexcept { return mode_ == Mode::Out; }
    Py_ssize_t room() const noexcept { return view_.shape ? view_.shape[0] : view_.len / view_.itemsize; }
    const Py_buffer& view() const noexcept { return view_; }

    bool put(Py_ssize_t j, double v) noexcept {
        if (mode_ == Mode::Array && j >= room() && !grow_from_array()) return false;
        if (mode_ != Mode::Grow) {
            Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
            std::memcpy(static_cast<char*>(view_.buf) + j * stride, &v, sizeof v);
            return true;
        }
        if (j >= capacity_ && !reserve(capacity_ < 64 ? 64 : capacity_ * 2)) return false;
        grown_[j] = v;
        return true;
    }

    // Results j to j + n - 1, stored at once.
    bool put_run(Py_ssize_t j, const double* v, Py_ssize_t n) noexcept {
        if (mode_ == Mode::Array && j + n > room() && !grow_from_array()) return false;
        if (mode_ == Mode::Grow) {
            if (j + n > capacity_ && !reserve(2 * (j + n) + 64)) return false;
            std::memcpy(grown_ + j, v, n * sizeof(double));
            return true;
        }
        Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
        char* at = static_cast<char*>(view_.buf) + j * stride;
        if (stride == sizeof(double)) {
            std::memcpy(at, v, n * sizeof(double));
        } else {
            for (Py_ssize_t e = 0; e < n; e++) std::memcpy(at + e * stride, &v[e], sizeof(double));
        }
        return true;
    }

    // The result of a map that gave `count` results: out, or an array.
    PyObject* finish(const char* name, Py_ssize_t count) noexcept {
        switch (mode_) {
            case Mode::Out:
                if (count != room()) {
                    PyErr_Format(PyExc_ValueError, "%s.map() out has room for %zd results, not %zd", name, room(),
                                 count);
                    return nullptr;
                }
                return result_.release();
            case Mode::Array:
                if (count < room()) {
                    Py_ssize_t made = room();
                    release_view();
                    if (PySequence_DelSlice(result_.get(), count, made) < 0) return nullptr;
                }
                return result_.release();
            case Mode::Grow:
                if (!make_array(count)) return nullptr;
                if (count > 0) std::memcpy(view_.buf, grown_, count * sizeof(double));
                return result_.release();
        }
        return nullptr;
    }

private:
    enum class Mode { Grow, Out, Array };

    bool make_array(Py_ssize_t length) noexcept {
        // The type, held for the rest of the process once imported, as the
        // interpreter holds the module.
        static PyObject* array_type = nullptr;
        if (array_type == nullptr) {
            Ref module(PyImport_ImportModule("array"));
            array_type = module ? PyObject_GetAttrString(module.get(), "array") : nullptr;
            if (array_type == nullptr) return false;
        }
        Ref one(PyObject_CallFunction(array_type, "s[d]", "d", 0.0));
        if (!one) return false;
        result_ = Ref(PySequence_Repeat(one.get(), length));
        if (!result_ || PyObject_GetBuffer(result_.get(), &view_, PyBUF_RECORDS) < 0) return false;
        viewed_ = true;
        return true;
    }

    void release_view() noexcept {
        if (viewed_) PyBuffer_Release(&view_);
        viewed_ = false;
    }

    bool reserve(Py_ssize_t wanted) noexcept {
        double* grown = PyMem_Resize(grown_, double, wanted);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        grown_ = grown;
        capacity_ = wanted;
        return true;
    }

    bool grow_from_array() noexcept {
        Py_ssize_t made = room();
        if (!reserve(made * 2 + 64)) return false;
        std::memcpy(grown_, view_.buf, made * sizeof(double));
        release_view();
        result_.reset();
        mode_ = Mode::Grow;
        return true;
    }

    Mode mode_ = Mode::Grow;
    Py_buffer view_ = {};
    bool viewed_ = false;
    Ref result_;
    double* grown_ = nullptr;
    Py_ssize_t capacity_ = 0;
};

// ---- the calls -----------------------------------------------------------

// How long the map keeps the GIL before it lets other threads run, as the
// interpreter's own loop would let them between two calls.
constexpr std::int64_t kHoldGilNanoseconds = 1000000;

// Nanoseconds on a clock that only goes forward (the C++ library's clocks
// would make the module depend on the C++ runtime).
std::int64_t monotonic_now() noexcept {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
// Elements between two looks at the clock when calls go one by one.
constexpr Py_ssize_t kClockEvery = 64;
// The largest chunk a kernel gets, whatever it asks for: the scratch memory
// of a map is bounded by it.
constexpr Py_ssize_t kMostChunk = 8192;
// A kernel's first chunk, and the elements then made one by one where its
// prepare() refuses.
constexpr Py_ssize_t kFirstChunk = 16;
// Chunks smaller than this run with the GIL held: releasing costs more.
constexpr Py_ssize_t kReleaseFrom = 256;

// A kernel's chunk: each input's items as read ahead, the doubles the
// kernel takes, its results and the elements it leaves to ordinary calls.
class Scratch {
public:
    Scratch() noexcept = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        for (Py_ssize_t k = 0; memory_ != nullptr && k < inputs_ * most_; k++) items_[k].clear();
        PyMem_Free(memory_);
    }

    // Room for chunks of up to `most` elements of `inputs` inputs.
    bool open(Py_ssize_t inputs, Py_ssize_t most) noexcept {
        inputs_ = inputs;
        most_ = most;
        std::size_t bytes = inputs * most * (sizeof(Item) + sizeof(double) + 1) + most * (sizeof(double) + 1);
        memory_ = PyMem_Malloc(bytes);
        if (memory_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        items_ = static_cast<Item*>(memory_);
        for (Py_ssize_t k = 0; k < inputs * most; k++) new (&items_[k]) Item();
        doubles_ = reinterpret_cast<double*>(items_ + inputs * most);
        results_ = doubles_ + inputs * most;
        rare_ = reinterpret_cast<unsigned char*>(results_ + most);
        kinds_ = rare_ + most;
        return true;
    }
    bool is_open() const noexcept { return memory_ != nullptr; }
    Py_ssize_t most() const noexcept { return most_; }

    Item* items(Py_ssize_t k) noexcept { return items_ + k * most_; }
    double* column(Py_ssize_t k) noexcept { return doubles_ + k * most_; }
    double* results() noexcept { return results_; }
    unsigned char* rare() noexcept { return rare_; }
    unsigned char* kinds(Py_ssize_t k) noexcept { return kinds_ + k * most_; }

    // What a body gets for input k of element e, as read ahead.
    Val value(Py_ssize_t k, Py_ssize_t e) noexcept {
        switch (kinds(k)[e]) {
            case kAheadFloat: return Val::of_float(column(k)[e]);
            case kAheadInt: return Val::of_int(static_cast<std::int64_t>(column(k)[e]));
            default: return items(k)[e].value();
        }
    }
    bool foreign(Py_ssize_t k, Py_ssize_t e) noexcept {
        return kinds(k)[e] == kAheadHeld && items(k)[e].foreign();
    }

    // Lets go of the items of the first n elements.
    void clear_items(Py_ssize_t n) noexcept {
        for (Py_ssize_t k = 0; k < inputs_; k++) {
            for (Py_ssize_t e = 0; e < n; e++) {
                if (kinds(k)[e] == kAheadHeld) items(k)[e].clear();
            }
        }
    }

private:
    void* memory_ = nullptr;
    Py_ssize_t inputs_ = 0;
    Py_ssize_t most_ = 0;
    Item* items_ = nullptr;
    double* doubles_ = nullptr;
    double* results_ = nullptr;
    unsigned char* rare_ = nullptr;
    unsigned char* kinds_ = nullptr;
};

class Mapping {
public:
    Mapping(PyObject* f, PyObject* const* args, Py_ssize_t inputs) noexcept
        : f_(f), name_(reinterpret_cast<NativeFunction*>(f)->method->ml_name), args_(args), inputs_(inputs) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() = default;

    PyObject* run(PyObject* kwnames) noexcept;

private:
    bool parse_keywords(PyObject* kwnames) noexcept;
    void choose_lane() noexcept;
    bool check_lengths() noexcept;
    bool read_ahead_allowed() const noexcept;
    Val call(Val* values) noexcept;
    bool store(Py_ssize_t j, const Val& result) noexcept;
    int element(Py_ssize_t j) noexcept;
    Py_ssize_t chunk(Py_ssize_t j, Py_ssize_t size, const KernelState& state) noexcept;
    bool pause() noexcept;
    [[gnu::cold]] void note_element(Py_ssize_t j) const noexcept {
        char text[200];
        PyOS_snprintf(text, sizeof text, "%.100s.map() element %zd", name_, j);
        compat::add_note(text);
    }

    PyObject* f_;
    const char* name_;
    PyObject* const* args_;
    Py_ssize_t inputs_;
    Array<Source> sources_;
    PyObject* out_ = nullptr;
    // The keywords of every call, out left out.
    Ref kwnames_;
    PyObject** kwvalues_ = nullptr;
    Array<PyObject*> own_kwvalues_;
    Py_ssize_t nkw_ = 0;
    // Set when calls go straight to the body, with the parameters after the
    // inputs bound in rest_.
    const LaneEntry* lane_ = nullptr;
    Val rest_[kMaxParams];
    Target target_;
    Scratch scratch_;
    Py_ssize_t known_ = -1;  // the length, when known before any call
    std::int64_t held_since_ = monotonic_now();
};

bool Mapping::parse_keywords(PyObject* kwnames) noexcept {
    Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    kwvalues_ = const_cast<PyObject**>(args_ + inputs_);
    Py_ssize_t out_at = -1;
    for (Py_ssize_t k = 0; k < count; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "out") == 0) out_at = k;
    }
    if (out_at < 0) {
        nkw_ = count;
        if (count > 0) kwnames_ = Ref::borrow(kwnames);
        return true;
    }
    PyObject* out = args_[inputs_ + out_at];
    out_ = out == Py_None ? nullptr : out;
    // The other keywords, in a tuple and an array of their own.
    nkw_ = count - 1;
    if (nkw_ == 0) return true;
    kwnames_ = Ref(PyTuple_New(nkw_));
    if (!kwnames_ || !own_kwvalues_.allocate(nkw_)) return false;
    for (Py_ssize_t k = 0, m = 0; k < count; k++) {
        if (k == out_at) continue;
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames_.get(), m, key);
        own_kwvalues_[m++] = args_[inputs_ + k];
    }
    kwvalues_ = own_kwvalues_.get();
    return true;
}

// Calls go straight to the body, with values, when the function is this
// runtime's own and the keywords bind to its parameters after the inputs
// without running code (names that are exact strs); the body then gets what
// a call from Python hands it. Anything else is called as Python calls it.
void Mapping::choose_lane() noexcept {
    int position = own_function(f_);
    if (position < 0) return;
    const LaneEntry* entry = &lanes.entries[position];
    const Signature& sig = *entry->signature;
    if (inputs_ < sig.required || inputs_ > sig.maximum) return;
    PyObject* bound[kMaxParams] = {};
    for (Py_ssize_t k = 0; k < nkw_; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames_.get(), k);
        if (!PyUnicode_CheckExact(key)) return;
        Py_ssize_t p = inputs_;
        while (p < sig.maximum && PyUnicode_Compare(*sig.params[p], key) != 0) p++;
        if (p == sig.maximum || bound[p] != nullptr) return;
        bound[p] = kwvalues_[k];
    }
    for (Py_ssize_t p = inputs_; p < sig.maximum; p++) {
        if (bound[p] == nullptr && sig.defaults[p] == nullptr) return;
    }
    for (Py_ssize_t p = inputs_; p < sig.maximum; p++) {
        rest_[p] = Val::borrow(bound[p] != nullptr ? bound[p] : *sig.defaults[p]);
    }
    lane_ = entry;
}

Val Mapping::call(Val* values) noexcept {
    if (lane_ != nullptr) {
        Val args[kMaxParams];
        const Py_ssize_t maximum = lane_->signature->maximum;
        for (Py_ssize_t p = 0; p < maximum; p++) args[p] = p < inputs_ ? values[p] : rest_[p];
        return lane_->call(args, maximum);
    }
    // The vector call's arguments, with the slot before them that
    // PY_VECTORCALL_ARGUMENTS_OFFSET lends the callee.
    const Py_ssize_t n = inputs_ + nkw_;
    PyObject* inline_stack[1 + kMaxParams];
    Array<PyObject*> heap;
    PyObject** stack = inline_stack;
    if (n >= static_cast<Py_ssize_t>(sizeof inline_stack / sizeof inline_stack[0])) {
        if (!heap.allocate(n + 1)) return Val();
        stack = heap.get();
    }
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        stack[1 + k] = values[k].object();
        if (stack[1 + k] == nullptr) return Val();
    }
    for (Py_ssize_t k = 0; k < nkw_; k++) stack[1 + inputs_ + k] = kwvalues_[k];
    return Val::steal(PyObject_Vectorcall(f_, stack + 1, inputs_ | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get()));
}

// Stores the result for element j as array('d') holds it: a float as it is,
// anything else converted as float() converts it (an int, __float__,
// __index__); what cannot be converted raises TypeError naming the element.
bool Mapping::store(Py_ssize_t j, const Val& result) noexcept {
    double v;
    if (result.kind() == Val::Kind::Float) {
        v = result.float_value();
    } else if (result.kind() == Val::Kind::Int) {
        v = static_cast<double>(result.int_value());
    } else {
        v = PyFloat_AsDouble(result.object());
        if (v == -1.0 && PyErr_Occurred()) {
            PyObject* cause = PyErr_GetRaisedException();
            PyErr_Format(PyExc_TypeError, "%s.map() cannot store the result for element %zd as a double", name_, j);
            PyObject* error = PyErr_GetRaisedException();
            PyException_SetCause(error, cause);
            PyErr_SetRaisedException(error);
            return false;
        }
    }
    return target_.put(j, v);
}

// Lets signal handlers and other threads run where the loop would have let
// them; false when a handler raised.
bool Mapping::pause() noexcept {
    if (PyErr_CheckSignals() < 0) return false;
    if (monotonic_now() - held_since_ >= kHoldGilNanoseconds) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        held_since_ = monotonic_now();
    }
    return true;
}

// Element j, read and called: 1 when done, 0 when the iterables have ended
// together, -1 with an exception set.
int Mapping::element(Py_ssize_t j) noexcept {
    Val inline_values[kMaxParams];
    Array<Val> heap;
    Val* vals = inline_values;
    if (inputs_ > kMaxParams) {
        if (!heap.allocate(inputs_)) return -1;
        vals = heap.get();
    }
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        Item item;
        int got = sources_[k].read(j, &item);
        if (got < 0) return -1;
        if (got == 0) {
            if (k > 0) {
                PyErr_Format(PyExc_ValueError, "%s.map() argument %zd is shorter than argument 1", name_, k + 1);
                return -1;
            }
            // The first has ended: so must every other.
            for (Py_ssize_t m = 1; m < inputs_; m++) {
                Item other;
                int more = sources_[m].read(j, &other);
                other.clear();
                if (more < 0) return -1;
                if (more > 0) {
                    PyErr_Format(PyExc_ValueError, "%s.map() argument %zd is longer than argument 1", name_, m + 1);
                    return -1;
                }
            }
            return 0;
        }
        vals[k] = item.value();
        item.clear();
        if (!vals[k]) return -1;
    }
    if (target_.is_out() && j >= target_.room()) {
        PyErr_Format(PyExc_ValueError, "%s.map() out has room for %zd results, and the iterables have more", name_,
                     target_.room());
        return -1;
    }
    Val result = call(vals);
    if (!result) {
        note_element(j);
        return -1;
    }
    return store(j, result) ? 1 : -1;
}

// Where every iterable has a length, the lengths and out must agree before
// any call.
bool Mapping::check_lengths() noexcept {
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        if (!sources_[k].indexed()) return true;
    }
    known_ = sources_[0].length();
    for (Py_ssize_t k = 1; k < inputs_; k++) {
        if (sources_[k].length() != known_) {
            PyErr_Format(PyExc_ValueError, "%s.map() arguments 1 and %zd differ in length (%zd and %zd)", name_, k + 1,
                         known_, sources_[k].length());
            return false;
        }
    }
    if (target_.is_out() && target_.room() != known_) {
        PyErr_Format(PyExc_ValueError, "%s.map() out has room for %zd results, not %zd", name_, target_.room(),
                     known_);
        return false;
    }
    return true;
}

// Whether a kernel's chunk may read its inputs ahead of the calls: out
// overlaps no input but element for element, since writing an element would
// change one still to be read.
bool Mapping::read_ahead_allowed() const noexcept {
    if (!target_.is_out() || known_ == 0) return true;
    const Py_buffer& out = target_.view();
    const char* first = static_cast<const char*>(out.buf);
    const char* last = first + (known_ - 1) * (out.strides ? out.strides[0] : out.itemsize);
    const char* low = first < last ? first : last;
    const char* high = (first < last ? last : first) + out.itemsize;
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        const char* in_low;
        const char* in_high;
        sources_[k].span(&in_low, &in_high);
        if (in_low == nullptr || in_high <= low || high <= in_low) continue;
        if (!sources_[k].same_layout(out)) return false;
    }
    return true;
}

// A kernel's chunk of `size` elements from element j, with the module in
// the state `state`: the inputs are read ahead, computed together (without
// the GIL when there are many) and stored in order; the elements the kernel
// leaves go through ordinary calls. An ordinary call that may have run code
// outside the module (a number of another type, a result that is not a
// machine value, or a change prepare() sees) ends the chunk there, since
// what was read ahead may be stale. Returns the next element to do, or -1
// with an exception set.
Py_ssize_t Mapping::chunk(Py_ssize_t j, Py_ssize_t size, const KernelState& state) noexcept {
    const Kernel& kernel = *lane_->kernel;
    unsigned char* rare = scratch_.rare();
    std::memset(rare, 0, size);
    const double* columns[kMaxKernelInputs];
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        // Nothing has run since the lengths were checked: each element is there.
        sources_[k].read_ahead(j, size, scratch_.column(k), scratch_.kinds(k), rare, scratch_.items(k));
        columns[k] = scratch_.column(k);
    }
    double* results = scratch_.results();
    if (size >= kReleaseFrom) {
        Py_BEGIN_ALLOW_THREADS
        kernel.run(state, columns, size, results, rare);
        Py_END_ALLOW_THREADS
        held_since_ = monotonic_now();
    } else {
        kernel.run(state, columns, size, results, rare);
    }

    Py_ssize_t next = j + size;
    bool failed = false;
    for (Py_ssize_t e = 0; e < size && !failed;) {
        // The kernel's results up to the next element it left, at once.
        Py_ssize_t run_end = e;
        while (run_end < size && !rare[run_end]) run_end++;
        if (run_end > e) {
            failed = !target_.put_run(j + e, results + e, run_end - e);
            e = run_end;
            continue;
        }
        Val values[kMaxKernelInputs];
        bool foreign = false;
        for (Py_ssize_t k = 0; k < inputs_ && !failed; k++) {
            foreign = foreign || scratch_.foreign(k, e);
            values[k] = scratch_.value(k, e);
            failed = !values[k];
        }
        if (failed) break;
        Val result = call(values);
        if (!result) {
            note_element(j + e);
            failed = true;
        } else if (!store(j + e, result)) {
            failed = true;
        } else {
            KernelState again;
            if (foreign || !result.is_machine() || !kernel.prepare(rest_ + inputs_, &again) ||
                std::memcmp(&again, &state, sizeof state) != 0) {
                next = j + e + 1;
                break;
            }
        }
        e++;
    }
    scratch_.clear_items(size);
    if (failed || PyErr_CheckSignals() < 0) return -1;
    return next;
}

PyObject* Mapping::run(PyObject* kwnames) noexcept {
    if (inputs_ == 0) {
        PyErr_Format(PyExc_TypeError, "%s.map() needs at least one iterable", name_);
        return nullptr;
    }
    if (!parse_keywords(kwnames)) return nullptr;
    if (out_ != nullptr && !target_.open_out(name_, out_)) return nullptr;
    if (!sources_.allocate(inputs_)) return nullptr;
    for (Py_ssize_t k = 0; k < inputs_; k++) {
        if (!sources_[k].open(args_[k])) return nullptr;
    }
    if (!check_lengths()) return nullptr;
    if (!target_.is_out() && known_ >= 0 && !target_.open_array(known_)) return nullptr;
    compat::confirm_watching(context.module_dict);
    choose_lane();

    const Kernel* kernel = lane_ != nullptr ? lane_->kernel : nullptr;
    const Py_ssize_t most = kernel != nullptr && kernel->chunk < kMostChunk ? kernel->chunk : kMostChunk;
    if (kernel != nullptr && known_ > 0 && kernel->inputs == inputs_ && read_ahead_allowed() &&
        !scratch_.open(inputs_, known_ < most ? known_ : most)) {
        return nullptr;
    }
    // A kernel's chunks start small and double while they run whole, so that
    // inputs where ordinary calls often end a chunk are not read ahead over
    // and over.
    Py_ssize_t size = kFirstChunk;
    Py_ssize_t j = 0;
    while (true) {
        if (scratch_.is_open() && j < known_) {
            KernelState state;
            if (kernel->prepare(rest_ + inputs_, &state)) {
                // A list that code run by an ordinary call shortened is read
                // on one element at a time.
                bool whole = true;
                for (Py_ssize_t k = 0; k < inputs_; k++) whole = whole && sources_[k].length() >= known_;
                if (whole) {
                    Py_ssize_t n = known_ - j < size ? known_ - j : size;
                    if (n > scratch_.most()) n = scratch_.most();
                    Py_ssize_t next = chunk(j, n, state);
                    if (next < 0) return nullptr;
                    size = next < j + n ? kFirstChunk : (2 * size < most ? 2 * size : most);
                    j = next;
                    continue;
                }
            }
        }
        // One by one: without a kernel, all of them; with one, a few before
        // it is asked again, and the end.
        Py_ssize_t stretch = scratch_.is_open() ? kFirstChunk : PY_SSIZE_T_MAX;
        for (Py_ssize_t s = 0; s < stretch; s++, j++) {
            int done = element(j);
            if (done < 0) return nullptr;
            if (done == 0) return target_.finish(name_, j);
            if (PyErr_CheckSignals() < 0) return nullptr;
            if (j % kClockEvery == kClockEvery - 1 && !pause()) return nullptr;
        }
    }
}

}  // namespace

PyObject* map_function(PyObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Mapping mapping(f, args, PyVectorcall_NARGS(nargs));
    return mapping.run(kwnames);
}

}  // namespace nrt
