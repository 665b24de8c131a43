#include "binding/boundary.hpp"

#include "binding/text.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace tevra::detail {

namespace {

void raise_panic(const std::string& message) {
    Ref text = make_str(message);
    PyErr_SetObject(panic_exception_type(), text.get());
}

}  // namespace

void raise_current() noexcept {
    try {
        try {
            throw;
        } catch (PyError& e) {
            std::move(e).restore();
        } catch (InternalError& e) {
            raise_panic(e.message);
        } catch (std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("unknown internal failure");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
}

}  // namespace tevra::detail
