// The decision to burn on sparse files of the sizes that matter, and how a
// cancel or a run without new studies ends the phase.
#include <functional>

#include "tests/collect/collect_fixture.hpp"

namespace velunor::test {
namespace {

constexpr double kMiB = 1024 * 1024;

TEST(CollectDecision, QuestionsAndAnswersByModeSizeAndGate) {
    enum Asks { None, Continue, Unattended, AuthBurn };
    struct Case {
        int authBurn;
        bool unattended;
        double newMiB, carryMiB;
        bool gateStopped;   // the result so far is true exactly then
        Answer answer;
        bool write;
        Asks asks;
        std::string named;   // part of the question
    };
    const Case cases[] = {
        // Manual: asked above 10 MB (rounded, halves to even), below 1700
        // or when everything fitted; a full disc is written even on No.
        {0, false, 10, 0, false, Answer::Yes, false, None, ""},
        {0, false, 10.5, 0, false, Answer::Yes, false, None, ""},
        {0, false, 11.5, 0, false, Answer::Yes, true, Continue, "(12 MB)"},
        {0, false, 1699, 0, false, Answer::No, false, Continue, "(1699 MB)"},
        {0, false, 1700, 0, false, Answer::Yes, true, Continue, "(1700 MB)"},
        {0, false, 1500, 0, true, Answer::No, true, Continue, "(1500 MB)"},
        {0, false, 1800, 0, true, Answer::No, true, None, ""},
        {0, false, 5, 0, true, Answer::No, true, None, ""},
        // Unattended: waits below 1700 MB while everything fitted; asks
        // from 1700 MB on or when the gate stopped the pass.
        {0, true, 1699, 0, false, Answer::Yes, false, None, ""},
        {0, true, 900, 0, true, Answer::Yes, true, Unattended, ""},
        {0, true, 1700, 0, false, Answer::No, false, Unattended, ""},
        {0, true, 1701, 0, true, Answer::Yes, true, Unattended, ""},
        // AuthBurn 1 asks with the total in every mode, and its No stands.
        {1, false, 834.4, 140.6, false, Answer::Yes, true, AuthBurn, "975 MB"},
        {1, false, 1900, 0, true, Answer::No, false, AuthBurn, "1900 MB"},
        {1, true, 5, 0, false, Answer::Yes, true, AuthBurn, "5 MB"},
        {2, false, 5, 0, false, Answer::Yes, false, None, ""},
    };
    CollectEnv env;
    for (const char* folder : {"DVD/1", "DVD/2"}) fs::create_directories(env.Staging(folder));
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "row " << &c - cases);
        SparseFile(env.Staging("DVD/2/new.bin"), static_cast<std::uintmax_t>(c.newMiB * kMiB));
        SparseFile(env.Staging("DVD/1/carry.bin"), static_cast<std::uintmax_t>(c.carryMiB * kMiB));
        env.shell.settings.AuthBurn = static_cast<std::int16_t>(c.authBurn);
        env.unattended = c.unattended;
        env.events.asked.clear();
        env.events.answers = {c.answer};
        std::string why;
        velunor::Run run = env.NewRun();

        EXPECT_EQ(DecideBurn(run, c.gateStopped, c.gateStopped, why), c.write);

        EXPECT_EQ(why.empty(), c.write);
        ASSERT_EQ(env.events.asked.size(), c.asks == None ? 0u : 1u);
        if (c.asks == None) continue;
        const Question& q = env.events.asked[0];
        EXPECT_EQ(q.unattended, c.asks == Unattended);
        EXPECT_EQ(q.text.find("Continue?") != std::string::npos, c.asks == Continue);
        EXPECT_EQ(q.text.find("Gesatmgröße") != std::string::npos, c.asks == AuthBurn);
        EXPECT_NE(q.text.find(c.named), std::string::npos) << q.text;
    }
}

// A cancel is seen only between studies: the study in hand is finished (a
// new one stays out of DVD/2/), and no disc is written without new data.
TEST(CollectFlow, CancelAndNothingNewEndThePhaseWithWhatIsStaged) {
    struct Case {
        const char* what;
        bool withNew;
        std::function<bool(const CollectEnv&)> cancelWhen;
        std::multiset<std::string> dvd1, dvd2;
        bool write;
        std::size_t asked;
    };
    const auto has = [](const CollectEnv& env, const char* file) { return fs::exists(env.Staging(file)); };
    const Case cases[] = {
        {"cancelled at once", true, [](const CollectEnv&) { return true; }, {}, {}, false, 0},
        {"cancelled in the carry-over pass", true,
         [&](const CollectEnv& env) { return has(env, "DVD/1/IM00001.dcm"); }, {Uid(1, 1), Uid(1, 2)}, {}, false, 0},
        {"cancelled in the new-study pass", true,
         [&](const CollectEnv& env) { return has(env, "DVD/2/IM00001.dcm") && has(env, "DVDTemp/IM00001.dcm"); },
         {Uid(1, 1), Uid(1, 2), Uid(2, 1)}, {Uid(3, 1)}, true, 1},
        {"nothing new", false, nullptr, {Uid(1, 1), Uid(1, 2), Uid(2, 1)}, {}, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CollectEnv env;
        env.shell.settings.AuthBurn = 1;   // asks whenever the decision is reached
        env.events.answers = {Answer::Yes};
        env.AddDicomStudy(1, "c1", 2, "DVD 0");
        env.AddDicomStudy(2, "c2", 1, "DVD 0");
        if (c.withNew) {
            env.AddDicomStudy(3, "n3", 1, std::nullopt);
            env.AddDicomStudy(4, "n4", 2, std::nullopt);
            env.AddDicomStudy(5, "n5", 1, std::nullopt);
        }
        env.events.onYield = [&] { env.cancel = env.cancel || (c.cancelWhen && c.cancelWhen(env)); };

        const Collected out = env.Collect();

        EXPECT_EQ(Instances(env.Staging("DVD/1")), c.dvd1);
        EXPECT_EQ(Instances(env.Staging("DVD/2")), c.dvd2);
        EXPECT_EQ(out.write, c.write);
        EXPECT_EQ(out.nothingToWrite, !c.write);
        EXPECT_EQ(env.events.asked.size(), c.asked) << ::testing::PrintToString(env.events.Texts());
    }
}

}  // namespace
}  // namespace velunor::test
