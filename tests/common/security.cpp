#include "tests/common/security.h"

#include "support/security_descriptor.h"
#include "support/sid.h"

#include <aclapi.h>
#include <sddl.h>

std::vector<AceEntry> AcesOf(PSECURITY_DESCRIPTOR descriptor)
{
    std::vector<AceEntry> entries;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !present || !dacl)
        return entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        AceEntry entry = {header->AceType, header->AceFlags, 0, std::wstring()};
        // Allowed and denied entries share one layout: header, mask, SID.
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
            ACCESS_ALLOWED_ACE* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.Mask = allowed->Mask;
            wchar_t* text = nullptr;
            if (ConvertSidToStringSidW(&allowed->SidStart, &text)) {
                const UniqueLocalMemory owned(text);
                entry.Sid = text;
            }
        }
        entries.push_back(entry);
    }
    return entries;
}

std::vector<AceEntry> AcesOf(const std::wstring& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return std::vector<AceEntry>();
    const UniqueLocalMemory owned(descriptor);
    return AcesOf(descriptor);
}

ACCESS_MASK RightsGrantedTo(const std::vector<AceEntry>& aces, const wchar_t* sid)
{
    ACCESS_MASK rights = 0;
    for (const AceEntry& ace : aces) {
        if (ace.Type == ACCESS_ALLOWED_ACE_TYPE && ace.Sid == sid)
            rights |= ace.Mask;
    }
    return rights;
}

std::wstring SecurityTextOf(const std::wstring& path)
{
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return std::wstring();
    const UniqueLocalMemory owned(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                              &text, nullptr))
        return std::wstring();
    const UniqueLocalMemory textOwner(text);
    return text;
}

UniqueHandle MakeUnelevatedToken()
{
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                          &process))
        return UniqueHandle();
    const UniqueHandle processToken(process);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        return UniqueHandle();
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(processToken.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted))
        return UniqueHandle();
    return UniqueHandle(restricted);
}

bool OwnedByUsers(HANDLE object)
{
    CSecurityDescriptor security;
    return security.ReadFromHandle(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION) ==
               ERROR_SUCCESS &&
           CSid(WinBuiltinUsersSid).Equal(security.Owner());
}
