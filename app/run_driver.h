// The spine of a run: checks the options, runs one mode over its tables and
// turns the outcome into the result code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "inventory/catalogue.h"
#include "inventory/catalogue_signature.h"
#include "inventory/discovery.h"
#include "inventory/drive_table.h"
#include "upgrade/flash_account.h"
#include "upgrade/selection_check.h"

enum run_result : int {
    result_help_or_rejected = -1,
    result_flash_failure = 0,
    result_success = 1,
    result_success_reboot = 2,  // has a text, never returned
    result_no_drive = 3,
};

// The text of the final "Result : %s" line for codes 0 to 3; nullptr otherwise.
const char* result_text(int code);

// What one run learnt on its way, kept whole until the run report is written:
// the tables a mode works on live here. A table is null until its step ran.
struct run_facts {
    const char* mode = nullptr;  // "upgrade-all", "discover", "upgrade-from-document"
    bool simulated_bus = false;  // the drives are those of a bus file
    std::string document;        // the XML document written or read
    std::unique_ptr<drive_table> discovered;  // the first scan (upgrade all, discover)
    std::vector<unexamined_device> unexamined;     // devices that scan could not examine, and why
    std::vector<passed_over_device> passed_over;   // the maker's devices it passed over as not its drives
    // The keys the catalogue must be signed by, loaded before the run began
    // (take_trusted_keys). None: the catalogue is read as it always was.
    std::vector<trusted_key> trusted_keys;
    std::string trusted_keys_folder;  // where they were looked for
    // With trusted keys: the catalogue as read whole before anything else,
    // the bytes its signature was checked over and its table is read from,
    // and how its signature was judged. Without keys the judgement stays
    // empty, unless the catalogue came with a signature that no key here can
    // check (no_trusted_key_reason).
    catalogue_bytes catalogue_file;
    std::optional<signature_check> catalogue_signature;
    std::unique_ptr<drive_table> catalogue;   // null when the run did not read it
    std::optional<sha256_digest> catalogue_digest;
    std::unique_ptr<drive_table> work;        // the plan, or the document's selection
    std::unique_ptr<selection_findings> selection;  // the document's check, when it ran
    std::unique_ptr<flash_account> flashing;  // null when no drive was flashed or verified
    bool document_written = false;            // discover
    bool stopped = false;                     // a request to stop ended the run before flashing
    // Why the run was refused, in the words of its standard-error line
    // without "kvtapefw: " (set through refuse_run); empty when nothing was.
    std::string refusal;
    // The tape device nodes the first bus scan found (a drive of the maker
    // or not, examinable or not); empty when the run scanned no bus first.
    std::optional<int> scanned;
    // A warning the whole run deserves ("no tape device was found; ..."),
    // said on standard error; empty when none.
    std::string warning;
    // Called when the run report on disk should be brought up to date (a
    // drive is about to be sent its first chunk, a download has ended);
    // handed to flashing (flash_account::checkpoint says what it returns).
    // May be empty.
    std::function<std::string()> checkpoint;
};

// Sets the facts' mode for these options (after the default is taken) and
// its document; the mode stays nullptr when the command line asks for help
// or combines what cannot be combined.
void note_run_mode(const command_options& options, run_facts& facts);

// Refuses the run for `cause` (one line, no line end): "kvtapefw: <cause>"
// on standard error and "<cause>" in the setup log. The run's first cause is
// kept for the run report; every refusal point of a run calls this.
void refuse_run(run_facts& facts, const std::string& cause);

// Loads the keys of the trusted-keys folder into the facts. False when the
// folder or a key file in it is refused, each told on standard error and in
// the setup log: the run must then end before any drive is touched, as for a
// rejected command line.
bool take_trusted_keys(run_facts& facts);
// The same for a folder given (`named`: as by KVFW_TRUSTED_KEYS).
bool take_trusted_keys(run_facts& facts, const std::string& folder, bool named);

// Returns -1, 0, 1 or 3. May set options.all (the default mode). `facts`
// is filled as the run goes.
int run_driver(command_options& options, run_facts& facts);
int run_driver(command_options& options);
