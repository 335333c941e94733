#include "platform/file_trust.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/file_read.h"
#include "platform/platform.h"
#include "platform/wide_text_win.h"

namespace {

constexpr const char owned_by_another[] = "is owned by another user";
constexpr const char writable_by_others[] = "is writable by others";
constexpr const char not_examined[] = "cannot be examined";

// NT SERVICE\TrustedInstaller, which owns the system's own files.
constexpr wchar_t trusted_installer[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

struct local_free {
    void operator()(void* memory) const { LocalFree(memory); }
};

// The accounts trusted with keys: SYSTEM, Administrators, TrustedInstaller
// and the account the program runs as.
class trusted_accounts {
public:
    trusted_accounts() {
        PSID installer = nullptr;
        if (ConvertStringSidToSidW(trusted_installer, &installer)) installer_.reset(installer);
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            user_.resize(size);
            if (size == 0 || !GetTokenInformation(token, TokenUser, user_.data(), size, &size)) user_.clear();
            CloseHandle(token);
        }
    }
    bool trusts(PSID sid) const {
        if (sid == nullptr || !IsValidSid(sid)) return false;
        if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
        if (installer_ && EqualSid(sid, installer_.get())) return true;
        return !user_.empty() && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid);
    }

private:
    std::unique_ptr<void, local_free> installer_;
    std::vector<BYTE> user_;
};

// Rights that let an account replace what lies in a folder or the folder
// itself, or change who may: for every folder above the path. Adding a file
// or a sub-folder to such a folder replaces nothing (Users may, in C:\ and
// C:\ProgramData).
constexpr ACCESS_MASK replacing_rights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// For the path itself, writing too: a new key in the folder, or a changed key.
constexpr ACCESS_MASK writing_rights = replacing_rights | FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;

const char* judge(const std::wstring& path, bool last, const trusted_accounts& accounts) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return not_examined;
    }
    std::unique_ptr<void, local_free> held(descriptor);
    if (!accounts.trusts(owner)) return owned_by_another;
    if (dacl == nullptr) return writable_by_others;  // no list at all: everyone may do anything
    const ACCESS_MASK dangerous = last ? writing_rights : replacing_rights;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) return not_examined;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        // Entries only for what is made inside later are not this object's;
        // a deny entry is not weighed: an allowed right is refused anyway.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & dangerous) != 0 && !accounts.trusts(sid)) return writable_by_others;
    }
    return nullptr;
}

// "\\?\C:\a\b" (as the system resolves a path) gives "C:\", "C:\a", "C:\a\b".
std::vector<std::string> prefixes(std::string path) {
    if (path.rfind("\\\\?\\UNC\\", 0) == 0) path = "\\\\" + path.substr(8);
    else if (path.rfind("\\\\?\\", 0) == 0) path = path.substr(4);
    std::vector<std::string> out;
    std::size_t at = path.find('\\', path.rfind("\\\\", 0) == 0 ? path.find('\\', path.find('\\', 2) + 1) + 1 : 0);
    if (at == std::string::npos) return {path};
    out.push_back(path.substr(0, at + 1));
    for (at = path.find('\\', at + 1); at != std::string::npos; at = path.find('\\', at + 1)) {
        out.push_back(path.substr(0, at));
    }
    if (path.back() != '\\') out.push_back(path);
    return out;
}

}  // namespace

bool only_administrators_can_change(const std::string& path, trust_fault& fault) {
    // Links and junctions are resolved first: the file the key is read from,
    // and the folders above it, are judged.
    const std::string real = real_path(path);
    if (real.empty()) {
        fault = {path, "", not_examined};
        return false;
    }
    const trusted_accounts accounts;
    const std::vector<std::string> chain = prefixes(real);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::wstring wide = narrow_to_wide(chain[i]);
        const char* problem = wide.empty() ? not_examined : judge(wide, i + 1 == chain.size(), accounts);
        if (problem) {
            // The path itself, reached through a link: both are named.
            const bool through_link =
                i + 1 == chain.size() && _stricmp(absolute_path(path).c_str(), chain[i].c_str()) != 0;
            fault = {through_link ? path : chain[i], through_link ? chain[i] : "", problem};
            return false;
        }
    }
    return true;
}
