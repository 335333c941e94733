// The operating-system layer where only POSIX has the thing tested: locks
// that belong to an open file, and FIFOs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/file_write.h"
#include "platform/run_lock.h"
#include "support/test_support.h"

using test_support::scoped_env;
using test_support::scratch_dir;

namespace {

// Counts the time slept instead of sleeping it.
class counting_clock final : public run_clock {
public:
    std::int64_t now_seconds() override { return 0; }
    void sleep_ms(std::uint32_t milliseconds) override { slept += milliseconds; }
    std::uint64_t slept = 0;
};

}  // namespace

// flock(2) locks belong to an open file, so two locks of one process stand
// for two runs; a Windows mutex is its owner's again, hence POSIX only.
TEST(RunLock, ASecondRunWaitsItsTimeThenNamesTheFirst) {
    scratch_dir dir;
    const std::string path = (dir / "kvtapefw.lock").string();
    counting_clock clock;
    auto first = std::make_unique<host_run_lock>();
    ASSERT_EQ(first->take(path, 0, clock), run_lock_state::held);
    host_run_lock second;
    EXPECT_EQ(second.take(path, run_lock_wait_ms, clock), run_lock_state::busy);
    EXPECT_EQ(clock.slept, run_lock_wait_ms);  // on the clock it was given, not the wall's
    EXPECT_EQ(run_lock_refusal(second, run_lock_state::busy, path),
              "kvtapefw: another kvtapefw run (pid " + std::to_string(::getpid()) + ") is running on this host");
    first.reset();  // the first run ends
    EXPECT_EQ(second.take(path, 0, clock), run_lock_state::held);
    EXPECT_EQ(run_lock_refusal(second, run_lock_state::held, path), "");

    host_run_lock nowhere;
    const std::string missing = (dir / "missing/kvtapefw.lock").string();
    EXPECT_EQ(nowhere.take(missing, run_lock_wait_ms, clock), run_lock_state::failed);
    EXPECT_EQ(run_lock_refusal(nowhere, run_lock_state::failed, missing),
              "kvtapefw: the run lock " + missing + " could not be taken (No such file or directory)");
    EXPECT_EQ(nowhere.take(dir.str(), 0, clock), run_lock_state::failed);  // a folder is no lock file
}

TEST(RunLock, NamedByTheVariableElseByTheBusFileElseTheSystems) {
    {
        scoped_env unset("KVFW_LOCK", nullptr);
        EXPECT_EQ(run_lock_name(""), "/run/lock/kvtapefw.lock");
        EXPECT_EQ(run_lock_name("/srv/rehearsal/bus.json"), "/srv/rehearsal/bus.json.lock");
    }
    scoped_env named("KVFW_LOCK", "/tmp/mine.lock");
    EXPECT_EQ(run_lock_name(""), "/tmp/mine.lock");
    EXPECT_EQ(run_lock_name("/srv/rehearsal/bus.json"), "/tmp/mine.lock");
}

// A reader that holds a FIFO open and never reads must not hold the writer:
// what it has not taken within the limit is dropped.
TEST(InPlaceWrite, AReaderThatDoesNotReadIsWaitedForOnlyItsLimit) {
    scratch_dir dir;
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string why;
    std::FILE* file = open_in_place(fifo, why);
    ASSERT_NE(file, nullptr) << why;
    const std::string more_than_a_pipe_holds(4 * 1024 * 1024, 'x');
    EXPECT_EQ(write_in_place_within(file, more_than_a_pipe_holds, 50, why), in_place_write::not_taken);
    // What fits is written whole.
    char drained[65536];
    while (::read(reader, drained, sizeof drained) > 0) {
    }
    file = open_in_place(fifo, why);
    ASSERT_NE(file, nullptr) << why;
    EXPECT_EQ(write_in_place_within(file, "short\n", 50, why), in_place_write::written);
    EXPECT_EQ(::read(reader, drained, sizeof drained), 6);
    ::close(reader);
    // Nobody reads at all: refused at the open, never waited for.
    EXPECT_EQ(open_in_place(fifo, why), nullptr);
    EXPECT_EQ(why, "nothing reads from it");
}
