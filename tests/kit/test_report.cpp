#include "kit/test_report.h"

#include "support/unique_resource.h"

#include <windows.h>

#include <cstdlib>

namespace {

// One tag of the report: its name, the text between the name and the closing bracket, and
// its kind.
struct Tag {
    std::string Name;
    std::string Attributes;
    bool End = false;
    bool SelfClosing = false;
};

void AppendUtf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// An attribute value with XML's entities decoded; an unknown entity is kept as written.
std::string Decoded(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const size_t end = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "amp") out += '&';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            const bool hex = entity[1] == 'x' || entity[1] == 'X';
            AppendUtf8(out, std::strtoul(entity.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
        } else {
            out += text.substr(i, end - i + 1);
        }
        i = end;
    }
    return out;
}

// The value of the attribute `name` in a tag's attribute text, decoded; empty when absent.
std::string Attribute(const std::string& attributes, const std::string& name)
{
    const std::string key = name + "=\"";
    for (size_t at = attributes.find(key); at != std::string::npos; at = attributes.find(key, at + 1)) {
        // "name" must not match the end of "classname".
        if (at > 0 && attributes[at - 1] != ' ' && attributes[at - 1] != '\t' &&
            attributes[at - 1] != '\r' && attributes[at - 1] != '\n')
            continue;
        const size_t begin = at + key.size();
        const size_t end = attributes.find('"', begin);
        return end == std::string::npos ? std::string() : Decoded(attributes.substr(begin, end - begin));
    }
    return std::string();
}

// Reads the tag that starts at xml[at] == '<' and moves at past it. Sections that hold no
// markup (CDATA, comments, declarations) come back with an empty name. False at a tag
// that never closes.
bool NextTag(const std::string& xml, size_t& at, Tag& tag)
{
    tag = Tag();
    const auto skipTo = [&](const char* opening, const char* closing) {
        const size_t end = xml.find(closing, at + std::char_traits<char>::length(opening));
        at = end == std::string::npos ? std::string::npos : end + std::char_traits<char>::length(closing);
        return end != std::string::npos;
    };
    if (xml.compare(at, 9, "<![CDATA[") == 0)
        return skipTo("<![CDATA[", "]]>");
    if (xml.compare(at, 4, "<!--") == 0)
        return skipTo("<!--", "-->");
    if (xml.compare(at, 2, "<?") == 0)
        return skipTo("<?", "?>");
    const size_t end = xml.find('>', at);
    if (end == std::string::npos)
        return false;
    std::string inner = xml.substr(at + 1, end - at - 1);
    at = end + 1;
    if (!inner.empty() && inner[0] == '/') {
        tag.End = true;
        inner.erase(0, 1);
    }
    if (!inner.empty() && inner.back() == '/') {
        tag.SelfClosing = true;
        inner.pop_back();
    }
    const size_t nameEnd = inner.find_first_of(" \t\r\n");
    tag.Name = inner.substr(0, nameEnd);
    tag.Attributes = nameEnd == std::string::npos ? std::string() : inner.substr(nameEnd);
    return true;
}

struct OpenCase {
    bool Ran = false;
    bool Skipped = false;
    bool Failed = false;
    TestNote Note;
};

void Close(const OpenCase& test, TestCounts& counts)
{
    if (!test.Ran)
        return;
    if (test.Failed) {
        ++counts.Failed;
        counts.Failures.push_back(test.Note);
    } else if (test.Skipped) {
        ++counts.Skipped;
        counts.Skips.push_back(test.Note);
    } else {
        ++counts.Passed;
    }
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size,
                            nullptr, nullptr);
    return out;
}

// A whole file's bytes; false when it cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
    if (!file)
        return false;
    bytes.clear();
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, /*lpOverlapped=*/nullptr) && read > 0)
        bytes.append(buffer, read);
    return true;
}

void AddProblem(TestCounts& counts, const std::string& executable, const std::string& problem)
{
    ++counts.Failed;
    counts.Failures.push_back(TestNote{executable, problem});
}

}  // namespace

bool ReadTestReport(const std::string& xml, TestCounts& counts)
{
    TestCounts found;
    bool sawSuites = false;
    bool inCase = false;
    OpenCase test;
    Tag tag;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at)) {
        if (!NextTag(xml, at, tag))
            return false;
        if (tag.Name == "testsuites" && !tag.End) {
            sawSuites = true;
        } else if (tag.Name == "testcase" && !tag.End) {
            if (inCase)
                return false;
            test = OpenCase();
            test.Ran = Attribute(tag.Attributes, "status") == "run";
            test.Skipped = Attribute(tag.Attributes, "result") == "skipped";
            test.Note.Name = Attribute(tag.Attributes, "classname") + "." + Attribute(tag.Attributes, "name");
            inCase = !tag.SelfClosing;
            if (!inCase)
                Close(test, found);
        } else if (tag.Name == "testcase") {
            if (!inCase)
                return false;
            Close(test, found);
            inCase = false;
        } else if (inCase && !tag.End && (tag.Name == "failure" || tag.Name == "skipped")) {
            const bool failure = tag.Name == "failure";
            if (failure && !test.Failed)
                test.Note.Message.clear();
            if (test.Note.Message.empty())
                test.Note.Message = Attribute(tag.Attributes, "message");
            test.Failed = test.Failed || failure;
        }
        if (at == std::string::npos)
            break;
    }
    if (!sawSuites || inCase)
        return false;
    counts.Passed += found.Passed;
    counts.Failed += found.Failed;
    counts.Skipped += found.Skipped;
    counts.Failures.insert(counts.Failures.end(), found.Failures.begin(), found.Failures.end());
    counts.Skips.insert(counts.Skips.end(), found.Skips.begin(), found.Skips.end());
    return true;
}

TestCounts ReadResultsFolder(const std::wstring& folder)
{
    TestCounts counts;
    int runs = 0;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*.exit").c_str(), &data));
    for (bool more = static_cast<bool>(find); more; more = FindNextFileW(find.Get(), &data) != FALSE) {
        const std::wstring exitFile = data.cFileName;
        const std::wstring stem = exitFile.substr(0, exitFile.size() - 5);
        const std::string executable = Utf8(stem) + ".exe";
        ++runs;

        std::string exitText;
        char* parsedEnd = nullptr;
        long exitCode = 0;
        const bool exitRead = ReadWholeFile(folder + L"\\" + exitFile, exitText);
        if (exitRead)
            exitCode = std::strtol(exitText.c_str(), &parsedEnd, 10);
        const bool exitKnown = exitRead && parsedEnd != exitText.c_str();

        std::string report;
        const int failedBefore = counts.Failed;
        if (!ReadWholeFile(folder + L"\\" + stem + L".xml", report)) {
            const std::string code = exitKnown ? std::to_string(exitCode) : std::string("unknown");
            AddProblem(counts, executable, "wrote no report (exit code " + code + ")");
        } else if (!ReadTestReport(report, counts)) {
            AddProblem(counts, executable, "wrote a report that is no GoogleTest report");
        } else if (!exitKnown) {
            AddProblem(counts, executable, "left no exit code");
        } else if (exitCode != 0 && counts.Failed == failedBefore) {
            AddProblem(counts, executable, "ended with exit code " + std::to_string(exitCode) +
                                               " although its report shows no failure");
        }
    }
    if (runs == 0)
        AddProblem(counts, "run-tests.cmd", "found no test executable's run in the results folder");
    return counts;
}

std::string ClosingLine(const TestCounts& counts)
{
    return std::to_string(counts.Passed) + " passed, " + std::to_string(counts.Failed) + " failed";
}
