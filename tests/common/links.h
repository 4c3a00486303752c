#pragma once
// Links that tests point at folders and files: made from the Unix side under Wine (ln -s),
// or as a junction the Windows way.
#include <string>

// A symbolic link to a directory, made from the Unix side (ln -s), which only Wine lets a
// test do: Made() is false elsewhere, and when the link did not appear. The link alone is
// removed on destruction, while its target still exists.
class DirectoryLink {
public:
    DirectoryLink(const std::wstring& link, const std::wstring& target);
    ~DirectoryLink();
    DirectoryLink(const DirectoryLink&) = delete;
    DirectoryLink& operator=(const DirectoryLink&) = delete;
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made = false;
};

// The same for a link to a file. Under Wine such a link looks like a plain file with the
// target's attributes, and DeleteFileW on it deletes the target: the link is removed from
// the Unix side. The target must exist while the link is made and removed, or Wine does
// not list the link and neither can be seen to happen.
class FileLink {
public:
    FileLink(const std::wstring& link, const std::wstring& target);
    ~FileLink();
    FileLink(const FileLink&) = delete;
    FileLink& operator=(const FileLink&) = delete;
    bool Made() const { return m_made; }

private:
    std::wstring m_link;
    bool m_made = false;
};

// Removes a link without touching its target. Wine's RemoveDirectoryW goes through a link
// and removes an empty target, so under Wine the link is removed from the Unix side.
void RemoveLink(const std::wstring& link);

// A junction (a folder's mount point) made the Windows way, as any user can make one in a
// folder they may write to: creates an empty folder at link and turns it into a junction to
// target (an absolute path that need not exist). False, with nothing left at link and the
// failed call's error as the last error, when either step fails. The junction alone goes
// with RemoveDirectoryW (or RemoveTree), whatever its target holds.
bool MakeJunction(const std::wstring& link, const std::wstring& target);
