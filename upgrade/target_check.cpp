#include "upgrade/target_check.h"

#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/number_text.h"
#include "upgrade/action_words.h"

namespace {

// A discovery document holds a version with six decimals ("2.100000" for a
// catalogue's "2.10"): the plan was made for the catalogue's version when it
// is that number, or the number the document would hold for it.
bool same_as_written(double planned, double target) {
    if (planned == target) return true;
    text_field<64> written{};
    format_text(written, "%f", target);
    return parse_double(written.data()) == planned;
}

bool action_allows(std::string_view action, double running, double target) {
    if (action == action_upgrade) return target > running;
    if (action == action_downgrade) return target < running;
    return action == action_rewrite && target == running;
}

}  // namespace

target_fit check_target(const drive_record& record, double target) {
    const unsigned address = static_cast<unsigned>(record.device.address);
    if (!same_as_written(record.target_version, target)) {
        report("Drive at device %u was planned for version %f, but the catalogue now holds %f; it is left untouched.\n",
               address, record.target_version, target);
        return target_fit::stale_plan;
    }
    const std::string_view action = text_of(record.action);
    const double running = record.fw_version;
    if (running == target && (action == action_upgrade || action == action_downgrade)) {
        log_line("Drive at device %u already runs version %f, the target of its action %s; nothing is sent.\n",
                 address, running, escaped_text(text_of(record.action)).c_str());
        return target_fit::already_at_target;
    }
    if (!action_allows(action, running, target)) {
        report("Drive at device %u runs version %f and the catalogue holds %f, which the action %s does not allow; "
               "it is left untouched.\n",
               address, running, target, escaped_text(text_of(record.action)).c_str());
        return target_fit::refused;
    }
    return target_fit::fits;
}
