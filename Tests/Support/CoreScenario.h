#pragma once
// Small steps shared by the core tests: a child's verdict as a test result, a run as the
// unprivileged account, one field of each element, and the description of an error an action throws.

#include "Support/ChildProcess.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace vornelo::test {

// The child's complaint becomes the failure message.
inline ::testing::AssertionResult passed(const ChildOutcome& outcome) {
    if (outcome.succeeded) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << outcome.message;
}

// Runs the body in a child as the unprivileged account. Needs root.
inline ::testing::AssertionResult passesAsNobody(const std::function<std::string()>& body) {
    const auto account = unprivilegedAccount();
    return passed(runAsUser(account.uid, account.gid, body));
}

// One field of each element, in order, to be compared as a whole.
template <class Range, class Field>
auto mapped(const Range& range, Field field) {
    std::vector<std::decay_t<std::invoke_result_t<Field, decltype(*std::begin(range))>>> values;
    for (const auto& element : range) values.push_back(field(element));
    return values;
}

// The description of the `Error` the action throws, or "nothing thrown".
template <class Error, class Action>
std::string descriptionThrown(Action&& action) {
    try {
        std::forward<Action>(action)();
    } catch (const Error& error) {
        return error.description();
    }
    return "nothing thrown";
}

}  // namespace vornelo::test
