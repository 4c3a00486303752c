#pragma once
// The folder the executable runs from. The service runs as LocalSystem: whoever can replace
// the executable or put a library beside it runs code as LocalSystem, so the folder must be
// changeable by administrators only.

// Logs a warning at level 0 when the folder's owner or DACL lets anyone but SYSTEM,
// Administrators, TrustedInstaller and the installing account change the folder or what it
// holds (IsTrustedFileSecurity), or when its security cannot be read. True when it warned.
// The installing options call it once the service exists.
bool WarnWhenTheExecutableFolderIsOpen();
