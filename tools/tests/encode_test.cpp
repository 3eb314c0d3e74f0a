// stripectl encode against the simulated reader: batches that succeed,
// stop, go on, resume and are interrupted.
#include "sim_fixture.h"

#include <chrono>

using namespace ctltest;

TEST_F(Stripectl, EncodeWritesAndChecksEveryCard)
{
    ASSERT_TRUE(startSim());
    dir.write("cards.csv", "track2,track3\n1001=01,3001=01\n1002=02,\n,3003=03\n");
    RunResult r = ctl({"encode", "--quiet", dir.path() + "/cards.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 1: ok (tracks 2 and 3, verified)\n"
                     "row 2: ok (track 2, verified)\n"
                     "row 3: ok (track 3, verified)\n"
                     "summary: 3 ok, 0 failed\n");
    r = ctl({"read"});
    EXPECT_EQ(r.out, "track2: 1002=02\ntrack3: 3003=03\n");
}

TEST_F(Stripectl, EncodeStopsAtAFailedCardAndResumes)
{
    ASSERT_TRUE(startSim());
    dir.write("cards.csv", "1=1,\n" + std::string(195, '2') + ",\n3=3,\n");
    RunResult r = ctl({"encode", "--quiet", "cards.csv"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.out, "row 1: ok (track 2, verified)\nrow 2: FAILED writing track 2: "))
        << r.out;
    EXPECT_TRUE(contains(r.out, "[code -7]\nsummary: 1 ok, 1 failed (rows 2); stopped at row 2, "
                                "1 not tried\n"))
        << r.out;
    EXPECT_TRUE(contains(r.err, "--start 2 (retry that card) or --start 3 (skip it)")) << r.err;

    r = ctl({"encode", "--quiet", "--keep-going", "cards.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "row 3: ok (track 2, verified)\nsummary: 2 ok, 1 failed (rows 2)\n"))
        << r.out;

    r = ctl({"encode", "--quiet", "--start", "3", "--no-verify", "cards.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 3: ok (track 2)\nsummary: 1 ok, 0 failed\n");

    r = ctl({"encode", "--dry-run", "--start", "2", "cards.csv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "row 2 (line 2): track 2: track2 \"" + std::string(195, '2') +
                         "\" track3 \"\"\nrow 3 (line 3): track 2: track2 \"3=3\" track3 \"\"\n");
}

TEST_F(Stripectl, EncodeInterruptedSaysWhereToResume)
{
    // The operator gives up waiting for the second card's swipe: Ctrl-C
    // once the reader waits for it.
    ASSERT_TRUE(startSim({"--swipe-on-key"}));
    dir.write("cards.csv", "1=1,\n2=2,\n");
    RunResult r = ctl({"encode", "--start", "2", "cards.csv"}, waitingForSwipe());
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(contains(r.err, "Card 2 of 2: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "Interrupted at row 2; to go on, run again with --start 2."))
        << r.err;
    // Cut short by the driver or left after the second of grace, never
    // after the card's wait.
    EXPECT_LT(r.afterInterrupt, std::chrono::seconds(5));
}
