#include "platform/file_trust.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr const char owned_by_another[] = "is owned by another user";
constexpr const char writable_by_others[] = "is writable by others";

bool trusted_owner(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// One entry of a chain, links already resolved. `last`: the path itself,
// not a folder above it.
const char* judge_entry(const struct stat& info, bool last) {
    if (!trusted_owner(info.st_uid)) return owned_by_another;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) return nullptr;
    const bool sticky_root_folder = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0 && info.st_uid == 0;
    return sticky_root_folder && !last ? nullptr : writable_by_others;
}

// "/a/b/c" gives "/", "/a", "/a/b", "/a/b/c".
std::vector<std::string> prefixes(const std::string& path) {
    std::vector<std::string> out{"/"};
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        if (at > 1 && path[at - 1] != '/') out.push_back(path.substr(0, at));
    }
    if (path.size() > 1 && path.back() != '/') out.push_back(path);
    return out;
}

std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), ::free);
    return real ? std::string(real.get()) : std::string();
}

// Checks a chain with no link in it (a path realpath gave).
bool judge_real_chain(const std::string& real, const std::string& link, trust_fault& fault) {
    const std::vector<std::string> chain = prefixes(real);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        struct stat info {};
        const char* problem = ::stat(chain[i].c_str(), &info) != 0 ? "cannot be examined"
                                                                   : judge_entry(info, i + 1 == chain.size());
        if (problem) {
            fault = {link.empty() ? chain[i] : link, link.empty() ? "" : real, problem};
            return false;
        }
    }
    return true;
}

}  // namespace

bool only_administrators_can_change(const std::string& path, trust_fault& fault) {
    const std::vector<std::string> chain = prefixes(absolute_path(path));
    for (std::size_t i = 0; i < chain.size(); ++i) {
        struct stat info {};
        if (::lstat(chain[i].c_str(), &info) != 0) {
            fault = {chain[i], "", "cannot be examined"};
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (const char* problem = judge_entry(info, i + 1 == chain.size())) {
                fault = {chain[i], "", problem};
                return false;
            }
            continue;
        }
        // A link is judged at its target and the target's folders; the link
        // itself has no permissions of its own, but whoever owns it may
        // change where it leads.
        const std::string target = resolved(chain[i]);
        if (!trusted_owner(info.st_uid)) {
            fault = {chain[i], target, owned_by_another};
            return false;
        }
        if (target.empty()) {
            fault = {chain[i], "", "cannot be examined"};
            return false;
        }
        if (!judge_real_chain(target, chain[i], fault)) return false;
    }
    return true;
}
