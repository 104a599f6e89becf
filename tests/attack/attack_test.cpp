// The attack classes, one table: each is run with fresh cases, a few times in CI and as often
// as VELMTAPE_ATTACK_RUNS says by hand; each run prints its seed, so a failure can be replayed
// with VELMTAPE_ATTACK_SEED, and VELMTAPE_ATTACK_BINARY attacks another build of velmtape.
#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "attack.h"

namespace attack {

const std::vector<AttackClass>& Classes()
{
    static const std::vector<AttackClass> classes = [] {
        std::vector<AttackClass> all;
        for (auto group : {ProcessAttacks, FileAttacks, DamageAttacks}) {
            for (AttackClass& c : group()) {
                all.push_back(std::move(c));
            }
        }
        return all;
    }();
    return classes;
}

namespace {

unsigned FromEnvironment(const char* name, unsigned otherwise)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::stoul(text)) : otherwise;
}

class Attack : public ::testing::TestWithParam<size_t> {};

TEST_P(Attack, CommittedWorkSurvivesAndMessagesAreTrue)
{
    const AttackClass& attack = Classes()[GetParam()];
    const unsigned runs = FromEnvironment("VELMTAPE_ATTACK_RUNS", attack.ciRuns);
    const uint64_t first = FromEnvironment("VELMTAPE_ATTACK_SEED", std::random_device{}());
    for (unsigned run = 0; run < runs; ++run) {
        const uint64_t seed = first + run;
        SCOPED_TRACE(std::string(attack.name) + " run " + std::to_string(run) + ", seed " +
                     std::to_string(seed));
        Case c(seed);
        const std::string skipped = attack.run(c);
        if (!skipped.empty()) {
            GTEST_SKIP() << skipped;
        }
        if (HasFatalFailure()) {
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Classes, Attack, ::testing::Range<size_t>(0, Classes().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string name = Classes()[info.param].name;
                             for (char& ch : name) {
                                 if (ch == '-') {
                                     ch = '_';
                                 }
                             }
                             return name;
                         });

}  // namespace
}  // namespace attack
