// What the Windows loader (loader_win.cpp) checks before any of a plug-in's
// code runs, reading the file through the handle it holds from the first
// check to the load: no other process can write, rename or delete the file
// meanwhile, so the bytes checked are the bytes loaded.
#ifndef QUORV_MINIHOST_LOADER_WIN_H
#define QUORV_MINIHOST_LOADER_WIN_H

#include "internal.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace minihost {
namespace loader MINIHOST_INTERNAL {

// UTF-8 and UTF-16, as the tool's paths and the system's texts need.
std::wstring wide(const std::string &utf8);
std::string narrow(const wchar_t *text, size_t length);
// The system's text for an error code, on one line.
std::string system_message(DWORD code);

// Why the open file is no Windows DLL for this machine, or a damaged one: its
// headers, section table and sections must lie inside it, as the resource
// functions trust them. An empty string when it is sound.
std::string check_file(HANDLE file);

// Why the image (mapped as data) is no plug-in whose version stamp gives
// `name` (any name, or none, when empty); an empty string when it is one.
std::string check_stamp(HMODULE image, const std::string &name);

// The open file's bytes against the digest recorded beside `path` (see
// digest.h): why the plug-in is refused, or an empty string when they match.
std::string check_digest(const std::string &path, const std::wstring &wpath, HANDLE file);

}  // namespace loader
}  // namespace minihost

#endif
