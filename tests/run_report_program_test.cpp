// The run report as a deployment tool reads it: one run per mode and per
// verdict on the simulated bus, the values checked against what happened.
// (The bench checks every report against its schema.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/program_bench.h"
#include "support/signing_fixtures.h"
#include "scsi/transport.h"
#include "support/sim_bus_builder.h"

namespace {

using namespace test_support;
using json = nlohmann::json;

class RunReport : public ::testing::Test, protected program_bench {};

sim_json with_key(sim_json drive, const char* key, const sim_json& value) {
    drive[key] = value;
    return drive;
}

// A drive of the maker's vendor that answers ILLEGAL REQUEST to `cdb`.
sim_json refusing(sim_json drive, const std::string& cdb) {
    sim_json rule = fault(cdb, "check");
    rule["sense"] = "05 24 00";
    drive["faults"] = {rule};
    return drive;
}

// A drive whose command `cdb` fails `count` times with that sense.
sim_json with_fault(sim_json drive, const std::string& cdb, const std::string& sense, int count) {
    sim_json rule = fault(cdb, "check");
    rule["sense"] = sense;
    rule["count"] = count;
    drive["faults"] = {rule};
    return drive;
}

sim_json failing_chunk(sim_json drive) {
    sim_json rule = fault("3b04", "check");
    rule["sense"] = "05 26 00";
    drive["faults"] = {rule};
    return drive;
}

struct report_case {
    const char* name;
    std::vector<sim_json> drives;
    // Runs before the reported run (a discovery, an edit of its document).
    std::function<void()> before;
    std::vector<std::string> args;
    int exit_code;
    json result;
    // Each device's fields that are checked; the others may be anything.
    std::vector<json> devices;
    bool catalogue_read = true;
    // A line the run prints on either stream, when given.
    std::string line = {};
    // The report's refusal: null, or what it begins with (the whole text is
    // then checked against standard error and the setup log).
    json refusal = nullptr;
    // The report's scanned and warning, when given.
    std::optional<json> scanned = {};
    std::optional<json> warning = {};
};

TEST_F(RunReport, TellsWhatEachDeviceRanWasSentAndEndedAs) {
    const std::string doc = document().string();
    const std::vector<report_case> cases = {
        {"discover: planned, not in the catalogue, could not be examined",
         {ultrium_drive(0, "2.05", "0x00a4"), other_drive(1, "KTR320", "1.10", "0x0320"),
          with_key(ultrium_drive(2, "1.00", "0x00a4"), "open", "fail"),
          refusing(ultrium_drive(3, "1.00", "0x00a4"), "12 00")},
         nullptr, {"/s", "/d", doc}, 1, "Success",
         {{{"device", 0}, {"node", tape_device_name(0)}, {"verdict", "planned"}, {"action", "upgrade"}, {"firmware_before", "2.05"},
           {"target_version", "2.10"}, {"drive_id", "0x0000a4"}, {"flashed", false}, {"firmware_after", nullptr}},
          {{"device", 1}, {"verdict", "not-planned"}, {"drive_id", "0x000320"}, {"action", nullptr},
           {"reason", "the catalogue holds no image for its drive ID"}},
          {{"device", 2}, {"verdict", "left-untouched"}, {"vendor", nullptr}, {"product", nullptr},
           {"drive_id", nullptr}, {"firmware_before", nullptr},
           {"reason", "it could not be examined: it would not open; another program may hold it"}},
          {{"device", 3}, {"verdict", "left-untouched"}, {"vendor", nullptr}, {"reason", "it could not be examined"}}}},
        {"discover: only a device this run may not open",
         {with_key(ultrium_drive(4, "1.00", "0x00a4"), "open", "denied")}, nullptr, {"/s", "/d", doc}, 0,
         "Flash failure",
         {{{"device", 4}, {"verdict", "left-untouched"}, {"vendor", nullptr}, {"flashed", false},
           {"reason", "it could not be examined: opening it was refused for lack of rights; reaching tape drives "
                      "needs root or CAP_SYS_RAWIO"}}},
         false, "Tape device 4 could not be examined; it is left untouched.\n"},
        {"discover: the maker's devices that are not its drives are listed, others not",
         {ultrium_drive(0, "2.05", "0x00a4"), refusing(other_drive(1, "KTR320", "1.10", "0x0320"), "12 01 c0"),
          // No configuration in page C0h: the vendor buffer decides.
          with_key(refusing(other_drive(2, "KTR999", "1.10", "0x0320"), "3c"), "c0_hex", "00 c0 00 5c"),
          with_key(ultrium_drive(3, "1.00", "0x00a4"), "inquiry_number", ""),
          with_key(refusing(other_drive(5, "KTR320", "1.10", "0x0320"), "12 01 c0"), "vendor", "ACME")},
         nullptr, {"/s", "/d", doc}, 1, "Success",
         {{{"device", 0}, {"verdict", "planned"}},
          {{"device", 1}, {"verdict", "not-planned"}, {"vendor", "KV"}, {"product", "KTR320"}, {"drive_id", nullptr},
           {"action", nullptr}, {"flashed", false},
           {"reason", "its page C0h answered ILLEGAL REQUEST: not one of the maker's drives that can be flashed"}},
          {{"device", 2}, {"verdict", "not-planned"}, {"product", "KTR999"},
           {"reason", "its vendor buffer answered ILLEGAL REQUEST: not one of the maker's drives that can be flashed"}},
          {{"device", 3}, {"verdict", "not-planned"}, {"product", "ULTRIUM-HH6"},
           {"reason", "its standard data holds no inquiry number above 0: not one of the maker's drives that can be "
                      "flashed"}}}},
        {"upgrade all: flashed and verified, refused chunk, left at its version",
         {ultrium_drive(0, "2.05", "0x00a4"), failing_chunk(ultrium_drive(1, "1.00", "0x00c8")),
          ultrium_drive(2, "3.00", "0x00b6")},
         nullptr, {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "success"}, {"reason", nullptr}, {"flashed", true}, {"firmware_after", "2.10"},
           {"image", {{"file", "fwimage/A4.BIN"}, {"bytes", 40000}, {"sha256", "ac88e65f0480b0f34037ea94248315ca6c880cabf0b26171f64e6551ceede4b5"},
                         {"checksum", "none"}}},
           {"download", {{"outcome", "completed"}, {"commands", 3}, {"bytes", 40000}, {"failure", nullptr}}}},
          {{"device", 1}, {"verdict", "failed"}, {"flashed", true}, {"firmware_after", "1.00"},
           {"reason", "its download did not run to its end"},
           {"download",
            {{"outcome", "failed"}, {"commands", 2}, {"bytes", 0},
             {"failure",
              {{"command", "WRITE BUFFER"}, {"status", "CHECK CONDITION"}, {"sense_key", "ILLEGAL REQUEST"},
               {"asc", "0x26"}, {"ascq", "0x00"},
               {"text", "SCSI WRITE BUFFER on device 1: CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN "
                        "PARAMETER LIST (26h/00h)"}}}}}},
          {{"device", 2}, {"verdict", "success"}, {"action", "skip"}, {"flashed", false}, {"download", nullptr},
           {"firmware_before", "3.00"}, {"firmware_after", "3.00"}}}},
        {"upgrade from a document: a stale entry is sent nothing",
         {ultrium_drive(0, "2.05", "0x00a4"), ultrium_drive(1, "1.00", "0x00c8")},
         [&] {
             run({"/s", "/d", doc});
             edit_value("0x0000c8", "version", "1.500000", "1.400000");
         },
         {"/s", "/u", doc}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "success"}, {"firmware_before", "2.05"}, {"firmware_after", "2.10"}},
          {{"device", 1}, {"verdict", "left-untouched"}, {"flashed", false}, {"image", nullptr},
           {"download", {{"outcome", "not-started"}, {"commands", 0}, {"bytes", 0}, {"failure", nullptr}}},
           {"reason", "its plan was made for another catalogue version"}}}},
        {"upgrade from a document: a refused value is quoted escaped", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] {
             run({"/s", "/d", doc});
             edit_value("0x0000a4", "busnumber", "0", "0&#9;\x7f\xc3\xa9");
         },
         {"/s", "/u", doc}, 0, "Flash failure", {}, false,
         "Selection document " + doc +
             " refused: busnumber value \"0\\x09\\x7f\\xc3\\xa9\" is not a plain decimal number\n",
         "Selection document " + doc +
             " refused: busnumber value \"0\\x09\\x7f\\xc3\\xa9\" is not a plain decimal number"},
        // Each physical drive once, with a reason looked up, not assumed.
        {"upgrade all: a drive not identified at first is one entry when verification finds it",
         {ultrium_drive(0, "2.05", "0x00a4"), with_fault(ultrium_drive(1, "2.05", "0x00a4"), "12 01 c1", "03 11 00", 1)},
         nullptr, {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "success"}},
          {{"device", 1}, {"verdict", "left-untouched"}, {"reason", "it could not be identified"}, {"serial", nullptr},
           {"flashed", false}}}},
        {"upgrade all: a drive without serial number comes back at another number",
         {with_key(with_key(ultrium_drive(0, "2.05", "0x00a4"), "serial", ""), "address_after_reboot", 3)}, nullptr,
         {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "failed"}, {"flashed", true}, {"device_after", nullptr},
           {"reason", "it did not answer at its address after its download"}},
          {{"device", 3}, {"verdict", "not-planned"}, {"flashed", false}, {"firmware_after", "2.10"},
           {"reason", "it was not found before flashing"}}}},
        {"upgrade all: page 80h fails after the restart",
         {with_key(ultrium_drive(0, "2.05", "0x00a4"), "faults",
                   {{{"cdb", "12 01 80"}, {"reply", "check"}, {"sense", "03 11 00"}, {"skip", 2}}})},
         nullptr, {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "failed"}, {"serial", "KV00000000"}, {"device_after", 0},
           {"reason", "its serial number could not be read after its restart"}}}},
        {"upgrade from a document: a drive without serial number comes back at another number",
         {with_key(with_key(ultrium_drive(0, "2.05", "0x00a4"), "serial", ""), "address_after_reboot", 3)},
         [&] { run({"/s", "/d", doc}); }, {"/s", "/u", doc}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "failed"}},
          {{"device", 3}, {"verdict", "not-planned"}, {"reason", "the document names no drive at its address"}}}},
        {"upgrade all: an image that is not the catalogue's is sent nothing, and the entry says why",
         {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { catalogue("0x00a4|A4.BIN|2.10|sha256:" + std::string(64, '0') + "\n"); }, {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "left-untouched"}, {"flashed", false},
           {"reason", "its image could not be shown to match the catalogue's checksum"}}},
         true},
        {"no drive of the maker: no catalogue read", {}, nullptr, {"/s"}, 3,
         "Nothing to be done for Tape drives. RDX Firmware Updated.", {}, false,
         "kvtapefw: no tape device was found\n", nullptr, 0, "no tape device was found"},
        {"no drive of the maker, another vendor's device: found, not warned of",
         {with_key(other_drive(1, "KTR320", "1.10", "0x0320"), "vendor", "ACME")}, nullptr, {"/s", "/d", doc}, 3,
         "Nothing to be done for Tape drives. RDX Firmware Updated.", {}, false, "", nullptr, 1, nullptr},
        {"upgrade from a document that is not there", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { std::filesystem::remove(doc); }, {"/s", "/u", doc}, 0, "Flash failure", {}, false, "",
         "Selection document " + doc + " is missing", nullptr, nullptr},
        {"upgrade from a document that is not XML", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { write_file(doc, "<kv_rom_discovery><devices>"); }, {"/s", "/u", doc}, 0, "Flash failure", {}, false,
         "", "Selection document " + doc + " is not XML: "},
        {"upgrade from a document that is not a discovery document", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { write_file(doc, "<kv_rom_discovery><devices><device/></devices></kv_rom_discovery>"); },
         {"/s", "/u", doc}, 0, "Flash failure", {}, false, "",
         "Selection document " + doc + " is not a discovery document: a device lacks one of its values"},
        {"upgrade all without a catalogue", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { std::filesystem::remove(work_ / "fwimage/firmware.cfg"); }, {"/s"}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "not-planned"}}}, true, "",
         "Firmware catalogue " + (work_ / "fwimage/firmware.cfg").string() + " could not be read: ",
         1, nullptr},
        {"discover with a catalogue of no entry", {ultrium_drive(0, "2.05", "0x00a4")},
         [&] { catalogue(""); }, {"/s", "/d", doc}, 0, "Flash failure",
         {{{"device", 0}, {"verdict", "not-planned"}}}, true, "",
         "Firmware catalogue " + (work_ / "fwimage/firmware.cfg").string() + " holds no entry"},
    };
    const std::string usual_lines = "0x00a4|A4.BIN|2.10\n0x00c8|C8.BIN|1.50\n0x00b6|B6.BIN|3.00\n";
    for (const report_case& c : cases) {
        SCOPED_TRACE(c.name);
        forget_run();
        bus_of(c.drives).write(bus_file());
        catalogue(usual_lines);
        image("A4.BIN", "2.10", "0x00a4");
        image("C8.BIN", "1.50", "0x00c8");
        if (c.before) c.before();
        const program_run ran = run(c.args);
        ASSERT_EQ(ran.exit_code, c.exit_code) << ran.out << ran.err;
        if (!c.line.empty()) {
            EXPECT_NE((ran.out + ran.err).find(c.line), std::string::npos) << ran.out << ran.err;
        }
        const json report = this->report();
        EXPECT_EQ(report["exit_code"], c.exit_code);
        EXPECT_EQ(report["result"], c.result);
        EXPECT_EQ(report["simulated_bus"], true);
        // The catalogue's digest is that of the file (sha256sum of the
        // catalogue above), so a tool can tell whether it changed.
        if (c.refusal.is_null()) {
            EXPECT_TRUE(report["refusal"].is_null()) << report["refusal"];
        } else {
            // The same words on standard error (after the program's name),
            // in the setup log and in the report.
            const std::string refusal = report["refusal"].is_string() ? report["refusal"].get<std::string>() : "";
            EXPECT_EQ(refusal.rfind(c.refusal.get<std::string>(), 0), 0u) << refusal;
            EXPECT_NE(ran.err.find("kvtapefw: " + refusal + "\n"), std::string::npos) << ran.err;
            EXPECT_NE(log().find(refusal + "\n"), std::string::npos) << log();
        }
        if (c.scanned) {
            EXPECT_EQ(report["scanned"], *c.scanned);
        }
        if (c.warning) {
            EXPECT_EQ(report["warning"], *c.warning);
        }
        EXPECT_EQ(report["catalogue"].is_null(), !c.catalogue_read);
        const bool usual_catalogue = read_file(work_ / "fwimage/firmware.cfg") == usual_lines;
        if (c.catalogue_read && c.refusal.is_null() && usual_catalogue) {
            EXPECT_EQ(report["catalogue"]["sha256"], "dd439f74806d35ff2773f0027173a5ac0bd692b41914c0991fd4ebe8b909c6b5");
            EXPECT_TRUE(report["catalogue"]["signature"].is_null()) << "no key is trusted";
        }
        ASSERT_EQ(report["devices"].size(), c.devices.size()) << report.dump(2);
        for (std::size_t i = 0; i < c.devices.size(); ++i) {
            for (const auto& [field, value] : c.devices[i].items()) {
                EXPECT_EQ(report["devices"][i][field], value) << "device " << i << " " << field;
            }
        }
    }
}

// With a trusted key, a catalogue no trusted key signed stops every mode
// before any command reaches a drive; a broken key or a missing folder of
// keys refuses the run like a rejected command line.
TEST_F(RunReport, TellsTheCatalogueSignatureAndRefusesWhatNoTrustedKeySigned) {
    using namespace test_support::signing;
    const std::string doc = document().string();
    const std::string refused = "Firmware catalogue fwimage/firmware.cfg is not signed by a trusted key: ";
    const std::string missing_keys = (work_ / "no-such-folder").string();
    struct signature_run {
        const char* name;
        std::vector<sim_json> drives;
        std::string key_file;           // written into the trusted-keys folder
        std::string signature;          // of fwimage/firmware.cfg
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int exit_code;
        std::string line;               // on standard error and in the setup log
        std::string catalogue_text = checked_catalogue;
        std::string record = {};        // the host's record of accepted catalogues before the run
        json expected = {};             // the report's catalogue.signature, when not the usual one
    };
    const sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
    const std::string held = " (1 key trusted in " + trusted_key("").parent_path().string() + ")";
    const std::string empty_keys = (work_ / "empty-keys").string();
    std::filesystem::create_directories(empty_keys);
    const std::string record_5 = "{\"format\":1,\"keys\":{\"" + std::string(signer_fingerprint) + "\":{\"serial\":5}}}";
    const json older = {{"verified", false}, {"key", signer_fingerprint},
                        {"reason", "it is older than one this host already accepted (serial 3 < 5)"},
                        {"serial", 3}, {"expires", nullptr}};
    const json expired = {{"verified", false}, {"key", signer_fingerprint}, {"reason", "it expired on 2020-01-01"},
                          {"serial", 9}, {"expires", "2020-01-01"}};
    const json unkeyed = {{"verified", false}, {"key", nullptr}, {"reason", "no trusted key"}, {"serial", nullptr},
                          {"expires", nullptr}};
    const std::vector<signature_run> runs = {
        {"upgrade all, signed", {drive}, signer_public_key, checked_signature, {"/s"}, {}, 1, ""},
        {"upgrade all, by another key", {drive}, signer_public_key, checked_signature_by_other, {"/s"}, {}, 0,
         refused + "no trusted key verifies its signature" + held},
        {"upgrade all, no drive", {}, signer_public_key, "", {"/s"}, {}, 0,
         refused + "its signature is not one DER ECDSA signature" + held},
        {"discover", {drive}, signer_public_key, checked_signature_by_other, {"/s", "/d", doc}, {}, 0,
         refused + "no trusted key verifies its signature" + held},
        {"upgrade from a document", {drive}, signer_public_key, checked_signature_by_other, {"/s", "/u", doc}, {}, 0,
         refused + "no trusted key verifies its signature" + held},
        {"an older signed catalogue, from a document", {drive}, signer_public_key, serial_3_signature,
         {"/s", "/u", doc}, {}, 0,
         "Firmware catalogue fwimage/firmware.cfg is older than one this host already accepted (serial 3 < 5)",
         serial_3_catalogue, record_5, older},
        {"an expired catalogue, discover", {drive}, signer_public_key, expired_signature, {"/s", "/d", doc}, {}, 0,
         "Firmware catalogue fwimage/firmware.cfg expired on 2020-01-01", expired_catalogue, "", expired},
        {"a signature and no key: read unsigned", {drive}, "", checked_signature, {"/s"}, {}, 1,
         "Firmware catalogue fwimage/firmware.cfg has a signature, but no key is trusted on this host; it is read "
         "unsigned",
         checked_catalogue, "", unkeyed},
        {"a named folder that is empty", {drive}, "", checked_signature, {"/s"}, {{"KVFW_TRUSTED_KEYS", empty_keys}},
         255, "kvtapefw: no trusted key in " + empty_keys + "; signatures are required"},
        {"a broken key file", {drive}, "not a key\n", checked_signature, {"/s"}, {}, 255,
         "Trusted key file " + trusted_key("key.pem").string() + " is not an ECDSA P-256 public key: it is not PEM"},
        {"a trusted-keys folder that is not there", {drive}, signer_public_key, checked_signature, {"/s"},
         {{"KVFW_TRUSTED_KEYS", missing_keys}}, 255, "Trusted keys folder " + missing_keys + " cannot be read"},
    };
    for (const signature_run& r : runs) {
        SCOPED_TRACE(r.name);
        forget_run();
        bus_of(r.drives).write(bus_file());
        catalogue(r.catalogue_text);
        write_file(work_ / "fwimage/firmware.cfg.sig", r.signature);
        write_file(work_ / "fwimage/A4.BIN", firmware_image(image_version, image_hw_config));
        std::filesystem::remove(trusted_key("key.pem"));
        if (!r.key_file.empty()) write_file(trusted_key("key.pem"), r.key_file);
        // On the simulated bus the host's state lies beside the bus file.
        std::filesystem::remove(work_ / "catalogue-serial.json");
        if (!r.record.empty()) write_file(work_ / "catalogue-serial.json", r.record);
        write_file(document(), "an earlier document\n");
        const program_run ran = run(r.args, r.env);
        EXPECT_EQ(ran.exit_code, r.exit_code) << ran.out << ran.err;
        const bool refused_run = !r.line.empty() && r.exit_code != 1;
        EXPECT_EQ(trace_lines(trace(), "exec ").empty(), refused_run) << "nothing reaches a drive";
        EXPECT_EQ(read_file(document()), "an earlier document\n");
        const json report = this->report();
        EXPECT_EQ(report["exit_code"], r.exit_code);
        if (r.exit_code == 255) {
            EXPECT_EQ(ran.out.find("Result :"), std::string::npos);
            EXPECT_TRUE(report["catalogue"].is_null());
        } else {
            EXPECT_NE(ran.out.find(refused_run ? "Result : Flash failure\n" : "Result : Success\n"), std::string::npos);
            EXPECT_EQ(report["catalogue"]["path"], "fwimage/firmware.cfg");
            if (r.catalogue_text == checked_catalogue) {
                EXPECT_EQ(report["catalogue"]["sha256"],
                          "0db662d442ffff9767406c725956c7d625c3bda13587f5ccf76ed9e1dbae1d82");
            }
            const std::string reason = refused_run && r.expected.is_null() ? r.line.substr(refused.size(), r.line.size() - refused.size() -
                                                                                        held.size())
                                                   : "";
            const json expected_signature = {
                {"verified", !refused_run},
                {"key", refused_run ? json(nullptr) : json(signer_fingerprint)},
                {"reason", refused_run ? json(reason) : json(nullptr)},
                {"serial", nullptr},
                {"expires", nullptr}};
            EXPECT_EQ(report["catalogue"]["signature"], r.expected.is_null() ? expected_signature : r.expected);
        }
        if (!r.line.empty()) {
            EXPECT_NE(ran.err.find(r.line + "\n"), std::string::npos) << ran.err;
            // The setup log has the same words without the program's name.
            const std::string prefix = "kvtapefw: ";
            const std::string logged = r.line.rfind(prefix, 0) == 0 ? r.line.substr(prefix.size()) : r.line;
            EXPECT_NE(log().find(logged + "\n"), std::string::npos) << log();
        }
    }
}

// The deployment's check after staging: one line, exit 0 only for what a run
// would accept; nothing recorded, no drive touched, no setup-log line.
TEST_F(RunReport, CheckCatalogueSaysWhetherARunWouldAcceptIt) {
    using namespace test_support::signing;
    const std::string folder = (work_ / "fwimage").string();
    const std::string record_5 = "{\"format\":1,\"keys\":{\"" + std::string(signer_fingerprint) + "\":{\"serial\":5}}}";
    struct check_row {
        const char* name;
        std::string catalogue_text, signature, record;
        bool key, link_outside;
        int exit_code;
        std::string said;
    };
    const std::string refused = "kvtapefw: catalogue " + folder + "/firmware.cfg does not verify: ";
    const std::vector<check_row> rows = {
        {"a signed catalogue", serial_5_catalogue, serial_5_signature, record_5, true, false, 0,
         "kvtapefw: catalogue " + folder + "/firmware.cfg verifies: key " + signer_fingerprint +
             ", serial 5, expires 2999-12-31, 1 image\n"},
        {"older than the host accepted", serial_3_catalogue, serial_3_signature, record_5, true, false, 1,
         refused + "it is older than one this host already accepted (serial 3 < 5)\n"},
        {"expired", expired_catalogue, expired_signature, "", true, false, 1, refused + "it expired on 2020-01-01\n"},
        {"by another key", checked_catalogue, checked_signature_by_other, "", true, false, 1,
         refused + "no trusted key verifies its signature\n"},
        {"no key on the host", checked_catalogue, checked_signature, "", false, false, 1, refused + "no trusted key\n"},
        {"an image linked outside the folder", checked_catalogue, checked_signature, "", true, true, 1,
         refused + "image A4.BIN lies outside the firmware folder\n"},
    };
    for (const check_row& r : rows) {
        SCOPED_TRACE(r.name);
        forget_run();
        bus_of({ultrium_drive(0, "2.05", "0x00a4")}).write(bus_file());
        catalogue(r.catalogue_text);
        write_file(work_ / "fwimage/firmware.cfg.sig", r.signature);
        std::filesystem::remove(work_ / "fwimage/A4.BIN");
        write_file(work_ / "A4.BIN", firmware_image(image_version, image_hw_config));
        if (r.link_outside) {
            std::filesystem::create_symlink("../A4.BIN", work_ / "fwimage/A4.BIN");
        } else {
            std::filesystem::copy_file(work_ / "A4.BIN", work_ / "fwimage/A4.BIN");
        }
        std::filesystem::remove(trusted_key("key.pem"));
        if (r.key) write_file(trusted_key("key.pem"), signer_public_key);
        std::filesystem::remove(work_ / "catalogue-serial.json");
        if (!r.record.empty()) write_file(work_ / "catalogue-serial.json", r.record);
        const program_run ran = run({"--check-catalogue", folder});
        EXPECT_EQ(ran.exit_code, r.exit_code) << ran.out << ran.err;
        EXPECT_EQ(ran.out, r.said);
        EXPECT_EQ(log(), "") << "no setup-log line";
        EXPECT_FALSE(std::filesystem::exists(trace())) << "no drive touched";
        EXPECT_FALSE(std::filesystem::exists(report_file()));
        if (!r.record.empty()) {
            EXPECT_EQ(read_file(work_ / "catalogue-serial.json"), r.record) << "nothing recorded";
        } else {
            EXPECT_FALSE(std::filesystem::exists(work_ / "catalogue-serial.json")) << "nothing recorded";
        }
    }
}

TEST_F(RunReport, OneThatCannotBeWrittenLeavesTheRunAsItWas) {
    bus_of({ultrium_drive(0, "2.10", "0x00a4")}).write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    // A FIFO that nobody reads stands where the report would go: it gets
    // the report once, at the end, and is not waited for.
    const std::string fifo = report_file().string() + ".fifo";
    ASSERT_TRUE(make_fifo(fifo));
    const program_run ran = run({"/s"}, {{"KVFW_REPORT", fifo}});
    EXPECT_EQ(ran.exit_code, 1);
    EXPECT_NE(ran.out.find("Result : Success\n"), std::string::npos);
    EXPECT_NE(ran.err.find("the run report " + fifo + " could not be written (nothing reads from it)"),
              std::string::npos)
        << ran.err;
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

}  // namespace

namespace {

using namespace test_support;
using json = nlohmann::json;

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class HostMemory : public ::testing::Test, protected program_bench {
protected:
    std::vector<json> history() const {
        std::vector<json> lines;
        for (const std::string& line : read_lines(history_file())) lines.push_back(json::parse(line));
        return lines;
    }
};

// Every run of a mode that reached the drives leaves one line, and only such
// a run; --history shows them oldest first, --history --json as written.
TEST_F(HostMemory, EveryRunThatReachedTheDrivesIsOneLineOfTheHistory) {
    const std::string doc = document().string();
    bus_of({ultrium_drive(0, "2.05", "0x00a4"), failing_chunk(ultrium_drive(1, "1.00", "0x00c8"))}).write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n0x00c8|C8.BIN|1.50\n");
    image("A4.BIN", "2.10", "0x00a4");
    image("C8.BIN", "1.50", "0x00c8");
    ASSERT_EQ(run({"/s", "/d", doc}).exit_code, 1);
    ASSERT_EQ(run({"/s"}).exit_code, 0);
    // Refused before any drive, or no run of a mode at all: not remembered.
    ASSERT_EQ(run({"/s", "/u", (work_ / "no-such.xml").string()}).exit_code, 0);
    ASSERT_EQ(run({"/h"}).exit_code, 255);
    ASSERT_EQ(run({"--list"}).exit_code, 0);
    bus_of({}).write(bus_file());
    ASSERT_EQ(run({"/s"}).exit_code, 3);

    const std::vector<json> lines = history();
    ASSERT_EQ(lines.size(), 3u) << read_file(history_file());
    EXPECT_EQ(lines[0]["mode"], "discover");
    EXPECT_EQ(lines[0]["exit_code"], 1);
    EXPECT_EQ(lines[0]["drives"][0],
              (json{{"node", tape_device_name(0)}, {"vendor", "KV"}, {"product", "ULTRIUM-HH6"},
                    {"serial", lines[0]["drives"][0]["serial"]}, {"firmware_before", "2.05"},
                    {"firmware_after", nullptr}, {"target", "2.10"}, {"action", "upgrade"}, {"verdict", "planned"},
                    {"reason", "written to the discovery document"}}));
    EXPECT_TRUE(lines[0]["drives"][0]["serial"].is_string());
    EXPECT_EQ(lines[1]["mode"], "upgrade-all");
    EXPECT_EQ(lines[1]["result"], "Flash failure");
    EXPECT_EQ(lines[1]["drives"][0]["firmware_after"], "2.10");
    EXPECT_EQ(lines[1]["drives"][0]["verdict"], "success");
    EXPECT_EQ(lines[1]["drives"][1]["node"], tape_device_name(1));
    EXPECT_EQ(lines[1]["drives"][1]["verdict"], "failed");
    EXPECT_EQ(lines[2]["exit_code"], 3);
    EXPECT_EQ(lines[2]["drives"], json::array());

    const program_run as_json = run({"--history", "--json"});
    EXPECT_EQ(as_json.exit_code, 0);
    EXPECT_EQ(as_json.out, read_file(history_file()));
    const program_run table = run({"--history"});
    EXPECT_EQ(table.exit_code, 0);
    const std::vector<std::string> rows = split_lines(table.out);
    // Heading, rule, one row per drive of each run (a run of none has one).
    ASSERT_EQ(rows.size(), 7u) << table.out;
    EXPECT_EQ(rows[0].rfind("Finished", 0), 0u);
    EXPECT_NE(rows[5].find(tape_device_name(1)), std::string::npos) << rows[5];
    EXPECT_NE(rows[5].find("  1.00    1.00   1.50    failed"), std::string::npos) << rows[5];
    EXPECT_NE(rows[6].find("upgrade-all  Nothing to be done"), std::string::npos) << rows[6];
    EXPECT_EQ(log().find("Finished"), std::string::npos) << "reading the history writes no log line";
}

TEST_F(HostMemory, AHistoryThatCannotBeWrittenIsSaidOnceAndChangesNothing) {
    bus_of({ultrium_drive(0, "2.10", "0x00a4")}).write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    const std::string elsewhere = (work_ / "state").string();
    std::filesystem::create_directories(elsewhere);
    // KVFW_STATE_DIR wins over the bus file's folder.
    ASSERT_EQ(run({"/s"}, {{"KVFW_STATE_DIR", elsewhere}}).exit_code, 1);
    EXPECT_EQ(read_lines(work_ / "state/history.jsonl").size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(history_file()));
    // A missing folder is made; one under a file cannot be.
    ASSERT_EQ(run({"/s"}, {{"KVFW_STATE_DIR", (work_ / "new").string()}}).exit_code, 1);
    EXPECT_EQ(read_lines(work_ / "new/history.jsonl").size(), 1u);
    write_file(work_ / "a-file", "");
    const std::string missing = (work_ / "a-file/state").string();
    const program_run ran = run({"/s"}, {{"KVFW_STATE_DIR", missing}});
    EXPECT_EQ(ran.exit_code, 1);
    EXPECT_NE(ran.out.find("Result : Success\n"), std::string::npos);
    const std::string said = "kvtapefw: the run history " + missing +
                             "/history.jsonl cannot be opened for appending (Not a directory); the run is "
                             "not remembered there\n";
    EXPECT_NE(ran.err.find(said), std::string::npos) << ran.err;
    EXPECT_EQ(ran.err.find(said), ran.err.rfind(said)) << "once";
    const program_run none = run({"--history"}, {{"KVFW_STATE_DIR", missing}});
    EXPECT_EQ(none.exit_code, 0);
    EXPECT_EQ(none.out, "No run is remembered in " + missing + "/history.jsonl yet.\n");
}

// --list scans and says, per drive of the maker, what upgrade all would do;
// it sends only the scan's commands and leaves no log line, report or history.
TEST_F(HostMemory, TheListShowsEachDriveOfTheMakerAndWhatUpgradeAllWouldDo) {
    bus_of({ultrium_drive(0, "2.05", "0x00a4"), other_drive(1, "KTR320", "1.10", "0x0320"),
            with_key(ultrium_drive(2, "1.00", "0x00a4"), "open", "fail"), ultrium_drive(3, "2.10", "0x00a4"),
            ultrium_drive(4, "3.00", "0x00a4"),
            with_key(other_drive(5, "KTR320", "1.10", "0x0320"), "vendor", "ACME")})
        .write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    struct row {
        int device;
        const char* upgrade_all;
        const char* said;  // the table's last column
    };
    const row rows[] = {{0, "upgrade", "upgrade to 2.10"},
                        {1, "no-image", "no image"},
                        {2, "unexaminable", "could not be examined: it would not open; another program may hold it"},
                        {3, "current", "current"},
                        {4, "newer", "current (newer than the catalogue)"}};

    const program_run listed = run({"-l", "--json"});
    EXPECT_EQ(listed.exit_code, 0) << listed.err;
    write_file(work_ / "list.json", listed.out);
    const std::string check = std::string("python3 ") + KVFW_SOURCE_DIR + "/tests/support/check_report.py " +
                              KVFW_SOURCE_DIR + "/docs/drive-list.schema.json " + (work_ / "list.json").string();
    EXPECT_EQ(std::system(check.c_str()), 0) << listed.out;
    const json list = json::parse(listed.out);
    EXPECT_EQ(list["scanned"], 6);
    ASSERT_EQ(list["drives"].size(), std::size(rows)) << listed.out;
    const program_run table = run({"--list"});
    EXPECT_EQ(table.exit_code, 0);
    const std::vector<std::string> lines = split_lines(table.out);
    ASSERT_EQ(lines.size(), std::size(rows) + 2) << table.out;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const json& drive = list["drives"][i];
        EXPECT_EQ(drive["node"], tape_device_name(static_cast<std::uint32_t>(rows[i].device)));
        EXPECT_EQ(drive["upgrade_all"], rows[i].upgrade_all) << i;
        const std::string& line = lines[i + 2];
        EXPECT_EQ(line.rfind(drive["node"].get<std::string>(), 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - std::string(rows[i].said).size()), rows[i].said) << line;
    }
    EXPECT_EQ(list["drives"][0]["firmware"], "2.05");
    EXPECT_EQ(list["drives"][0]["catalogue_version"], "2.10");
    EXPECT_TRUE(flashed().empty());
    EXPECT_EQ(log(), "");
    EXPECT_FALSE(std::filesystem::exists(report_file()));
    EXPECT_FALSE(std::filesystem::exists(history_file()));
}

}  // namespace
