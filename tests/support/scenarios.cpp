#include "support/scenarios.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace tendro::test {

namespace {

std::vector<ScenarioBase*>& Registered() {
    static std::vector<ScenarioBase*> scenarios;
    return scenarios;
}

}  // namespace

void Require(bool condition, const std::string& what) {
    if (!condition) throw ScenarioError(what);
}

ScenarioBase::ScenarioBase(std::string suite, std::string test)
    : suite_(std::move(suite)), test_(std::move(test)) {
    Registered().push_back(this);
}

bool ScenarioBase::Selected() const {
    const auto* unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const auto* suite = unit->GetTestSuite(i);
        if (suite->name() != suite_) continue;
        for (int j = 0; j < suite->total_test_count(); ++j)
            if (suite->GetTestInfo(j)->name() == test_) return suite->GetTestInfo(j)->should_run();
    }
    return false;
}

void ScenarioBase::StartAll() {
    static std::once_flag started;
    std::call_once(started, [] {
        std::vector<ScenarioBase*> selected;
        for (ScenarioBase* scenario : Registered())
            if (scenario->Selected()) selected.push_back(scenario);
        for (ScenarioBase* scenario : selected) scenario->SetUp();
        for (ScenarioBase* scenario : selected) scenario->Start();
    });
}

}  // namespace tendro::test
