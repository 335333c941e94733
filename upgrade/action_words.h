// The action words a work record can carry. They are compared exactly, letter
// case included: "UPGRADE" from a hand-edited document is not an action.
#pragma once

#include <string>
#include <string_view>

constexpr std::string_view action_upgrade = "upgrade";
constexpr std::string_view action_skip = "skip";
constexpr std::string_view action_downgrade = "downgrade";
constexpr std::string_view action_rewrite = "rewrite";

// True for the actions that send the catalogue's image to the drive.
inline bool asks_for_flash(std::string_view action) {
    return action == action_upgrade || action == action_rewrite || action == action_downgrade;
}

inline bool is_action_word(std::string_view action) { return action == action_skip || asks_for_flash(action); }

// Why a record whose action is no action word was left alone, as the setup
// log and the run report say it; `shown` is the word as it may be shown
// (escaped).
inline std::string unknown_action_reason(std::string_view shown) {
    return "its action \"" + std::string(shown) + "\" is not one of upgrade, downgrade, rewrite, skip; nothing was sent";
}
