// Field-wise reading of the automation's text files.
#include "automation/text_input.h"

#include <fstream>

#include "fs/fs.h"

namespace basAutomation {

namespace {

bool lineEnd(char c) { return c == '\r' || c == '\n'; }

// Steps over one delimiter at `p` (a comma, or a line end of one or two characters).
size_t skipDelimiter(const std::string& text, size_t p) {
    if (p >= text.size()) return p;
    if (text[p] == ',') return p + 1;
    if (text[p] == '\r') return (p + 1 < text.size() && text[p + 1] == '\n') ? p + 2 : p + 1;
    if (text[p] == '\n') return p + 1;
    return p;
}

}  // namespace

std::vector<std::string> SplitDelimitedFields(const std::string& text) {
    std::vector<std::string> fields;
    size_t p = 0;
    while (p < text.size()) {
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
        std::string field;
        if (p < text.size() && text[p] == '"') {
            const size_t close = text.find('"', p + 1);
            const size_t end = close == std::string::npos ? text.size() : close;
            field = text.substr(p + 1, end - p - 1);
            p = close == std::string::npos ? text.size() : close + 1;
            while (p < text.size() && text[p] != ',' && !lineEnd(text[p])) ++p;
        } else {
            const size_t start = p;
            while (p < text.size() && text[p] != ',' && !lineEnd(text[p])) ++p;
            field = text.substr(start, p - start);
            while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.pop_back();
        }
        fields.push_back(std::move(field));
        p = skipDelimiter(text, p);
    }
    return fields;
}

bool ReadFileStart(const std::string& fileName, size_t limit, std::string& content) {
    content.clear();
    std::string name = fileName;
    // A FIFO or a device would block the read (or never end): only regular files are read.
    if (!fs::FileExists(name) || !fs::IsRegularFile(name)) return false;
    std::ifstream in(fs::ToNativePath(name), std::ios::binary);
    if (!in) return false;
    content.resize(limit);
    in.read(content.data(), std::streamsize(limit));
    content.resize(size_t(in.gcount()));
    if (in.bad()) {
        content.clear();
        return false;
    }
    return true;
}

bool ReadBoundedFile(const std::string& fileName, size_t limit, std::string& content) {
    if (!ReadFileStart(fileName, limit + 1, content)) return false;
    if (content.size() > limit) {
        content.clear();
        return false;
    }
    return true;
}

}  // namespace basAutomation
