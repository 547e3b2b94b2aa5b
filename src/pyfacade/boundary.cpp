#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include <unistd.h>

#include "free_threading.hpp"
#include "texts.hpp"

namespace korvex::py {
namespace {

// Created on the first fault and kept for the life of the process.
std::atomic<PyObject*> panic_type{nullptr};
OnceLock panic_type_lock;

[[noreturn]] void abort_with(const char* message) noexcept {
  std::fprintf(stderr, "_korvex_core: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

// The source file as a path inside the project ("src/..."), not wherever
// the build happened to run.
const char* project_path(const char* file) noexcept {
  const char* last = nullptr;
  for (const char* p = std::strstr(file, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) last = p;
  return last != nullptr ? last : file;
}

void report(const Fault& fault) noexcept {
  std::fprintf(stderr, "_korvex_core: internal fault on thread %lu at %s:%u:%u:\n%s\n", PyThread_get_thread_native_id(),
               project_path(fault.where().file_name()), static_cast<unsigned>(fault.where().line()),
               static_cast<unsigned>(fault.where().column()), fault.text().c_str());
  std::fflush(stderr);
}

// Raising the panic exception must not fail in turn: nothing could report
// that failure to Python, so the process ends instead.
void raise_panic(std::string_view text) {
  PyObject* type = panic_type.load(std::memory_order_acquire);
  if (type == nullptr) {
    const std::lock_guard made_once(panic_type_lock);
    type = panic_type.load(std::memory_order_relaxed);
    if (type == nullptr) {
      type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, texts::kPanicTypeDoc, PyExc_BaseException, nullptr);
      if (type == nullptr) {
        PyErr_Clear();
        report(Fault(texts::kPanicTypeFailed));
        abort_with(texts::kUncaughtFault);
      }
      panic_type.store(type, std::memory_order_release);
    }
  }
  // Without memory for the exception itself, CPython's MemoryError is
  // raised in its place.
  const Ref argument = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!argument) return;
  const Ref exception = Ref::steal(PyObject_CallOneArg(type, argument.get()));
  if (!exception) return;
  PyErr_SetObject(type, exception.get());
}

}  // namespace

PyErr PyErr::with_message(PyObject* type, std::string_view message) {
  PyErr error;
  error.type_ = Ref::borrow(type);
  error.argument_ = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  return error;
}

PyErr PyErr::with_argument(PyObject* type, Ref argument) {
  PyErr error;
  error.type_ = Ref::borrow(type);
  error.argument_ = std::move(argument);
  return error;
}

PyErr PyErr::fetch() {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) return with_message(PyExc_SystemError, texts::kNoExceptionSet);
  return raised(Ref::steal(exception));
}

PyErr PyErr::raised(Ref exception) {
  PyErr error;
  error.raised_ = std::move(exception);
  return error;
}

void PyErr::restore() && {
  if (raised_) {
    PyErr_SetRaisedException(raised_.release());
    return;
  }
  if (!argument_) return;  // the message's str failed: CPython's MemoryError stands in its place
  // The exception is instantiated here rather than inside PyErr_SetObject,
  // which reports a failure to do so as a bare SystemError. PyErr_SetObject
  // then links it to any exception being handled, as a raise statement does.
  Ref exception;
  if (PyExceptionInstance_Check(argument_.get()))
    exception = std::move(argument_);
  else if (argument_.get() == Py_None)
    exception = Ref::steal(PyObject_CallNoArgs(type_.get()));
  else
    exception = Ref::steal(PyObject_CallOneArg(type_.get(), argument_.get()));
  if (!exception) return;
  PyErr_SetObject(type_.get(), exception.get());
}

bool PyErr::pending() noexcept { return PyErr_Occurred() != nullptr; }

bool PyErr::discard_if(PyObject* type) noexcept {
  if (!PyErr_ExceptionMatches(type)) return false;
  PyErr_Clear();
  return true;
}

void PyErr::discard() noexcept { PyErr_Clear(); }

void PyErr::print() && {
  std::move(*this).restore();
  PyErr_PrintEx(0);
}

Ref PyErr::into_exception() && {
  std::move(*this).restore();
  return Ref::steal(PyErr_GetRaisedException());
}

void api_call_failed(std::source_location where) {
  PyErr_Print();
  throw Fault(texts::kApiCallFailed, where);
}

void SharedBorrow::already_borrowed() { throw PyErr::with_message(PyExc_RuntimeError, texts::kAlreadyBorrowed); }

namespace detail {

std::unique_ptr<Failure> capture_current_exception() {
  // A forced unwind (pthread_exit, by which the interpreter ends a daemon
  // thread at exit) is no C++ exception: it has no exception_ptr. libstdc++
  // resumes it on a rethrow. libc++ cannot: its rethrow starts a new search
  // that finds no handler and terminates, and ending the catch instead makes
  // glibc abort. There the thread is parked, as the interpreter itself does
  // with such threads from 3.14 on.
  if (!std::current_exception()) {
#ifdef _LIBCPP_VERSION
    park_thread();
#else
    throw;
#endif
  }
  try {
    throw;
  } catch (PyErr& error) {
    return std::make_unique<Failure>(std::move(error));
  } catch (Fault& fault) {
    return std::make_unique<Failure>(std::move(fault));
  } catch (const std::bad_alloc&) {
    abort_with(texts::kMemoryExhausted);
  } catch (const std::exception& error) {
    return std::make_unique<Failure>(Fault(error.what()));
  } catch (...) {
    return std::make_unique<Failure>(Fault(texts::kFaultWithoutText));
  }
}

void raise(Failure&& failure) {
  if (PyErr* error = std::get_if<PyErr>(&failure)) {
    std::move(*error).restore();
    return;
  }
  const Fault& fault = std::get<Fault>(failure);
  report(fault);
  raise_panic(fault.text());
}

[[noreturn]] void park_thread() noexcept {
  for (;;) pause();
}

}  // namespace detail
}  // namespace korvex::py
