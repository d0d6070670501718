// Slow end-to-end cases of one test program, run at once: each is set up on the test thread
// (under Wine, calls on the service manager from several threads at once fail with invalid
// handles), then driven on a thread of its own, where it waits for a program; its test checks
// the state handed back. Set-up and drive fail by throwing (Require).
#pragma once

#include <future>
#include <stdexcept>
#include <string>

namespace tendro::test {

inline void Require(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error(what);
}

// Runs `drive(state)` on a thread of its own; the future hands `state` back, or what was thrown.
template <class T, class Drive>
std::future<T> Launch(T state, Drive drive) {
    return std::async(std::launch::async, [state = std::move(state), drive]() mutable {
        drive(state);
        return std::move(state);
    });
}

}  // namespace tendro::test
