// The `_varnel` extension module: SkerryIndex and IdMapIndex for Python.
//
// Built on the interpreter's stable ABI (3.11) with NumPy's C array API. The
// binding only converts arguments, maps library failures to Python exceptions
// and forwards; every rule about vectors, ids and files lives in the library.
// The interpreter lock stays held during every call, including the parallel
// part of search: the pool's workers never touch Python objects. `query` is
// the exception: it computes without the lock, under the object's shared
// borrow (see guarded_without_gil).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// Without NPY_NO_DEPRECATED_API older headers warn; the target pins the oldest
// NumPy the module runs on (1.23.2 is the first with CPython 3.11 wheels).
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#include <numpy/arrayobject.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/id_filter.h"
#include "index/id_map.h"
#include "index/partitioned_index.h"
#include "index/query.h"
#include "index/skerry_index.h"
#include "quantize/rotor.h"
#include "runtime/blocking.h"
#include "runtime/cpu.h"
#include "runtime/error.h"
#include "runtime/interrupt.h"
#include "runtime/pool.h"
#include "runtime/settings.h"
#include "search/bounded_scan.h"
#include "storage/io.h"
#include "storage/mapped_file.h"

namespace {

constexpr const char* kVersion = "0.2.4";
constexpr const char* kBufferCapsule = "varnel._varnel.buffer";

// Process-wide objects: created by the first import, kept until exit.
PyObject* g_module = nullptr;
PyObject* g_panic = nullptr;
PyTypeObject* g_skerry_type = nullptr;
PyTypeObject* g_idmap_type = nullptr;
PyTypeObject* g_partitioned_type = nullptr;
PyTypeObject* g_id_filter_type = nullptr;
PyArray_Descr* g_f32 = nullptr;
PyArray_Descr* g_u64 = nullptr;
PyArray_Descr* g_i64 = nullptr;
int64_t g_owner_interpreter = -1;

// ---------------------------------------------------------------------------
// Exceptions

void set_error_text(PyObject* type, const char* text) {
  // Library texts may quote bytes of a file name; never let a bad byte turn
  // the error into a UnicodeDecodeError.
  PyObject* message = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
  if (!message) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

// Runs a library call. C++ exceptions must never unwind into the interpreter,
// so each one becomes a Python exception here and the caller returns NULL.
//
// Long calls poll Python's signal handlers (the interpreter lock is held),
// so Ctrl-C stops them: the handler's exception (KeyboardInterrupt) is then
// already set and the library has left the index as it was.
//
// A wait for a lock that another call holds releases the interpreter lock:
// that call may run without it (`query`) and need it back to check for Ctrl-C.
template <class F>
bool guarded(F&& call) {
  try {
    varnel::InterruptScope interruptible([] { return PyErr_CheckSignals() != 0; });
    varnel::BlockingScope releasing([](const std::function<void()>& wait) {
      PyThreadState* state = PyEval_SaveThread();
      try {
        wait();
      } catch (...) {
        PyEval_RestoreThread(state);
        throw;
      }
      PyEval_RestoreThread(state);
    });
    call();
    return true;
  } catch (const varnel::Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const varnel::ArgumentError& e) {
    set_error_text(PyExc_ValueError, e.what());
  } catch (const varnel::Error& e) {
    set_error_text(g_panic, e.what());
  } catch (const varnel::IoError& e) {
    set_error_text(PyExc_OSError, e.what());
  } catch (const varnel::MemoryLimitError& e) {
    set_error_text(PyExc_MemoryError, e.what());
  } catch (const varnel::ReentrantCall& e) {
    set_error_text(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_error_text(g_panic, e.what());
  } catch (...) {
    set_error_text(g_panic, "unknown failure inside the varnel library");
  }
  return false;
}

// Runs a library call without the interpreter lock, so that other Python
// threads run meanwhile; the caller holds the object's shared borrow, so a
// writer gets "Already borrowed" instead of racing. Ctrl-C still stops it:
// the check takes the interpreter lock back for a moment to run the signal
// handlers (the library calls it every few milliseconds at most). Failures
// are turned into Python exceptions once the lock is held again.
template <class F>
bool guarded_without_gil(F&& call) {
  std::exception_ptr failure;
  PyThreadState* state = PyEval_SaveThread();
  try {
    varnel::InterruptScope interruptible([&state] {
      PyEval_RestoreThread(state);
      const bool stop = PyErr_CheckSignals() != 0;
      state = PyEval_SaveThread();
      return stop;
    });
    call();
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (!failure) return true;
  return guarded([&] { std::rethrow_exception(failure); });
}

// The newer classes and methods raise ValueError for a broken precondition,
// which `except Exception` sees, instead of the panic type.
template <class F>
void with_plain_errors(F& call) {
  try {
    call();
  } catch (const varnel::ArgumentError&) {
    throw;
  } catch (const varnel::Error& e) {
    throw varnel::ArgumentError(e.what());
  }
}

template <class F>
bool guarded_plain(F&& call) {
  return guarded([&] { with_plain_errors(call); });
}

template <class F>
bool guarded_plain_without_gil(F&& call) {
  return guarded_without_gil([&] { with_plain_errors(call); });
}

// Turns a pending TypeError into "argument '{name}': {original text}"; any
// other pending error (OverflowError, an error raised by __index__) is kept.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (!text) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text);
  Py_DECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

// "'{type}' object ..." with the short type name, as the host spells it.
void type_error_for(PyObject* obj, const char* name, const char* tail) {
  PyObject* type_name = PyType_GetName(Py_TYPE(obj));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object %s", name, type_name, tail);
  Py_DECREF(type_name);
}

// A failed file operation keeps its message (callers match on it) and
// gains a note that names the path, shown under the traceback.
void note_path_on_os_error(const std::string& path, const char* doing) {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_OSError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* name = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  PyObject* note = name ? PyUnicode_FromFormat("while %s %R", doing, name) : nullptr;
  PyObject* added = note && value ? PyObject_CallMethod(value, "add_note", "O", note) : nullptr;
  if (!added) PyErr_Clear();  // the note is a courtesy: the original error stands
  Py_XDECREF(added);
  Py_XDECREF(note);
  Py_XDECREF(name);
  PyErr_Restore(type, value, traceback);
}

template <class F>
bool guarded_file(const std::string& path, const char* doing, F&& call) {
  if (guarded(std::forward<F>(call))) return true;
  note_path_on_os_error(path, doing);
  return false;
}

// ---------------------------------------------------------------------------
// Borrow state: a reader-writer flag that is checked, never waited for. With
// the interpreter lock held, a conflict can only come from Python code run
// during argument conversion (an __index__ method calling back into the same
// object), and the library must never see such a call mid-mutation.

// A child of fork() has only the forking thread: borrows that other threads
// of the parent held are never released there. Each borrow records the fork
// era it was taken in; a borrow from an earlier era is a parent's. A reader's
// is simply dropped. A writer's is not: the index may be half-changed in the
// child's copy, so the child gets a clear error instead of a corrupt index.
std::atomic<uint64_t> g_fork_era{0};
const int g_borrow_fork_handler =
    pthread_atfork(nullptr, nullptr, [] { g_fork_era.fetch_add(1, std::memory_order_relaxed); });

struct Borrow {
  Py_ssize_t count = 0;  // readers, or -1 for the one writer
  uint64_t era = 0;
};

// False (with RuntimeError set) when a writer of the parent held the borrow.
bool forget_borrows_of_parent(Borrow& borrow) {
  const uint64_t era = g_fork_era.load(std::memory_order_relaxed);
  if (borrow.era == era) return true;
  if (borrow.count < 0) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this index was being changed by another thread when the process forked, so "
                    "its copy in this process may be half-changed; load or build it again here");
    return false;
  }
  borrow = Borrow{0, era};
  return true;
}

class SharedAccess {
 public:
  SharedAccess() = default;
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() {
    if (flag_) --*flag_;
  }
  bool acquire(Borrow& borrow) {
    if (!forget_borrows_of_parent(borrow)) return false;
    if (borrow.count < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    ++borrow.count;
    flag_ = &borrow.count;
    return true;
  }

 private:
  Py_ssize_t* flag_ = nullptr;
};

class ExclusiveAccess {
 public:
  ExclusiveAccess() = default;
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() {
    if (flag_) *flag_ = 0;
  }
  bool acquire(Borrow& borrow) {
    if (!forget_borrows_of_parent(borrow)) return false;
    if (borrow.count != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    borrow.count = -1;
    flag_ = &borrow.count;
    return true;
  }

 private:
  Py_ssize_t* flag_ = nullptr;
};

// ---------------------------------------------------------------------------
// Scalar arguments

// Any object with an integer value; the `K` parse unit would wrap negative
// values around and ignore __index__, hence PyNumber_Index.
bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  PyObject* integer = PyNumber_Index(obj);
  if (!integer) {
    prefix_type_error(name);
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool require_str(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) return true;
  type_error_for(obj, name, "is not an instance of 'str'");
  return false;
}

// os.PathLike objects (pathlib.Path): whatever their __fspath__ returns.
bool is_path_like(PyObject* obj) {
  return !PyBytes_Check(obj) &&
         PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__");
}

// The path as the operating system gets it: a str (directly or from a
// path-like object) in the file-system encoding, so that names decoded with
// surrogateescape reach it as the original bytes; bytes from a path-like
// object unchanged. Other objects, bytes included, keep their TypeError.
PyObject* encoded_path(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) return PyUnicode_EncodeFSDefault(obj);
  if (!is_path_like(obj)) {
    require_str(obj, name);
    return nullptr;
  }
  PyObject* fs_path = PyOS_FSPath(obj);
  if (!fs_path) return nullptr;
  PyObject* encoded = PyUnicode_Check(fs_path) ? PyUnicode_EncodeFSDefault(fs_path) : fs_path;
  if (encoded == fs_path) return encoded;
  Py_DECREF(fs_path);
  return encoded;
}

bool to_path(PyObject* obj, const char* name, std::string* out) {
  PyObject* encoded = encoded_path(obj, name);
  if (!encoded) return false;
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &bytes, &size) < 0) {
    Py_DECREF(encoded);
    return false;
  }
  // A NUL would silently cut the name short at the operating system.
  if (std::memchr(bytes, '\0', static_cast<size_t>(size)) != nullptr) {
    Py_DECREF(encoded);
    PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
    return false;
  }
  out->assign(bytes, static_cast<size_t>(size));
  Py_DECREF(encoded);
  return true;
}

bool parse_rotation(PyObject* obj, varnel::Rotation* out) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) return false;
  std::string name(text, static_cast<size_t>(size));
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  struct Spelling {
    const char* name;
    varnel::Rotation rotation;
  };
  static constexpr Spelling kSpellings[] = {
      {"planar2", varnel::Rotation::Planar2},        {"planar", varnel::Rotation::Planar2},
      {"givens", varnel::Rotation::Planar2},         {"rotor3", varnel::Rotation::Rotor3},
      {"rotor", varnel::Rotation::Rotor3},           {"clifford", varnel::Rotation::Rotor3},
      {"iso4", varnel::Rotation::Iso4},              {"iso", varnel::Rotation::Iso4},
      {"quaternion", varnel::Rotation::Iso4},        {"walshrotor3", varnel::Rotation::WalshRotor3},
      {"walsh", varnel::Rotation::WalshRotor3},      {"walsh-rotor3", varnel::Rotation::WalshRotor3},
      {"rotor3+walsh", varnel::Rotation::WalshRotor3},
  };
  for (const Spelling& spelling : kSpellings) {
    if (name == spelling.name) {
      *out = spelling.rotation;
      return true;
    }
  }
  // Built as a whole so that a NUL inside the name shows in the message.
  std::string message = "unknown rotation '" + name +
                        "': expected 'planar2', 'rotor3', 'iso4', or 'walshrotor3'";
  PyObject* text_object =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!text_object) return false;
  PyErr_SetObject(PyExc_ValueError, text_object);
  Py_DECREF(text_object);
  return false;
}

// ---------------------------------------------------------------------------
// Input arrays: read in place, never converted.

bool is_array_of(PyObject* obj, int ndim, PyArray_Descr* descr) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(array) == ndim && PyArray_EquivTypes(PyArray_DESCR(array), descr);
}

bool check_array(PyObject* obj, const char* name, int ndim, PyArray_Descr* descr) {
  if (is_array_of(obj, ndim, descr)) return true;
  type_error_for(obj, name, "cannot be cast as 'ndarray'");
  return false;
}

template <class T>
struct InputArray {
  const T* data = nullptr;
  size_t size = 0;
  npy_intp rows = 0;
  npy_intp cols = 0;  // of a 2-D array
  std::vector<T> realigned;  // used only for memory that is not aligned for T

  std::span<const T> span() const { return {data, size}; }
};

// Takes the data of an array that check_array accepted. Called after every
// conversion that can run Python code, since __index__ may have reshaped,
// retyped or resized the array in the meantime.
template <class T>
bool take_array(PyObject* obj, const char* name, int ndim, PyArray_Descr* descr,
                const char* not_contiguous, InputArray<T>* out) {
  if (!check_array(obj, name, ndim, descr)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (!PyArray_IS_C_CONTIGUOUS(array)) {
    PyErr_SetString(PyExc_ValueError, not_contiguous);
    return false;
  }
  size_t count = 1;
  for (int axis = 0; axis < ndim; ++axis) count *= static_cast<size_t>(PyArray_DIM(array, axis));
  out->rows = PyArray_DIM(array, 0);
  out->cols = ndim == 2 ? PyArray_DIM(array, 1) : 0;
  out->size = count;
  const char* bytes = static_cast<const char*>(PyArray_DATA(array));
  // An array over a foreign buffer (np.frombuffer with an odd offset) can be
  // misaligned; reading T through such a pointer is undefined and may fault
  // in vectorised code, so those few arrays are read from an aligned copy.
  if (count > 0 && reinterpret_cast<uintptr_t>(bytes) % alignof(T) != 0) {
    if (!guarded([&] { out->realigned.resize(count); })) return false;
    std::memcpy(out->realigned.data(), bytes, count * sizeof(T));
    out->data = out->realigned.data();
  } else {
    out->data = reinterpret_cast<const T*>(bytes);
  }
  return true;
}

// The library splits any buffer into vectors of dim values, so an array
// with another column count is read in a way the caller rarely means; it
// stays allowed, but says so once per call. False if the warning was turned
// into an exception.
bool warn_column_count(const InputArray<float>& array, const char* name, uint64_t dim) {
  if (dim == 0 || array.size == 0 || static_cast<uint64_t>(array.cols) == dim) return true;
  return PyErr_WarnFormat(PyExc_UserWarning, 1,
                          "%s has %lld columns but the index has dim %llu: its values are read "
                          "as consecutive vectors of %llu",
                          name, static_cast<long long>(array.cols),
                          static_cast<unsigned long long>(dim),
                          static_cast<unsigned long long>(dim)) == 0;
}

// ---------------------------------------------------------------------------
// Output arrays: the result buffer becomes the array's memory.

template <class T>
void free_buffer(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
}

template <class T>
PyObject* adopt(std::vector<T>& values, npy_intp rows, npy_intp cols, int typenum) {
  npy_intp dims[2] = {rows, cols};
  if (values.empty()) return PyArray_SimpleNew(2, dims, typenum);  // nothing to hand over
  auto* owned = new (std::nothrow) std::vector<T>(std::move(values));
  if (!owned) return PyErr_NoMemory();
  PyObject* capsule = PyCapsule_New(owned, kBufferCapsule, free_buffer<T>);
  if (!capsule) {
    delete owned;
    return nullptr;
  }
  PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum), 2, dims,
                                         nullptr, owned->data(), NPY_ARRAY_CARRAY, nullptr);
  if (!array) {
    Py_DECREF(capsule);  // frees the buffer
    return nullptr;
  }
  // Steals the capsule reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

// Whether `size` results can be viewed as (rows, cols); sets ValueError if not.
bool check_shape(const char* what, uint64_t rows, uint64_t cols, size_t size) {
  uint64_t counted = 0;
  if (__builtin_mul_overflow(rows ? rows : 1, cols ? cols : 1, &counted) ||
      counted > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    PyErr_Format(PyExc_ValueError, "%s reshape: ShapeError/Overflow: arithmetic overflow", what);
    return false;
  }
  const uint64_t elements = rows * cols;
  if (elements > size) {
    PyErr_Format(PyExc_ValueError, "%s reshape: ShapeError/OutOfBounds: out of bounds indexing", what);
    return false;
  }
  if (elements != size) {
    PyErr_Format(PyExc_ValueError, "%s reshape: ShapeError/IncompatibleShape: incompatible shapes", what);
    return false;
  }
  return true;
}

template <class T>
PyObject* result_pair(const char* second_name, std::vector<float>& scores, std::vector<T>& second,
                      int second_type, uint64_t rows, uint64_t cols) {
  if (!check_shape("scores", rows, cols, scores.size())) return nullptr;
  PyObject* scores_array =
      adopt(scores, static_cast<npy_intp>(rows), static_cast<npy_intp>(cols), NPY_FLOAT32);
  if (!scores_array) return nullptr;
  if (!check_shape(second_name, rows, cols, second.size())) {
    Py_DECREF(scores_array);
    return nullptr;
  }
  PyObject* second_array =
      adopt(second, static_cast<npy_intp>(rows), static_cast<npy_intp>(cols), second_type);
  if (!second_array) {
    Py_DECREF(scores_array);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (!pair) {
    Py_DECREF(scores_array);
    Py_DECREF(second_array);
    return nullptr;
  }
  PyTuple_SetItem(pair, 0, scores_array);
  PyTuple_SetItem(pair, 1, second_array);
  return pair;
}

// ---------------------------------------------------------------------------
// The Python objects

struct SkerryObject {
  PyObject_HEAD
  Borrow borrow;
  varnel::SkerryIndex index;
};

struct IdMapObject {
  PyObject_HEAD
  Borrow borrow;
  varnel::IdMapIndex index;
};

template <class Obj>
Obj* as(PyObject* self) {
  return reinterpret_cast<Obj*>(self);
}

const varnel::SkerryIndex& core_of(const SkerryObject* obj) { return obj->index; }
const varnel::SkerryIndex& core_of(const IdMapObject* obj) { return obj->index.core(); }

template <class Obj, class Index>
PyObject* wrap(PyTypeObject* type, Index&& index) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);  // takes a reference to the type
  if (!self) return nullptr;
  Obj* obj = as<Obj>(self);
  new (&obj->borrow) Borrow{0, g_fork_era.load(std::memory_order_relaxed)};
  try {
    new (&obj->index) std::decay_t<Index>(std::move(index));
  } catch (...) {
    // The index was never constructed, so the deallocator must not run.
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    return PyErr_NoMemory();
  }
  return self;
}

template <class Obj>
void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  using Index = decltype(Obj::index);
  as<Obj>(self)->index.~Index();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Constructor arguments, converted in the order dim, bits, rotation; the
// rotation name is parsed before the library checks the parameters.
bool constructor_args(PyObject* args, PyObject* kwargs, const char* format, uint64_t* dim,
                      uint64_t* bits, varnel::Rotation* rotation) {
  static const char* keywords[] = {"dim", "bits", "rotation", nullptr};
  PyObject *dim_obj, *bits_obj, *rotation_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &dim_obj,
                                   &bits_obj, &rotation_obj)) {
    return false;
  }
  if (!to_u64(dim_obj, "dim", dim) || !to_u64(bits_obj, "bits", bits)) return false;
  if (rotation_obj == nullptr) {
    *rotation = varnel::Rotation::Rotor3;
    return true;
  }
  return require_str(rotation_obj, "rotation") && parse_rotation(rotation_obj, rotation);
}

PyObject* skerry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  uint64_t dim, bits;
  varnel::Rotation rotation;
  if (!constructor_args(args, kwargs, "OO|O:SkerryIndex", &dim, &bits, &rotation)) return nullptr;
  std::optional<varnel::SkerryIndex> index;
  if (!guarded([&] { index.emplace(varnel::SkerryIndex::create(dim, bits, rotation)); })) return nullptr;
  return wrap<SkerryObject>(type, std::move(*index));
}

PyObject* idmap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  uint64_t dim, bits;
  varnel::Rotation rotation;
  if (!constructor_args(args, kwargs, "OO|O:IdMapIndex", &dim, &bits, &rotation)) return nullptr;
  std::optional<varnel::IdMapIndex> index;
  if (!guarded([&] { index.emplace(varnel::IdMapIndex::create(dim, bits, rotation)); })) return nullptr;
  return wrap<IdMapObject>(type, std::move(*index));
}

// Members common to both classes ---------------------------------------------

template <class Obj>
PyObject* get_dim(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  return PyLong_FromUnsignedLongLong(core_of(as<Obj>(self)).dim());
}

template <class Obj>
PyObject* get_bits(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  return PyLong_FromUnsignedLongLong(core_of(as<Obj>(self)).bits());
}

template <class Obj>
PyObject* get_mapped(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  return PyBool_FromLong(as<Obj>(self)->index.is_mapped());
}

template <class Obj>
PyObject* get_rotation(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  return PyUnicode_FromString(varnel::rotation_name(core_of(as<Obj>(self)).rotation()));
}

template <class Obj>
Py_ssize_t index_len(PyObject* self) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return -1;
  const uint64_t n = as<Obj>(self)->index.len();
  if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

template <class Obj>
PyObject* index_repr(PyObject* self) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  const Obj* obj = as<Obj>(self);
  const varnel::SkerryIndex& core = core_of(obj);
  const char* class_name = std::is_same_v<Obj, SkerryObject> ? "SkerryIndex" : "IdMapIndex";
  return PyUnicode_FromFormat("%s(dim=%llu, bits=%llu, rotation='%s', n=%llu)", class_name,
                              static_cast<unsigned long long>(core.dim()),
                              static_cast<unsigned long long>(core.bits()),
                              varnel::rotation_name(core.rotation()),
                              static_cast<unsigned long long>(obj->index.len()));
}

template <class Obj>
PyObject* index_prepare(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  if (!guarded([&] { as<Obj>(self)->index.prepare(); })) return nullptr;
  Py_RETURN_NONE;
}

// A path and one keyword-only truth value (`write`'s sync, `load`'s
// require_checksum).
bool path_and_flag(PyObject* args, PyObject* kwargs, const char* format, const char* flag_name,
                   PyObject** path, bool* flag) {
  const char* keywords[] = {"path", flag_name, nullptr};
  int value = *flag;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), path, &value)) {
    return false;
  }
  *flag = value != 0;
  return true;
}

// "rows" (the default) or "mapped"; anything else is a ValueError.
bool parse_layout(PyObject* layout_obj, bool* mapped) {
  *mapped = false;
  if (layout_obj == nullptr) return true;
  if (!require_str(layout_obj, "layout")) return false;
  if (PyUnicode_CompareWithASCIIString(layout_obj, "rows") == 0) return true;
  if (PyUnicode_CompareWithASCIIString(layout_obj, "mapped") == 0) {
    *mapped = true;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "layout must be \"rows\" or \"mapped\", not %R", layout_obj);
  return false;
}

template <class Obj>
PyObject* index_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "layout", "sync", nullptr};
  PyObject* path_obj;
  PyObject* layout_obj = nullptr;
  int sync = 1;
  const char* format =
      std::is_same_v<Obj, SkerryObject> ? "O|$Op:SkerryIndex.write" : "O|$Op:IdMapIndex.write";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &path_obj,
                                   &layout_obj, &sync)) {
    return nullptr;
  }
  bool mapped_layout = false;
  if (!parse_layout(layout_obj, &mapped_layout)) return nullptr;
  const varnel::WriteOptions options{sync != 0};
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  const auto& index = as<Obj>(self)->index;
  bool ok = guarded_file(path, "writing", [&] {
    if constexpr (std::is_same_v<Obj, SkerryObject>) {
      mapped_layout ? varnel::write_mapped_index(index, path, options)
                    : varnel::write_index(index, path, options);
    } else {
      mapped_layout ? varnel::write_mapped_id_map(index, path, options)
                    : varnel::write_id_map(index, path, options);
    }
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

// Maps a file of the mapped layout; verify=True reads it all once to
// compare its checksum.
template <class Obj>
PyObject* index_open(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "verify", nullptr};
  PyObject* path_obj;
  int verify = 0;
  const char* format =
      std::is_same_v<Obj, SkerryObject> ? "O|$p:SkerryIndex.open" : "O|$p:IdMapIndex.open";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &path_obj,
                                   &verify)) {
    return nullptr;
  }
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if constexpr (std::is_same_v<Obj, SkerryObject>) {
    std::optional<varnel::SkerryIndex> index;
    if (!guarded_file(path, "opening", [&] { index.emplace(varnel::open_mapped_index(path, verify != 0)); })) {
      return nullptr;
    }
    return wrap<SkerryObject>(type, std::move(*index));
  } else {
    std::optional<varnel::IdMapIndex> index;
    if (!guarded_file(path, "opening", [&] { index.emplace(varnel::open_mapped_id_map(path, verify != 0)); })) {
      return nullptr;
    }
    return wrap<IdMapObject>(type, std::move(*index));
  }
}

template <class Obj>
PyObject* index_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj;
  const char* format =
      std::is_same_v<Obj, SkerryObject> ? "O|$p:SkerryIndex.load" : "O|$p:IdMapIndex.load";
  varnel::ReadOptions options;
  if (!path_and_flag(args, kwargs, format, "require_checksum", &path_obj, &options.require_checksum)) {
    return nullptr;
  }
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if constexpr (std::is_same_v<Obj, SkerryObject>) {
    std::optional<varnel::SkerryIndex> index;
    if (!guarded_file(path, "loading", [&] { index.emplace(varnel::load_index(path, options)); })) return nullptr;
    return wrap<SkerryObject>(type, std::move(*index));
  } else {
    std::optional<varnel::IdMapIndex> index;
    if (!guarded_file(path, "loading", [&] { index.emplace(varnel::load_id_map(path, options)); })) return nullptr;
    return wrap<IdMapObject>(type, std::move(*index));
  }
}

template <class Obj>
PyObject* index_to_bytes(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<Obj>(self)->borrow)) return nullptr;
  const auto& index = as<Obj>(self)->index;
  uint64_t size = 0;
  if (!guarded([&] { size = varnel::file_size(index); })) return nullptr;
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  // Written straight into the new bytes object: no second copy.
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!bytes) return nullptr;
  const std::span<uint8_t> memory(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes)), size);
  const bool ok = guarded([&] {
    if constexpr (std::is_same_v<Obj, SkerryObject>) {
      varnel::write_index_bytes(index, memory);
    } else {
      varnel::write_id_map_bytes(index, memory);
    }
  });
  if (!ok) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return bytes;
}

// Calls read(bytes) on the bytes of any object with the buffer interface; a
// buffer that is not contiguous (a strided memoryview) is read from a
// contiguous copy. Returns what read returns (nullptr with an error set).
template <class Read>
PyObject* with_buffer(PyObject* data_obj, Read&& read) {
  PyObject* contiguous = nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(data_obj, &view, PyBUF_SIMPLE) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) {
      prefix_type_error("data");
      return nullptr;
    }
    PyErr_Clear();
    contiguous = PyBytes_FromObject(data_obj);
    if (!contiguous) return nullptr;
    if (PyObject_GetBuffer(contiguous, &view, PyBUF_SIMPLE) < 0) {
      Py_DECREF(contiguous);
      return nullptr;
    }
  }
  const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf),
                                       static_cast<size_t>(view.len));
  PyObject* result = read(bytes);
  PyBuffer_Release(&view);
  Py_XDECREF(contiguous);
  return result;
}

// Any object with the buffer interface; a buffer that is not contiguous
// (a strided memoryview) is read from a contiguous copy.
template <class Obj>
PyObject* index_from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "require_checksum", nullptr};
  PyObject* data_obj;
  int require_checksum = 0;
  const char* format = std::is_same_v<Obj, SkerryObject> ? "O|$p:SkerryIndex.from_bytes"
                                                          : "O|$p:IdMapIndex.from_bytes";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &data_obj,
                                   &require_checksum)) {
    return nullptr;
  }
  const varnel::ReadOptions options{require_checksum != 0};
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  return with_buffer(data_obj, [&](std::span<const uint8_t> bytes) -> PyObject* {
    if constexpr (std::is_same_v<Obj, SkerryObject>) {
      std::optional<varnel::SkerryIndex> index;
      if (!guarded([&] { index.emplace(varnel::index_from_bytes(bytes, options)); })) return nullptr;
      return wrap<SkerryObject>(type, std::move(*index));
    } else {
      std::optional<varnel::IdMapIndex> index;
      if (!guarded([&] { index.emplace(varnel::id_map_from_bytes(bytes, options)); })) return nullptr;
      return wrap<IdMapObject>(type, std::move(*index));
    }
  });
}

// pickle, copy.copy and copy.deepcopy: the class's from_bytes applied to
// to_bytes, so a copy searches exactly like the original.
template <class Obj>
PyObject* index_reduce(PyObject* self, PyObject*) {
  PyObject* bytes = index_to_bytes<Obj>(self, nullptr);
  if (!bytes) return nullptr;
  PyObject* from_bytes =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes");
  if (!from_bytes) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return Py_BuildValue("(N(N))", from_bytes, bytes);
}

// SkerryIndex ------------------------------------------------------------------

PyObject* skerry_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vectors", nullptr};
  PyObject* vectors_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:SkerryIndex.add", const_cast<char**>(keywords),
                                   &vectors_obj)) {
    return nullptr;
  }
  SkerryObject* obj = as<SkerryObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  InputArray<float> vectors;
  if (!take_array(vectors_obj, "vectors", 2, g_f32, "vectors must be C-contiguous", &vectors) ||
      !warn_column_count(vectors, "vectors", obj->index.dim())) {
    return nullptr;
  }
  if (!guarded([&] { obj->index.add(vectors.span()); })) return nullptr;
  Py_RETURN_NONE;
}

// The arguments of both search methods, read under shared access (which the
// caller's `access` keeps until the method returns): parsed, `queries`
// checked before `k` is converted, then taken in place.
bool search_arguments(PyObject* args, PyObject* kwargs, const char* format, Borrow& borrow,
                      SharedAccess& access, InputArray<float>* queries, uint64_t* k) {
  static const char* keywords[] = {"queries", "k", nullptr};
  PyObject *queries_obj, *k_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &queries_obj,
                                   &k_obj)) {
    return false;
  }
  return access.acquire(borrow) && check_array(queries_obj, "queries", 2, g_f32) &&
         to_u64(k_obj, "k", k) &&
         take_array(queries_obj, "queries", 2, g_f32, "queries must be C-contiguous", queries);
}

PyObject* skerry_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  SkerryObject* obj = as<SkerryObject>(self);
  SharedAccess access;
  InputArray<float> queries;
  uint64_t k;
  if (!search_arguments(args, kwargs, "OO:SkerryIndex.search", obj->borrow, access, &queries, &k) ||
      !warn_column_count(queries, "queries", obj->index.dim())) {
    return nullptr;
  }
  varnel::SearchResults results;
  if (!guarded([&] { results = obj->index.search(queries.span(), k); })) return nullptr;
  return result_pair("indices", results.scores, results.indices, NPY_INT64,
                                     static_cast<uint64_t>(queries.rows), results.k);
}

PyObject* skerry_swap_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"idx", nullptr};
  PyObject* idx_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:SkerryIndex.swap_remove",
                                   const_cast<char**>(keywords), &idx_obj)) {
    return nullptr;
  }
  SkerryObject* obj = as<SkerryObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  uint64_t idx;
  if (!to_u64(idx_obj, "idx", &idx)) return nullptr;
  uint64_t moved = 0;
  if (!guarded([&] { moved = obj->index.swap_remove(idx); })) return nullptr;
  return PyLong_FromUnsignedLongLong(moved);
}

// IdMapIndex -------------------------------------------------------------------

PyObject* idmap_add_with_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vectors", "ids", nullptr};
  PyObject *vectors_obj, *ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:IdMapIndex.add_with_ids",
                                   const_cast<char**>(keywords), &vectors_obj, &ids_obj)) {
    return nullptr;
  }
  IdMapObject* obj = as<IdMapObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  if (!check_array(vectors_obj, "vectors", 2, g_f32) || !check_array(ids_obj, "ids", 1, g_u64)) {
    return nullptr;
  }
  InputArray<float> vectors;
  InputArray<uint64_t> ids;
  if (!take_array(vectors_obj, "vectors", 2, g_f32, "vectors must be C-contiguous", &vectors) ||
      !take_array(ids_obj, "ids", 1, g_u64, "ids must be C-contiguous", &ids) ||
      !warn_column_count(vectors, "vectors", obj->index.dim())) {
    return nullptr;
  }
  if (!guarded([&] { obj->index.add_with_ids(vectors.span(), ids.span()); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* idmap_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:IdMapIndex.remove", const_cast<char**>(keywords),
                                   &id_obj)) {
    return nullptr;
  }
  IdMapObject* obj = as<IdMapObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  uint64_t id;
  if (!to_u64(id_obj, "id", &id)) return nullptr;
  bool removed = false;
  if (!guarded([&] { removed = obj->index.remove(id); })) return nullptr;
  return PyBool_FromLong(removed);
}

// -1 with an exception set, else 0 or 1; shared by contains() and `in`.
int idmap_has(PyObject* self, PyObject* id_obj) {
  IdMapObject* obj = as<IdMapObject>(self);
  SharedAccess access;
  if (!access.acquire(obj->borrow)) return -1;
  uint64_t id;
  if (!to_u64(id_obj, "id", &id)) return -1;
  bool present = false;
  if (!guarded([&] { present = obj->index.contains(id); })) return -1;
  return present ? 1 : 0;
}

PyObject* idmap_contains(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:IdMapIndex.contains", const_cast<char**>(keywords),
                                   &id_obj)) {
    return nullptr;
  }
  int present = idmap_has(self, id_obj);
  if (present < 0) return nullptr;
  return PyBool_FromLong(present);
}

PyObject* idmap_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  IdMapObject* obj = as<IdMapObject>(self);
  SharedAccess access;
  InputArray<float> queries;
  uint64_t k;
  if (!search_arguments(args, kwargs, "OO:IdMapIndex.search", obj->borrow, access, &queries, &k) ||
      !warn_column_count(queries, "queries", obj->index.dim())) {
    return nullptr;
  }
  varnel::IdSearchResults results;
  if (!guarded([&] { results = obj->index.search(queries.span(), k); })) return nullptr;
  // The column count follows the result length, not the core's k: with zero
  // rows it is the k that was asked for.
  const uint64_t rows = static_cast<uint64_t>(queries.rows);
  const uint64_t cols = rows > 0 ? results.scores.size() / rows : k;
  return result_pair("ids", results.scores, results.ids, NPY_UINT64, rows, cols);
}

// Search with options, decoding, batch removal -------------------------------

// Candidates re-scored per result when `refine` is given without a factor.
constexpr uint64_t kDefaultRefineFactor = 4;

// Anything NumPy reads as a one-dimensional integer array, as non-negative
// values; a boolean array instead fills `mask`, where the caller takes one.
// An empty sequence is an empty array whatever its dtype.
bool read_integers(PyObject* obj, const char* name, std::vector<uint64_t>* values,
                   std::optional<std::vector<uint8_t>>* mask) {
  PyObject* any = PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_IN_ARRAY, nullptr);
  if (!any) {
    prefix_type_error(name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(any);
  bool ok = false;
  if (PyArray_NDIM(array) != 1) {
    PyErr_Format(PyExc_ValueError, "argument '%s': expected a one-dimensional array, got %d dimensions",
                 name, PyArray_NDIM(array));
  } else if (PyArray_DIM(array, 0) == 0) {
    ok = true;
  } else if (PyArray_TYPE(array) == NPY_BOOL && mask) {
    const auto* bytes = static_cast<const uint8_t*>(PyArray_DATA(array));
    ok = guarded([&] { mask->emplace(bytes, bytes + PyArray_DIM(array, 0)); });
  } else if (PyArray_ISINTEGER(array)) {
    const bool is_signed = PyArray_ISSIGNED(array);
    PyArray_Descr* target = is_signed ? g_i64 : g_u64;
    Py_INCREF(reinterpret_cast<PyObject*>(target));  // stolen by the call
    PyObject* cast = PyArray_FromArray(array, target, NPY_ARRAY_IN_ARRAY);
    if (cast) {
      auto* wide = reinterpret_cast<PyArrayObject*>(cast);
      const npy_intp count = PyArray_DIM(wide, 0);
      const void* data = PyArray_DATA(wide);
      ok = guarded([&] { values->resize(static_cast<size_t>(count)); });
      for (npy_intp i = 0; ok && i < count; ++i) {
        const int64_t value = static_cast<const int64_t*>(data)[i];
        if (is_signed && value < 0) {
          PyErr_Format(PyExc_ValueError, "argument '%s': %lld is negative", name,
                       static_cast<long long>(value));
          ok = false;
        }
        (*values)[i] = static_cast<const uint64_t*>(data)[i];
      }
      Py_DECREF(cast);
    }
  } else {
    PyObject* dtype = PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    if (dtype) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected %s array, got dtype %U", name,
                   mask ? "an integer or boolean" : "an integer", dtype);
      Py_DECREF(dtype);
    }
  }
  Py_DECREF(any);
  return ok;
}

// A strong reference released at the end of its scope.
struct OwnedRef {
  PyObject* object = nullptr;
  OwnedRef() = default;
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object); }
  void reset(PyObject* other) {
    Py_XDECREF(object);
    object = other;
  }
};

// IdFilter ---------------------------------------------------------------------

struct IdFilterObject {
  PyObject_HEAD
  varnel::IdFilter filter;
};

bool is_id_filter(PyObject* obj) { return g_id_filter_type && PyObject_TypeCheck(obj, g_id_filter_type); }

const varnel::IdFilter& filter_of(PyObject* obj) { return as<IdFilterObject>(obj)->filter; }

// Any array-like of non-negative integers, and other iterables of them (a
// set, a dict's keys, a generator), or another IdFilter.
bool read_filter_ids(PyObject* ids_obj, std::vector<uint64_t>* ids) {
  if (is_id_filter(ids_obj)) {
    return guarded([&] { *ids = filter_of(ids_obj).ids(); });
  }
  OwnedRef listed;
  if (PyUnicode_Check(ids_obj) || PyBytes_Check(ids_obj)) {
    type_error_for(ids_obj, "ids", "is not an array-like of integer ids");
    return false;
  }
  if (!PyArray_Check(ids_obj) && !PySequence_Check(ids_obj)) {
    PyObject* iterator = PyObject_GetIter(ids_obj);
    if (!iterator) {
      PyErr_Clear();
      type_error_for(ids_obj, "ids", "is not an array-like of integer ids");
      return false;
    }
    Py_DECREF(iterator);
    listed.reset(PySequence_List(ids_obj));
    if (!listed.object) return false;
    ids_obj = listed.object;
  }
  if (PyArray_Check(ids_obj) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(ids_obj)) == NPY_BOOL) {
    PyErr_SetString(PyExc_TypeError,
                    "argument 'ids': IdFilter takes ids, not a boolean mask (pass np.flatnonzero(mask))");
    return false;
  }
  return read_integers(ids_obj, "ids", ids, nullptr);
}

PyObject* id_filter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ids", nullptr};
  PyObject* ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:IdFilter", const_cast<char**>(keywords), &ids_obj)) {
    return nullptr;
  }
  std::vector<uint64_t> ids;
  if (!read_filter_ids(ids_obj, &ids)) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);  // takes a reference to the type
  if (!self) return nullptr;
  try {
    new (&as<IdFilterObject>(self)->filter) varnel::IdFilter(std::move(ids));
  } catch (...) {
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
    return PyErr_NoMemory();
  }
  return self;
}

void id_filter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as<IdFilterObject>(self)->filter.~IdFilter();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

Py_ssize_t id_filter_len(PyObject* self) { return static_cast<Py_ssize_t>(filter_of(self).ids().size()); }

// Anything that is not a non-negative integer below 2**64 is simply not in it.
int id_filter_has(PyObject* self, PyObject* id_obj) {
  PyObject* integer = PyNumber_Index(id_obj);
  if (!integer) {
    PyErr_Clear();
    return 0;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  Py_DECREF(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return filter_of(self).contains(value) ? 1 : 0;
}

PyObject* id_filter_ids(PyObject* self, void*) {
  const std::vector<uint64_t>& ids = filter_of(self).ids();
  npy_intp count = static_cast<npy_intp>(ids.size());
  PyObject* array = PyArray_SimpleNew(1, &count, NPY_UINT64);
  if (!array) return nullptr;
  if (count > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), ids.data(), ids.size() * 8);
  return array;
}

PyObject* id_filter_conversions(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(filter_of(self).conversions());
}

// pickle and copy: the ids (the bitmaps are rebuilt where the copy is used).
PyObject* id_filter_reduce(PyObject* self, PyObject*) {
  PyObject* ids = id_filter_ids(self, nullptr);
  if (!ids) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Py_INCREF(type);
  return Py_BuildValue("(N(N))", type, ids);
}

PyObject* id_filter_repr(PyObject* self) {
  return PyUnicode_FromFormat("IdFilter(<%zd ids>)", id_filter_len(self));
}

struct QueryRequest {
  OwnedRef converted_queries;  // the float32 copy of queries of another type, if one was made
  InputArray<float> queries;
  std::vector<uint64_t> refine_ids;
  uint64_t k = 0;
  std::optional<varnel::AllowedSet> allowed;
  std::shared_ptr<const varnel::AllowedSet> filtered;  // an IdFilter's positions for this index
  InputArray<float> refine;
  varnel::RefineRows refine_rows;
  varnel::QueryOptions options;
  std::optional<float> radius;  // range search: slots beyond it are emptied
};

// `allowed` of SkerryIndex: positions or a boolean mask of length n.
bool read_allowed(const SkerryObject* obj, PyObject* allowed_obj, QueryRequest* request) {
  if (is_id_filter(allowed_obj)) {
    return guarded([&] { request->filtered = filter_of(allowed_obj).allowed(obj->index); });
  }
  std::vector<uint64_t> positions;
  std::optional<std::vector<uint8_t>> mask;
  if (!read_integers(allowed_obj, "allowed", &positions, &mask)) return false;
  const uint64_t n = obj->index.len();
  return guarded([&] {
    request->allowed.emplace(mask ? varnel::AllowedSet::from_mask(*mask, n)
                                  : varnel::AllowedSet::from_positions(std::span<const uint64_t>(positions), n));
  });
}

// `allowed` of IdMapIndex: ids; those not stored are ignored.
bool read_allowed(const IdMapObject* obj, PyObject* allowed_obj, QueryRequest* request) {
  if (is_id_filter(allowed_obj)) {
    return guarded([&] { request->filtered = filter_of(allowed_obj).allowed(obj->index); });
  }
  std::vector<uint64_t> ids;
  if (!read_integers(allowed_obj, "allowed", &ids, nullptr)) return false;
  return guarded([&] { request->allowed.emplace(varnel::allowed_ids(obj->index, ids)); });
}

// `query` takes what users pass to other vector libraries: any array-like
// of numbers (lists, float64, integers), one query as a 1-D array. It is
// converted to one C-contiguous float32 (rows, dim) array, once; a float32
// C-contiguous array is used as it is. Values too large for float32 become
// infinite and are refused as every non-finite query is.
PyObject* rows_as_float32(PyObject* rows_obj, const char* name, const char* not_two_d) {
  PyObject* any = PyArray_FromAny(rows_obj, nullptr, 0, 0, 0, nullptr);
  if (!any) {
    prefix_type_error(name);
    return nullptr;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(any);
  const char kind = PyArray_DESCR(array)->kind;
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    Py_DECREF(any);
    PyErr_Format(PyExc_TypeError, "argument '%s': expected numbers (a float or integer array-like)", name);
    return nullptr;
  }
  const int ndim = PyArray_NDIM(array);
  if (ndim != 1 && ndim != 2) {
    Py_DECREF(any);
    PyErr_Format(PyExc_ValueError, not_two_d, ndim);
    return nullptr;
  }
  Py_INCREF(reinterpret_cast<PyObject*>(g_f32));  // PyArray_FromArray steals a reference to the descriptor
  PyObject* converted = PyArray_FromArray(
      array, g_f32, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST);
  Py_DECREF(any);
  if (!converted || ndim == 2) return converted;
  npy_intp shape[2] = {1, PyArray_DIM(reinterpret_cast<PyArrayObject*>(converted), 0)};
  PyArray_Dims dims = {shape, 2};
  PyObject* reshaped = PyArray_Newshape(reinterpret_cast<PyArrayObject*>(converted), &dims, NPY_CORDER);
  Py_DECREF(converted);
  return reshaped;
}

PyObject* queries_as_float32(PyObject* queries_obj) {
  return rows_as_float32(queries_obj, "queries", "queries must be one query (1-D) or a 2-D array of queries, not %d-D");
}

bool to_radius(PyObject* radius_obj, std::optional<float>* radius) {
  if (radius_obj == Py_None) return true;
  const double value = PyFloat_AsDouble(radius_obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_type_error("radius");
    return false;
  }
  radius->emplace(static_cast<float>(value));
  return true;
}

// The arguments of both query methods, read under the shared access the
// caller keeps until it returns. Arrays are taken last, since converting
// the other arguments may run Python code that changes them.
template <class Obj>
bool query_arguments(PyObject* args, PyObject* kwargs, const char* format, Obj* obj,
                     SharedAccess& access, QueryRequest* request) {
  // refine_ids is IdMapIndex's alone; its format string has one more unit.
  static const char* skerry_keywords[] = {"queries", "k", "allowed", "metric", "refine",
                                          "refine_factor", "radius", nullptr};
  static const char* idmap_keywords[] = {"queries", "k", "allowed", "metric", "refine",
                                         "refine_factor", "refine_ids", "radius", nullptr};
  PyObject *queries_obj, *k_obj, *allowed_obj = Py_None, *metric_obj = nullptr;
  PyObject *refine_obj = Py_None, *factor_obj = Py_None, *refine_ids_obj = Py_None, *radius_obj = Py_None;
  const bool parsed =
      std::is_same_v<Obj, IdMapObject>
          ? PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(idmap_keywords), &queries_obj,
                                        &k_obj, &allowed_obj, &metric_obj, &refine_obj, &factor_obj,
                                        &refine_ids_obj, &radius_obj)
          : PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(skerry_keywords), &queries_obj,
                                        &k_obj, &allowed_obj, &metric_obj, &refine_obj, &factor_obj,
                                        &radius_obj);
  if (!parsed) return false;
  if (!to_radius(radius_obj, &request->radius)) return false;
  if (!access.acquire(obj->borrow) || !to_u64(k_obj, "k", &request->k)) return false;
  varnel::QueryOptions& options = request->options;
  if (metric_obj) {
    if (!require_str(metric_obj, "metric")) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(metric_obj, &size);
    if (!text ||
        !guarded([&] { options.metric = varnel::parse_metric({text, static_cast<size_t>(size)}); })) {
      return false;
    }
  }
  const bool refining = refine_obj != Py_None;
  options.refine_factor = kDefaultRefineFactor;
  if (factor_obj != Py_None) {
    if (!refining) {
      PyErr_SetString(PyExc_ValueError, "refine_factor needs refine, the vectors to re-score against");
      return false;
    }
    if (!to_u64(factor_obj, "refine_factor", &options.refine_factor)) return false;
  }
  if (refining && !check_array(refine_obj, "refine", 2, g_f32)) return false;
  if (allowed_obj != Py_None && !read_allowed(obj, allowed_obj, request)) return false;
  if (refine_ids_obj != Py_None) {
    if (!refining) {
      PyErr_SetString(PyExc_ValueError, "refine_ids needs refine, the vectors to re-score against");
      return false;
    }
    if (!read_integers(refine_ids_obj, "refine_ids", &request->refine_ids, nullptr)) return false;
    options.refine_ids = std::span<const uint64_t>(request->refine_ids);
  }

  request->converted_queries.reset(queries_as_float32(queries_obj));
  queries_obj = request->converted_queries.object;
  if (!queries_obj ||
      !take_array(queries_obj, "queries", 2, g_f32, "queries must be C-contiguous", &request->queries)) {
    return false;
  }
  const uint64_t dim = core_of(obj).dim();
  const auto columns = static_cast<uint64_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(queries_obj), 1));
  if (columns != dim) {
    PyErr_Format(PyExc_ValueError, "queries have %llu columns but the index has dim %llu",
                 static_cast<unsigned long long>(columns), static_cast<unsigned long long>(dim));
    return false;
  }
  if (refining) {
    if (!take_array(refine_obj, "refine", 2, g_f32, "refine must be C-contiguous", &request->refine)) {
      return false;
    }
    auto* refine_array = reinterpret_cast<PyArrayObject*>(refine_obj);
    request->refine_rows = {request->refine.data, static_cast<uint64_t>(PyArray_DIM(refine_array, 0)),
                            static_cast<uint64_t>(PyArray_DIM(refine_array, 1))};
    options.refine = &request->refine_rows;
  }
  if (request->allowed) options.allowed = &*request->allowed;
  if (request->filtered) options.allowed = request->filtered.get();
  return true;
}

PyObject* skerry_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  SkerryObject* obj = as<SkerryObject>(self);
  SharedAccess access;
  QueryRequest request;
  if (!query_arguments(args, kwargs, "OO|$OOOOO:SkerryIndex.query", obj, access, &request)) {
    return nullptr;
  }
  varnel::SearchResults results;
  if (!guarded_without_gil([&] {
        results = varnel::query(obj->index, request.queries.span(), request.k, request.options);
        if (request.radius) varnel::keep_within_radius(results, request.options.metric, *request.radius);
      })) {
    return nullptr;
  }
  return result_pair("indices", results.scores, results.indices, NPY_INT64,
                     static_cast<uint64_t>(request.queries.rows), results.k);
}

PyObject* idmap_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  IdMapObject* obj = as<IdMapObject>(self);
  SharedAccess access;
  QueryRequest request;
  if (!query_arguments(args, kwargs, "OO|$OOOOOO:IdMapIndex.query", obj, access, &request)) {
    return nullptr;
  }
  varnel::IdSearchResults results;
  if (!guarded_without_gil([&] {
        results = varnel::query(obj->index, request.queries.span(), request.k, request.options);
        if (request.radius) varnel::keep_within_radius(results, request.options.metric, *request.radius);
      })) {
    return nullptr;
  }
  return result_pair("ids", results.scores, results.ids, NPY_UINT64,
                     static_cast<uint64_t>(request.queries.rows), results.k);
}

template <class Obj>
PyObject* index_reconstruct(PyObject* self, PyObject* args, PyObject* kwargs) {
  constexpr bool by_position = std::is_same_v<Obj, SkerryObject>;
  static const char* keywords[] = {by_position ? "positions" : "ids", nullptr};
  PyObject* which_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs,
                                   by_position ? "O:SkerryIndex.reconstruct" : "O:IdMapIndex.reconstruct",
                                   const_cast<char**>(keywords), &which_obj)) {
    return nullptr;
  }
  Obj* obj = as<Obj>(self);
  SharedAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> which;
  if (!read_integers(which_obj, keywords[0], &which, nullptr)) return nullptr;
  std::vector<float> decoded;
  if (!guarded([&] { decoded = varnel::reconstruct(obj->index, which); })) return nullptr;
  return adopt(decoded, static_cast<npy_intp>(which.size()),
               static_cast<npy_intp>(core_of(obj).dim()), NPY_FLOAT32);
}

PyObject* idmap_remove_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ids", nullptr};
  PyObject* ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:IdMapIndex.remove_many",
                                   const_cast<char**>(keywords), &ids_obj)) {
    return nullptr;
  }
  IdMapObject* obj = as<IdMapObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> ids;
  if (!read_integers(ids_obj, "ids", &ids, nullptr)) return nullptr;
  if (!guarded([&] { obj->index.remove_many(ids); })) return nullptr;
  Py_RETURN_NONE;
}

// Rows of floats converted once to C-contiguous float32 (rows, dim) and,
// for a partitioned index, given zeros up to its coded dim.
struct FloatRows {
  OwnedRef converted;
  InputArray<float> array;
  std::vector<float> padded;
  uint64_t rows = 0;

  std::span<const float> span() const {
    return padded.empty() ? array.span() : std::span<const float>(padded.data(), padded.size());
  }
};

bool take_float_rows(PyObject* obj, const char* name, uint64_t dim, uint64_t coded, FloatRows* out) {
  const std::string not_two_d = std::string(name) + " must be one vector (1-D) or a 2-D array of vectors, not %d-D";
  out->converted.reset(rows_as_float32(obj, name, not_two_d.c_str()));
  if (!out->converted.object ||
      !take_array(out->converted.object, name, 2, g_f32, "rows must be C-contiguous", &out->array)) {
    return false;
  }
  const uint64_t rows = static_cast<uint64_t>(out->array.rows);
  const uint64_t cols = static_cast<uint64_t>(out->array.cols);
  out->rows = rows;
  if (rows > 0 && cols != dim) {
    PyErr_Format(PyExc_ValueError, "%s have %llu columns but the index has dim %llu", name,
                 static_cast<unsigned long long>(cols), static_cast<unsigned long long>(dim));
    return false;
  }
  if (rows == 0 || coded == dim) return true;
  return guarded([&] {
    out->padded.assign(rows * coded, 0.0f);
    for (uint64_t r = 0; r < rows; ++r) {
      std::memcpy(out->padded.data() + r * coded, out->array.data + r * dim, dim * sizeof(float));
    }
  });
}

// Upsert is new: it takes array-likes and ids of any integer dtype, and
// raises ValueError (not the panic type) for a bad batch.
PyObject* idmap_upsert(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vectors", "ids", nullptr};
  PyObject *vectors_obj, *ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:IdMapIndex.upsert", const_cast<char**>(keywords),
                                   &vectors_obj, &ids_obj)) {
    return nullptr;
  }
  IdMapObject* obj = as<IdMapObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> ids;
  FloatRows vectors;
  const uint64_t dim = obj->index.dim();
  if (!read_integers(ids_obj, "ids", &ids, nullptr) || !take_float_rows(vectors_obj, "vectors", dim, dim, &vectors)) {
    return nullptr;
  }
  if (!guarded_plain([&] { obj->index.upsert(vectors.span(), ids); })) return nullptr;
  Py_RETURN_NONE;
}

// PartitionedIndex -------------------------------------------------------------
//
// The partitioned index takes what users of other libraries pass: any
// array-like of numbers (lists, float64, one vector as a 1-D array), ids of
// any integer dtype, any dim. A broken precondition raises ValueError, which
// `except Exception` sees, instead of the panic type.

// Lists probed per query when the caller does not say.
constexpr uint64_t kDefaultProbes = 8;

struct PartitionedObject {
  PyObject_HEAD
  Borrow borrow;
  varnel::PartitionedIndex index;
};


bool take_float_rows(PyObject* obj, const char* name, const varnel::PartitionedIndex& index, FloatRows* out) {
  return take_float_rows(obj, name, index.input_dim(), index.dim(), out);
}

// Ids as non-negative integers of any integer dtype, or a list of them.
bool take_ids(PyObject* obj, const char* name, std::vector<uint64_t>* ids) {
  return read_integers(obj, name, ids, nullptr);
}

PyObject* partitioned_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dim", "bits", "lists", "rotation", "seed", nullptr};
  PyObject *dim_obj, *bits_obj, *lists_obj, *rotation_obj = nullptr, *seed_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O$O:PartitionedIndex", const_cast<char**>(keywords),
                                   &dim_obj, &bits_obj, &lists_obj, &rotation_obj, &seed_obj)) {
    return nullptr;
  }
  uint64_t dim, bits, lists, seed = varnel::PartitionedIndex::kDefaultSeed;
  if (!to_u64(dim_obj, "dim", &dim) || !to_u64(bits_obj, "bits", &bits) ||
      !to_u64(lists_obj, "lists", &lists) || (seed_obj && !to_u64(seed_obj, "seed", &seed))) {
    return nullptr;
  }
  varnel::Rotation rotation = varnel::Rotation::Rotor3;
  if (rotation_obj && (!require_str(rotation_obj, "rotation") || !parse_rotation(rotation_obj, &rotation))) {
    return nullptr;
  }
  PyObject* self = nullptr;
  // Wrapped straight from create: no optional to move from (GCC warns about one).
  if (!guarded_plain([&] {
        self = wrap<PartitionedObject>(type, varnel::PartitionedIndex::create(dim, bits, lists, rotation, seed));
      })) {
    return nullptr;
  }
  return self;
}

template <uint64_t (varnel::PartitionedIndex::*Member)() const>
PyObject* partitioned_number(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  return PyLong_FromUnsignedLongLong((as<PartitionedObject>(self)->index.*Member)());
}

PyObject* partitioned_rotation(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  return PyUnicode_FromString(varnel::rotation_name(as<PartitionedObject>(self)->index.rotation()));
}

PyObject* partitioned_is_trained(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  return PyBool_FromLong(as<PartitionedObject>(self)->index.is_trained());
}

PyObject* partitioned_repr(PyObject* self) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  const varnel::PartitionedIndex& index = as<PartitionedObject>(self)->index;
  return PyUnicode_FromFormat("PartitionedIndex(dim=%llu, bits=%llu, lists=%llu, rotation='%s', n=%llu)",
                              static_cast<unsigned long long>(index.input_dim()),
                              static_cast<unsigned long long>(index.bits()),
                              static_cast<unsigned long long>(index.lists()),
                              varnel::rotation_name(index.rotation()),
                              static_cast<unsigned long long>(index.len()));
}

PyObject* partitioned_train(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"sample", nullptr};
  PyObject* sample_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.train", const_cast<char**>(keywords),
                                   &sample_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  FloatRows sample;
  if (!take_float_rows(sample_obj, "sample", obj->index, &sample)) return nullptr;
  if (!guarded_plain([&] { obj->index.train(sample.span()); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* partitioned_add_with_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vectors", "ids", nullptr};
  PyObject *vectors_obj, *ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:PartitionedIndex.add_with_ids",
                                   const_cast<char**>(keywords), &vectors_obj, &ids_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> ids;
  FloatRows vectors;
  if (!take_ids(ids_obj, "ids", &ids) || !take_float_rows(vectors_obj, "vectors", obj->index, &vectors)) {
    return nullptr;
  }
  if (!guarded_plain([&] { obj->index.add_with_ids(vectors.span(), ids); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* partitioned_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.remove", const_cast<char**>(keywords),
                                   &id_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  uint64_t id;
  if (!to_u64(id_obj, "id", &id)) return nullptr;
  bool removed = false;
  if (!guarded_plain([&] { removed = obj->index.remove(id); })) return nullptr;
  return PyBool_FromLong(removed);
}

PyObject* partitioned_remove_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ids", nullptr};
  PyObject* ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.remove_many",
                                   const_cast<char**>(keywords), &ids_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> ids;
  if (!take_ids(ids_obj, "ids", &ids)) return nullptr;
  if (!guarded_plain([&] { obj->index.remove_many(ids); })) return nullptr;
  Py_RETURN_NONE;
}

int partitioned_has(PyObject* self, PyObject* id_obj) {
  PartitionedObject* obj = as<PartitionedObject>(self);
  SharedAccess access;
  if (!access.acquire(obj->borrow)) return -1;
  uint64_t id;
  if (!to_u64(id_obj, "id", &id)) return -1;
  return obj->index.contains(id) ? 1 : 0;
}

PyObject* partitioned_contains(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"id", nullptr};
  PyObject* id_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.contains",
                                   const_cast<char**>(keywords), &id_obj)) {
    return nullptr;
  }
  const int present = partitioned_has(self, id_obj);
  if (present < 0) return nullptr;
  return PyBool_FromLong(present);
}

Py_ssize_t partitioned_len(PyObject* self) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return -1;
  return static_cast<Py_ssize_t>(as<PartitionedObject>(self)->index.len());
}

PyObject* partitioned_list_sizes(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  std::vector<uint64_t> sizes;
  if (!guarded([&] { sizes = as<PartitionedObject>(self)->index.list_sizes(); })) return nullptr;
  npy_intp count = static_cast<npy_intp>(sizes.size());
  PyObject* array = PyArray_SimpleNew(1, &count, NPY_UINT64);
  if (!array) return nullptr;
  if (count > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), sizes.data(),
                sizes.size() * sizeof(uint64_t));
  }
  return array;
}

// The centroids in the caller's dim (the coded tail is zeros).
PyObject* partitioned_centroids(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  const varnel::PartitionedIndex& index = as<PartitionedObject>(self)->index;
  const uint64_t dim = index.input_dim(), coded = index.dim();
  const uint64_t rows = index.is_trained() ? index.lists() : 0;
  std::vector<float> values;
  if (!guarded([&] {
        values.resize(rows * dim);
        for (uint64_t r = 0; r < rows; ++r) {
          std::memcpy(values.data() + r * dim, index.centroids().data() + r * coded, dim * sizeof(float));
        }
      })) {
    return nullptr;
  }
  return adopt(values, static_cast<npy_intp>(rows), static_cast<npy_intp>(dim), NPY_FLOAT32);
}

PyObject* partitioned_set_centroids(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"centroids", nullptr};
  PyObject* centroids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.set_centroids",
                                   const_cast<char**>(keywords), &centroids_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  FloatRows centroids;
  if (!take_float_rows(centroids_obj, "centroids", obj->index, &centroids)) return nullptr;
  if (centroids.rows != obj->index.lists()) {
    PyErr_Format(PyExc_ValueError, "centroids must have shape (lists, dim) = (%llu, %llu)",
                 static_cast<unsigned long long>(obj->index.lists()),
                 static_cast<unsigned long long>(obj->index.input_dim()));
    return nullptr;
  }
  if (!guarded_plain([&] { obj->index.set_centroids(centroids.span()); })) return nullptr;
  Py_RETURN_NONE;
}

// Without `probes`: 8 lists, or every list of a smaller index.
bool to_probes(PyObject* probes_obj, uint64_t lists, uint64_t* probes) {
  *probes = std::min(kDefaultProbes, lists);
  return probes_obj == nullptr || to_u64(probes_obj, "probes", probes);
}

// filter_exact_below= and filter_max_probes= of PartitionedIndex.query; None
// keeps the documented default.
bool read_plan_options(PyObject* exact_below_obj, PyObject* max_probes_obj, varnel::FilterPlanOptions* plan) {
  if (exact_below_obj != Py_None && !to_u64(exact_below_obj, "filter_exact_below", &plan->exact_below)) return false;
  if (max_probes_obj != Py_None) {
    if (!to_u64(max_probes_obj, "filter_max_probes", &plan->max_probes)) return false;
    if (plan->max_probes == 0) {
      PyErr_SetString(PyExc_ValueError, "filter_max_probes must be at least 1 (or None for every list)");
      return false;
    }
  }
  return true;
}

PyObject* partitioned_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"queries", "k", "probes", nullptr};
  PyObject *queries_obj, *k_obj, *probes_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:PartitionedIndex.search",
                                   const_cast<char**>(keywords), &queries_obj, &k_obj, &probes_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  SharedAccess access;
  uint64_t k, probes;
  FloatRows queries;
  if (!access.acquire(obj->borrow) || !to_u64(k_obj, "k", &k) ||
      !to_probes(probes_obj, obj->index.lists(), &probes) ||
      !take_float_rows(queries_obj, "queries", obj->index, &queries)) {
    return nullptr;
  }
  varnel::IdSearchResults results;
  if (!guarded_plain([&] { results = obj->index.search(queries.span(), k, probes); })) return nullptr;
  return result_pair("ids", results.scores, results.ids, NPY_UINT64, queries.rows, results.k);
}

// Rows to re-score against: a C-contiguous float32 array is read in place
// (it may be large); anything else is converted once.
bool take_refine(PyObject* refine_obj, FloatRows* out) {
  if (is_array_of(refine_obj, 2, g_f32) &&
      PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(refine_obj))) {
    Py_INCREF(refine_obj);
    out->converted.reset(refine_obj);
  } else {
    out->converted.reset(rows_as_float32(refine_obj, "refine", "refine must be a 2-D array of vectors, not %d-D"));
    if (!out->converted.object) return false;
  }
  if (!take_array(out->converted.object, "refine", 2, g_f32, "refine must be C-contiguous", &out->array)) {
    return false;
  }
  out->rows = static_cast<uint64_t>(out->array.rows);
  return true;
}

PyObject* partitioned_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"queries",       "k",          "probes", "allowed",            "metric",
                                   "refine",        "refine_factor", "refine_ids", "radius", "filter_exact_below",
                                   "filter_max_probes", nullptr};
  PyObject *queries_obj, *k_obj, *probes_obj = nullptr, *allowed_obj = Py_None, *metric_obj = nullptr;
  PyObject *refine_obj = Py_None, *factor_obj = Py_None, *refine_ids_obj = Py_None, *radius_obj = Py_None;
  PyObject *exact_below_obj = Py_None, *max_probes_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOOO:PartitionedIndex.query",
                                   const_cast<char**>(keywords), &queries_obj, &k_obj, &probes_obj,
                                   &allowed_obj, &metric_obj, &refine_obj, &factor_obj, &refine_ids_obj,
                                   &radius_obj, &exact_below_obj, &max_probes_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  SharedAccess access;
  uint64_t k, probes;
  std::optional<float> radius;
  if (!access.acquire(obj->borrow) || !to_u64(k_obj, "k", &k) ||
      !to_probes(probes_obj, obj->index.lists(), &probes) || !to_radius(radius_obj, &radius)) {
    return nullptr;
  }
  varnel::PartitionedQueryOptions options;
  if (metric_obj) {
    if (!require_str(metric_obj, "metric")) return nullptr;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(metric_obj, &size);
    if (!text ||
        !guarded([&] { options.metric = varnel::parse_metric({text, static_cast<size_t>(size)}); })) {
      return nullptr;
    }
  }
  const bool refining = refine_obj != Py_None;
  options.refine_factor = kDefaultRefineFactor;
  if (factor_obj != Py_None) {
    if (!refining) {
      PyErr_SetString(PyExc_ValueError, "refine_factor needs refine, the vectors to re-score against");
      return nullptr;
    }
    if (!to_u64(factor_obj, "refine_factor", &options.refine_factor)) return nullptr;
  }
  if (!read_plan_options(exact_below_obj, max_probes_obj, &options.plan)) return nullptr;
  std::vector<uint64_t> allowed, refine_ids;
  const varnel::IdFilter* id_filter = nullptr;  // converted (or found converted) inside the call
  if (is_id_filter(allowed_obj)) {
    id_filter = &filter_of(allowed_obj);
  } else if (allowed_obj != Py_None) {
    if (!read_integers(allowed_obj, "allowed", &allowed, nullptr)) return nullptr;
    options.allowed_ids = &allowed;
  }
  if (refine_ids_obj != Py_None) {
    if (!refining) {
      PyErr_SetString(PyExc_ValueError, "refine_ids needs refine, the vectors to re-score against");
      return nullptr;
    }
    if (!take_ids(refine_ids_obj, "refine_ids", &refine_ids)) return nullptr;
    options.refine_ids = std::span<const uint64_t>(refine_ids);
  }
  // Arrays last: converting the other arguments may run Python code.
  FloatRows queries, refine;
  varnel::RefineRows refine_rows;
  if (!take_float_rows(queries_obj, "queries", obj->index, &queries)) return nullptr;
  if (refining) {
    if (!take_refine(refine_obj, &refine)) return nullptr;
    refine_rows = {refine.array.data, refine.rows, static_cast<uint64_t>(refine.array.cols)};
    options.refine = &refine_rows;
  }
  varnel::IdSearchResults results;
  if (!guarded_plain_without_gil([&] {
        std::shared_ptr<const varnel::ListFilter> filter;
        if (id_filter) {
          filter = id_filter->allowed(obj->index);
          options.filter = filter.get();
        }
        results = varnel::query(obj->index, queries.span(), k, probes, options);
        if (radius) varnel::keep_within_radius(results, options.metric, *radius);
      })) {
    return nullptr;
  }
  return result_pair("ids", results.scores, results.ids, NPY_UINT64, queries.rows, results.k);
}

PyObject* partitioned_balance(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  const varnel::PartitionedIndex::Balance b = as<PartitionedObject>(self)->index.balance();
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:d,s:d}", "lists", (unsigned long long)b.lists, "vectors",
                       (unsigned long long)b.vectors, "empty", (unsigned long long)b.empty, "smallest",
                       (unsigned long long)b.smallest, "largest", (unsigned long long)b.largest, "mean", b.mean,
                       "imbalance", b.imbalance);
}

PyObject* partitioned_rebalance(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"split_above", "merge_below", "lists", "max_steps", "vectors", "vector_ids",
                                   nullptr};
  double split_above = 2.0, merge_below = 0.25;
  PyObject *lists_obj = Py_None, *steps_obj = Py_None, *vectors_obj = Py_None, *ids_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$ddOOOO:PartitionedIndex.rebalance",
                                   const_cast<char**>(keywords), &split_above, &merge_below, &lists_obj,
                                   &steps_obj, &vectors_obj, &ids_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  varnel::PartitionedIndex::RebalanceOptions options;
  options.split_above = split_above;
  options.merge_below = merge_below;
  if (steps_obj != Py_None && !to_u64(steps_obj, "max_steps", &options.max_steps)) return nullptr;
  if (lists_obj != Py_None && !to_u64(lists_obj, "lists", &options.lists)) return nullptr;
  std::vector<uint64_t> vector_ids;
  if (ids_obj != Py_None) {
    if (vectors_obj == Py_None) {
      PyErr_SetString(PyExc_ValueError, "vector_ids needs vectors, the rows they name");
      return nullptr;
    }
    if (!take_ids(ids_obj, "vector_ids", &vector_ids)) return nullptr;
    options.vector_ids = std::span<const uint64_t>(vector_ids);
  }
  FloatRows vectors;
  varnel::RefineRows rows;
  if (vectors_obj != Py_None) {
    if (!take_refine(vectors_obj, &vectors)) return nullptr;
    rows = {vectors.array.data, vectors.rows, static_cast<uint64_t>(vectors.array.cols)};
    options.vectors = &rows;
  }
  varnel::PartitionedIndex::RebalanceReport report;
  if (!guarded_plain([&] { report = obj->index.rebalance(options); })) return nullptr;
  return Py_BuildValue("{s:K,s:K,s:K,s:O}", "splits", (unsigned long long)report.splits, "merges",
                       (unsigned long long)report.merges, "recoded", (unsigned long long)report.recoded,
                       "balanced", report.balanced ? Py_True : Py_False);
}

PyObject* partitioned_compact(PyObject* self, PyObject*) {
  PartitionedObject* obj = as<PartitionedObject>(self);
  ExclusiveAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  uint64_t freed = 0;
  if (!guarded_plain([&] { freed = obj->index.compact(); })) return nullptr;
  return PyLong_FromUnsignedLongLong(freed);
}

PyObject* partitioned_reconstruct(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"ids", nullptr};
  PyObject* ids_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:PartitionedIndex.reconstruct", const_cast<char**>(keywords),
                                   &ids_obj)) {
    return nullptr;
  }
  PartitionedObject* obj = as<PartitionedObject>(self);
  SharedAccess access;
  if (!access.acquire(obj->borrow)) return nullptr;
  std::vector<uint64_t> ids;
  if (!take_ids(ids_obj, "ids", &ids)) return nullptr;
  const uint64_t dim = obj->index.input_dim(), coded = obj->index.dim();
  std::vector<float> values;
  if (!guarded_plain([&] {
        std::vector<float> decoded = obj->index.reconstruct(ids);
        values.resize(ids.size() * dim);
        for (uint64_t i = 0; i < ids.size(); ++i) {
          std::memcpy(values.data() + i * dim, decoded.data() + i * coded, dim * sizeof(float));
        }
      })) {
    return nullptr;
  }
  return adopt(values, static_cast<npy_intp>(ids.size()), static_cast<npy_intp>(dim), NPY_FLOAT32);
}

PyObject* partitioned_write(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "layout", "sync", nullptr};
  PyObject* path_obj;
  PyObject* layout_obj = nullptr;
  int sync = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:PartitionedIndex.write", const_cast<char**>(keywords),
                                   &path_obj, &layout_obj, &sync)) {
    return nullptr;
  }
  bool mapped_layout = false;
  if (!parse_layout(layout_obj, &mapped_layout)) return nullptr;
  const varnel::WriteOptions options{sync != 0};
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  const varnel::PartitionedIndex& index = as<PartitionedObject>(self)->index;
  if (!guarded_file(path, "writing", [&] {
        mapped_layout ? varnel::write_mapped_partitioned(index, path, options)
                      : varnel::write_partitioned(index, path, options);
      })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Maps a file of the mapped layout: codes, norms and lengths are read in
// place; ids are copied and their table built here.
PyObject* partitioned_open(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "verify", nullptr};
  PyObject* path_obj;
  int verify = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:PartitionedIndex.open", const_cast<char**>(keywords),
                                   &path_obj, &verify)) {
    return nullptr;
  }
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  std::optional<varnel::PartitionedIndex> index;
  if (!guarded_file(path, "opening", [&] { index.emplace(varnel::open_mapped_partitioned(path, verify != 0)); })) {
    return nullptr;
  }
  return wrap<PartitionedObject>(reinterpret_cast<PyTypeObject*>(cls), std::move(*index));
}

PyObject* partitioned_mapped(PyObject* self, void*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  return PyBool_FromLong(as<PartitionedObject>(self)->index.is_mapped());
}

PyObject* partitioned_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  PyObject* path_obj;
  varnel::ReadOptions options;
  if (!path_and_flag(args, kwargs, "O|$p:PartitionedIndex.load", "require_checksum", &path_obj,
                     &options.require_checksum)) {
    return nullptr;
  }
  std::string path;
  if (!to_path(path_obj, "path", &path)) return nullptr;
  std::optional<varnel::PartitionedIndex> index;
  if (!guarded_file(path, "loading", [&] { index.emplace(varnel::load_partitioned(path, options)); })) return nullptr;
  return wrap<PartitionedObject>(reinterpret_cast<PyTypeObject*>(cls), std::move(*index));
}

PyObject* partitioned_to_bytes(PyObject* self, PyObject*) {
  SharedAccess access;
  if (!access.acquire(as<PartitionedObject>(self)->borrow)) return nullptr;
  const varnel::PartitionedIndex& index = as<PartitionedObject>(self)->index;
  uint64_t size = 0;
  if (!guarded([&] { size = varnel::file_size(index); })) return nullptr;
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!bytes) return nullptr;
  const std::span<uint8_t> memory(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes)), size);
  if (!guarded([&] { varnel::write_partitioned_bytes(index, memory); })) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return bytes;
}

PyObject* partitioned_from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "require_checksum", nullptr};
  PyObject* data_obj;
  int require_checksum = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:PartitionedIndex.from_bytes",
                                   const_cast<char**>(keywords), &data_obj, &require_checksum)) {
    return nullptr;
  }
  const varnel::ReadOptions options{require_checksum != 0};
  return with_buffer(data_obj, [&](std::span<const uint8_t> bytes) -> PyObject* {
    std::optional<varnel::PartitionedIndex> index;
    if (!guarded([&] { index.emplace(varnel::partitioned_from_bytes(bytes, options)); })) return nullptr;
    return wrap<PartitionedObject>(reinterpret_cast<PyTypeObject*>(cls), std::move(*index));
  });
}

PyObject* partitioned_reduce(PyObject* self, PyObject*) {
  PyObject* bytes = partitioned_to_bytes(self, nullptr);
  if (!bytes) return nullptr;
  PyObject* from_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes");
  if (!from_bytes) {
    Py_DECREF(bytes);
    return nullptr;
  }
  return Py_BuildValue("(N(N))", from_bytes, bytes);
}

// Module-private helpers for the thread count (wrapped by the varnel package).

PyObject* module_num_threads(PyObject*, PyObject*) {
  size_t count = 0;
  if (!guarded([&] { count = varnel::num_threads(); })) return nullptr;
  return PyLong_FromSize_t(count);
}

// The instruction-set path the scans and the encoder take, and the paths this
// CPU could take (VARNEL_SCAN_PATH may force any of them).
PyObject* module_simd_path(PyObject*, PyObject*) {
  return PyUnicode_FromString(varnel::scan_path_name(varnel::active_scan_path()));
}

PyObject* module_supported_simd_paths(PyObject*, PyObject*) {
  PyObject* names = PyList_New(0);
  for (varnel::ScanPath path : varnel::supported_scan_paths()) {
    if (!names) return nullptr;
    PyObject* name = PyUnicode_FromString(varnel::scan_path_name(path));
    if (!name || PyList_Append(names, name) < 0) {
      Py_XDECREF(name);
      Py_CLEAR(names);
      return nullptr;
    }
    Py_DECREF(name);
  }
  return names;
}

PyObject* module_set_num_threads(PyObject*, PyObject* count_obj) {
  uint64_t count;
  if (!to_u64(count_obj, "count", &count)) return nullptr;
  if (!guarded([&] { varnel::set_num_threads(static_cast<size_t>(count)); })) return nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Type and module definitions

template <class F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

constexpr const char* kToBytesDoc =
    "to_bytes($self)\n--\n\nThe index as `bytes`: exactly what `write` puts in a file.";
constexpr const char* kFromBytesDoc =
    "from_bytes($cls, data, *, require_checksum=False)\n--\n\nA new index read from `data` (bytes, "
    "bytearray, memoryview or any\n"
    "buffer) as `to_bytes` or `write` produced it, with every check of `load`.";
constexpr const char* kReduceDoc = "__reduce__($self)\n--\n\nPickles and copies through `to_bytes`.";
constexpr const char* kWriteDoc =
    "write($self, path, *, layout='rows', sync=True)\n--\n\nWrites the index to `path`. layout=\"mapped\" writes the arrays as a\n"
    "search reads them, for `open` to map in place. sync=False skips making the\n"
    "new file durable (fsync) before returning.";
constexpr const char* kOpenDoc =
    "open($cls, path, *, verify=False)\n--\n\nMaps a file written with layout=\"mapped\" read-only and searches it in\n"
    "place: no read, and processes that open (or fork after opening) share its pages.\n"
    "The header, sizes and norms are checked; verify=True also compares the checksum\n"
    "of the whole file (reading all of it). The index is read-only: copy.copy(index)\n"
    "or load(path) gives a writable copy in memory.";

PyMethodDef skerry_methods[] = {
    {"add", as_cfunction(skerry_add), kArgs,
     "add($self, vectors)\n--\n\nAdd `n = vectors.shape[0]` vectors. `vectors` must be a 2-D\n`float32` "
     "array of shape `(n, dim)`."},
    {"search", as_cfunction(skerry_search), kArgs,
     "search($self, queries, k)\n--\n\nTop-`k` search. Returns `(scores, indices)` as `(nq, K)` arrays,\n"
     "K = `min(k, len(self))` and at least 1."},
    {"write", as_cfunction(index_write<SkerryObject>), kArgs, kWriteDoc},
    {"open", as_cfunction(index_open<SkerryObject>), kArgs | METH_CLASS, kOpenDoc},
    {"load", as_cfunction(index_load<SkerryObject>), kArgs | METH_CLASS, "load($cls, path, *, require_checksum=False)\n--\n\n"},
    {"prepare", as_cfunction(index_prepare<SkerryObject>), METH_NOARGS,
     "prepare($self)\n--\n\nEagerly populate caches (block-rotation matrices, Lloyd-Max\ncentroids) so "
     "the first `search` call doesn't pay the init cost."},
    {"swap_remove", as_cfunction(skerry_swap_remove), kArgs,
     "swap_remove($self, idx)\n--\n\nRemove the vector at `idx` in O(1) by swap-with-last. Returns "
     "the\nprevious index of the moved vector. Order is **not** preserved."},
    {"to_bytes", as_cfunction(index_to_bytes<SkerryObject>), METH_NOARGS, kToBytesDoc},
    {"from_bytes", as_cfunction(index_from_bytes<SkerryObject>), kArgs | METH_CLASS, kFromBytesDoc},
    {"__reduce__", as_cfunction(index_reduce<SkerryObject>), METH_NOARGS, kReduceDoc},
    {"query", as_cfunction(skerry_query), kArgs,
     "query($self, queries, k, *, allowed=None, metric='ip', refine=None, refine_factor=None,\n"
     "      radius=None)\n--\n\n"
     "Top-`k` search with options. Returns `(scores, indices)` as `(nq, K)` arrays,\n"
     "best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).\n"
     "`queries`: any array-like of numbers with `dim` columns, or one query as a\n"
     "1-D array; converted to float32 once (a C-contiguous float32 array is used\n"
     "as it is).\n\n"
     "allowed: only these may be returned: an integer array of positions, a\n"
     "  boolean mask of length `len(index)`, or an IdFilter of positions (built\n"
     "  once, reused while the length is unchanged). Applied inside the scan;\n"
     "  fewer allowed than `k` gives fewer columns, as a smaller index would.\n"
     "metric: \"ip\" (the estimated inner product, as `search`), \"cosine\" (that\n"
     "  divided by both norms; 0 for a zero vector or query) or \"l2\" (the squared\n"
     "  distance |q|^2 + |x|^2 - 2 ip, best = smallest; may dip just below 0).\n"
     "refine: the original float32 vectors (an array or np.memmap), row i for position i:\n"
     "  the best `refine_factor * k` candidates by code (factor 4 by default) are\n"
     "  re-scored exactly against them; the best `k` are returned with exact scores.\n"
     "radius: range search: slots whose score is below `radius` (\"ip\", \"cosine\")\n"
     "  or above it (\"l2\") become empty slots; with k = len(self), every match.\n\n"
     "Runs without the interpreter lock (other threads run; changing the index\n"
     "meanwhile raises RuntimeError) and stops on Ctrl-C. Empty slots: index -1\n"
     "with score -inf (+inf for \"l2\")."},
    {"reconstruct", as_cfunction(index_reconstruct<SkerryObject>), kArgs,
     "reconstruct($self, positions)\n--\n\nApproximate vectors at `positions`, decoded from their codes: each\n"
     "coordinate's centroid, rotated back, times the stored norm. Returns a\n"
     "`(len(positions), dim)` float32 array; not the vectors that were added."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef idmap_methods[] = {
    {"add_with_ids", as_cfunction(idmap_add_with_ids), kArgs,
     "add_with_ids($self, vectors, ids)\n--\n\nAdd vectors with stable external `uint64` ids."},
    {"upsert", as_cfunction(idmap_upsert), kArgs,
     "upsert($self, vectors, ids)\n--\n\nAdd vectors with ids, replacing the vectors of ids already stored."},
    {"remove", as_cfunction(idmap_remove), kArgs, "remove($self, id)\n--\n\n"},
    {"search", as_cfunction(idmap_search), kArgs,
     "search($self, queries, k)\n--\n\nTop-`k` search returning external ids. Returns `(scores, ids)` "
     "as\n`(nq, K)` arrays, K = `min(k, len(self))` and at least 1."},
    {"contains", as_cfunction(idmap_contains), kArgs, "contains($self, id)\n--\n\n"},
    {"prepare", as_cfunction(index_prepare<IdMapObject>), METH_NOARGS, "prepare($self)\n--\n\n"},
    {"write", as_cfunction(index_write<IdMapObject>), kArgs, kWriteDoc},
    {"open", as_cfunction(index_open<IdMapObject>), kArgs | METH_CLASS, kOpenDoc},
    {"load", as_cfunction(index_load<IdMapObject>), kArgs | METH_CLASS, "load($cls, path, *, require_checksum=False)\n--\n\n"},
    {"to_bytes", as_cfunction(index_to_bytes<IdMapObject>), METH_NOARGS, kToBytesDoc},
    {"from_bytes", as_cfunction(index_from_bytes<IdMapObject>), kArgs | METH_CLASS, kFromBytesDoc},
    {"__reduce__", as_cfunction(index_reduce<IdMapObject>), METH_NOARGS, kReduceDoc},
    {"query", as_cfunction(idmap_query), kArgs,
     "query($self, queries, k, *, allowed=None, metric='ip', refine=None, refine_factor=None,\n"
     "      refine_ids=None, radius=None)\n--\n\n"
     "Top-`k` search with options. Returns `(scores, ids)` as `(nq, K)` arrays,\n"
     "best first, K = `min(k, len(self))` and at least 1 (with no query rows: `k`).\n"
     "`queries`: any array-like of numbers with `dim` columns, or one query as a\n"
     "1-D array; converted to float32 once (a C-contiguous float32 array is used\n"
     "as it is).\n\n"
     "allowed: only these may be returned: an array of uint64 ids (ids not stored\n"
     "  are ignored), or an IdFilter (its positions are worked out once and reused\n"
     "  while the index is unchanged). Applied inside the scan;\n"
     "  fewer allowed than `k` gives fewer columns, as a smaller index would.\n"
     "metric: \"ip\" (the estimated inner product, as `search`), \"cosine\" (that\n"
     "  divided by both norms; 0 for a zero vector or query) or \"l2\" (the squared\n"
     "  distance |q|^2 + |x|^2 - 2 ip, best = smallest; may dip just below 0).\n"
     "refine: the original float32 vectors (an array or np.memmap), row i for id i:\n"
     "  the best `refine_factor * k` candidates by code (factor 4 by default) are\n"
     "  re-scored exactly against them; the best `k` are returned with exact scores.\n"
     "refine_ids: the id of each `refine` row, in any order, for sparse ids: then\n"
     "  `refine` needs a row only for every id that may be returned.\n"
     "radius: range search: slots whose score is below `radius` (\"ip\", \"cosine\")\n"
     "  or above it (\"l2\") become empty slots; with k = len(self), every match.\n\n"

     "Runs without the interpreter lock (other threads run; changing the index\n"
     "meanwhile raises RuntimeError) and stops on Ctrl-C. Empty slots: id 2**64 - 1\n"
     "with score -inf (+inf for \"l2\")."},
    {"reconstruct", as_cfunction(index_reconstruct<IdMapObject>), kArgs,
     "reconstruct($self, ids)\n--\n\nApproximate vectors of `ids`, decoded from their codes: each\n"
     "coordinate's centroid, rotated back, times the stored norm. Returns a\n"
     "`(len(ids), dim)` float32 array; an id that is not stored raises ValueError."},
    {"remove_many", as_cfunction(idmap_remove_many), kArgs,
     "remove_many($self, ids)\n--\n\nRemove every id of `ids`, or none: if an id is not stored or\n"
     "repeats, ValueError names it and the index is unchanged."},
    {nullptr, nullptr, 0, nullptr},
};

template <class Obj>
PyGetSetDef getters[] = {
    {"dim", get_dim<Obj>, nullptr, nullptr, nullptr},
    {"bits", get_bits<Obj>, nullptr, nullptr, nullptr},
    {"rotation", get_rotation<Obj>, nullptr, nullptr, nullptr},
    {"mapped", get_mapped<Obj>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot skerry_slots[] = {
    {Py_tp_doc, const_cast<char*>("SkerryIndex(dim, bits, rotation=\"rotor3\")\n--\n\n")},
    {Py_tp_methods, skerry_methods},
    {Py_tp_getset, getters<SkerryObject>},
    {Py_tp_new, reinterpret_cast<void*>(skerry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc<SkerryObject>)},
    {Py_mp_length, reinterpret_cast<void*>(index_len<SkerryObject>)},
    {Py_sq_length, reinterpret_cast<void*>(index_len<SkerryObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr<SkerryObject>)},
    {0, nullptr},
};

PyType_Slot idmap_slots[] = {
    {Py_tp_doc, const_cast<char*>("IdMapIndex(dim, bits, rotation=\"rotor3\")\n--\n\n")},
    {Py_tp_methods, idmap_methods},
    {Py_tp_getset, getters<IdMapObject>},
    {Py_tp_new, reinterpret_cast<void*>(idmap_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc<IdMapObject>)},
    {Py_mp_length, reinterpret_cast<void*>(index_len<IdMapObject>)},
    {Py_sq_length, reinterpret_cast<void*>(index_len<IdMapObject>)},
    {Py_sq_contains, reinterpret_cast<void*>(idmap_has)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr<IdMapObject>)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the classes are final. No dict or weakref offsets.
PyType_Spec skerry_spec = {"varnel.SkerryIndex", static_cast<int>(sizeof(SkerryObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, skerry_slots};
PyType_Spec idmap_spec = {"varnel.IdMapIndex", static_cast<int>(sizeof(IdMapObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, idmap_slots};

PyMethodDef partitioned_methods[] = {
    {"train", as_cfunction(partitioned_train), kArgs,
     "train($self, sample)\n--\n\nLearn the lists' centroids from a `(n, dim)` float32 sample by seeded\n"
     "k-means (at most 256 vectors per list are used; n must be at least `lists`)."},
    {"add_with_ids", as_cfunction(partitioned_add_with_ids), kArgs,
     "add_with_ids($self, vectors, ids)\n--\n\nAdd vectors with stable `uint64` ids; each joins the list of its\n"
     "nearest centroid (Euclidean). The index must be trained."},
    {"search", as_cfunction(partitioned_search), kArgs,
     "search($self, queries, k, *, probes=8)\n--\n\nTop-`k` search over the `probes` lists whose centroids are "
     "nearest\n(Euclidean) to each query (8 by default, or every list of a\nsmaller index). "
     "Returns `(scores, ids)`."},
    {"query", as_cfunction(partitioned_query), kArgs,
     "query($self, queries, k, *, probes=8, allowed=None, metric='ip', refine=None, refine_factor=None,\n"
     "refine_ids=None, radius=None, filter_exact_below=None, filter_max_probes=None)\n"
     "--\n\nTop-`k` search with the options of `IdMapIndex.query` (allowed ids or an\n"
     "IdFilter, metric, exact re-scoring with refine rows indexed by id or by\n"
     "`refine_ids`, range search within `radius`). A filtered query scores every\n"
     "admitted vector when at most `filter_exact_below` are admitted, else probes\n"
     "more lists until enough admitted vectors are in reach (at most\n"
     "`filter_max_probes` for recall; always enough for k results)."},
    {"remove", as_cfunction(partitioned_remove), kArgs, "remove($self, id)\n--\n\n"},
    {"remove_many", as_cfunction(partitioned_remove_many), kArgs,
     "remove_many($self, ids)\n--\n\nRemove every id of `ids`, or none."},
    {"contains", as_cfunction(partitioned_contains), kArgs, "contains($self, id)\n--\n\n"},
    {"balance", as_cfunction(partitioned_balance), METH_NOARGS,
     "balance($self)\n--\n\nHow the list sizes are spread: a dict of lists, vectors, empty, smallest,\n"
     "largest, mean and imbalance (sum of squared sizes * lists / n^2: 1 for equal lists)."},
    {"rebalance", as_cfunction(partitioned_rebalance), kArgs,
     "rebalance($self, *, split_above=2.0, merge_below=0.25, lists=None, max_steps=None, vectors=None,\n"
     "vector_ids=None)\n"
     "--\n\nSplit lists above `split_above` times the mean size and merge lists below\n"
     "`merge_below` times it, at most `max_steps` of them; returns a dict of splits,\n"
     "merges, recoded and balanced."},
    {"compact", as_cfunction(partitioned_compact), METH_NOARGS,
     "compact($self)\n--\n\nGive back the room lists keep beyond their vectors (after removals);\n"
     "returns the bytes freed."},
    {"reconstruct", as_cfunction(partitioned_reconstruct), kArgs,
     "reconstruct($self, ids)\n--\n\nThe vectors of `ids` as their codes reconstruct them."},
    {"list_sizes", as_cfunction(partitioned_list_sizes), METH_NOARGS,
     "list_sizes($self)\n--\n\nThe number of vectors in each list, as a uint64 array."},
    {"centroids", as_cfunction(partitioned_centroids), METH_NOARGS,
     "centroids($self)\n--\n\nThe lists' centroids as a `(lists, dim)` float32 array (0 rows untrained)."},
    {"set_centroids", as_cfunction(partitioned_set_centroids), kArgs,
     "set_centroids($self, centroids)\n--\n\nUse these `(lists, dim)` centroids instead of training; the\n"
     "index must be empty."},
    {"write", as_cfunction(partitioned_write), kArgs, kWriteDoc},
    {"open", as_cfunction(partitioned_open), kArgs | METH_CLASS, kOpenDoc},
    {"load", as_cfunction(partitioned_load), kArgs | METH_CLASS,
     "load($cls, path, *, require_checksum=False)\n--\n\n"},
    {"to_bytes", as_cfunction(partitioned_to_bytes), METH_NOARGS, kToBytesDoc},
    {"from_bytes", as_cfunction(partitioned_from_bytes), kArgs | METH_CLASS, kFromBytesDoc},
    {"__reduce__", as_cfunction(partitioned_reduce), METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef partitioned_getters[] = {
    {"dim", partitioned_number<&varnel::PartitionedIndex::input_dim>, nullptr, nullptr, nullptr},
    {"bits", partitioned_number<&varnel::PartitionedIndex::bits>, nullptr, nullptr, nullptr},
    {"lists", partitioned_number<&varnel::PartitionedIndex::lists>, nullptr, nullptr, nullptr},
    {"rotation", partitioned_rotation, nullptr, nullptr, nullptr},
    {"is_trained", partitioned_is_trained, nullptr, nullptr, nullptr},
    {"mapped", partitioned_mapped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot partitioned_slots[] = {
    {Py_tp_doc, const_cast<char*>("PartitionedIndex(dim, bits, lists, rotation=\"rotor3\", *, seed=117900524)\n--\n\n")},
    {Py_tp_methods, partitioned_methods},
    {Py_tp_getset, partitioned_getters},
    {Py_tp_new, reinterpret_cast<void*>(partitioned_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc<PartitionedObject>)},
    {Py_mp_length, reinterpret_cast<void*>(partitioned_len)},
    {Py_sq_length, reinterpret_cast<void*>(partitioned_len)},
    {Py_sq_contains, reinterpret_cast<void*>(partitioned_has)},
    {Py_tp_repr, reinterpret_cast<void*>(partitioned_repr)},
    {0, nullptr},
};

PyType_Spec partitioned_spec = {"varnel.PartitionedIndex", static_cast<int>(sizeof(PartitionedObject)), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, partitioned_slots};

PyMethodDef id_filter_methods[] = {
    {"__reduce__", as_cfunction(id_filter_reduce), METH_NOARGS, kReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef id_filter_getters[] = {
    {"ids", id_filter_ids, nullptr, const_cast<char*>("The admitted ids, sorted, without repeats (a uint64 copy)."),
     nullptr},
    {"_conversions", id_filter_conversions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot id_filter_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "IdFilter(ids)\n--\n\n"
                    "A set of admitted ids, built once and passed as `allowed=` to the `query` of\n"
                    "every index (positions for SkerryIndex). It keeps what it works out for an\n"
                    "index (a bitmap over its positions) while that index is unchanged, so a wide\n"
                    "filter costs each later query only the scan. Picklable.")},
    {Py_tp_methods, id_filter_methods},
    {Py_tp_getset, id_filter_getters},
    {Py_tp_new, reinterpret_cast<void*>(id_filter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(id_filter_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(id_filter_len)},
    {Py_sq_length, reinterpret_cast<void*>(id_filter_len)},
    {Py_sq_contains, reinterpret_cast<void*>(id_filter_has)},
    {Py_tp_repr, reinterpret_cast<void*>(id_filter_repr)},
    {0, nullptr},
};

PyType_Spec id_filter_spec = {"varnel.IdFilter", static_cast<int>(sizeof(IdFilterObject)), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, id_filter_slots};

// [(variable, value, used instead, reason)] for environment settings the library
// cannot follow; the package warns about each once, at import.
PyObject* module_rejected_settings(PyObject*, PyObject*) {
  std::vector<varnel::RejectedSetting> rejected;
  if (!guarded([&] { rejected = varnel::rejected_settings(); })) return nullptr;
  PyObject* list = PyList_New(0);
  for (const varnel::RejectedSetting& setting : rejected) {
    if (!list) return nullptr;
    PyObject* item = Py_BuildValue("(sNss)", setting.variable.c_str(),
                                   PyUnicode_DecodeFSDefault(setting.value.c_str()),
                                   setting.used_instead.c_str(), setting.reason.c_str());
    if (!item || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_CLEAR(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

// (positions offered, positions scored exactly) by the 2- and 3-bit search
// since the process started: benchmarks report the share the error bound of
// the approximate scan could not rule out.
PyObject* module_verification_counts(PyObject*, PyObject*) {
  const varnel::VerificationCounts counts = varnel::verification_counts();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts.offered),
                       static_cast<unsigned long long>(counts.verified));
}

PyMethodDef module_methods[] = {
    {"_num_threads", module_num_threads, METH_NOARGS, "_num_threads()\n--\n\n"},
    {"_simd_path", module_simd_path, METH_NOARGS, "_simd_path()\n--\n\n"},
    {"_supported_simd_paths", module_supported_simd_paths, METH_NOARGS,
     "_supported_simd_paths()\n--\n\n"},
    {"_set_num_threads", module_set_num_threads, METH_O, "_set_num_threads(count, /)\n--\n\n"},
    {"_rejected_settings", module_rejected_settings, METH_NOARGS, "_rejected_settings()\n--\n\n"},
    {"_verification_counts", module_verification_counts, METH_NOARGS, "_verification_counts()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0, not -1: with -1 the host would copy a saved module dict on
// re-import instead of calling PyInit, and a second interpreter would get a
// copy that shares our process-wide objects.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_varnel", "", 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

bool add_exported(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return false;
    }
  }
  PyObject* name_obj = PyUnicode_FromString(name);
  const bool appended = name_obj && PyList_Append(all, name_obj) == 0;
  Py_XDECREF(name_obj);
  Py_DECREF(all);
  return appended && PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* build_module() {
  if (_import_array() < 0) return nullptr;
  if (!g_f32) g_f32 = PyArray_DescrFromType(NPY_FLOAT32);
  if (!g_u64) g_u64 = PyArray_DescrFromType(NPY_UINT64);
  if (!g_i64) g_i64 = PyArray_DescrFromType(NPY_INT64);
  if (!g_f32 || !g_u64 || !g_i64) return nullptr;
  if (!g_panic) {
    g_panic = PyErr_NewExceptionWithDoc(
        "varnel.PanicException",
        "A broken precondition inside the varnel library (bad parameter, buffer\n"
        "length, position or id). Derives from BaseException, not Exception.",
        PyExc_BaseException, nullptr);
    if (!g_panic) return nullptr;
  }
  if (!g_skerry_type) {
    g_skerry_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&skerry_spec));
    if (!g_skerry_type) return nullptr;
  }
  if (!g_idmap_type) {
    g_idmap_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&idmap_spec));
    if (!g_idmap_type) return nullptr;
  }
  if (!g_partitioned_type) {
    g_partitioned_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&partitioned_spec));
    if (!g_partitioned_type) return nullptr;
  }
  if (!g_id_filter_type) {
    g_id_filter_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&id_filter_spec));
    if (!g_id_filter_type) return nullptr;
  }
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  PyObject* version = PyUnicode_FromString(kVersion);
  const bool ok = version && add_exported(module, "SkerryIndex", reinterpret_cast<PyObject*>(g_skerry_type)) &&
                  add_exported(module, "IdMapIndex", reinterpret_cast<PyObject*>(g_idmap_type)) &&
                  add_exported(module, "PartitionedIndex", reinterpret_cast<PyObject*>(g_partitioned_type)) &&
                  add_exported(module, "IdFilter", reinterpret_cast<PyObject*>(g_id_filter_type)) &&
                  add_exported(module, "__version__", version) &&
                  // Outside __all__: the package re-exports it as varnel.PanicException.
                  PyObject_SetAttrString(module, "PanicException", g_panic) == 0;
  Py_XDECREF(version);
  if (!ok) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit__varnel(void) {
  // The classes, the exception and the NumPy API table belong to the first
  // interpreter that imports the module; another interpreter must not use them.
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_owner_interpreter != -1 && interpreter != g_owner_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "varnel._varnel cannot be imported by more than one interpreter per process");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = build_module();
  if (!module) return nullptr;
  g_owner_interpreter = interpreter;
  g_module = module;
  Py_INCREF(module);  // kept for every later import of this interpreter
  return module;
}
