// Native worker threads that never take the interpreter down. Every pool of
// threads in the extensions (std::thread or OpenMP) runs on what is here:
//
// - a worker catches whatever it throws (an exception escaping a std::thread
//   or an OpenMP region ends the process) and stops the others;
// - every worker is joined before the pool is left, error or not;
// - the first exception is rethrown on the calling thread; a Python exception
//   raised on a worker (one that took the GIL) comes back as itself;
// - the calling thread waits without the GIL and takes it back every few
//   milliseconds to run signal handlers, so Ctrl-C stops the workers between
//   two items and raises KeyboardInterrupt.
//
// Work that runs without the GIL must not touch Python objects, and whatever
// it reads through raw pointers is checked before the first thread starts.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace common {
namespace workers {
namespace py = pybind11;

// The first exception thrown by any of several threads.
class FirstError {
 public:
  // Records the exception being handled; call it inside a catch block.
  void capture() noexcept {
    std::lock_guard<std::mutex> lock(mu_);
    if (!error_) error_ = std::current_exception();
    failed_.store(true, std::memory_order_relaxed);
  }

  // Runs f, recording what it throws; false when it threw.
  template <class F>
  bool guard(F&& f) noexcept {
    try {
      f();
      return true;
    } catch (...) {
      capture();
      return false;
    }
  }

  bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }

  // Rethrows the recorded exception, if any.
  void rethrow() {
    std::exception_ptr e;
    {
      std::lock_guard<std::mutex> lock(mu_);
      e = std::exchange(error_, nullptr);
    }
    if (e) std::rethrow_exception(e);
  }

 private:
  std::mutex mu_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

// How often a waiting caller looks at signals.
constexpr std::chrono::milliseconds kSignalPoll{20};

// Runs fn() without the GIL when the calling thread holds it.
template <class F>
void without_gil(F&& fn) {
  if (!PyGILState_Check()) {
    fn();
    return;
  }
  py::gil_scoped_release nogil;
  fn();
}

// Up to n threads running body(stop), where `stop` turns true once the pool
// is asked to stop (an error, a signal, the caller leaving): a body checks
// it between items. Created and joined by a thread that holds the GIL.
class Workers {
 public:
  template <class Body>
  Workers(unsigned n, Body body) {
    threads_.reserve(n);
    try {
      for (unsigned k = 0; k < n; ++k) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          ++running_;
        }
        try {
          threads_.emplace_back([this, body]() mutable { run(body); });
        } catch (...) {
          finished();  // that thread never started
          throw;
        }
      }
    } catch (const std::system_error&) {
      // fewer threads than asked for; the caller copes with started() of them
    } catch (...) {
      stop_ = true;  // no destructor runs for a constructor that throws
      without_gil([this] { join_threads(); });
      throw;
    }
  }

  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Leaving early (an exception on the caller): stop and join all the same.
  // NOLINTNEXTLINE(bugprone-exception-escape): join throws only on a thread joining itself
  ~Workers() {
    stop_ = true;
    without_gil([this] { join_threads(); });
  }

  size_t started() const { return threads_.size(); }
  bool stopping() const { return stop_.load(std::memory_order_relaxed); }
  bool failed() const { return errors_.failed(); }
  void request_stop() { stop_ = true; }

  // Waits for every worker, running signal handlers meanwhile; then raises
  // KeyboardInterrupt (or whatever a handler raised), else the first
  // exception of a worker. Needs the GIL.
  void join() {
    std::exception_ptr interrupted;
    for (;;) {
      bool done = false;
      {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(mu_);
        done = cv_.wait_for(lock, kSignalPoll, [this] { return running_ == 0; });
      }
      if (done) break;
      if (!interrupted && PyErr_CheckSignals() != 0) {
        interrupted = std::make_exception_ptr(py::error_already_set());
        stop_ = true;
      }
    }
    without_gil([this] { join_threads(); });
    if (interrupted) std::rethrow_exception(interrupted);
    errors_.rethrow();
  }

 private:
  template <class Body>
  void run(Body& body) {
    if (!errors_.guard([&] { body(static_cast<const std::atomic<bool>&>(stop_)); })) stop_ = true;
    finished();
  }

  void finished() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      --running_;
    }
    cv_.notify_all();
  }

  void join_threads() {
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  size_t running_ = 0;
  std::atomic<bool> stop_{false};
  FirstError errors_;
  std::vector<std::thread> threads_;
};

// fn(i) for every i in [0, n) on up to `threads` threads, without the GIL;
// fn must not touch Python. Called with the GIL; returns when every item is
// done, or rethrows as Workers::join does. One thread or one item runs here,
// looking at signals between items.
template <class Fn>
void parallel_items(size_t n, unsigned threads, Fn&& fn) {
  if (n == 0) return;
  if (threads > 1 && n > 1) {
    std::atomic<size_t> next{0};
    Workers pool(static_cast<unsigned>(std::min<size_t>(threads, n)),
                 [&](const std::atomic<bool>& stop) {
                   for (size_t i; !stop && (i = next++) < n;) fn(i);
                 });
    if (pool.started() > 0) return pool.join();
  }
  for (size_t i = 0; i < n; ++i) {
    {
      py::gil_scoped_release nogil;
      fn(i);
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace workers
}  // namespace common

namespace workers = common::workers;
