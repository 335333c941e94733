#include "app/run_report.h"

#include <cstdio>
#include <array>
#include <map>
#include <string>
#include <string_view>
#include <tuple>

#include <nlohmann/json.hpp>

#include "inventory/catalogue.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/calendar.h"
#include "platform/file_write.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "scsi/sense.h"
#include "scsi/transport.h"
#include "upgrade/action_words.h"
#include "upgrade/image_file.h"

namespace {

using json = nlohmann::ordered_json;
// Card, address and lun, and an ordinal for a second physical drive that the
// verification found at a number whose entry is another drive's.
using device_key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, int>;

device_key key_of(const scsi_device& device) { return {device.card, device.address, device.lun, 0}; }

// Where a device's facts come from; any of them may be missing.
struct device_sources {
    const drive_record* before = nullptr;  // the drive as first read, before anything was sent
    const unexamined_device* unexamined = nullptr;    // the first scan could not examine it
    const passed_over_device* passed_over = nullptr;  // the first scan found it is not one of the maker's drives
    int slot = -1;                         // its work record
    const drive_record* after = nullptr;   // the drive as the verification scan read it
};

json text_or_null(std::string_view text) { return text.empty() ? json(nullptr) : json(std::string(text)); }

json hex_digest(const std::optional<sha256_digest>& digest) {
    if (!digest) return nullptr;
    return hex_text(digest->data(), digest->size());
}

json hex_byte(std::uint8_t value) {
    text_field<8> text{};
    format_text(text, "0x%02x", static_cast<unsigned>(value));
    return text.data();
}

// The drive's identity as read from the drive itself: what was not read is null.
void put_identity(json& out, const drive_record& drive) {
    out["vendor"] = text_or_null(text_of(drive.vendor_id));
    out["product"] = text_or_null(text_of(drive.product_id));
    if (drive.drive_id_read) {
        text_field<16> id{};
        format_text(id, "0x%06x", static_cast<unsigned>(drive.drive_id));
        out["drive_id"] = id.data();
    }
}

json version_of(const drive_record* drive) {
    if (drive == nullptr || !drive->fw_version_read) return nullptr;
    return text_or_null(text_of(drive->fw_version_text));
}

json failure_of(const command_failure& failure) {
    if (failure.command == nullptr) return nullptr;
    if (!failure.words.empty()) {
        return json{{"command", failure.command}, {"status", nullptr}, {"sense_key", nullptr},
                    {"asc", nullptr},             {"ascq", nullptr},   {"text", failure.words}};
    }
    const scsi_device& outcome = failure.outcome;
    const bool sense = outcome.scsi_status == scsi_status_check_condition && outcome.sense_length > 0;
    const char* status = outcome.scsi_status == 0xFF ? nullptr : scsi_status_name(outcome.scsi_status);
    return json{{"command", failure.command},
                {"status", status ? json(status) : json(nullptr)},
                {"sense_key", sense ? json(sense_key_name(outcome.sense_key & 0xF)) : json(nullptr)},
                {"asc", sense ? hex_byte(static_cast<std::uint8_t>(outcome.asc_ascq >> 8)) : json(nullptr)},
                {"ascq", sense ? hex_byte(static_cast<std::uint8_t>(outcome.asc_ascq & 0xFF)) : json(nullptr)},
                {"text", describe_scsi_outcome(failure.command, outcome)}};
}

const char* checksum_word(checksum_finding finding) {
    switch (finding) {
        case checksum_finding::matched: return "matched";
        case checksum_finding::mismatch: return "mismatch";
        case checksum_finding::malformed: return "malformed";
        case checksum_finding::missing: return "missing";
        case checksum_finding::unchecked: return "unchecked";
        case checksum_finding::none: break;
    }
    return "none";
}

// null when no key is trusted and the catalogue came without a signature.
json signature_of(const std::optional<signature_check>& check) {
    if (!check) return nullptr;
    return json{{"verified", check->verified},
                {"key", hex_digest(check->key)},
                {"reason", check->verified ? json(nullptr) : json(check->reason)},
                {"serial", check->serial ? json(*check->serial) : json(nullptr)},
                {"expires", check->expires.empty() ? json(nullptr) : json(check->expires)}};
}

json image_of(const flash_result& result, const drive_record& entry) {
    if (!result.image_opened) return nullptr;
    text_field<512> path{};
    build_image_path(path, entry.firmware_file.data());
    return json{{"file", path.data()},
                {"bytes", result.image.bytes < 0 ? json(nullptr) : json(result.image.bytes)},
                {"sha256", hex_digest(result.image.sha256)},
                {"checksum", checksum_word(result.image.checksum)}};
}

json download_of(const flash_result& result) {
    if (result.outcome == flash_outcome::not_asked || result.outcome == flash_outcome::already_at_target) {
        return nullptr;
    }
    const char* outcome = "not-started";
    if (result.outcome == flash_outcome::download_completed) outcome = "completed";
    if (result.outcome == flash_outcome::download_failed) outcome = "failed";
    if (result.outcome == flash_outcome::download_started) outcome = "started";
    return json{{"outcome", outcome},
                {"commands", result.download.commands},
                {"bytes", result.download.bytes},
                {"failure", failure_of(result.download.failure)}};
}

struct verdict {
    const char* word;
    std::string reason;  // empty for success
};

bool mode_is(const run_facts& facts, std::string_view mode) { return facts.mode && facts.mode == mode; }

// Why a drive without a work record has none, as the run's tables tell it:
// never assumed from the mode. A drive the verification scan found where the
// run had found none before may be a flashed drive without a serial number
// that came back at another device number; that drive's own entry says it
// did not come back, and this one says only what is known.
verdict unplanned(const run_facts& facts, const device_key& key, const device_sources& at) {
    if (facts.catalogue == nullptr || count_in_use(*facts.catalogue) == 0) {
        return {"not-planned", "no catalogue entry could be read"};
    }
    const drive_record* drive = at.before ? at.before : at.after;
    if (drive && !is_identified(*drive)) return {"left-untouched", "it could not be identified"};
    if (mode_is(facts, "upgrade-from-document")) {
        return {"not-planned", std::get<3>(key) > 0 ? "the document names another drive at its address"
                                                    : "the document names no drive at its address"};
    }
    if (drive == nullptr || find_by_drive_id(drive->drive_id, *facts.catalogue) == nullptr) {
        return {"not-planned", "the catalogue holds no image for its drive ID"};
    }
    return {"not-planned", at.before ? "the run made no plan for it" : "it was not found before flashing"};
}

// What the drive answered for its serial number, shared or not; empty when
// it answered none that could be read whole.
std::string_view answered_serial(const drive_record& drive) {
    return drive.serial[0] != '\0' ? text_of(drive.serial) : text_of(drive.shared_serial);
}

std::string runs_instead(const device_sources& at, const drive_record& planned) {
    text_field<160> reason{};
    format_text(reason, "it runs %s, not %s", at.after ? at.after->fw_version_text.data() : "another version",
                asks_for_flash(text_of(planned.action)) ? "the version its action promised"
                                                        : "the version it ran before");
    return reason.data();
}

// Judged as the verification judged it, with the reason in a few words.
verdict judged(const run_facts& facts, const device_sources& at) {
    const flash_result& result = facts.flashing->results[static_cast<std::size_t>(at.slot)];
    const drive_record& planned = (*facts.work)[static_cast<std::size_t>(at.slot)];
    if (result.outcome == flash_outcome::nothing_sent) {
        return {"left-untouched", result.refusal ? result.refusal : "nothing was sent to it"};
    }
    if (facts.flashing->interrupted) {
        if (result.sent_image) return {"failed", "the run was interrupted before the drive was verified"};
        return {"left-untouched", "the run was interrupted before it was verified"};
    }
    // The report of a run still under way (or one that was killed): a drive
    // sent image data is not known to have kept its promise.
    if (!facts.flashing->verified) {
        if (result.sent_image) return {"failed", "it was sent image data and has not been verified"};
        return {"left-untouched", "nothing has been sent to it"};
    }
    if (result.outcome == flash_outcome::download_failed) return {"failed", "its download did not run to its end"};
    // Failed closed: nothing went to the drive, whatever it runs now.
    if (result.outcome == flash_outcome::not_asked && !is_action_word(text_of(planned.action))) {
        return {"failed", unknown_action_reason(escaped_text(text_of(planned.action)))};
    }
    switch (result.judged) {
        case judgement::kept: return {"success", ""};
        case judgement::not_kept: return {"failed", runs_instead(at, planned)};
        case judgement::unidentified: return {"failed", "its version could not be read when verified"};
        case judgement::another_drive: return {"failed", "another drive answers at its address"};
        case judgement::replaced: return {"not-planned", "another drive than the planned one answers at its address"};
        case judgement::missing:
            return {"failed", result.sent_image ? "it did not answer at its address after its download"
                                                : "no drive answered at its address"};
        case judgement::serial_changed: {
            const std::string_view answered = at.after ? answered_serial(*at.after) : std::string_view();
            if (answered.empty()) return {"failed", "its serial number could not be read after its restart"};
            return {"failed", "it answers serial number " + escaped_text(answered) + " after its restart"};
        }
        case judgement::not_told_apart:
            return {"failed", "the drive at its address answers no serial number, and may be another flashed drive "
                              "that restarted there"};
        case judgement::not_judged: break;
    }
    return {"left-untouched", "no drive answered at its address when verified"};
}

// "it could not be examined", and why when the scan knows more than that.
verdict not_examined(const unexamined_device& device) {
    std::string reason = "it could not be examined";
    const std::string_view cause = finding_cause_text(device.cause);
    if (!cause.empty()) reason.append(": ").append(cause);
    return {"left-untouched", reason};
}

verdict verdict_of(const run_facts& facts, const device_key& key, const device_sources& at) {
    if (at.unexamined) return not_examined(*at.unexamined);
    if (at.passed_over) {
        return {"not-planned", std::string(finding_cause_text(at.passed_over->cause)) +
                                   ": not one of the maker's drives that can be flashed"};
    }
    if (at.before && !is_identified(*at.before)) return {"left-untouched", "it could not be identified"};
    // Stopped by a request before anything was flashed or written.
    if (facts.stopped) {
        return {"left-untouched", mode_is(facts, "discover") ? "the run was interrupted before the document was written"
                                                              : "the run was interrupted before this drive was flashed"};
    }
    if (at.slot < 0) return unplanned(facts, key, at);
    if (mode_is(facts, "discover")) {
        if (facts.document_written) return {"planned", "written to the discovery document"};
        return {"failed", "the discovery document could not be written"};
    }
    if (facts.selection && facts.flashing == nullptr) {
        if (facts.selection->mismatched[static_cast<std::size_t>(at.slot)]) {
            return {"left-untouched", "the drive at its address does not match the document"};
        }
        return {"left-untouched", "nothing was flashed: the document does not match the drives"};
    }
    if (facts.flashing == nullptr) return {"left-untouched", "nothing was flashed: no catalogue entry could be read"};
    return judged(facts, at);
}

json device_of(const run_facts& facts, const device_key& key, const device_sources& at) {
    // Every field in its place first, null until learnt.
    json out = json::object();
    out["node"] = tape_device_name(std::get<1>(key));
    out["device"] = std::get<1>(key);
    out["card"] = std::get<0>(key);
    out["lun"] = std::get<2>(key);
    for (const char* field : {"vendor", "product", "drive_id", "serial", "firmware_before", "action", "target_version",
                              "image"}) {
        out[field] = nullptr;
    }
    out["flashed"] = false;
    for (const char* field : {"download", "firmware_after", "device_after", "verdict", "reason"}) out[field] = nullptr;
    // The identity comes from the drive: first as the run found it, else
    // as verification read it.
    if (at.before) put_identity(out, *at.before);
    if (at.passed_over) {
        out["vendor"] = text_or_null(text_of(at.passed_over->vendor_id));
        out["product"] = text_or_null(text_of(at.passed_over->product_id));
    }
    if (at.after && out["drive_id"].is_null()) put_identity(out, *at.after);
    const drive_record* named = at.before ? at.before : at.after;
    if (named) out["serial"] = text_or_null(text_of(named->serial));
    if (at.after) out["device_after"] = at.after->device.address;
    out["firmware_before"] = version_of(at.before);
    if (at.slot >= 0) {
        const drive_record& planned = (*facts.work)[static_cast<std::size_t>(at.slot)];
        out["action"] = text_or_null(text_of(planned.action));
        const drive_record* entry =
            facts.catalogue ? find_by_drive_id(planned.drive_id, *facts.catalogue) : nullptr;
        if (entry && entry->in_use) out["target_version"] = text_or_null(text_of(entry->fw_version_text));
        if (facts.flashing) {
            const flash_result& result = facts.flashing->results[static_cast<std::size_t>(at.slot)];
            if (entry) out["image"] = image_of(result, *entry);
            out["flashed"] = result.sent_image;
            out["download"] = download_of(result);
        }
    }
    out["firmware_after"] = version_of(at.after);
    const verdict v = verdict_of(facts, key, at);
    out["verdict"] = v.word;
    out["reason"] = v.reason.empty() ? json(nullptr) : json(v.reason);
    return out;
}

// Every device the run's scans took, could not examine or passed over as
// the maker's but not its drive, and every work record, merged by card,
// address and lun; the map keeps address order.
// The verification scan's drives, each to the entry of the physical drive it
// is: a work record's own drive (found by its serial number wherever it came
// back) first; any other drive to the entry at its number, unless that entry
// is another drive's, which it never takes over.
void put_verified(const run_facts& facts, std::map<device_key, device_sources>& devices) {
    const drive_table& found = *facts.flashing->rescanned;
    std::array<bool, drive_table_slots> placed{};
    for (std::size_t slot = 0; facts.work && slot < facts.work->size(); ++slot) {
        const int index = facts.flashing->results[slot].found_at;
        if ((*facts.work)[slot].in_use == 0 || index < 0) continue;
        devices[key_of((*facts.work)[slot].device)].after = &found[static_cast<std::size_t>(index)];
        placed[static_cast<std::size_t>(index)] = true;
    }
    for (std::size_t index = 0; index < found.size(); ++index) {
        const drive_record& drive = found[index];
        if (drive.in_use == 0 || placed[index]) continue;
        device_key key = key_of(drive.device);
        // A drive is another than the one first found at its number only
        // when both answered serial numbers and they differ: a drive that
        // could not be identified before (its serial number was not asked),
        // or whose number could not be read, is told apart by device number.
        for (;; ++std::get<3>(key)) {
            const auto known = devices.find(key);
            if (known == devices.end()) break;
            const drive_record* before = known->second.before;
            // Verification judged a drive that was sent image data against
            // every drive it found: one it did not take is not that drive.
            const int slot = known->second.slot;
            const bool another =
                known->second.after != nullptr || (slot >= 0 && facts.flashing->results[static_cast<std::size_t>(slot)].sent_image) ||
                (before && !answered_serial(*before).empty() && !answered_serial(drive).empty() &&
                 !same_serial(answered_serial(*before), answered_serial(drive)));
            if (!another) break;
        }
        devices[key].after = &drive;
    }
}

std::map<device_key, device_sources> devices_of(const run_facts& facts) {
    std::map<device_key, device_sources> devices;
    if (facts.discovered) {
        for (const drive_record& drive : *facts.discovered) {
            if (drive.in_use != 0) devices[key_of(drive.device)].before = &drive;
        }
    }
    for (const unexamined_device& device : facts.unexamined) devices[{0, device.address, 0, 0}].unexamined = &device;
    for (const passed_over_device& device : facts.passed_over) devices[{0, device.address, 0, 0}].passed_over = &device;
    if (facts.work) {
        for (std::size_t slot = 0; slot < facts.work->size(); ++slot) {
            const drive_record& record = (*facts.work)[slot];
            if (record.in_use == 0) continue;
            device_sources& at = devices[key_of(record.device)];
            at.slot = static_cast<int>(slot);
            // In upgrade from a document, the drive was first read by the check.
            if (facts.selection && facts.selection->found[slot].in_use != 0) at.before = &facts.selection->found[slot];
        }
    }
    // A verification cut short judged nothing: its partial scan, never
    // matched, would place drives that swapped numbers at each other's
    // entries. Its drives stay unverified, with no version or device after.
    if (facts.flashing && facts.flashing->rescanned && facts.flashing->verified) put_verified(facts, devices);
    return devices;
}

}  // namespace

json run_report_document(const run_frame& frame, const run_facts& facts) {
    json report = json::object();
    report["format"] = 1;
    report["program"] = {{"name", "kvtapefw"}, {"version", KVTAPEFW_VERSION}};
    report["host"] = text_or_null(host_name());
    report["mode"] = facts.mode ? json(facts.mode) : json(nullptr);
    report["started"] = utc_time_text(frame.started);
    // A run under way has no end, exit code or result yet.
    report["finished"] = frame.finished ? json(utc_time_text(platform_now_seconds())) : json(nullptr);
    report["simulated_bus"] = frame.simulated_bus;
    report["exit_code"] = frame.finished ? json(frame.exit_code) : json(nullptr);
    report["result"] = frame.finished && frame.result ? json(frame.result) : json(nullptr);
    report["refusal"] = text_or_null(facts.refusal);
    report["scanned"] = facts.scanned ? json(*facts.scanned) : json(nullptr);
    report["warning"] = text_or_null(facts.warning);
    report["catalogue"] = nullptr;
    // A signed catalogue was read, and its signature judged, before the bus
    // was scanned: it is told even when the run ended there.
    if (facts.catalogue || facts.catalogue_signature) {
        report["catalogue"] = {{"path", catalogue_path},
                               {"sha256", hex_digest(facts.catalogue_digest)},
                               {"signature", signature_of(facts.catalogue_signature)}};
    }
    report["document"] = text_or_null(facts.document);
    report["setup_log"] = expand_environment(setup_log_path);
    json devices = json::array();
    for (const auto& [key, at] : devices_of(facts)) devices.push_back(device_of(facts, key, at));
    report["devices"] = std::move(devices);
    return report;
}

std::string run_report_text(const run_frame& frame, const run_facts& facts) {
    // Product and vendor texts come from the drives: bytes that are not UTF-8
    // are replaced rather than let the report fail.
    return run_report_document(frame, facts).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

// False when the report is not on its path whole; `why` then holds the cause.
bool write_report_now(report_target& target, const run_frame& frame, const run_facts& facts, std::string& why) {
    const file_write_result result = replace_whole_file(target.path, run_report_text(frame, facts), &why);
    if (result == file_write_result::written) return true;
    if (!target.failure_told) {
        // A reader that does not read must not hold the run's end.
        if (result == file_write_result::not_taken) {
            std::fprintf(stderr, "kvtapefw: the run report %s could not be written whole (its reader did not take it)\n",
                         target.path.c_str());
        } else {
            std::fprintf(stderr, "kvtapefw: the run report %s could not be written (%s)\n", target.path.c_str(),
                         why.c_str());
        }
        target.failure_told = true;
    }
    return false;
}

}  // namespace

bool start_run_report(report_target& target, const run_frame& frame, const run_facts& facts) {
    const write_target resolved = resolve_write_target(target.path);
    target.rewritten = !resolved.in_place;
    std::string why;
    return !target.rewritten || write_report_now(target, frame, facts, why);
}

std::string update_run_report(report_target& target, const run_frame& frame, const run_facts& facts) {
    std::string why;
    if (!target.rewritten || write_report_now(target, frame, facts, why)) return "";
    return "The run report " + target.path + " could not be written (" + why + ")";
}

void write_run_report(report_target& target, const run_frame& frame, const run_facts& facts) {
    std::string why;
    write_report_now(target, frame, facts, why);
}
