// trawl._trawl._Cancel. A parse checks the flag every few MiB and whenever a read is interrupted;
// on POSIX, cancel() interrupts the reads of the threads parsing under it with SIGURG, whose
// default action is to ignore it, so a pipe that never delivers data cannot hold a worker.
#include "cancel.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>

#if !defined(_WIN32)
#include <csignal>
#endif

namespace trawl::python {
namespace {

struct CancelObject {
  PyObject_HEAD CancelState* state;
};

CancelState* state_of(PyObject* self) {
  return reinterpret_cast<CancelObject*>(self)->state; // NOLINT(*-reinterpret-cast)
}

#if !defined(_WIN32)
extern "C" void wake_handler(int /*signal*/) {}

// Installs the do-nothing handler, without SA_RESTART so that a blocked read returns EINTR, unless
// the process has its own use for SIGURG; whether threads can be woken.
bool can_wake() {
  struct sigaction current {};
  if (sigaction(SIGURG, nullptr, &current) != 0) {
    return false;
  }
  if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == wake_handler) {
    return true;
  }
  if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
    return false;
  }
  struct sigaction action {};
  action.sa_handler = wake_handler;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGURG, &action, nullptr) == 0;
}
#endif

// Sets the flag, then waits (without the interpreter lock, at most half a second) for the
// threads inside a parse to leave it, waking them again and again: a thread between two reads
// misses one wake-up.
void cancel_and_wait(CancelState& state) {
  state.cancelled.store(true);
#if !defined(_WIN32)
  const pthread_t self = pthread_self();
  std::optional<bool> wake; // asked once there is a thread to wake
  std::unique_lock lock(state.mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  for (;;) {
    const bool others = std::any_of(state.inside.begin(), state.inside.end(),
                                    [self](pthread_t t) { return pthread_equal(t, self) == 0; });
    if (!others || std::chrono::steady_clock::now() >= deadline) {
      return;
    }
    if (!wake) {
      wake = can_wake();
    }
    if (*wake) {
      for (const pthread_t t : state.inside) {
        if (pthread_equal(t, self) == 0) {
          pthread_kill(t, SIGURG);
        }
      }
    }
    state.left.wait_for(lock, std::chrono::milliseconds(2));
  }
#endif
}

PyObject* cancel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "_Cancel() takes no arguments");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    return nullptr;
  }
  reinterpret_cast<CancelObject*>(self)->state = new (std::nothrow) CancelState; // NOLINT
  if (state_of(self) == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

void cancel_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete state_of(self); // NOLINT(cppcoreguidelines-owning-memory)
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* cancel_cancel(PyObject* self, PyObject* /*unused*/) {
  CancelState* state = state_of(self);
  Py_BEGIN_ALLOW_THREADS cancel_and_wait(*state);
  Py_END_ALLOW_THREADS Py_RETURN_NONE;
}

PyObject* cancel_cancelled(PyObject* self, void* /*closure*/) {
  return PyBool_FromLong(static_cast<long>(state_of(self)->cancelled.load()));
}

} // namespace

CancelScope::CancelScope(CancelState* state) : state_(state) {
#if !defined(_WIN32)
  if (state_ != nullptr) {
    const std::lock_guard lock(state_->mutex);
    state_->inside.push_back(pthread_self());
  }
#endif
}

CancelScope::~CancelScope() {
#if !defined(_WIN32)
  if (state_ != nullptr) {
    const std::lock_guard lock(state_->mutex);
    const pthread_t self = pthread_self();
    auto& inside = state_->inside;
    inside.erase(std::find_if(inside.begin(), inside.end(),
                              [self](pthread_t t) { return pthread_equal(t, self) != 0; }));
    state_->left.notify_all();
  }
#endif
}

int add_cancel_type(PyObject* module) {
  // Tables the type keeps pointers to for the life of the process, in CPython's layout.
  // NOLINTBEGIN(modernize-avoid-c-arrays,cppcoreguidelines-avoid-non-const-global-variables)
  // NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast)
  static PyMethodDef methods[] = {
      {"cancel", cancel_cancel, METH_NOARGS,
       "Stop every parse under this flag and wait (briefly) for them to end."},
      {nullptr, nullptr, 0, nullptr}};
  static PyGetSetDef getset[] = {
      {"cancelled", cancel_cancelled, nullptr, "Whether cancel() was called.", nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr}};
  static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(cancel_new)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(cancel_dealloc)},
                                {Py_tp_methods, methods},
                                {Py_tp_getset, getset},
                                {0, nullptr}};
  static PyType_Spec spec = {"trawl._trawl._Cancel", sizeof(CancelObject), 0, Py_TPFLAGS_DEFAULT,
                             slots};
  // NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
  // NOLINTEND(modernize-avoid-c-arrays,cppcoreguidelines-avoid-non-const-global-variables)
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    return -1;
  }
  const int added = PyModule_AddObjectRef(module, "_Cancel", type);
  Py_DECREF(type);
  return added;
}

CancelState* cancel_state(PyObject* object) {
  // The type is final, so its own deallocator identifies it.
  if (PyType_GetSlot(Py_TYPE(object), Py_tp_dealloc) !=
      reinterpret_cast<void*>(cancel_dealloc)) { // NOLINT
    PyErr_SetString(PyExc_TypeError, "argument 'cancel': expected a _Cancel object");
    return nullptr;
  }
  return state_of(object);
}

} // namespace trawl::python
