// What a run did stays on record whatever happens to the process: a request
// to stop ends the run in order wherever it comes, a signal that would end
// the process waits for the download to end, a killed run leaves a report
// naming every drive sent image data, and the report and the discovery
// document never replace what their path is. Signals come from the
// simulated bus at exact points of the run (a command, a sleep).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/run_lock.h"
#include "support/program_bench.h"
#include "support/sim_bus_builder.h"

namespace {

using namespace test_support;
using json = nlohmann::json;
namespace fs = std::filesystem;

class RunRecord : public ::testing::Test, protected program_bench {
protected:
    RunRecord() {
        catalogue("0x00a4|A4.BIN|2.10\n");
        image("A4.BIN", "2.10", "0x00a4");
    }

    // Two drives to be upgraded from 2.05 to 2.10, each in two chunks.
    void two_drives(const std::function<void(sim_json&, sim_json&, sim_json&)>& edit) const {
        sim_json bus = bus_of({ultrium_drive(0, "2.05", "0x00a4"), ultrium_drive(1, "2.05", "0x00a4")}).document;
        edit(bus, bus["drives"][0], bus["drives"][1]);
        write_file(bus_file(), bus.dump(2));
    }

    bool traced_after_sleep() const {
        const std::vector<std::string> lines = trace_lines(trace());
        const auto sleep = std::find_if(lines.begin(), lines.end(),
                                        [](const std::string& l) { return l.rfind("sleep 150000", 0) == 0; });
        return sleep != lines.end() && std::any_of(sleep, lines.end(), [](const std::string& l) {
                   return l.rfind("exec ", 0) == 0;
               });
    }
};

sim_json signal_at(const std::string& cdb, const char* signal, int skip = 0) {
    return {{"cdb", cdb}, {"skip", skip}, {"count", 1}, {"signal", signal}};
}

// A process that a signal ended: the shell in between may report it as 128
// plus the signal's number.
bool ended_by(int exit_code, int signal_number) { return exit_code == -1000 || exit_code == 128 + signal_number; }

TEST_F(RunRecord, AStopOrAnEndingSignalLeavesATrueRecordWhereverItComes) {
    const std::string held_line =
        "Interrupted while device 0 was being flashed; its download ran to its end, and no further drive is flashed.";
    const std::string stop_line = "Interrupted; no further drive is flashed.";
    // Once every download has ended, no drive was left to flash.
    const std::string ended_line = "Interrupted; every download had ended; the drives are not verified.";
    // Nothing after is known of a drive that was not verified.
    const json unverified = {{"flashed", true}, {"verdict", "failed"}, {"firmware_after", nullptr},
                             {"device_after", nullptr},
                             {"reason", "the run was interrupted before the drive was verified"}};
    const json not_flashed = {{"flashed", false}, {"verdict", "left-untouched"},
                              {"reason", "the run was interrupted before this drive was flashed"}};
    struct row {
        const char* why;
        std::function<void(sim_json& bus, sim_json& first, sim_json& second)> edit;
        int killed_by;            // 0: the run ends by itself, Flash failure, exit 0
        const char* console;      // the line said, or nullptr
        std::vector<int> flashed;
        std::vector<std::string> firmware;  // of devices 0 and 1 afterwards
        std::vector<json> devices;          // fields checked per device
        bool verified;                      // the verification scan ran
    };
    const row rows[] = {
        {"TERM during the first download",
         [](sim_json&, sim_json& first, sim_json&) { first["faults"] = {signal_at("3b04", "TERM")}; }, 0,
         held_line.c_str(), {0}, {"2.10", "2.05"}, {unverified, not_flashed}, false},
        {"HUP while the bus is scanned before flashing",
         [](sim_json&, sim_json&, sim_json& second) { second["faults"] = {signal_at("12 00", "HUP", 1)}; }, 0,
         stop_line.c_str(), {}, {"2.05", "2.05"}, {not_flashed, not_flashed}, false},
        {"INT in the settle wait",
         [](sim_json& bus, sim_json&, sim_json&) { bus["sleeps"] = {{{"signal", "INT"}}}; }, 0, ended_line.c_str(),
         {0, 1}, {"2.10", "2.10"}, {unverified, unverified}, false},
        {"TERM in the verification scan",
         [](sim_json&, sim_json& first, sim_json&) { first["faults"] = {signal_at("12 00", "TERM", 2)}; }, 0,
         ended_line.c_str(), {0, 1}, {"2.10", "2.10"}, {unverified, unverified}, true},
        {"TERM in the verification scan after the drives swapped numbers",
         [](sim_json&, sim_json& first, sim_json& second) {
             first["address_after_reboot"] = 1;
             second["address_after_reboot"] = 0;
             first["faults"] = {signal_at("12 00", "TERM", 2)};
         },
         0, ended_line.c_str(), {0, 1}, {"2.10", "2.10"}, {unverified, unverified}, true},
        {"TERM in the wait for a late drive",
         [](sim_json& bus, sim_json&, sim_json& second) {
             second["reboot_seconds"] = 3600;
             bus["sleeps"] = {{{"skip", 1}, {"signal", "TERM"}}};
         },
         0, ended_line.c_str(), {0, 1}, {"2.10", "2.10"}, {unverified, unverified}, true},
        {"QUIT during a download takes effect once the drive is on record",
         [](sim_json&, sim_json& first, sim_json&) { first["faults"] = {signal_at("3b04", "QUIT")}; }, SIGQUIT,
         nullptr, {0}, {"2.10", "2.05"},
         {{{"flashed", true}, {"download", {{"outcome", "completed"}, {"commands", 3}, {"bytes", 40000}, {"failure", nullptr}}}},
          {{"flashed", false}}},
         false},
        {"USR1 likewise",
         [](sim_json&, sim_json& first, sim_json&) { first["faults"] = {signal_at("3b04", "USR1", 1)}; }, SIGUSR1,
         nullptr, {0}, {"2.10", "2.05"}, {{{"flashed", true}}, {{"flashed", false}}}, false},
        {"KILL in the middle of the second download",
         [](sim_json&, sim_json&, sim_json& second) { second["faults"] = {signal_at("3b04", "KILL", 1)}; }, SIGKILL,
         nullptr, {0, 1}, {"2.10", "2.05"},
         {{{"flashed", true}, {"verdict", "failed"}, {"download", {{"outcome", "completed"}, {"commands", 3},
                                                                   {"bytes", 40000}, {"failure", nullptr}}}},
          {{"flashed", true}, {"verdict", "failed"}, {"reason", "it was sent image data and has not been verified"},
           {"download", {{"outcome", "started"}, {"commands", 0}, {"bytes", 0}, {"failure", nullptr}}}}},
         false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        forget_run();
        two_drives(r.edit);
        const program_run ran = run({"/s"});
        const json on_disk = report();
        ASSERT_TRUE(on_disk.is_object()) << ran.out << ran.err;
        if (r.killed_by != 0) {
            EXPECT_TRUE(ended_by(ran.exit_code, r.killed_by)) << ran.exit_code;
            EXPECT_EQ(ran.out.find("Result :"), std::string::npos) << ran.out;
            EXPECT_TRUE(on_disk["finished"].is_null());
            EXPECT_TRUE(on_disk["exit_code"].is_null());
        } else {
            EXPECT_EQ(ran.exit_code, 0) << ran.out << ran.err;
            EXPECT_NE(ran.out.find(std::string(r.console) + "\nResult : Flash failure\n"), std::string::npos) << ran.out;
            EXPECT_NE(log().find(std::string(r.console) + "\n"), std::string::npos);
            EXPECT_EQ(on_disk["result"], "Flash failure");
            EXPECT_EQ(on_disk["exit_code"], 0);
        }
        EXPECT_EQ(flashed(), r.flashed);
        EXPECT_EQ(firmware(0), r.firmware[0]);
        EXPECT_EQ(firmware(1), r.firmware[1]);
        // Nothing is verified after a stop: no command follows the settle
        // wait unless the request came in the scan or wait after it.
        if (r.killed_by == 0 && !r.verified) {
            EXPECT_FALSE(traced_after_sleep());
        }
        ASSERT_EQ(on_disk["devices"].size(), r.devices.size()) << on_disk.dump(2);
        for (std::size_t i = 0; i < r.devices.size(); ++i) {
            for (const auto& [field, value] : r.devices[i].items()) {
                EXPECT_EQ(on_disk["devices"][i][field], value) << "device " << i << " " << field;
            }
        }
    }
}

// A stop while the document's drives are checked ends the run there: the
// next drive is not opened, and the run says it was interrupted rather than
// why the drives it did not read do not match.
TEST_F(RunRecord, AStopDuringTheDocumentCheckIsHonouredBeforeTheNextDrive) {
    catalogue("0x00a4|A4.BIN|2.10\n0x00c8|C8.BIN|1.50\n");
    image("C8.BIN", "1.50", "0x00c8");
    sim_json bus = bus_of({ultrium_drive(0, "2.05", "0x00a4"), ultrium_drive(1, "1.00", "0x00c8")}).document;
    write_file(bus_file(), bus.dump(2));
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);
    edit_value("0x0000c8", "product_id", "ULTRIUM-HH6", "ULTRIUM-HH7");
    bus["drives"][0]["faults"] = {signal_at("12 00", "TERM")};
    write_file(bus_file(), bus.dump(2));
    forget_run();

    const program_run ran = run({"/s", "/u", document().string()});
    EXPECT_EQ(ran.exit_code, 0);
    EXPECT_NE(ran.out.find("Interrupted; no further drive is flashed.\nResult : Flash failure\n"), std::string::npos)
        << ran.out;
    EXPECT_EQ(ran.out.find("does not match"), std::string::npos) << ran.out;
    EXPECT_TRUE(trace_lines(trace(), "open 1 ").empty());
    EXPECT_TRUE(flashed().empty());
    const json devices = report()["devices"];
    ASSERT_EQ(devices.size(), 2u) << devices.dump(2);
    for (const json& device : devices) {
        EXPECT_EQ(device["verdict"], "left-untouched");
        EXPECT_EQ(device["reason"], "the run was interrupted before this drive was flashed");
    }
}

TEST_F(RunRecord, APipeOrConsoleThatWentAwayNeverEndsTheRun) {
    two_drives([](sim_json&, sim_json&, sim_json&) {});
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);  // the reader is gone before the first line
    const program_run ran = run({"/s"}, {}, ends[1]);
    ::close(ends[1]);
    EXPECT_EQ(ran.exit_code, 1) << ran.err;
    EXPECT_EQ(firmware(0), "2.10");
    EXPECT_EQ(firmware(1), "2.10");
    EXPECT_EQ(report()["result"], "Success");
    EXPECT_NE(log().find("firmware is being flashed!\n"), std::string::npos);
}

// One run at a time per host: a second run waits for the first a while, then
// gives up before it touches any drive or the report, and says whose run it
// met. On the simulated bus the wait is on the bus's clock.
TEST_F(RunRecord, ASecondRunGivesUpBeforeTouchingAnyDrive) {
    // This test stands for the first run: it holds the bus file's lock.
    auto first = std::make_unique<host_run_lock>();
    ASSERT_EQ(first->take(bus_file().string() + ".lock", 0, active_clock()), run_lock_state::held);
    const std::string busy =
        "kvtapefw: another kvtapefw run (pid " + std::to_string(::getpid()) + ") is running on this host\n";
    const std::string other_lock = (fs::path(bus_file()).parent_path() / "other.lock").string();
    struct row {
        const char* why;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int exit_code;  // 255: refused before any drive
    };
    const row rows[] = {
        {"upgrade all", {"/s"}, {}, 255},
        {"discover", {"/s", "/d", document().string()}, {}, 255},
        {"--version takes no lock", {"--version"}, {}, 0},
        {"a lock of its own (KVFW_LOCK)", {"/s"}, {{"KVFW_LOCK", other_lock}}, 1},
        {"the first run has ended", {"/s"}, {}, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        forget_run();
        two_drives([](sim_json&, sim_json&, sim_json&) {});
        if (r.why == std::string("the first run has ended")) first.reset();
        const program_run ran = run(r.args, r.env);
        EXPECT_EQ(ran.exit_code, r.exit_code) << ran.out << ran.err;
        if (r.exit_code != 255) {
            EXPECT_EQ(ran.err.find("another kvtapefw run"), std::string::npos) << ran.err;
            continue;
        }
        EXPECT_NE(ran.err.find(busy), std::string::npos) << ran.err;
        EXPECT_EQ(ran.out, "");
        EXPECT_TRUE(trace_lines(trace(), "open ").empty());
        EXPECT_TRUE(trace_lines(trace(), "exec ").empty());
        EXPECT_TRUE(report().is_null());  // the report may be the first run's
        EXPECT_EQ(log(), "");
        EXPECT_EQ(firmware(0), "2.05");
        EXPECT_FALSE(fs::exists(document()));
    }
}

// Where the report and the document go, and what a path that is not a plain
// file gets.
TEST_F(RunRecord, AReportOrDocumentNeverReplacesWhatItsPathIs) {
    two_drives([](sim_json&, sim_json& first, sim_json&) { first["firmware"] = "2.10"; });
    const fs::path target = fs::path(bus_file()).parent_path() / "kept/report.json";
    const fs::path link = fs::path(bus_file()).parent_path() / "report-link.json";
    const fs::path victim = fs::path(bus_file()).parent_path() / "victim";
    const auto link_kept_target_written = [&](const program_run&) {
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(json::parse(read_file(target))["result"], "Success");
    };
    struct row {
        const char* why;
        std::function<std::string()> arrange;  // returns KVFW_REPORT
        int exit_code;
        const char* error;  // a part of standard error, or nullptr for none
        std::function<void(const program_run&)> check;
        std::vector<std::string> args = {"/s"};
    };
    const fs::path work = fs::path(bus_file()).parent_path();
    const fs::path loop = work / "loop-a.json";
    // One of the run's own files under another spelling: refused at the
    // start, untouched, and no drive opened.
    const auto own_file = [&](const fs::path& file, const std::string& what) {
        return [this, file, what](const program_run& ran) {
            EXPECT_NE(ran.err.find(" is also the run's " + what + "\n"), std::string::npos) << ran.err;
            EXPECT_NE(read_file(file).find_first_not_of(' '), std::string::npos);
            EXPECT_EQ(read_file(file).find("\"devices\""), std::string::npos) << file;
            EXPECT_TRUE(trace_lines(trace(), "open ").empty());
        };
    };
    const row rows[] = {
        {"a link to the report: its target is replaced and the link stays",
         [&] {
             fs::create_directories(target.parent_path());
             write_file(target, "old");
             fs::create_symlink("kept/report.json", link);
             return link.string();
         },
         1, nullptr, link_kept_target_written},
        {"a link that leads nowhere yet: its target is made",
         [&] {
             fs::create_directories(target.parent_path());
             fs::create_symlink("kept/report.json", link);
             return link.string();
         },
         1, nullptr, link_kept_target_written},
        {"a link planted at the old temporary name is never followed",
         [&] {
             write_file(victim, "mine");
             fs::create_symlink(victim, report_file().string() + ".new");
             return report_file().string();
         },
         1, nullptr,
         [&](const program_run&) {
             EXPECT_EQ(read_file(victim), "mine");
             EXPECT_EQ(json::parse(read_file(report_file()))["result"], "Success");
         }},
        {"a folder that is missing: refused before any drive is touched",
         [&] { return (fs::path(bus_file()).parent_path() / "missing/report.json").string(); }, 255,
         "missing/report.json could not be written (No such file or directory)",
         [&](const program_run& ran) {
             EXPECT_EQ(ran.out.find("Result :"), std::string::npos);
             EXPECT_TRUE(trace_lines(trace(), "open ").empty());
         }},
        {"a folder at the path: refused before any drive is touched",
         [&] {
             fs::create_directories(target);
             return target.string();
         },
         255, "could not be written",
         [&](const program_run&) {
             EXPECT_TRUE(fs::is_directory(target));
             EXPECT_TRUE(trace_lines(trace(), "open ").empty());
         }},
        {"the catalogue, spelt another way",
         [&] { return (work / "fwimage/../fwimage/firmware.cfg").string(); }, 255, nullptr,
         own_file(work / "fwimage/firmware.cfg", "firmware catalogue")},
        {"an image, through a link",
         [&] {
             fs::create_symlink("fwimage/A4.BIN", link);
             return link.string();
         },
         255, nullptr, own_file(work / "fwimage/A4.BIN", "firmware image fwimage/A4.BIN")},
        {"the bus file", [&] { return bus_file().string(); }, 255, nullptr, own_file(bus_file(), "simulated bus file")},
        {"the trace",
         [&] {
             write_file(trace(), "earlier run\n");
             return trace().string();
         },
         255, nullptr, own_file(trace(), "trace")},
        {"the discovery document it is to replace",
         [&] {
             fs::create_directories(document().parent_path());
             write_file(document(), "<old/>");
             return document().string();
         },
         255, nullptr, own_file(document(), "discovery document"), {"/s", "/d", document().string()}},
        {"a link loop: refused before any drive is touched, the link kept",
         [&] {
             fs::create_symlink("loop-b.json", loop);
             fs::create_symlink("loop-a.json", work / "loop-b.json");
             return loop.string();
         },
         255, "could not be written (it leads to ",
         [&](const program_run& ran) {
             EXPECT_NE(ran.err.find("Too many levels of symbolic links"), std::string::npos) << ran.err;
             EXPECT_TRUE(fs::is_symlink(loop));
             EXPECT_TRUE(trace_lines(trace(), "open ").empty());
         }},
        {"/dev/stdout: the report follows the console's last line, written once",
         [&] { return std::string("/dev/stdout"); }, 1, nullptr,
         [&](const program_run& ran) {
             const std::size_t end = ran.out.find("Result : Success\n");
             ASSERT_NE(end, std::string::npos) << ran.out;
             const json report = json::parse(ran.out.substr(end + 17));
             EXPECT_EQ(report["result"], "Success");
             EXPECT_TRUE(fs::is_symlink("/dev/stdout"));
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        forget_run();
        for (const fs::path& p : {target.parent_path(), link, victim, fs::path(report_file().string() + ".new"), loop,
                                  work / "loop-b.json", document().parent_path()}) {
            fs::remove_all(p);
        }
        const std::string path = r.arrange();
        const program_run ran = run(r.args, {{"KVFW_REPORT", path}});
        EXPECT_EQ(ran.exit_code, r.exit_code) << ran.out << ran.err;
        if (r.error) {
            EXPECT_NE(ran.err.find(r.error), std::string::npos) << ran.err;
        } else {
            EXPECT_EQ(ran.err.find("could not be written"), std::string::npos) << ran.err;
        }
        r.check(ran);
    }

    // The discovery document through a link: the file it names is replaced.
    forget_run();
    fs::remove_all(target.parent_path());
    fs::create_directories(target.parent_path());
    const fs::path doc_link = fs::path(bus_file()).parent_path() / "drives-link.xml";
    fs::create_symlink("kept/drives.xml", doc_link);
    ASSERT_EQ(run({"/s", "/d", doc_link.string()}).exit_code, 1);
    EXPECT_TRUE(fs::is_symlink(doc_link));
    EXPECT_NE(read_file(target.parent_path() / "drives.xml").find("<kv_rom_discovery"), std::string::npos);

    // The document through a link loop: not written, the link kept, and the
    // line says where the link led.
    forget_run();
    fs::remove_all(loop);
    fs::remove_all(work / "loop-b.json");
    fs::create_symlink("loop-b.json", loop);
    fs::create_symlink("loop-a.json", work / "loop-b.json");
    const program_run looped = run({"/s", "/d", loop.string()});
    EXPECT_EQ(looped.exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(loop));
    EXPECT_NE(looped.err.find("unable to open file '" + loop.string() + "' (it leads to "), std::string::npos)
        << looped.err;
    EXPECT_NE(looped.err.find("Too many levels of symbolic links"), std::string::npos) << looped.err;
}

// A record that cannot name the next drive stops the flashing before that
// drive, as a stop request does; the drive already sent its image is still
// verified. The file system fills up (a file size limit) exactly when the
// report would first name the second drive.
TEST_F(RunRecord, AReportThatCannotBeKeptStopsTheFlashingBeforeTheNextDrive) {
    const fs::path work = fs::path(bus_file()).parent_path();
    write_file(work / "fwimage/A4.BIN", firmware_image("2.10", "0x00a4", 600));  // far below the limit
    // First the size of the report that names the second drive's download:
    // the one on disk when the run is killed at that drive's first chunk.
    two_drives([](sim_json&, sim_json&, sim_json& second) { second["faults"] = {signal_at("3b04", "KILL")}; });
    run({"/s"});
    const std::uintmax_t naming_the_second = fs::file_size(report_file());
    ASSERT_EQ(report()["devices"][1]["download"]["outcome"], "started");

    forget_run();
    two_drives([](sim_json&, sim_json&, sim_json&) {});
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = naming_the_second - 1;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    // A write past the limit then fails (EFBIG) instead of ending the process.
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    const program_run ran = run({"/s"}, {{"KVFW_SIM_TRACE", ""}});
    ::signal(SIGXFSZ, old_handler);
    ::setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(ran.exit_code, 0) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("The run report " + report_file().string() +
                           " could not be written (File too large); no further drive is flashed.\n"),
              std::string::npos)
        << ran.out;
    EXPECT_EQ(firmware(0), "2.10");
    EXPECT_EQ(firmware(1), "2.05");  // sent nothing
    // Verified all the same.
    EXPECT_NE(log().find("Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade\n"), std::string::npos)
        << log();
    EXPECT_NE(ran.out.find("Result : Flash failure\n"), std::string::npos);
}

// Every image is in hand before its first byte goes out: one that cannot be
// copied is sent to no drive, with or without a checksum, and says why.
TEST_F(RunRecord, AnImageThatCannotBeHeldIsNotSent) {
    two_drives([](sim_json&, sim_json&, sim_json&) {});
    const std::string folder = (fs::path(bus_file()).parent_path() / "no-such-folder").string();
    const program_run ran = run({"/s"}, {{"TMPDIR", folder}});
    EXPECT_EQ(ran.exit_code, 0);
    EXPECT_TRUE(flashed().empty());
    EXPECT_NE(log().find("Firmware image fwimage/A4.BIN could not be copied to a private file in " + folder +
                         " (No such file or directory); it is not sent\n"),
              std::string::npos)
        << log();
    const json device = report()["devices"][0];
    EXPECT_EQ(device["image"]["checksum"], "unchecked");
    EXPECT_EQ(device["reason"], "its image could not be copied to a private file");
    EXPECT_EQ(device["verdict"], "left-untouched");
}

}  // namespace
