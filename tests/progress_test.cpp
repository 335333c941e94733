#include "upgrade/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "upgrade/settle_wait.h"

#include "support/capture.h"

namespace {

struct temp_stream {
    std::FILE* file = test_support::open_capture_file();
    ~temp_stream() { std::fclose(file); }
};

class counting_clock final : public run_clock {
public:
    std::int64_t now_seconds() override { return 0; }
    void sleep_ms(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
    std::vector<std::uint32_t> sleeps;
};

struct installed_clock {
    explicit installed_clock(run_clock& clock) { install_clock(&clock); }
    ~installed_clock() { install_clock(nullptr); }
};

TEST(Progress, RewritesOneLineInPlace) {
    temp_stream out;
    {
        progress_line line(out.file, true);
        line.download(0, 40000);
        line.download(40000, 40000);
        line.finish();
        line.countdown(150);
        line.countdown(9);
    }
    EXPECT_EQ(test_support::read_stream(out.file),
              "\rDownloading firmware: 0 of 40000 bytes (0%)"
              "\rDownloading firmware: 40000 of 40000 bytes (100%)\n"
              "\rWaiting for the drives to take up the firmware: 150 s"
              "\rWaiting for the drives to take up the firmware: 9 s  \n");
}

TEST(Progress, ShowsNothingWhenNobodyWatches) {
    temp_stream out;
    {
        progress_line line(out.file, false);
        line.download(10, 20);
        line.countdown(3);
        line.finish();
    }
    EXPECT_EQ(test_support::read_stream(out.file), "");
}

TEST(SettleWait, SleepsTheWholeLengthEitherWay) {
    for (bool watched : {false, true}) {
        SCOPED_TRACE(watched ? "terminal" : "no terminal");
        temp_stream out;
        counting_clock clock;
        installed_clock guard(clock);
        progress_line line(out.file, watched);
        settle_wait(2500, line);

        std::uint32_t total = 0;
        for (std::uint32_t ms : clock.sleeps) total += ms;
        EXPECT_EQ(total, 2500u);
        EXPECT_EQ(clock.sleeps.size(), watched ? 3u : 1u);
        const std::string shown = test_support::read_stream(out.file);
        EXPECT_EQ(shown.find(" 3 s") != std::string::npos, watched);
        EXPECT_EQ(shown.find(" 0 s") != std::string::npos, watched);
    }
}

}  // namespace
