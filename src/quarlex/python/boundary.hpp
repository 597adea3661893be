// The call boundary between the interpreter and C++.
//
// Every slot and method runs its body through `guard`, which never lets a C++
// exception cross into the interpreter:
//   PyErrSet      -> the Python error already set is returned as is;
//   AllocFailure  -> MemoryError ("capacity overflow" or "memory allocation
//                    failed"); the table was left as it was;
//   bad_alloc     -> MemoryError;
//   Panic / other -> the module's internal-failure exception, derived from
//                    BaseException so `except Exception` does not swallow a
//                    broken invariant.
// If even that conversion is impossible the process aborts.
#pragma once

#include "quarlex/common/errors.hpp"
#include "quarlex/python/ref.hpp"

#include <new>

namespace quarlex::py {

// The BaseException subclass internal failures are raised as. Created once
// when the module executes; not a module attribute.
PyObject* panic_exception_type() noexcept;
void set_panic(const char* message) noexcept;
void set_alloc_failure(const AllocFailure& failure) noexcept;

template <class R, class F>
R guard(R error_value, F&& body) noexcept {
  try {
    return body();
  } catch (const PyErrSet&) {
  } catch (const AllocFailure& failure) {
    set_alloc_failure(failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Panic& p) {
    set_panic(p.what());
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("internal failure");
  }
  return error_value;
}

}  // namespace quarlex::py
