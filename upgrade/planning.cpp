#include "upgrade/planning.h"

#include <cstdio>

#include "inventory/catalogue.h"
#include "upgrade/action_words.h"

void plan_actions(const drive_table& discovered, const drive_table& catalogue, drive_table& recommended) {
    clear_table(recommended);
    std::size_t next_slot = 0;
    for (const drive_record& drive : discovered) {
        // A drive whose configuration or version was not read from it could
        // match an entry that reads as 0 and be flashed with a foreign image.
        if (drive.in_use == 0 || !is_identified(drive)) continue;
        const drive_record* entry = find_by_drive_id(drive.drive_id, catalogue);
        if (entry == nullptr) continue;

        // The whole record travels on, device handle included: flashing opens
        // the drive again through this copy.
        drive_record& planned = recommended[next_slot++];
        planned = drive;
        std::printf("Discovered Fw %f Configured Fw %f\n", drive.fw_version, entry->fw_version);
        // Only an older drive is upgraded; a newer one is left alone, never
        // downgraded behind the administrator's back.
        copy_text(planned.action, older_than_catalogue(drive, *entry) ? action_upgrade : action_skip);
        planned.target_version = entry->fw_version;
    }
}
