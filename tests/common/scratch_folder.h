#pragma once
// Folders that a test or a benchmark makes for itself and removes with what they hold.
#include <string>

// A fresh folder under the temporary directory, removed with its contents at the end.
// Made anew: whatever an earlier run left under the same name is removed first.
class ScratchDirectory {
public:
    // A name of its own: "vh-test-<process id>-<counter>".
    ScratchDirectory();
    // The name given, for a run that looks for its folder by name.
    explicit ScratchDirectory(const std::wstring& name);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Removes a file, or a folder with everything below it. A link to a folder (a reparse
// point) is removed alone, never followed: what it points to stays. Nothing when the path
// does not exist; what cannot be removed stays, silently.
void RemoveTree(const std::wstring& path);
