// The work counter: every loop iteration, term and column counts, the limit is
// exact, and the cancel flag, the deadline and the interrupt poll each stop
// the work with a located line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "tavro/compiler/kelm.hpp"
#include "tavro/compiler/problem.hpp"

namespace {

using tavro::kelm::Limits;
using tavro::kelm::StopReason;

// 10 + 10 steps for the columns (names, then bounds), 10 iterations and 10
// terms for the objective, 3 x (1 + 3 + 3) for the forall.
const char* kSmall =
    "range I = 1..10; dvar float x[I];\n"
    "minimize z: sum(i in I) x[i];\n"
    "subject to { forall(k in 1..3) c: sum(j in 1..3) x[j] >= k; }\n";
constexpr std::int64_t kSmallSteps = 20 + 20 + 3 * 7;

Limits with_work(std::int64_t n) {
    Limits l;
    l.work = n;
    return l;
}

TEST(Work, TheLimitIsExact) {
    EXPECT_TRUE(tavro::kelm::instantiate(kSmall, "", "", with_work(kSmallSteps)).ok);
    auto r = tavro::kelm::instantiate(kSmall, "", "", with_work(kSmallSteps - 1));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.stopped, StopReason::Work);
    EXPECT_EQ(r.message,
              "model:3:39: building the model takes more than 60 steps (loop iterations, filter tests, "
              "terms); stopped in the loop over 'j': narrow the index sets or filters, or raise the work "
              "limit");
}

TEST(Work, DataOnlyLoopsCountAndStopEarly) {
    // 10^10 iterations without a decision variable in sight: stopped at the
    // limit, at the inner loop, while the data is still being read.
    const char* model =
        "int n = sum(i in 1..100000, j in 1..100000) 1;\n"
        "dvar float x; minimize z: x;\n";
    auto start = std::chrono::steady_clock::now();
    auto r = tavro::kelm::instantiate(model, "", "", with_work(1'000'000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(r.stopped, StopReason::Work);
    EXPECT_EQ(r.message.rfind("model:1:29: building the model takes more than 1000000 steps", 0), 0u) << r.message;
    // compile() counts the same way.
    auto c = tavro::kelm::compile(model, "", "", with_work(1'000'000));
    EXPECT_EQ(c.stopped, StopReason::Work);
    EXPECT_EQ(c.message, r.message);
}

TEST(Work, CompileChecksOnlyItsShareOfAHugeModel) {
    // A filter that keeps nothing over 10^10 pairs: compile() checks a first
    // share and accepts; grounding it is the work limit's error.
    const char* model =
        "range I = 1..100000; dvar float x;\nminimize z: x;\n"
        "subject to { forall(i in I, j in I: i < 0) c: x >= i; }\n";
    EXPECT_TRUE(tavro::kelm::compile(model, "").ok);
    auto r = tavro::kelm::instantiate(model, "", "", with_work(5'000'000));
    EXPECT_EQ(r.stopped, StopReason::Work);
    EXPECT_NE(r.message.find("stopped in the loop over 'j'"), std::string::npos) << r.message;
}

TEST(Work, CancelDeadlineAndInterruptStopWithOneLine) {
    const char* model = "dvar float x; minimize z: x + sum(i in 1..100000, j in 1..100000) 1;\n";
    std::atomic<bool> cancel{true};
    Limits cancelled;
    cancelled.cancel = &cancel;
    auto r = tavro::kelm::instantiate(model, "", "", cancelled);
    EXPECT_EQ(r.stopped, StopReason::Cancelled);
    EXPECT_EQ(r.message, "model:1:1: building the model was interrupted after 1 step");

    Limits late;
    late.deadline = 1e-3;  // long past
    r = tavro::kelm::instantiate(model, "", "", late);
    EXPECT_EQ(r.stopped, StopReason::Deadline);
    EXPECT_EQ(r.message, "model:1:1: building the model passed its deadline after 1 step");

    int polls = 0;
    Limits poll;
    poll.interrupted = [&] { return ++polls == 3; };
    r = tavro::kelm::instantiate(model, "", "", poll);
    EXPECT_EQ(r.stopped, StopReason::Interrupted);
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(r.message,
              "model:1:51: building the model was interrupted after 131073 steps; stopped in the loop over 'j'");
}

TEST(Work, DoublingDexprsAndNestedSumsStop) {
    std::string dexprs = "dvar float x;\ndexpr float d0 = x;\n";
    for (int k = 1; k <= 60; ++k)
        dexprs += "dexpr float d" + std::to_string(k) + " = d" + std::to_string(k - 1) + " + d" +
                  std::to_string(k - 1) + ";\n";
    dexprs += "minimize z: d60;\n";
    auto r = tavro::kelm::instantiate(dexprs, "", "", with_work(1'000'000));
    EXPECT_EQ(r.stopped, StopReason::Work);
    EXPECT_EQ(r.message.rfind("model:63:1: building the model takes more than 1000000 steps", 0), 0u) << r.message;

    std::string nested = "dvar float x[1..2];\nminimize z: ";
    for (int k = 0; k < 40; ++k) nested += "sum(i" + std::to_string(k) + " in 1..2) ";
    nested += "x[i0];\n";
    r = tavro::kelm::instantiate(nested, "", "", with_work(1'000'000));
    EXPECT_EQ(r.stopped, StopReason::Work);
}

}  // namespace
