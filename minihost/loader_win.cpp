// Loading a plug-in on Windows. The file is opened once, shared for reading
// only, and held open from the first check to the load: nobody can write,
// rename over or delete it in between, so the bytes checked are the bytes
// loaded. Its PE headers, its version stamp (read with the file mapped as
// data, so that none of its code, DllMain or static constructors, runs) and
// its bytes against the digest recorded beside it are checked
// (checks_win.cpp) before LoadLibrary runs anything of it; and the module
// loaded must be mapped from the held file.
#include "host_state.h"
#include "loader_win.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace minihost {
namespace {

using loader::system_message;

// A handle closed when it goes.
struct Held {
    HANDLE handle;
    ~Held() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

// The tool joins paths with '/'; LoadLibraryEx wants '\\'.
std::wstring windows_path(const std::string &path) {
    std::wstring wpath = loader::wide(path);
    for (wchar_t &c : wpath)
        if (c == L'/') c = L'\\';
    return wpath;
}

// Whether the file `module` was loaded from is the held file: the same
// volume and file index, as a directory renamed meanwhile could make its path
// name another.
bool maps_file(HMODULE module, HANDLE held) {
    std::vector<wchar_t> name(32768);
    const DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0 || n >= name.size()) return false;
    const Held loaded{CreateFileW(name.data(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                  FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)};
    BY_HANDLE_FILE_INFORMATION a, b;
    return loaded.handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(loaded.handle, &a) &&
           GetFileInformationByHandle(held, &b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

std::unique_ptr<Plugin> Plugin::load(const std::string &path, std::string *error, const std::string &name) {
    std::string ignored;
    std::string &why = error ? *error : ignored;
    why.clear();

    const std::wstring wpath = windows_path(path);
    const DWORD attributes = path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wpath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        why = "cannot open " + path + ": " + (path.empty() ? std::string(std::strerror(ENOENT))
                                                            : system_message(GetLastError()));
        return nullptr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        why = "cannot open " + path + ": " + std::strerror(EISDIR);
        return nullptr;
    }

    // Shared for reading only, until the load below is done.
    const Held file{CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr)};
    const std::string damage = file.handle == INVALID_HANDLE_VALUE ? "cannot be read" : loader::check_file(file.handle);
    if (!damage.empty()) {
        why = path + " is not a plug-in: " + damage;
        return nullptr;
    }
    // As data: nothing of the file runs.
    HMODULE image = LoadLibraryExW(wpath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!image) {
        why = path + " is not a plug-in: not a Windows DLL (" + system_message(GetLastError()) + ")";
        return nullptr;
    }
    const std::string reason = loader::check_stamp(image, name);
    FreeLibrary(image);
    if (!reason.empty()) {
        why = path + " is not a plug-in: " + reason;
        return nullptr;
    }
    why = loader::check_digest(path, wpath, file.handle);
    if (!why.empty()) return nullptr;
    const host::State &s = host::state();
    if (s.load_hook) s.load_hook(path, s.load_hook_context);

    // Its host libraries are found among the modules already loaded (ours).
    HMODULE handle = LoadLibraryExW(wpath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!handle) {
        why = "cannot load " + path + ": " + system_message(GetLastError());
        return nullptr;
    }
    if (!maps_file(handle, file.handle)) {
        FreeLibrary(handle);
        why = "cannot load " + path + ": the module loaded is not the file checked";
        return nullptr;
    }
    // GetProcAddress looks in this module's own export table only.
    FARPROC sym = GetProcAddress(handle, "mexFunction");
    if (!sym) {
        FreeLibrary(handle);
        why = path + " is not a plug-in: no mexFunction";
        return nullptr;
    }

    std::unique_ptr<Plugin> p(new Plugin());
    p->handle_ = handle;
    p->entry_ = reinterpret_cast<void (*)(int, mxArray **, int, const mxArray **)>(
        reinterpret_cast<void (*)()>(sym));
    p->path_ = path;
    BY_HANDLE_FILE_INFORMATION data;
    if (GetFileInformationByHandle(file.handle, &data))
        p->identity_ = {0, 0, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                        static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                             data.ftLastWriteTime.dwLowDateTime)};
    return p;
}

bool Plugin::unchanged() const {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(windows_path(path_).c_str(), GetFileExInfoStandard, &data)) return false;
    const Identity now{0, 0, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                       static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                            data.ftLastWriteTime.dwLowDateTime)};
    return now == identity_;
}

Plugin::~Plugin() {
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

}  // namespace minihost
