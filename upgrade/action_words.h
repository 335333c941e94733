// The action words a work record can carry. They are compared exactly, letter
// case included: "UPGRADE" from a hand-edited document is not an action.
#pragma once

#include <string_view>

constexpr std::string_view action_upgrade = "upgrade";
constexpr std::string_view action_skip = "skip";
constexpr std::string_view action_downgrade = "downgrade";
constexpr std::string_view action_rewrite = "rewrite";

// True for the actions that send the catalogue's image to the drive.
inline bool asks_for_flash(std::string_view action) {
    return action == action_upgrade || action == action_rewrite || action == action_downgrade;
}
