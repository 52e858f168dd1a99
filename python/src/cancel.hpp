// trawl._trawl._Cancel: a flag that the parses of one batch run share, so that one call stops
// them all, including those waiting in a read.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace trawl::python {

/// The state behind a _Cancel object: the flag and the threads parsing under it.
struct CancelState {
  std::atomic<bool> cancelled{false};
  std::mutex mutex;
  std::condition_variable left;
#if !defined(_WIN32)
  std::vector<pthread_t> inside;
#endif
};

/// While alive, the calling thread counts as parsing under `state` (null: no flag).
class CancelScope {
public:
  explicit CancelScope(CancelState* state);
  ~CancelScope();
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;
  CancelScope(CancelScope&&) = delete;
  CancelScope& operator=(CancelScope&&) = delete;

private:
  CancelState* state_;
};

/// Adds the _Cancel type to `module`; -1 with an exception set on failure.
int add_cancel_type(PyObject* module);

/// The state of a _Cancel object, or null with TypeError set.
CancelState* cancel_state(PyObject* object);

} // namespace trawl::python
