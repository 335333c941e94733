// Only a catalogue a trusted key signed sends anything to a drive: the run
// driver in this process, on a simulated bus, with keys and signatures made
// by openssl (support/signing_fixtures.h: test keys only). The same table
// runs in the Windows test program, where CNG checks the signatures.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/run_driver.h"
#include "inventory/catalogue_freshness.h"
#include "platform/signature.h"
#include "support/capture.h"
#include "support/signing_fixtures.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;
using namespace test_support::signing;
namespace fs = std::filesystem;

using key_files = std::vector<std::pair<std::string, std::string>>;

// Where the keys are looked for: a folder named by KVFW_TRUSTED_KEYS, the
// variable set but empty, or the system's folder (not named), which is
// missing in the rows that say so.
enum class key_folder { named, named_empty, system, system_missing };

struct signature_case {
    const char* name;
    key_files keys;
    std::size_t trusted;  // keys taken
    std::string catalogue;
    std::optional<std::string> signature;  // none: no signature file
    std::string image;
    int code;             // -1: the keys are refused and the run never starts
    std::string refusal;  // why the catalogue is refused; empty when it is not
    bool flashed;
    std::string log_line = {};  // a line of the setup log, when given
    key_folder folder = key_folder::named;
    // The host's record of accepted catalogues before the run (the signer's
    // serial; -1: no record), and the signer's serial in it after.
    int serial_before = -1;
    int serial_after = -1;
    std::string other_key_serial = {};  // a record of another key, as JSON: {"serial":n}
    // Who else could change the keys (POSIX rows; on Windows the security
    // descriptor's rows are below).
    enum reach { only_admins, key_group_writable, key_others_writable, folder_others_writable, key_other_owner,
                 folder_other_owner, key_linked_to_open_folder, key_linked_inside } who = only_admins;
};

// Opens the key folder (holding signer.pem) to someone else, as the row says.
// `elsewhere` is a folder of the test's own, outside the key folder.
void change_reach(signature_case::reach who, const fs::path& folder, const fs::path& elsewhere) {
    using reach = signature_case::reach;
    const fs::path key = folder / "signer.pem";
    constexpr unsigned nobody = 65534;
    switch (who) {
        case reach::only_admins: return;
        case reach::key_group_writable:
            fs::permissions(key, fs::perms::group_write, fs::perm_options::add);
            return;
        case reach::folder_others_writable: ASSERT_TRUE(open_to_everyone(folder)); return;
        case reach::key_others_writable: ASSERT_TRUE(open_to_everyone(key)); return;
        case reach::key_other_owner: ASSERT_TRUE(change_owner(key, nobody)); return;
        case reach::folder_other_owner: ASSERT_TRUE(change_owner(folder, nobody)); return;
        case reach::key_linked_to_open_folder:
        case reach::key_linked_inside: {
            const fs::path target_folder = elsewhere / "keys";
            fs::create_directories(target_folder);
            fs::rename(key, target_folder / "signer.pem");
            fs::create_symlink(target_folder / "signer.pem", key);
            // A folder anyone may write: the key could be swapped there.
            if (who == reach::key_linked_to_open_folder) fs::permissions(target_folder, fs::perms::all);
            return;
        }
    }
}

std::string hex_of(const sha256_digest& digest) { return test_support::hex_text(digest.data(), digest.size()); }

std::string digest_text(const std::string& bytes) { return hex_of(*sha256_of_bytes(bytes.data(), bytes.size())); }

// A WRITE BUFFER reached the drive at device 0.
bool image_sent(const fs::path& trace) {
    for (const std::string& cdb : traced_cdbs(trace, 0)) {
        if (cdb.rfind("3b", 0) == 0) return true;
    }
    return false;
}

TEST(CatalogueSignature, OnlyWhatATrustedKeySignedIsSent) {
    const std::string image = test_support::firmware_image(image_version, image_hw_config);
    const std::string other_image = test_support::firmware_image("2.11", image_hw_config);
    std::string changed_byte = checked_catalogue;
    changed_byte[2] = 'S';  // "$ Signed test catalogue": a comment, yet part of what was signed
    std::string changed_image_line = checked_catalogue;
    changed_image_line.replace(changed_image_line.find("sha256:") + 7, 64, digest_text(other_image));
    const key_files signer = {{"signer.pem", signer_public_key}};
    const std::string no_key_verifies = "no trusted key verifies its signature";
    const std::string malformed = "its signature is not one DER ECDSA signature";

    const std::string not_keys = "; signatures are required (it holds no *.pem file, only notes.txt)";
    const std::string older_5 = "it is older than one this host already accepted (serial 3 < 5)";
    const std::string none_5 = "it is older than one this host already accepted (serial none < 5)";
    const std::string expired = "it expired on 2020-01-01";
    const std::string certificate = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

    std::vector<signature_case> cases = {
        {"a valid signature", signer, 1, checked_catalogue, checked_signature, image, 1, "", true},
        {"one byte of the catalogue changed", signer, 1, changed_byte, checked_signature, image, 0, no_key_verifies,
         false},
        {"an image changed with its checksum line", signer, 1, changed_image_line, checked_signature, other_image, 0,
         no_key_verifies, false},
        {"a signature by another key", signer, 1, checked_catalogue, checked_signature_by_other, image, 0,
         no_key_verifies, false},
        {"the signature of another file", signer, 1, checked_catalogue, unchecked_signature, image, 0, no_key_verifies,
         false},
        {"a truncated signature", signer, 1, checked_catalogue,
         checked_signature.substr(0, checked_signature.size() - 1), image, 0, malformed, false},
        {"an empty signature", signer, 1, checked_catalogue, std::string(), image, 0, malformed, false},
        {"a byte after the signature", signer, 1, checked_catalogue, checked_signature + std::string(1, '\0'), image, 0,
         malformed, false},
        {"no signature", signer, 1, checked_catalogue, std::nullopt, image, 0,
         "its signature fwimage/firmware.cfg.sig is missing", false},
        {"a line without a checksum", signer, 1, unchecked_catalogue, unchecked_signature, image, 0, "", false,
         "Firmware image fwimage/A4.BIN has no checksum in the signed catalogue"},
        {"two trusted keys, the second signed",
         {{"1-other.pem", other_public_key}, {"2-signer.pem", signer_public_key}}, 2, checked_catalogue,
         checked_signature, image, 1, "", true},
        {"a key file named in capitals", {{"K1.PEM", signer_public_key}}, 1, checked_catalogue, checked_signature,
         image, 1, "", true},
        {"a broken key file beside a good one", {{"signer.pem", signer_public_key}, {"broken.pem", "not a key\n"}},
         0, checked_catalogue, checked_signature, image, -1, "", false,
         "broken.pem is not an ECDSA P-256 public key: it is not PEM"},
        {"a private key", {{"signer.pem", signer_private_key}}, 0, checked_catalogue, checked_signature, image, -1, "",
         false, "signer.pem is not an ECDSA P-256 public key: it holds a private key, not a public key"},
        {"a certificate before the key", {{"signer.pem", certificate + signer_public_key}}, 0, checked_catalogue,
         checked_signature, image, -1, "", false,
         "signer.pem is not an ECDSA P-256 public key: it holds more than one PEM block"},
        {"a key beside a file that is no key", {{"signer.pem", signer_public_key}, {"notes.txt", "x\n"}}, 1,
         checked_catalogue, checked_signature, image, 1, "", true, "holds notes.txt, which is not a key file (*.pem); "
         "it is skipped"},
        {"a named folder that is empty", {}, 0, unchecked_catalogue, std::nullopt, image, -1, "", false,
         "; signatures are required"},
        {"a named folder without a key file", {{"notes.txt", "keys go in *.pem files\n"}}, 0, unchecked_catalogue,
         std::nullopt, image, -1, "", false, not_keys},
        {"the variable set but empty", {}, 0, unchecked_catalogue, std::nullopt, image, -1, "", false,
         "kvtapefw: KVFW_TRUSTED_KEYS is set but empty; signatures are required", key_folder::named_empty},
        {"the system's folder missing: read as always", {}, 0, unchecked_catalogue, std::nullopt, image, 1, "", true,
         "", key_folder::system_missing},
        {"the system's folder empty: read as always", {}, 0, unchecked_catalogue, std::nullopt, image, 1, "", true, "",
         key_folder::system},
        {"the system's folder holding anything requires signatures", {{"notes.txt", "x\n"}}, 0, unchecked_catalogue,
         std::nullopt, image, -1, "", false, not_keys, key_folder::system},
        {"a signature but no key: said, and read unsigned", {}, 0, checked_catalogue, checked_signature, image, 1, "",
         true,
         "Firmware catalogue fwimage/firmware.cfg has a signature, but no key is trusted on this host; it is read "
         "unsigned",
         key_folder::system_missing},
        // Replay: the host keeps the highest serial it accepted per key.
        {"a first serial is recorded", signer, 1, serial_5_catalogue, serial_5_signature, image, 1, "", true, "",
         key_folder::named, -1, 5},
        {"the same serial again (a re-run)", signer, 1, serial_5_catalogue, serial_5_signature, image, 1, "", true, "",
         key_folder::named, 5, 5},
        {"a higher serial replaces the record", signer, 1, serial_5_catalogue, serial_5_signature, image, 1, "", true,
         "", key_folder::named, 3, 5},
        {"an older signed catalogue after a newer one", signer, 1, serial_3_catalogue, serial_3_signature, image, 0,
         older_5, false,
         "Firmware catalogue fwimage/firmware.cfg is older than one this host already accepted (serial 3 < 5)",
         key_folder::named, 5, 5},
        {"no serial after one with a serial", signer, 1, checked_catalogue, checked_signature, image, 0, none_5, false,
         "", key_folder::named, 5, 5},
        {"no serial after one by another key", signer, 1, checked_catalogue, checked_signature, image, 0, none_5,
         false, "", key_folder::named, -1, -1, "{\"serial\":5}"},
        {"a lower serial than another key's", signer, 1, serial_3_catalogue, serial_3_signature, image, 1, "", true,
         "", key_folder::named, -1, 3, "{\"serial\":7}"},
        {"an expired catalogue", signer, 1, expired_catalogue, expired_signature, image, 0, expired, false,
         "Firmware catalogue fwimage/firmware.cfg expired on 2020-01-01", key_folder::named, 5, 5},
        {"a serial that does not read", signer, 1, unreadable_serial_catalogue, unreadable_serial_signature, image, 0,
         "its $serial line is not a decimal number from 0 to 4294967295", false, "", key_folder::named, -1, -1},
    };
#ifndef _WIN32
    // Keys only an administrator could have placed (tests run as root or as
    // the user who owns the scratch folders: both are trusted owners).
    using reach = signature_case::reach;
    const std::string writable = " is writable by others; it is not trusted";
    const std::string other_owner = " is owned by another user; it is not trusted";
    const std::vector<std::pair<reach, std::string>> reaches = {
        {reach::key_group_writable, "signer.pem" + writable},
        {reach::key_others_writable, "signer.pem" + writable},
        {reach::folder_others_writable, writable},
        {reach::key_other_owner, "signer.pem" + other_owner},
        {reach::folder_other_owner, other_owner},
        {reach::key_linked_to_open_folder, "keys/signer.pem)" + writable},
    };
    cases.push_back({"a key linked to a file in a folder only admins reach", signer, 1, checked_catalogue,
                     checked_signature, image, 1, "", true, "", key_folder::named, -1, -1, "",
                     reach::key_linked_inside});
#else
    // The same through the security descriptor, as far as Wine keeps one.
    using reach = signature_case::reach;
    const std::string writable = " is writable by others; it is not trusted";
    const std::vector<std::pair<reach, std::string>> reaches = {
        {reach::key_others_writable, "signer.pem" + writable},
        {reach::folder_others_writable, writable},
    };
#endif
    for (const auto& [who, line] : reaches) {
        cases.push_back({"a key others could change", signer, 0, checked_catalogue, checked_signature, image, -1, "",
                         false, line, key_folder::named, -1, -1, "", who});
    }

    for (const signature_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir work, drive, keys, state, scratch_of_links;
        fs::create_directories(drive / "vtxsystem/log");
        scoped_env systemdrive("systemdrive", drive.str().c_str());
        scoped_env state_dir("KVFW_STATE_DIR", state.str().c_str());
        current_dir here(work.path());
        const fs::path folder = c.folder == key_folder::system_missing ? keys / "absent" : keys.path();
        for (const auto& [name, text] : c.keys) {
            write_file(folder / name, text);
            fs::permissions(folder / name, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                               fs::perms::others_read);
        }
        // Whatever the umask: a folder only its owner may write.
        if (fs::exists(folder)) fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read |
                                                            fs::perms::group_exec | fs::perms::others_read |
                                                            fs::perms::others_exec);
        change_reach(c.who, folder, scratch_of_links.path());
        write_file(work / "fwimage/firmware.cfg", c.catalogue);
        if (c.signature) write_file(work / "fwimage/firmware.cfg.sig", *c.signature);
        write_file(work / "fwimage/A4.BIN", c.image);
        const fs::path record = state / "catalogue-serial.json";
        std::string before;
        if (c.serial_before >= 0) before = "\"" + std::string(signer_fingerprint) + "\":{\"serial\":" +
                                           std::to_string(c.serial_before) + "}";
        if (!c.other_key_serial.empty()) {
            before += (before.empty() ? "\"" : ",\"") + std::string(64, 'e') + "\":" + c.other_key_serial;
        }
        if (!before.empty()) write_file(record, "{\"format\":1,\"keys\":{" + before + "}}");
        installed_bus bus(bus_of({ultrium_drive(0, "2.05", "0x00a4")}));

        run_facts facts;
        bool keys_taken = false;
        const bool named = c.folder == key_folder::named || c.folder == key_folder::named_empty;
        const std::string folder_text = c.folder == key_folder::named_empty ? "" : folder.string();
        const std::string key_error =
            capture_stderr([&] { keys_taken = take_trusted_keys(facts, folder_text, named); });
        const std::string log_file = (drive / "vtxsystem/log/vtxsetup.log").string();
        if (c.code == -1) {
            EXPECT_FALSE(keys_taken);
            EXPECT_NE(key_error.find(c.log_line), std::string::npos) << key_error;
            // The setup log has the same words without the program's name.
            const std::string prefix = "kvtapefw: ";
            const std::string logged = c.log_line.rfind(prefix, 0) == 0 ? c.log_line.substr(prefix.size()) : c.log_line;
            EXPECT_NE(read_file(log_file).find(logged), std::string::npos);
            EXPECT_NE(facts.refusal.find(logged), std::string::npos) << facts.refusal;
            continue;
        }
        ASSERT_TRUE(keys_taken) << key_error;
        EXPECT_EQ(facts.trusted_keys.size(), c.trusted);
        command_options options{};
        options.all = options.silent = 1;
        int code = -2;
        std::string out;
        const std::string err =
            capture_stderr([&] { out = capture_stdout([&] { code = run_driver(options, facts); }); });
        EXPECT_EQ(code, c.code) << out << err;
        EXPECT_EQ(traced_cdbs(bus.trace_file()).empty(), !c.refusal.empty()) << "a refused catalogue sends nothing";
        EXPECT_EQ(image_sent(bus.trace_file()), c.flashed);
        if (!c.log_line.empty()) {
            EXPECT_NE(read_file(log_file).find(c.log_line), std::string::npos);
        }
        // The record changes only for a catalogue that was accepted.
        if (c.serial_after < 0 && before.empty()) {
            EXPECT_FALSE(fs::exists(record));
        } else {
            const nlohmann::json kept = nlohmann::json::parse(read_file(record));
            const auto& by_key = kept["keys"];
            EXPECT_EQ(by_key.contains(signer_fingerprint) ? by_key[signer_fingerprint]["serial"].get<int>() : -1,
                      c.serial_after);
        }

        if (c.trusted == 0) {
            // Said once, and told in the report; without a signature, nothing.
            if (c.signature) {
                ASSERT_TRUE(facts.catalogue_signature.has_value());
                EXPECT_FALSE(facts.catalogue_signature->verified);
                EXPECT_EQ(facts.catalogue_signature->reason, "no trusted key");
                EXPECT_EQ(err, c.log_line + "\n");
            } else {
                EXPECT_FALSE(facts.catalogue_signature.has_value());
            }
            continue;
        }
        ASSERT_TRUE(facts.catalogue_signature.has_value());
        const signature_check& check = *facts.catalogue_signature;
        EXPECT_EQ(check.verified, c.refusal.empty());
        EXPECT_EQ(check.reason, c.refusal);
        // A refusal after the signature verified still names the key that made it.
        const bool signed_by_signer = c.refusal.empty() || (c.refusal.rfind("its signature", 0) != 0 &&
                                                            c.refusal != no_key_verifies && c.refusal != malformed);
        EXPECT_EQ(check.key ? hex_of(*check.key) : "", signed_by_signer ? signer_fingerprint : "");
        const std::string keys_held = c.trusted == 1 ? " (1 key trusted in " : " (2 keys trusted in ";
        std::string refusal_line;
        if (!signed_by_signer) {
            refusal_line = "Firmware catalogue fwimage/firmware.cfg is not signed by a trusted key: " + c.refusal +
                           keys_held + folder.string() + ")\n";
        } else if (!c.refusal.empty()) {
            refusal_line = c.log_line.empty() ? err.substr(std::string("kvtapefw: ").size()) : c.log_line + "\n";
        }
        // Standard error carries the program's name; the setup log and the
        // report's refusal carry the same words without it.
        EXPECT_EQ(err, refusal_line.empty() ? "" : "kvtapefw: " + refusal_line);
        EXPECT_EQ(facts.refusal, refusal_line.empty() ? "" : refusal_line.substr(0, refusal_line.size() - 1));
        if (!c.refusal.empty()) {
            EXPECT_EQ(facts.discovered, nullptr) << "the bus is not scanned";
            EXPECT_EQ(read_file(log_file), refusal_line);
        }
    }
}

// The header lines a release carries, and how they stand against the
// calendar (to the end of the day, UTC) and the host's record.
TEST(CatalogueSignature, SerialAndExpiryLines) {
    struct header_row {
        std::string text;
        long long serial;  // -1: none
        std::string expires;
        std::string problem;
    };
    const header_row rows[] = {
        {"$serial 12\r\n$expires 2027-06-30\r\n0x1|A.BIN|1\n", 12, "2027-06-30", ""},
        {"$SERIAL\t7 \n", 7, "", ""},
        {"$serial 4294967295\n", 4294967295LL, "", ""},
        {"$ serial 5\n$serialize 5\n $serial 5\n", -1, "", ""},  // comments and a data line, not headers
        {"0x1|A.BIN|1\n\x1a$serial 5\n", -1, "", ""},              // after Ctrl-Z: no part of the text
        {"$serial 4294967296\n", -1, "", "its $serial line is not a decimal number from 0 to 4294967295"},
        {"$serial -1\n", -1, "", "its $serial line is not a decimal number from 0 to 4294967295"},
        {"$serial\t\n", -1, "", "its $serial line is not a decimal number from 0 to 4294967295"},
        {"$serial 5\n$serial 6\n", 5, "", "it has more than one $serial line"},
        {"$expires 2027-02-29\n", -1, "", "its $expires line is not a date YYYY-MM-DD"},
        {"$expires 2027-06-30\n$expires 2028-01-01\n", -1, "2027-06-30", "it has more than one $expires line"},
    };
    for (const header_row& row : rows) {
        SCOPED_TRACE(row.text);
        const catalogue_header header = read_catalogue_header(row.text);
        EXPECT_EQ(header.serial ? static_cast<long long>(*header.serial) : -1, row.serial);
        EXPECT_EQ(header.expires, row.expires);
        EXPECT_EQ(header.problem, row.problem);
    }

    const std::int64_t last_day = 1814313600;  // 2027-06-30T00:00:00Z
    catalogue_header expiring = read_catalogue_header("$serial 5\n$expires 2027-06-30\n");
    serial_record record;
    record.serials["a"] = 5;
    std::uint32_t accepted = 0;
    EXPECT_EQ(judge_freshness(expiring, record, "a", last_day + 86399, accepted), freshness::fresh);
    EXPECT_EQ(judge_freshness(expiring, record, "a", last_day + 86400, accepted), freshness::expired);
    record.serials["a"] = 6;
    EXPECT_EQ(judge_freshness(expiring, record, "a", last_day, accepted), freshness::older);
    EXPECT_EQ(accepted, 6u);
    EXPECT_EQ(judge_freshness(expiring, record, "b", last_day, accepted), freshness::fresh) << "by key";
    EXPECT_FALSE(serial_to_record(expiring, record, "a"));
    EXPECT_TRUE(serial_to_record(expiring, record, "b"));
}

TEST(CatalogueSignature, KeyFiles) {
    std::string crlf;
    for (const char c : signer_public_key) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string not_base64 = signer_public_key;
    not_base64[40] = '*';
    const std::string no_end = signer_public_key.substr(0, signer_public_key.find("-----END"));
    const std::pair<std::string, std::string> rows[] = {
        {signer_public_key, ""},
        {crlf, ""},
        {"", "it is not PEM"},
        {signer_private_key, "it holds a private key, not a public key"},
        {p384_public_key, "its curve is not P-256"},
        {compressed_public_key, "its point is not an uncompressed P-256 point"},
        {not_base64, "its PEM block is not base64"},
        {no_end, "its PEM block has no end"},
        {signer_public_key + other_public_key, "it holds more than one PEM block"},
        {"-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n", "it holds no PEM public key"},
    };
    for (const auto& [text, why] : rows) {
        public_key key;
        std::string said;
        EXPECT_EQ(read_public_key(text, key, said), why.empty()) << why;
        EXPECT_EQ(said, why);
        if (why.empty()) {
            EXPECT_EQ(hex_of(key.fingerprint), signer_fingerprint);
        }
    }
}

TEST(CatalogueSignature, OneDerSignatureAndNothingElse) {
    const std::string r_high = std::string("\x02\x21\x00", 3) + std::string(1, '\x80') + std::string(31, '\x01');
    const std::pair<std::string, bool> rows[] = {
        {std::string("\x30\x06\x02\x01\x01\x02\x01\x02", 8), true},
        {"\x30\x26" + r_high + std::string("\x02\x01\x02", 3), true},
        {std::string(64, '\x11'), false},                                  // a bare pair r, s
        {std::string("\x30\x06\x02\x01\x01\x02\x01\x02\x00", 9), false},   // a byte after it
        {std::string("\x30\x06\x02\x01\x81\x02\x01\x02", 8), false},       // negative r
        {std::string("\x30\x07\x02\x02\x00\x01\x02\x01\x02", 9), false},   // r padded
        {std::string("\x30\x06\x02\x01\x00\x02\x01\x02", 8), false},       // r zero
        {"\x30\x26\x02\x21" + std::string(33, '\x01') + std::string("\x02\x01\x02", 3), false},  // r of 33 bytes
        {std::string("\x30\x81\x06\x02\x01\x01\x02\x01\x02", 9), false},   // length not in its shortest form
        {std::string("\x30\x80\x02\x01\x01\x02\x01\x02\x00\x00", 10), false},  // indefinite length
        {std::string("\x30\x09\x02\x01\x01\x02\x01\x02\x02\x01\x03", 11), false},  // three integers
    };
    for (const auto& [der, well_formed] : rows) {
        ecdsa_signature signature{};
        EXPECT_EQ(read_ecdsa_signature(der, signature), well_formed)
            << test_support::hex_text(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
        if (well_formed) {
            EXPECT_EQ(signature.r_s[63], 2);
        }
    }
}

}  // namespace
