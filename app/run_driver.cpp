#include "app/run_driver.h"

#include <cstdio>
#include <cstdint>
#include <memory>
#include <vector>

#include "log/setup_log.h"
#include "inventory/catalogue.h"
#include "inventory/catalogue_freshness.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "inventory/trust_refusals.h"
#include "platform/platform.h"
#include "platform/state_folder.h"
#include "platform/tape_driver.h"
#include "upgrade/flashing.h"
#include "upgrade/planning.h"
#include "upgrade/selection_check.h"
#include "upgrade/serial_lines.h"
#include "xml/discovery_document.h"
#include "xml/selection_document.h"

namespace {

constexpr const char* result_texts[] = {
    "Flash failure",
    "Success",
    "Success: reboot required",
    "Nothing to be done for Tape drives. RDX Firmware Updated.",
};

void show_section(bool show_tables, const char* heading, const drive_table& table) {
    if (!show_tables) return;
    print_separator();
    std::printf("%s", heading);
    print_separator();
    dump_table(table);
}

// Tables are large (23 records of several kilobytes each): keep them off the stack.
drive_table& new_table(std::unique_ptr<drive_table>& slot) {
    slot = std::make_unique<drive_table>();
    return *slot;
}

// Flashes the work table against the catalogue, keeping the account (with the
// report's checkpoint) in the facts. Returns the failures.
int flash_work(run_facts& facts, const drive_table& work, const drive_table& catalogue) {
    facts.flashing = std::make_unique<flash_account>();
    facts.flashing->checkpoint = facts.checkpoint;
    return flash_drives(work, catalogue, *facts.flashing);
}

// Devices the scan could not examine and drives it could not identify are
// left alone, and said so: any of them may be one of the maker's drives still
// on old firmware. Returns how many there were.
int report_left_untouched(const std::vector<unexamined_device>& unexamined, const drive_table& discovered) {
    for (const unexamined_device& device : unexamined) {
        report("Tape device %u could not be examined; it is left untouched.\n", static_cast<unsigned>(device.address));
    }
    int unidentified = 0;
    for (const drive_record& drive : discovered) {
        if (drive.in_use == 0 || is_identified(drive)) continue;
        report("Drive at device %u, Product ID: %s, could not be identified; it is left untouched.\n",
               static_cast<unsigned>(drive.device.address), escaped_text(text_of(drive.product_id)).c_str());
        if (drive.read_failure[0] != '\0') log_line("%s\n", drive.read_failure.data());
        ++unidentified;
    }
    return static_cast<int>(unexamined.size()) + unidentified;
}

// A device with the maker's vendor identification that its own answers
// show is not one of the drives this program flashes stays as it is, but
// the log names it: whoever expected it to be flashed learns why it was not.
void log_passed_over(const std::vector<passed_over_device>& passed_over) {
    for (const passed_over_device& device : passed_over) {
        log_line("Tape device %u, Vendor ID: %s, Product ID: %s, is not one of the maker's drives that can be "
                 "flashed: %s; it is left untouched.\n",
                 static_cast<unsigned>(device.address), escaped_text(text_of(device.vendor_id)).c_str(),
                 escaped_text(text_of(device.product_id)).c_str(),
                 finding_cause_text(device.cause));
    }
}

// A signature beside a catalogue that no key here can check is said once:
// whoever signed it expects it checked, and the report says it was not.
void note_unchecked_signature(run_facts& facts) {
    if (!path_exists(catalogue_signature_path)) return;
    report_error("%s\n", signature_unused_line(catalogue_path).c_str());
    facts.catalogue_signature = signature_check{};
    facts.catalogue_signature->reason = no_trusted_key_reason;
}

// The folder where the host remembers what it accepted: on the simulated bus
// the bus file's, so that tests never touch the host's own.
std::string host_state_folder() { return run_state_folder(environment_variable("KVFW_SIM_BUS")); }

// With trusted keys the catalogue is read whole and its signature checked
// first, before the bus is scanned or a document read: a catalogue no
// trusted key signed, or one expired or older than the host accepted, sends
// nothing to any drive, in every mode.
bool signed_catalogue_accepted(run_facts& facts) {
    if (facts.trusted_keys.empty()) {
        note_unchecked_signature(facts);
        return true;
    }
    read_catalogue_bytes(facts.catalogue_file);
    facts.catalogue_digest = facts.catalogue_file.digest;
    facts.catalogue_signature = check_catalogue_signature(facts.catalogue_file, facts.trusted_keys);
    signature_check& check = *facts.catalogue_signature;
    if (!check.verified) {
        refuse_run(facts, not_signed_line(catalogue_path, check.reason, facts.trusted_keys.size(),
                                          facts.trusted_keys_folder));
        return false;
    }
    const std::string refusal =
        accept_verified_catalogue(check, facts.catalogue_file, catalogue_path, host_state_folder(), true);
    if (refusal.empty()) return true;
    check.verified = false;
    refuse_run(facts, refusal);
    return false;
}

// The catalogue table, read where the mode reads it: from the very bytes
// whose signature was checked, or from the file as always when no key is
// trusted.
drive_table& read_run_catalogue(run_facts& facts) {
    drive_table& catalogue = new_table(facts.catalogue);
    // Where it was looked for, in full: a run started in the wrong folder
    // shows which one.
    const std::string where = absolute_path(catalogue_path);
    catalogue_reading reading;
    // A signature checked without a trusted key (it is only told of) does
    // not make the catalogue one read from checked bytes.
    if (!facts.trusted_keys.empty()) {
        read_signed_catalogue(facts.catalogue_file, catalogue, &reading);
    } else {
        std::string why;
        if (read_catalogue(catalogue, &facts.catalogue_digest, &why, &reading) < 0) {
            refuse_run(facts, "Firmware catalogue " + where + " could not be read: " + why);
            return catalogue;
        }
    }
    // Stored as the format says, but told: a line no one meant as an entry
    // (an error page saved as the catalogue) is no silent "nothing to do".
    for (const catalogue_line& line : reading.not_entries) {
        log_line("Firmware catalogue %s line %u is not an entry: %s\n", where.c_str(), line.number,
                 escaped_text(line.text).c_str());
    }
    if (reading.entries == 0) {
        refuse_run(facts, "Firmware catalogue " + where + " holds no entry");
        clear_table(catalogue);
    }
    return catalogue;
}

// A catalogue that was read but holds no line the run can use ends the run
// as one that could not be read, and is said so.
bool catalogue_usable(run_facts& facts, const drive_table& catalogue) {
    if (count_in_use(catalogue) > 0) return true;
    if (facts.refusal.empty()) {
        refuse_run(facts, "Firmware catalogue " + absolute_path(catalogue_path) + " holds no entry that can be used");
    }
    return false;
}

// A host without any tape device node is no failure (the role of every
// host may be the same), but it is said, with what may explain it, on
// standard error and in the report; the setup log keeps its lines.
void tell_no_tape_device(run_facts& facts) {
    if (!facts.scanned || *facts.scanned > 0) return;
    facts.warning = "no tape device was found";
    // On the simulated bus the host's driver explains nothing.
    const char* driver = facts.simulated_bus ? "" : tape_driver_state();
    if (driver[0] != '\0') facts.warning.append("; ").append(driver);
    std::fprintf(stderr, "kvtapefw: %s\n", facts.warning.c_str());
}

// Steps shared by upgrade all and discover: scan, catalogue, plan.
// Returns -2 to go on, or the code the run ends with. `left_untouched`
// counts the devices and drives that the scan could not vouch for.
constexpr int keep_going = -2;

int discover_and_plan(bool show_tables, run_facts& facts, const char* recommended_heading, int& left_untouched) {
    drive_table& discovered = new_table(facts.discovered);
    int nodes = 0;
    discover_drives(discovered, &facts.unexamined, &facts.passed_over, &nodes);
    // A scan cut short by a request to stop says nothing about the bus.
    if (notice_stop(facts.stopped)) return result_flash_failure;
    facts.scanned = nodes;
    tell_no_tape_device(facts);
    show_section(show_tables, "\tDiscovered\n", discovered);
    left_untouched = report_left_untouched(facts.unexamined, discovered);
    log_passed_over(facts.passed_over);
    log_unusable_serials(discovered);
    // A device that may be one of the maker's drives was not checked: this
    // is no run in which "nothing was to be done".
    if (count_in_use(discovered) == 0) return left_untouched > 0 ? result_flash_failure : result_no_drive;

    drive_table& catalogue = read_run_catalogue(facts);
    show_section(show_tables, "\tConfigured\n", catalogue);
    if (!catalogue_usable(facts, catalogue)) return result_flash_failure;

    drive_table& recommended = new_table(facts.work);
    plan_actions(discovered, catalogue, recommended);
    show_section(show_tables, recommended_heading, recommended);
    return notice_stop(facts.stopped) ? result_flash_failure : keep_going;
}

int upgrade_all(bool show_tables, run_facts& facts) {
    int left_untouched = 0;
    const int early = discover_and_plan(show_tables, facts, "\tRecommended Upgrade\n", left_untouched);
    if (early != keep_going) return early;
    // The bus is scanned once more right before flashing and the result is
    // not used: the scan's TEST UNIT READY commands reach every drive again,
    // clearing a unit attention raised since the first scan (a reset, a
    // cartridge loaded while the catalogue was read), so that the download's
    // RESERVE and first WRITE BUFFER do not meet it.
    auto rescan = std::make_unique<drive_table>();
    discover_drives(*rescan);
    if (notice_stop(facts.stopped)) return result_flash_failure;
    const int failures = flash_work(facts, *facts.work, *facts.catalogue);
    // The other drives are flashed and verified all the same, but a rollout
    // that left a drive of unknown firmware behind is no success.
    return failures > 0 || left_untouched > 0 ? result_flash_failure : result_success;
}

int discover_to_document(bool show_tables, run_facts& facts) {
    int left_untouched = 0;
    const int early = discover_and_plan(show_tables, facts, "\tRecommended\n", left_untouched);
    if (early != keep_going) return early;
    show_section(show_tables, "\tWrite to Xml\n", *facts.work);
    if (notice_stop(facts.stopped)) return result_flash_failure;
    facts.document_written = write_discovery_document(facts.document.c_str(), *facts.work) == 0;
    return facts.document_written ? result_success : result_flash_failure;
}

// "device 3" or "devices 1, 4": the records the check found another drive at.
std::string mismatched_devices(const drive_table& selection, const selection_findings& findings) {
    std::string list;
    int count = 0;
    for (std::size_t slot = 0; slot < selection.size(); ++slot) {
        if (selection[slot].in_use == 0 || !findings.mismatched[slot]) continue;
        list += (count++ == 0 ? "" : ", ") + std::to_string(selection[slot].device.address);
    }
    return (count == 1 ? "device " : "devices ") + list;
}

int upgrade_from_document(bool show_tables, run_facts& facts) {
    drive_table& selection = new_table(facts.work);
    std::string why;
    const int read_errors = read_selection_document(facts.document.c_str(), selection, &why);
    show_section(show_tables, "\tRead from Xml\n", selection);
    if (read_errors > 0) {
        refuse_run(facts, why);
        return result_flash_failure;
    }

    drive_table& catalogue = read_run_catalogue(facts);
    show_section(show_tables, "\tRead from Config\n", catalogue);
    if (!catalogue_usable(facts, catalogue)) return result_flash_failure;

    show_section(show_tables, "\tUpgrade\n", selection);
    // A document that no longer matches the drives flashes nothing at all.
    facts.selection = std::make_unique<selection_findings>();
    const int mismatches = check_selected_drives(selection, facts.selection.get());
    // A check cut short by a request to stop says nothing about the drives.
    if (notice_stop(facts.stopped)) return result_flash_failure;
    if (mismatches > 0) {
        refuse_run(facts, "Selection document " + facts.document + " does not match the drives: " +
                              mismatched_devices(selection, *facts.selection) + "; nothing was flashed");
        return result_flash_failure;
    }
    return flash_work(facts, selection, catalogue) > 0 ? result_flash_failure : result_success;
}

}  // namespace

const char* result_text(int code) {
    if (code < 0 || code > result_no_drive) return nullptr;
    return result_texts[code];
}

void note_run_mode(const command_options& options, run_facts& facts) {
    if (options.help == 1 || (options.silent == 1 && options.verbose == 1)) return;
    if (options.discover + options.upgrade + options.all > 1) return;
    facts.mode = options.discover == 1 ? "discover" : options.upgrade == 1 ? "upgrade-from-document" : "upgrade-all";
    if (options.discover == 1 || options.upgrade == 1) facts.document = options.xml_path.data();
}

bool take_trusted_keys(run_facts& facts) {
    bool named = false;
    const std::string folder = trusted_keys_folder(named);
    return take_trusted_keys(facts, folder, named);
}

bool take_trusted_keys(run_facts& facts, const std::string& folder, bool named) {
    trusted_keys keys;
    load_trusted_keys(folder, named, keys);
    if (keys.folder_unreadable) refuse_run(facts, "Trusted keys folder " + keys.folder + " cannot be read");
    for (const std::string& name : keys.not_keys) log_line("%s\n", not_a_key_file_line(keys.folder, name).c_str());
    for (const refused_key_file& file : keys.refused) {
        refuse_run(facts, "Trusted key file " + file.path + " is not an ECDSA P-256 public key: " + file.why);
    }
    if (!keys.refusal.empty()) refuse_run(facts, keys.refusal);
    facts.trusted_keys = std::move(keys.keys);
    facts.trusted_keys_folder = keys.folder;
    return keys_usable(keys);
}

int run_driver(command_options& options, run_facts& facts) {
    if (options.help == 1) {
        print_usage();
        return result_help_or_rejected;
    }
    if (options.silent == 1 && options.verbose == 1) {
        std::fprintf(stderr, "kvtapefw: /s and /v cannot be given together\n");
        report("Error: Invalid command line options. Silent and Verbose cannot be together\n");
        print_usage();
        return result_help_or_rejected;
    }
    const bool show_tables = options.silent != 1;
    if (options.discover + options.upgrade + options.all > 1) {
        std::fprintf(stderr, "kvtapefw: /a, /d and /u cannot be given together; give one mode at most\n");
        report("Error: Invalid command line options\n");
        print_usage();
        return result_help_or_rejected;
    }
    if (options.discover == 0 && options.upgrade == 0 && options.all == 0 && options.help == 0) {
        options.all = 1;
        report("Default option (upgrade all) selected.\n");
    }
    note_run_mode(options, facts);
    if (!signed_catalogue_accepted(facts)) return result_flash_failure;
    if (options.all == 1) return upgrade_all(show_tables, facts);
    if (options.discover == 1) return discover_to_document(show_tables, facts);
    return upgrade_from_document(show_tables, facts);
}

int run_driver(command_options& options) {
    run_facts facts;
    return run_driver(options, facts);
}
