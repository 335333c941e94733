// The default mode end to end on the shipped example, as the demo runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace {

using namespace test_support;
namespace fs = std::filesystem;

int count_of(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(UpgradeAllExample, FlashesThenFindsEverythingCurrent) {
    scratch_dir dir;
    fs::copy(fs::path(KVFW_SOURCE_DIR) / "examples", dir.path(), fs::copy_options::recursive);
    fs::create_directories(dir / "sys/vtxsystem/log");
    const std::map<std::string, std::string> env = {{"KVFW_SIM_BUS", (dir / "bus.json").string()},
                                                    {"KVFW_SIM_TRACE", (dir / "trace.txt").string()},
                                                    {"systemdrive", (dir / "sys").string()}};
    const fs::path log_file = dir / "sys/vtxsystem/log/vtxsetup.log";

    const program_run first = run_kvtapefw({}, dir.path(), env);
    EXPECT_EQ(first.exit_code, 1);
    // No terminal, so no progress line; only the word that no real drive is touched.
    EXPECT_EQ(first.err, "kvtapefw: simulated bus " + (dir / "bus.json").string() + ": no real drive is touched\n");
    EXPECT_NE(first.out.find("Discovered Fw 1.100000 Configured Fw 1.200000\n"), std::string::npos);
    EXPECT_NE(first.out.find("Discovered Fw 4.200000 Configured Fw 4.200000\n"), std::string::npos);
    EXPECT_EQ(count_of(first.out, "\tAction = upgrade\n"), 3);
    EXPECT_EQ(count_of(first.out, "\tAction = skip\n"), 1);
    EXPECT_EQ(first.out.find("here"), std::string::npos);
    EXPECT_EQ(first.out.substr(first.out.size() - 17), "Result : Success\n");
    EXPECT_EQ(read_lines(log_file),
              (std::vector<std::string>{"Default option (upgrade all) selected.",
                                        "Drive ID: 0x000320, Product ID: KTR320, Action: upgrade",
                                        "File name: fwimage/KTR320.BIN", "firmware is being flashed - WAIT!",
                                        "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade",
                                        "File name: fwimage/HH6.BIN", "firmware is being flashed!",
                                        "Drive ID: 0x000b20, Product ID: VXA-320, Action: upgrade",
                                        "File name: fwimage/VXA320.BIN", "firmware is being flashed!",
                                        "Drive ID: 0x000320, Product ID: KTR320, Action: upgrade",
                                        "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade",
                                        "Drive ID: 0x000b20, Product ID: VXA-320, Action: upgrade",
                                        "Drive ID: 0x0000c8, Product ID: ULTRIUM-HH8, Action: skip"}));
    EXPECT_EQ(count_of(read_file(dir / "trace.txt"), "sleep 150000\n"), 1);

    fs::remove(log_file);
    fs::remove(dir / "trace.txt");
    const program_run second = run_kvtapefw({}, dir.path(), env);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.out.find("Discovered Fw 1.200000 Configured Fw 1.200000\n"), std::string::npos);
    EXPECT_EQ(count_of(second.out, "\tAction = skip\n"), 4);
    EXPECT_EQ(count_of(second.out, "\tAction = upgrade\n"), 0);
    EXPECT_EQ(second.out.substr(second.out.size() - 17), "Result : Success\n");
    const std::vector<std::string> log = read_lines(log_file);
    ASSERT_EQ(log.size(), 5u);
    for (std::size_t i = 1; i < log.size(); ++i) EXPECT_NE(log[i].find(", Action: skip"), std::string::npos) << log[i];
    EXPECT_EQ(read_file(dir / "trace.txt").find("sleep"), std::string::npos);
}

// The signed example verifies with its test key, and a changed byte of its
// catalogue refuses the run before any drive is touched.
TEST(UpgradeAllExample, SignedExampleIsTrustedOnlyAsSigned) {
    scratch_dir dir;
    fs::copy(fs::path(KVFW_SOURCE_DIR) / "examples", dir.path(), fs::copy_options::recursive);
    fs::create_directories(dir / "sys/vtxsystem/log");
    const fs::path signed_dir = dir / "signed";
    const std::map<std::string, std::string> env = {{"KVFW_SIM_BUS", (dir / "bus.json").string()},
                                                    {"KVFW_SIM_TRACE", (dir / "trace.txt").string()},
                                                    {"KVFW_REPORT", (dir / "report.json").string()},
                                                    {"KVFW_TRUSTED_KEYS", (signed_dir / "trusted-keys").string()},
                                                    {"systemdrive", (dir / "sys").string()}};
    const program_run first = run_kvtapefw({"/s"}, signed_dir, env);
    EXPECT_EQ(first.exit_code, 1) << first.out << first.err;
    const nlohmann::json signature = nlohmann::json::parse(read_file(dir / "report.json"))["catalogue"]["signature"];
    EXPECT_EQ(signature["verified"], true) << signature;

    fs::remove(dir / "trace.txt");
    std::string catalogue = read_file(signed_dir / "fwimage/firmware.cfg");
    catalogue.replace(catalogue.find("|4.20|"), 6, "|4.30|");
    write_file(signed_dir / "fwimage/firmware.cfg", catalogue);
    const program_run changed = run_kvtapefw({"/s"}, signed_dir, env);
    EXPECT_EQ(changed.exit_code, 0);
    EXPECT_NE(changed.err.find("Firmware catalogue fwimage/firmware.cfg is not signed by a trusted key: no trusted "
                               "key verifies its signature (1 key trusted in " +
                               (signed_dir / "trusted-keys").string() + ")\n"),
              std::string::npos)
        << changed.err;
    EXPECT_EQ(read_file(dir / "trace.txt").find("exec "), std::string::npos);
}

}  // namespace
