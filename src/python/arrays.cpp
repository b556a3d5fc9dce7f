#include "python/arrays.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "python/errors.hpp"

namespace orbelin::py {

PyArrayObject* accept_float64_array(PyObject* obj, bool one_axis) {
    if (!PyArray_Check(obj))
        raise_type_error(concat({"'", type_name(obj), "' object cannot be converted to 'PyArray<T, D>'"}));
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (one_axis && PyArray_NDIM(arr) != 1) {
        raise_type_error(concat({"dimensionality mismatch:\n from=", std::to_string(PyArray_NDIM(arr)), ", to=1"}));
    }
    PyArray_Descr* float64 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(arr), float64) != 0;
    Py_DECREF(float64);
    if (!equivalent) {
        raise_type_error(concat(
            {"type mismatch:\n from=", to_string(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))), ", to=float64"}));
    }
    return arr;
}

std::vector<double> copy_contiguous(PyArrayObject* arr) {
    if (!PyArray_IS_C_CONTIGUOUS(arr) && !PyArray_IS_F_CONTIGUOUS(arr))
        raise_type_error("The given array is not contiguous");
    std::vector<double> values(static_cast<std::size_t>(PyArray_SIZE(arr)));
    // memcpy: the buffer need not be aligned for double.
    if (!values.empty()) std::memcpy(values.data(), PyArray_DATA(arr), values.size() * sizeof(double));
    return values;
}

Shape batch_axes(PyArrayObject* arr) {
    const int ndim = PyArray_NDIM(arr);
    const npy_intp* dims = PyArray_DIMS(arr);
    return ndim > 0 ? Shape(dims, dims + ndim - 1) : Shape{};
}

std::size_t batch_count(PyArrayObject* arr) {
    const int ndim = PyArray_NDIM(arr);
    std::size_t n = 1;
    for (int a = 0; a + 1 < ndim; ++a) n *= static_cast<std::size_t>(PyArray_DIM(arr, a));
    return n;
}

bool has_last_axis(PyArrayObject* arr, npy_intp k) {
    const int ndim = PyArray_NDIM(arr);
    return ndim >= 1 && PyArray_DIM(arr, ndim - 1) == k;
}

bool same_shape(PyArrayObject* a, PyArrayObject* b) {
    return PyArray_NDIM(a) == PyArray_NDIM(b) &&
           PyArray_CompareLists(PyArray_DIMS(a), PyArray_DIMS(b), PyArray_NDIM(a));
}

Rows::Rows(PyArrayObject* arr, const std::string& failure_message)
    : base_(static_cast<const char*>(PyArray_DATA(arr))), count_(batch_count(arr)) {
    const int ndim = PyArray_NDIM(arr);
    width_ = ndim > 0 ? static_cast<std::size_t>(PyArray_DIM(arr, ndim - 1)) : 1;
    if (PyArray_IS_C_CONTIGUOUS(arr)) return;
    if (ndim >= 2 && PyArray_IS_F_CONTIGUOUS(arr)) {
        fortran_ = true;
        batch_shape_ = batch_axes(arr);
        return;
    }
    raise_value_error(failure_message);
}

void FortranRowReader::read(std::size_t i, double* out) const noexcept {
    std::size_t offset = 0;
    std::size_t stride = 1;
    std::size_t rest = i;
    std::size_t inner = count;
    const Shape& shape = *batch_shape;
    for (std::size_t a = 0; a < shape.size(); ++a) {
        // Row-major index digit of axis a: divide off the axes after it.
        inner /= static_cast<std::size_t>(shape[a]);
        const std::size_t digit = inner > 0 ? rest / inner : 0;
        rest = inner > 0 ? rest % inner : 0;
        offset += digit * stride;
        stride *= static_cast<std::size_t>(shape[a]);
    }
    for (std::size_t j = 0; j < width; ++j) {
        std::memcpy(&out[j], base + (offset + j * count) * sizeof(double), sizeof(double));
    }
}

RowPairing RowPairing::by_count(const Shape& first, const Shape& second) {
    const std::size_t a = element_count(first);
    const std::size_t b = element_count(second);
    RowPairing p;
    p.count_ = a >= b ? a : b;
    p.axes_ = a >= b ? first : second;
    p.first_step_ = a == 1 ? 0 : 1;
    p.second_step_ = b == 1 ? 0 : 1;
    return p;
}

bool RowPairing::broadcast(const Shape& a, const Shape& b, RowPairing& out) {
    const std::size_t n = a.size() > b.size() ? a.size() : b.size();
    std::vector<npy_intp> da(n, 1), db(n, 1);
    std::copy(a.begin(), a.end(), da.begin() + static_cast<std::ptrdiff_t>(n - a.size()));
    std::copy(b.begin(), b.end(), db.begin() + static_cast<std::ptrdiff_t>(n - b.size()));
    RowPairing p;
    p.axes_.assign(n, 1);
    for (std::size_t k = 0; k < n; ++k) {
        if (da[k] != db[k] && da[k] != 1 && db[k] != 1) return false;
        p.axes_[k] = da[k] == 1 ? db[k] : da[k];
    }
    p.first_stride_.assign(n, 0);
    p.second_stride_.assign(n, 0);
    std::size_t sa = 1, sb = 1;
    for (std::size_t k = n; k-- > 0;) {
        if (da[k] != 1) p.first_stride_[k] = sa;
        if (db[k] != 1) p.second_stride_[k] = sb;
        sa *= static_cast<std::size_t>(da[k]);
        sb *= static_cast<std::size_t>(db[k]);
    }
    p.count_ = element_count(p.axes_);
    // A side with every result element reads element i; a side of one element reads element 0.
    const auto decide = [&p](std::size_t side, std::size_t& step, bool& strided) {
        step = side == 1 && p.count_ != 1 ? 0 : 1;
        strided = side != p.count_ && side != 1;
    };
    decide(element_count(a), p.first_step_, p.first_strided_);
    decide(element_count(b), p.second_step_, p.second_strided_);
    out = std::move(p);
    return true;
}

namespace {

PyObject* numpy_asarray(PyObject* obj) {
    static PyObject* asarray = nullptr;  // guarded by the interpreter lock
    if (asarray == nullptr) {
        PyRef numpy = PyRef::steal(check(PyImport_ImportModule("numpy")));
        asarray = check(PyObject_GetAttrString(numpy.get(), "asarray"));
    }
    return check(PyObject_CallOneArg(asarray, obj));
}

// CPython's float conversion, except that a one-element array is read through
// its element (float() of an array with axes is deprecated in NumPy). False
// when the object is not a number (a TypeError, cleared); any other exception
// (KeyboardInterrupt or MemoryError raised inside __float__, a ValueError of
// the object's own) propagates unchanged.
bool try_as_double(PyObject* obj, double& value) {
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    PyRef item;
    if (PyArray_Check(obj) && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(obj)) == 1) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        item = PyRef::steal(check(PyArray_GETITEM(arr, static_cast<const char*>(PyArray_DATA(arr)))));
        obj = item.get();
    }
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

std::vector<double> read_scalar_or_array(PyObject* obj, NdimMessage not_one_axis) {
    double value = 0.0;
    if (try_as_double(obj, value)) return {value};
    PyRef converted = PyRef::steal(numpy_asarray(obj));
    PyArrayObject* arr = accept_float64_array(converted.get(), /*one_axis=*/false);
    if (PyArray_NDIM(arr) != 1) {
        std::string message = not_one_axis.text;
        if (not_one_axis.append_ndim) message += std::to_string(PyArray_NDIM(arr)) + "D";
        raise_value_error(message);
    }
    const npy_intp n = PyArray_DIM(arr, 0);
    // The list is a copy: an array of one value repeated by a zero stride can ask for any amount.
    require_memory(concat({"the list of ", std::to_string(n), " times of flight"}),
                   static_cast<double>(n) * sizeof(double));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    std::vector<double> values(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i)
        std::memcpy(&values[static_cast<std::size_t>(i)], data + i * stride, sizeof(double));
    return values;
}

namespace {

template <class T>
constexpr int numpy_type() {
    if constexpr (std::is_same_v<T, double>) {
        return NPY_FLOAT64;
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return NPY_UINT64;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return NPY_INT64;
    } else {
        return NPY_BOOL;
    }
}

}  // namespace

// Large results are filled once, by the threads of a parallel loop: with 4 KB pages that is one page fault per
// 4 KB, some 250 faults per megabyte, each taken on the filling thread. Where the system lets a process ask for
// transparent huge pages, the 2 MB-aligned interior of a large buffer is marked for them, so that it faults in
// 2 MB at a time (and its zeroing is done in one go). Only a hint: without the feature nothing changes.
namespace {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (bytes < 2 * huge) return;
    // The interior from the first 2 MB boundary, in whole 2 MB pages.
    const std::size_t lead = (huge - reinterpret_cast<std::uintptr_t>(data) % huge) % huge;
    const std::size_t length = (bytes - lead) & ~(huge - 1);
    if (length > 0) madvise(static_cast<char*>(data) + lead, length, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------------
// One block of memory for all the arrays of a result.
//
// The columns of a result under 4 MB get no huge pages one by one, and each call faults them in 4 KB at a time (the
// arrays of a grid scan of 45,000 cells, 6.5 MB, take some 1,600 faults per call, about 50 ns per row). Carved out of
// one 2 MB-aligned block marked for huge pages, the columns fault in 2 MB at a time. The arrays still own their data
// (NumPy frees it through the allocator it was made with, named below), and the block is given back when the last
// array made from it is freed: kept as the spare for the next result (release_block), or returned to the system.

#if defined(MADV_HUGEPAGE)
namespace {

struct ResultBlock {
    std::atomic<std::size_t> refs;  // the guard that fills it, and each slice still allocated
    void* mapping;
    std::size_t length;
};

// Written in front of every allocation of the allocator below: its block (null for an ordinary heap allocation)
// and its size. 64 bytes keep the data on cache-line boundaries.
struct SliceHeader {
    ResultBlock* block;
    std::size_t size;
};
constexpr std::size_t kSliceHeader = 64;

// The block that allocations on this thread are carved from while a SharedResultBlock is alive.
thread_local ResultBlock* current_block = nullptr;
thread_local std::size_t current_used = 0;

SliceHeader* header_of(void* p) noexcept {
    return reinterpret_cast<SliceHeader*>(static_cast<char*>(p) - kSliceHeader);
}

// The last block given back, kept for the next result that fits in it. A call repeated on results of the same size
// (a grid scan of 45,000 cells, 12 MB; a multi-revolution batch of 200,000 cases, 194 MB) then writes into pages
// already mapped, instead of the system zeroing a fresh mapping on every call (some 15 ns per row of such a scan,
// 60-120 ns per solution of the batch). One block at most, of at most kSpareBlockBytes, is held after its arrays are
// freed. Above kLazySpareBytes its pages (all but the first 2 MB page, which holds the block's record) are handed
// back lazily: the system may take them whenever it needs the memory, and gives zeroed pages on the next write if
// it did; until then the next result writes into them as they are.
constexpr std::size_t kSpareBlockBytes = std::size_t{1} << 30;
constexpr std::size_t kLazySpareBytes = std::size_t{64} << 20;
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kLazySliceBytes = std::size_t{4} << 20;
std::atomic<ResultBlock*> spare_block{nullptr};

void unmap_block(ResultBlock* block) noexcept {
    if (block != nullptr) munmap(block->mapping, block->length);
}

// Hands the whole huge pages of [from, from + bytes) back to the system lazily: until it takes them (when it needs
// the memory), a write finds them as they were; afterwards it finds fresh zeroed pages.
void free_lazily(char* from, std::size_t bytes) noexcept {
#if defined(MADV_FREE)
    const std::size_t lead = (kHugePage - reinterpret_cast<std::uintptr_t>(from) % kHugePage) % kHugePage;
    if (bytes <= lead) return;
    const std::size_t length = (bytes - lead) & ~(kHugePage - 1);
    if (length > 0) madvise(from + lead, length, MADV_FREE);
#else
    (void)from;
    (void)bytes;
#endif
}

void release_block(ResultBlock* block) noexcept {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (block->length <= kSpareBlockBytes) {
        if (block->length > kLazySpareBytes) {
            // All but the huge page that holds the block's record.
            char* from = reinterpret_cast<char*>(block) + kHugePage;
            char* end = static_cast<char*>(block->mapping) + block->length;
            if (end > from) free_lazily(from, static_cast<std::size_t>(end - from));
        }
        block = spare_block.exchange(block, std::memory_order_acq_rel);
    }
    unmap_block(block);
}

}  // namespace
#endif

namespace {

// The length of the spare block, 0 when there is none. Read under the interpreter lock, which every release and
// acquisition of a block holds.
std::uint64_t spare_block_bytes() noexcept {
#if defined(MADV_HUGEPAGE)
    const ResultBlock* spare = spare_block.load(std::memory_order_acquire);
    return spare != nullptr ? spare->length : 0;
#else
    return 0;
#endif
}

}  // namespace

#if defined(MADV_HUGEPAGE)
namespace {

// A block of at least `length` bytes holding its record at its first 2 MB boundary, `huge` bytes: the spare one
// when it is large enough, otherwise a new mapping marked for huge pages; null when the system refuses.
ResultBlock* acquire_block(std::size_t length, std::size_t huge) noexcept {
    ResultBlock* spare = spare_block.exchange(nullptr, std::memory_order_acq_rel);
    if (spare != nullptr && spare->length >= length) {
        spare->refs.store(1, std::memory_order_relaxed);
        return spare;
    }
    unmap_block(spare);
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const std::size_t lead = (huge - reinterpret_cast<std::uintptr_t>(mapping) % huge) % huge;
    madvise(static_cast<char*>(mapping) + lead, (length - lead) & ~(huge - 1), MADV_HUGEPAGE);
    return new (static_cast<char*>(mapping) + lead) ResultBlock{{1}, mapping, length};
}

void* block_malloc(void* /*ctx*/, std::size_t size) noexcept {
    if (size > std::numeric_limits<std::size_t>::max() - 2 * kSliceHeader) return nullptr;
    const std::size_t need = kSliceHeader + (size + kSliceHeader - 1) / kSliceHeader * kSliceHeader;
    ResultBlock* block = current_block;
    char* raw = nullptr;
    if (block != nullptr && block->length - current_used >= need) {
        raw = static_cast<char*>(block->mapping) + current_used;
        current_used += need;
        block->refs.fetch_add(1, std::memory_order_relaxed);
    } else {
        block = nullptr;
        raw = static_cast<char*>(std::malloc(kSliceHeader + size));
        if (raw == nullptr) return nullptr;
    }
    auto* h = reinterpret_cast<SliceHeader*>(raw);
    h->block = block;
    h->size = size;
    return raw + kSliceHeader;
}

void* block_calloc(void* ctx, std::size_t count, std::size_t size) noexcept {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) return nullptr;
    void* p = block_malloc(ctx, bytes);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

void block_free(void* /*ctx*/, void* p, std::size_t /*size*/) noexcept {
    if (p == nullptr) return;
    SliceHeader* h = header_of(p);
    if (h->block == nullptr) {
        std::free(h);
    } else {
        // A large column freed while others live on gives its pages back now, not when the block goes.
        if (h->size >= kLazySliceBytes) free_lazily(static_cast<char*>(p), h->size);
        release_block(h->block);
    }
}

void* block_realloc(void* ctx, void* p, std::size_t size) noexcept {
    if (p == nullptr) return block_malloc(ctx, size);
    SliceHeader* h = header_of(p);
    // A slice of a block stays where it is when it shrinks (the block is given back as a whole).
    if (h->block != nullptr && size <= h->size) {
        h->size = size;
        return p;
    }
    void* q = block_malloc(ctx, size);
    if (q == nullptr) return nullptr;
    std::memcpy(q, p, std::min(size, h->size));
    block_free(ctx, p, h->size);
    return q;
}

PyDataMem_Handler result_block_handler = {
    "orbelin_result_block", 1, {nullptr, block_malloc, block_calloc, block_realloc, block_free}};

// The handler as NumPy takes it; made once and kept, since every array made with it refers to it.
PyObject* result_block_capsule() {
    static PyObject* capsule = PyCapsule_New(&result_block_handler, "mem_handler", nullptr);
    return capsule;
}

}  // namespace
#endif

SharedResultBlock::SharedResultBlock(std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    constexpr std::size_t huge = std::size_t{1} << 21;
    // Below two huge pages the block gains little.
    if (bytes < 2 * huge || current_block != nullptr) return;
    PyObject* capsule = result_block_capsule();
    if (capsule == nullptr) {
        PyErr_Clear();
        return;
    }
    // Room for a header per array (at most one per 64 bytes of data, far fewer in practice) and the alignment.
    const std::size_t length = bytes + bytes / 8 + 2 * huge;
    ResultBlock* block = acquire_block(length, huge);
    if (block == nullptr) return;
    // The block's own record, then the arrays, from the first 2 MB boundary on.
    const std::size_t lead =
        static_cast<std::size_t>(reinterpret_cast<char*>(block) - static_cast<char*>(block->mapping));
    previous_ = PyDataMem_SetHandler(capsule);
    if (previous_ == nullptr) {
        PyErr_Clear();
        unmap_block(block);
        return;
    }
    current_block = block;
    current_used = lead + (sizeof(ResultBlock) + kSliceHeader - 1) / kSliceHeader * kSliceHeader;
#else
    (void)bytes;
#endif
}

SharedResultBlock::~SharedResultBlock() {
#if defined(MADV_HUGEPAGE)
    if (previous_ == nullptr) return;
    ResultBlock* block = current_block;
    current_block = nullptr;
    current_used = 0;
    // Also run while an exception of a failed array is on its way out: that error is set aside meanwhile.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* ours = PyDataMem_SetHandler(previous_);
    if (ours == nullptr) PyErr_Clear();
    Py_XDECREF(ours);
    Py_DECREF(previous_);
    PyErr_Restore(type, value, traceback);
    release_block(block);
#endif
}

template <class T>
ResultArray<T>::ResultArray(const Shape& shape) {
    // Callers check their results as a whole before any work; this catches an array they did not count (and
    // leaves NumPy's own refusal for the rare allocation that fails all the same).
    double bytes = sizeof(T);
    for (npy_intp d : shape) bytes *= static_cast<double>(d);
    if (bytes > small_request_bytes) {
        require_memory(concat({"a result array of shape ", shape_text(shape), " with ", std::to_string(sizeof(T)),
                               "-byte elements"}),
                       bytes);
    }
    {
        // An array made alone is a block of its own, reused like any other (inside a SharedResultBlock of several
        // arrays, this one does nothing).
        const SharedResultBlock block(bytes < 0x1p62 ? static_cast<std::size_t>(bytes) : 0);
        obj_ = PyRef::steal(check(
            PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()), numpy_type<T>())));
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj_.get());
    data_ = static_cast<T*>(PyArray_DATA(arr));
    size_ = static_cast<std::size_t>(PyArray_SIZE(arr));
    advise_huge_pages(data_, size_ * sizeof(T));
}

template <class T>
void ResultArray<T>::shrink(npy_intp rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj_.get());
    Shape shape(PyArray_DIMS(arr), PyArray_DIMS(arr) + PyArray_NDIM(arr));
    if (shape.empty() || shape[0] <= rows) return;
    shape[0] = rows;
    PyArray_Dims dims{shape.data(), static_cast<int>(shape.size())};
    PyRef none = PyRef::steal(check(PyArray_Resize(arr, &dims, 0, NPY_CORDER)));
    data_ = static_cast<T*>(PyArray_DATA(arr));
    size_ = static_cast<std::size_t>(PyArray_SIZE(arr));
}

template <class T>
ResultArray<T>::ResultArray(const Shape& shape, T fill) : ResultArray(shape) {
    // The fill touches every page of the new array for the first time: about a second for the results of ten
    // million cases. A pending Ctrl-C is honoured between blocks of 8 MB.
    constexpr std::size_t block = (std::size_t{1} << 23U) / sizeof(T);
    for (std::size_t begin = 0; begin < size_; begin += block) {
        if (PyErr_CheckSignals() < 0) throw PyErrSet{};
        std::fill(data_ + begin, data_ + std::min(size_, begin + block), fill);
    }
}

template class ResultArray<double>;
template class ResultArray<std::uint64_t>;
template class ResultArray<std::int64_t>;
template class ResultArray<bool>;

std::size_t element_count(const Shape& shape) noexcept {
    std::size_t n = 1;
    for (npy_intp d : shape) n *= static_cast<std::size_t>(d);
    return n;
}

void require_memory(const std::string& subject, double bytes) {
    if (bytes <= small_request_bytes) return;
    MemoryBudget budget = available_memory();
    // The spare result block is the request's too: reused when the result fits in it, given back before a larger
    // one is mapped.
    budget.bytes += std::min(spare_block_bytes(), std::numeric_limits<std::uint64_t>::max() - budget.bytes);
    if (bytes > static_cast<double>(budget.bytes)) raise_memory_error(subject, bytes, budget);
}

void raise_memory_error(const std::string& subject, double bytes, const MemoryBudget& budget) {
    char text[160];
    std::snprintf(text, sizeof text, " needs %.4g bytes, more than the %.4g bytes this process may still use: ", bytes,
                  static_cast<double>(budget.bytes));
    raise(PyExc_MemoryError, concat({subject, text, limit_text(budget.limit)}));
}

void require_result_memory(const char* function, std::size_t cases, std::size_t slots, std::size_t bytes_per_slot) {
    const double bytes = static_cast<double>(cases) * static_cast<double>(slots) * static_cast<double>(bytes_per_slot);
    if (bytes <= small_request_bytes) return;
    require_memory(concat({function, ": the result of ", std::to_string(cases), " cases with ", std::to_string(slots),
                           slots == 1 ? " solution slot" : " solution slots"}),
                   bytes);
}

void require_reshape(std::size_t flat_count, const Shape& shape, const std::string& prefix) {
    if (flat_count != element_count(shape)) raise_value_error(prefix + kIncompatibleShape);
}

std::string shape_text(const Shape& shape) {
    std::string text = "(";
    for (std::size_t a = 0; a < shape.size(); ++a) {
        if (a > 0) text += ", ";
        text += std::to_string(shape[a]);
    }
    if (shape.size() == 1) text += ',';
    return text + ")";
}

Shape with_axes(Shape shape, std::initializer_list<npy_intp> extra) {
    shape.insert(shape.end(), extra.begin(), extra.end());
    return shape;
}

PyObject* new_tuple(std::span<PyRef> items) {
    PyObject* tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace orbelin::py
