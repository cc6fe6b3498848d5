// The edge between a library's C functions and the C++ inside: nothing thrown inside crosses
// it.
#pragma once

#include <type_traits>

namespace basis {

// Returns what fn returns, or `failed` when fn throws (after onThrow, when given, has run).
template <typename Fn, typename R = std::invoke_result_t<Fn&>>
R CallAtCEdge(Fn&& fn, std::type_identity_t<R> failed,
              void (*onThrow)() noexcept = nullptr) noexcept {
    try {
        return fn();
    } catch (...) {
        if (onThrow != nullptr)
            onThrow();
        return failed;
    }
}

}  // namespace basis
