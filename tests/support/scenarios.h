// Slow end-to-end scenarios of one test program, run at once. Each is registered with the
// test that checks it; the scenarios of every test that the run selects begin together when
// the first of them is asked for. A scenario is set up on the test thread (its services
// created and brought into shape, one scenario after the other: under Wine, calls on the
// service manager from threads at once fail with invalid handles) and then driven in a thread
// of its own, where it mostly waits for a program (stop limits, time-outs) that uses no
// in-process handle of the service manager. The assertions stay in the test, on what the
// scenario hands over. A scenario that cannot be set up throws (ScenarioError), and its test
// fails with the message.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace tendro::test {

struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Throws ScenarioError with `what` unless `condition` holds.
void Require(bool condition, const std::string& what);

class ScenarioBase {
public:
    ScenarioBase(const ScenarioBase&) = delete;
    ScenarioBase& operator=(const ScenarioBase&) = delete;

protected:
    // `suite` and `test` name the test that checks the outcome.
    ScenarioBase(std::string suite, std::string test);
    ~ScenarioBase() = default;
    // Sets up, then starts, every registered scenario whose test the run selects (once).
    static void StartAll();

private:
    virtual void SetUp() = 0;
    virtual void Start() = 0;
    bool Selected() const;
    std::string suite_, test_;
};

template <class T>
class Scenario final : ScenarioBase {
public:
    Scenario(std::string suite, std::string test, std::function<T()> setUp,
             std::function<void(T&)> drive)
        : ScenarioBase(std::move(suite), std::move(test)), setUp_(std::move(setUp)),
          drive_(std::move(drive)), future_(promise_.get_future()) {}

    // Waits for the scenario's end: its state, handed over to the caller (it rethrows what
    // the scenario threw). Once.
    T Take() {
        StartAll();
        return future_.get();
    }

private:
    void SetUp() override {
        try {
            state_ = std::make_unique<T>(setUp_());
        } catch (...) {
            promise_.set_exception(std::current_exception());
        }
    }
    void Start() override {
        if (!state_) return;
        std::thread([this] {
            try {
                drive_(*state_);
                promise_.set_value(std::move(*state_));
            } catch (...) {
                promise_.set_exception(std::current_exception());
            }
        }).detach();
    }
    std::function<T()> setUp_;
    std::function<void(T&)> drive_;
    std::unique_ptr<T> state_;
    std::promise<T> promise_;
    std::future<T> future_;
};

}  // namespace tendro::test
