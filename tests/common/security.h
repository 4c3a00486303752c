#pragma once
// Security as a test reads it back (DACL entries, owners, SDDL) and as it makes it (a
// peer's squatted object, a token without elevation).
#include "support/security_descriptor.h"
#include "support/unique_resource.h"

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// The entries of a security descriptor's DACL, each with its trustee as a SID string
// ("S-1-5-18"). Empty for a descriptor without a DACL.
struct AceEntry {
    BYTE Type;
    BYTE Flags;
    ACCESS_MASK Mask;
    std::wstring Sid;
};
std::vector<AceEntry> AcesOf(PSECURITY_DESCRIPTOR descriptor);
// The DACL of a file or directory as the system reports it; empty when it cannot be read.
std::vector<AceEntry> AcesOf(const std::wstring& path);
// The rights that allow entries grant a trustee ("S-1-1-0"); denials are not subtracted.
ACCESS_MASK RightsGrantedTo(const std::vector<AceEntry>& aces, const wchar_t* sid);
// The owner, group and DACL of a file or directory in SDDL, or empty.
std::wstring SecurityTextOf(const std::wstring& path);

// This process's token with the Administrators group for deny only, as a primary token that
// CreateProcessAsUserW accepts without privileges: an administrator's run without
// elevation. Empty when it cannot be made.
UniqueHandle MakeUnelevatedToken();

// True when a kernel object's owner reads back as the local Users group.
bool OwnedByUsers(HANDLE object);
// A peer's object made first under one of the service's names, owned by Users (an account
// the service does not trust) and open to everyone: create(security attributes) makes it.
// Empty where the system does not keep the owner given; the test then skips.
template <class Create> UniqueHandle SquatAsUsers(Create create)
{
    CSecurityAttributes security(L"O:BUD:(A;;GA;;;WD)");
    UniqueHandle object(security.IsValid() ? create(security.Get()) : nullptr);
    return object && OwnedByUsers(object.Get()) ? std::move(object) : UniqueHandle();
}
