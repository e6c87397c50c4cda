// The Windows loader's checks (see loader_win.h): the PE headers read from
// the held handle, the version stamp read with the file mapped as data, and
// the digest of the held handle's bytes.
#include "digest.h"
#include "loader_win.h"
#include "quoted.h"
#include "sha256.h"
#include "resources/version_stamp.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace minihost {
namespace loader MINIHOST_INTERNAL {
namespace {

// `length` bytes at `offset` of the open file, all of them or false.
bool read_bytes(HANDLE file, long long offset, void *buf, size_t length) {
    char *p = static_cast<char *>(buf);
    while (length > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
        const DWORD want = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        DWORD got = 0;
        if (!ReadFile(file, p, want, &got, &at) || got == 0) return false;
        p += got;
        offset += got;
        length -= got;
    }
    return true;
}

// The file's size, or -1.
long long size_of(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? size.QuadPart : -1;
}

// String `id` of the table in language 1033. False when it is missing, or when
// the table is damaged, which *damage then says. A string table resource is a
// block of 16 strings, each a length in UTF-16 units followed by its text.
bool read_string(HMODULE image, unsigned id, std::string *text, std::string *damage) {
    const WORD language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    HRSRC block = FindResourceExW(image, MAKEINTRESOURCEW(6) /* RT_STRING */,
                                  MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!block) return false;
    HGLOBAL loaded = LoadResource(image, block);
    const DWORD size = SizeofResource(image, block);
    const void *data = loaded ? LockResource(loaded) : nullptr;
    if (!data) {
        *damage = "string table cannot be read";
        return false;
    }
    const size_t units = size / sizeof(WCHAR);
    const WCHAR *p = static_cast<const WCHAR *>(data);
    size_t at = 0;
    for (unsigned k = 0; k < id % 16; ++k) {
        if (at >= units) {
            *damage = "string table cut short";
            return false;
        }
        at += 1 + p[at];
    }
    if (at >= units || p[at] > units - at - 1) {
        *damage = "string table cut short";
        return false;
    }
    if (p[at] == 0) return false;  // id not in the table
    *text = narrow(p + at + 1, p[at]);
    return true;
}

// The SHA-256 of the open file, or false when it cannot be read.
bool file_digest(HANDLE file, std::string *hex) {
    const long long size = size_of(file);
    if (size < 0) return false;
    Sha256 sha;
    std::vector<char> buffer(1 << 16);
    for (long long at = 0; at < size;) {
        const size_t n = static_cast<size_t>(std::min<long long>(static_cast<long long>(buffer.size()), size - at));
        if (!read_bytes(file, at, buffer.data(), n)) return false;
        sha.update(buffer.data(), n);
        at += static_cast<long long>(n);
    }
    *hex = sha.hex();
    return true;
}

// The text of the digest file beside `path`. False when there is none; one
// that is there but cannot be read (a folder, say) sets *error, in the words
// of the Linux loader.
bool read_digest_file(const std::string &path, const std::wstring &wpath, std::string *text, std::string *error) {
    const std::wstring name = wpath + L".sha256";
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            *error = "cannot read " + digest_path(path) + ": " + std::strerror(EACCES);
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        *error = "cannot read " + digest_path(path) + ": not a regular file";
        return false;
    }
    std::FILE *f = _wfopen(name.c_str(), L"rb");
    if (!f) {
        *error = "cannot read " + digest_path(path) + ": " + std::strerror(errno);
        return false;
    }
    text->resize(max_digest_file);
    text->resize(std::fread(&(*text)[0], 1, text->size(), f));
    std::fclose(f);
    return true;
}

}  // namespace

std::wstring wide(const std::string &utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::string narrow(const wchar_t *text, size_t length) {
    if (length == 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
    return out;
}

// The system's text for an error code, on one line.
std::string system_message(DWORD code) {
    wchar_t *buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string text = buffer ? narrow(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    const size_t insert = text.find("%1");  // the file, in messages written for a dialog
    if (insert != std::string::npos) text.replace(insert, 2, "the file");
    if (text.empty()) text = "error " + std::to_string(code);
    return text;
}

// Reads the PE headers from the file itself and checks that the section table
// and every section's data lie inside it: the resource functions trust them,
// and a cut-short copy would make them read past the end of the mapping.
std::string check_file(HANDLE file) {
    const long long size = size_of(file);
    if (size < 0) return "cannot be read";
    const auto read_at = [file, size](long long offset, void *buf, size_t length) {
        return offset >= 0 && offset <= size && static_cast<long long>(length) <= size - offset &&
               read_bytes(file, offset, buf, length);
    };
    IMAGE_DOS_HEADER dos;
    if (!read_at(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return "not a Windows DLL";
    IMAGE_NT_HEADERS64 nt;
    if (!read_at(dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE)
        return "not a Windows DLL";
    if (nt.FileHeader.Machine != IMAGE_FILE_MACHINE_AMD64 ||
        nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        return "built for another machine";
    if (!(nt.FileHeader.Characteristics & IMAGE_FILE_DLL)) return "not a DLL";
    const long long sections = static_cast<long long>(dos.e_lfanew) + 4 + sizeof(IMAGE_FILE_HEADER) +
                               nt.FileHeader.SizeOfOptionalHeader;
    for (unsigned i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER sh;
        if (!read_at(sections + static_cast<long long>(i) * sizeof sh, &sh, sizeof sh))
            return "damaged DLL (section table past the end of the file)";
        if (static_cast<long long>(sh.PointerToRawData) + sh.SizeOfRawData > size)
            return "damaged DLL (section past the end of the file)";
    }
    return "";
}

std::string check_stamp(HMODULE image, const std::string &name) {
    struct Expected {
        unsigned id;
        const char *text;
    };
    const Expected expected[] = {{QUORV_STAMP_ID_HOST, QUORV_STAMP_HOST}, {QUORV_STAMP_ID_INLINE, QUORV_STAMP_INLINE}};
    for (const Expected &e : expected) {
        std::string text, damage;
        if (!read_string(image, e.id, &text, &damage))
            return damage.empty() ? "no version stamp (string " + std::to_string(e.id) + ", language 1033)"
                                  : "damaged version stamp (" + damage + ")";
        if (text != e.text)
            return "version stamp string " + std::to_string(e.id) + " " + quoted(text) + " does not match " +
                   quoted(e.text);
    }
    if (name.empty()) return "";
    std::string given, damage;
    if (!read_string(image, QUORV_STAMP_ID_NAME, &given, &damage))
        return damage.empty() ? "its version stamp names no plug-in (expected " + name + ")"
                              : "damaged version stamp (" + damage + ")";
    if (given != name)
        return "its version stamp names " + quoted(given) + ", not " + name +
               " (a plug-in of the other kind in its place)";
    return "";
}

std::string check_digest(const std::string &path, const std::wstring &wpath, HANDLE file) {
    std::string recorded, actual, why;
    const bool has_digest = read_digest_file(path, wpath, &recorded, &why);
    if (!why.empty()) return why;
    if (has_digest && !file_digest(file, &actual)) return "cannot read " + path;
    return digest_refusal(path, has_digest, recorded, actual);
}

}  // namespace loader
}  // namespace minihost
