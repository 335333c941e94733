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

#include "app/run_driver.h"
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
};

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

    const std::vector<signature_case> cases = {
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
        {"a broken key file beside a good one", {{"signer.pem", signer_public_key}, {"broken.pem", "not a key\n"}},
         0, checked_catalogue, checked_signature, image, -1, "", false,
         "broken.pem is not an ECDSA P-256 public key: it is not PEM"},
        {"a private key", {{"signer.pem", signer_private_key}}, 0, checked_catalogue, checked_signature, image, -1, "",
         false, "signer.pem is not an ECDSA P-256 public key: it holds a private key, not a public key"},
        {"no key: read as always", {{"notes.txt", "keys go in *.pem files\n"}}, 0, unchecked_catalogue, std::nullopt,
         image, 1, "", true},
    };
    for (const signature_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir work, drive, keys;
        fs::create_directories(drive / "vtxsystem/log");
        scoped_env systemdrive("systemdrive", drive.str().c_str());
        scoped_env trusted("KVFW_TRUSTED_KEYS", keys.str().c_str());
        current_dir here(work.path());
        for (const auto& [name, text] : c.keys) write_file(keys / name, text);
        write_file(work / "fwimage/firmware.cfg", c.catalogue);
        if (c.signature) write_file(work / "fwimage/firmware.cfg.sig", *c.signature);
        write_file(work / "fwimage/A4.BIN", c.image);
        installed_bus bus(bus_of({ultrium_drive(0, "2.05", "0x00a4")}));

        run_facts facts;
        bool keys_taken = false;
        const std::string key_error = capture_stderr([&] { keys_taken = take_trusted_keys(facts); });
        const std::string log_file = (drive / "vtxsystem/log/vtxsetup.log").string();
        if (c.code == -1) {
            EXPECT_FALSE(keys_taken);
            EXPECT_NE(key_error.find(c.log_line), std::string::npos) << key_error;
            EXPECT_NE(read_file(log_file).find(c.log_line), std::string::npos);
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

        if (c.trusted == 0) {
            EXPECT_FALSE(facts.catalogue_signature.has_value());
            continue;
        }
        ASSERT_TRUE(facts.catalogue_signature.has_value());
        const signature_check& check = *facts.catalogue_signature;
        EXPECT_EQ(check.verified, c.refusal.empty());
        EXPECT_EQ(check.reason, c.refusal);
        EXPECT_EQ(check.key ? hex_of(*check.key) : "", c.refusal.empty() ? signer_fingerprint : "");
        const std::string refusal_line =
            c.refusal.empty()
                ? ""
                : "Firmware catalogue fwimage/firmware.cfg is not signed by a trusted key: " + c.refusal + "\n";
        EXPECT_EQ(err, refusal_line.empty() ? "" : "kvtapefw: " + refusal_line);
        EXPECT_EQ(facts.refusal, refusal_line.empty() ? "" : refusal_line.substr(0, refusal_line.size() - 1));
        if (!c.refusal.empty()) {
            EXPECT_EQ(facts.discovered, nullptr) << "the bus is not scanned";
            EXPECT_EQ(read_file(log_file), refusal_line);
        }
    }
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
