#include "vbrt/error.h"

#include <filesystem>
#include <map>
#include <new>
#include <system_error>

namespace vb {

namespace {
// The run time's texts for the error numbers the programs meet.
const std::map<int32_t, std::string>& table() {
    static const std::map<int32_t, std::string> t = {
        {3, "Return without GoSub"},
        {5, "Invalid procedure call or argument"},
        {6, "Overflow"},
        {7, "Out of memory"},
        {9, "Subscript out of range"},
        {10, "This array is fixed or temporarily locked"},
        {11, "Division by zero"},
        {13, "Type mismatch"},
        {14, "Out of string space"},
        {28, "Out of stack space"},
        {35, "Sub or Function not defined"},
        {48, "Error in loading DLL"},
        {49, "Bad DLL calling convention"},
        {51, "Internal error"},
        {52, "Bad file name or number"},
        {53, "File not found"},
        {54, "Bad file mode"},
        {55, "File already open"},
        {57, "Device I/O error"},
        {58, "File already exists"},
        {61, "Disk full"},
        {62, "Input past end of file"},
        {63, "Bad record number"},
        {67, "Too many files"},
        {68, "Device unavailable"},
        {70, "Permission denied"},
        {71, "Disk not ready"},
        {75, "Path/File access error"},
        {76, "Path not found"},
        {91, "Object variable or With block variable not set"},
        {92, "For loop not initialized"},
        {93, "Invalid pattern string"},
        {94, "Invalid use of Null"},
        {380, "Invalid property value"},
        {381, "Invalid property array index"},
        {383, "'Text' property is read-only"},
        {384, "A form can't be moved or sized while minimized or maximized"},
        {424, "Object required"},
        {438, "Object doesn't support this property or method"},
        {440, "Automation error"},
        {453, "Specified DLL function not found"},
        {3021, "No current record."},
        {3024, "Couldn't find file."},
        {3051, "The database engine cannot open the file."},
        {3078, "The database engine cannot find the input table or query."},
        {3265, "Item not found in this collection."},
        {35601, "Element not found"},
        {35602, "Key is not unique in collection"},
        {35603, "Invalid key"},
    };
    return t;
}
}  // namespace

const std::string& StandardDescription(int32_t number) {
    static const std::string fallback = "Application-defined or object-defined error";
    const auto& t = table();
    auto it = t.find(number);
    return it == t.end() ? fallback : it->second;
}

Error::Error(int32_t number, std::string source)
    : Error(number, std::move(source), StandardDescription(number)) {}

Error::Error(int32_t number, std::string source, std::string description)
    : std::runtime_error(description), number_(number), source_(std::move(source)),
      description_(std::move(description)) {}

void Raise(int32_t number, const std::string& source) { throw Error(number, source); }

void Raise(int32_t number, const std::string& source, const std::string& description) {
    throw Error(number, source, description);
}

}  // namespace vb

namespace vb {

Error FromException(const std::exception& e, const std::string& source) {
    if (auto* err = dynamic_cast<const Error*>(&e)) return *err;
    if (dynamic_cast<const std::bad_alloc*>(&e)) return Error(7, source);
    if (dynamic_cast<const std::out_of_range*>(&e)) return Error(9, source);
    if (dynamic_cast<const std::overflow_error*>(&e) || dynamic_cast<const std::range_error*>(&e))
        return Error(6, source);
    if (auto* fe = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
        const std::error_code& code = fe->code();
        if (code == std::errc::no_such_file_or_directory) return Error(53, source);
        if (code == std::errc::not_a_directory) return Error(76, source);
        if (code == std::errc::permission_denied || code == std::errc::operation_not_permitted)
            return Error(70, source);
        if (code == std::errc::file_exists) return Error(58, source);
        if (code == std::errc::no_space_on_device) return Error(61, source);
        return Error(75, source);
    }
    return Error(5, source, e.what());
}

Error CurrentException(const std::string& source) {
    try {
        throw;
    } catch (const std::exception& e) {
        return FromException(e, source);
    } catch (...) {
        return Error(5, source);
    }
}

std::string ErrorLine(const std::string& prefix, const Error& e, const std::string& tail) {
    return prefix + std::to_string(e.Number()) + ": " + e.Description() + tail;
}

}  // namespace vb
