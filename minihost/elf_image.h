// A plug-in's ELF image as the loader checks it before dlopen runs any of its
// code. Every count a header gives is bounded by the limits below and by the
// file's size before anything is allocated for it; every address is read only
// where it lies in the file-backed part of one loaded segment.
#ifndef QUORV_MINIHOST_ELF_IMAGE_H
#define QUORV_MINIHOST_ELF_IMAGE_H

#include "plugin_file.h"

#include <elf.h>
#include <link.h>

#include <cstdint>
#include <string>
#include <vector>

namespace minihost {
namespace loader MINIHOST_INTERNAL {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Shdr = ElfW(Shdr);

// Stamps longer than this are wrong anyway; no need to read more to say so.
constexpr size_t max_stamp = 4096;

// Bounds on what a file's headers may ask for: far above any real plug-in,
// low enough that checking a hostile file allocates and reads little. Counts
// are checked against these and against the file's size before anything is
// allocated for them.
constexpr uint64_t max_file = 64ull << 20;          // bytes of the whole file (all are hashed)
constexpr uint64_t max_sections = 1ull << 16;       // section headers
constexpr uint64_t max_segments = 1ull << 10;       // program headers
constexpr uint64_t max_dynamic = 1ull << 14;        // dynamic entries
constexpr uint64_t max_table = 16ull << 20;         // bytes of any one table read whole
constexpr uint64_t max_version_entries = 1ull << 16;  // steps along a version chain

// The file as the dynamic linker sees it once mapped: addresses relative to
// the load base, each inside one PT_LOAD segment.
class Image {
public:
    Image(const File &f, const std::vector<Phdr> &segments) : file_(f), segments_(segments) {}

    const std::vector<Phdr> &segments() const { return segments_; }

    // The file offset of `length` bytes at `address`, when they lie in the
    // file-backed part of one loaded segment.
    bool offset_of(uint64_t address, uint64_t length, uint64_t *offset) const {
        for (const Phdr &ph : segments_) {
            if (ph.p_type != PT_LOAD || address < ph.p_vaddr) continue;
            const uint64_t into = address - ph.p_vaddr;
            if (into <= ph.p_filesz && length <= ph.p_filesz - into) {
                *offset = ph.p_offset + into;
                return true;
            }
        }
        return false;
    }
    bool holds(uint64_t address, uint64_t length) const {
        uint64_t ignored;
        return offset_of(address, length, &ignored);
    }
    // Mapped at all (zero-filled memory past a segment's file part included),
    // optionally only in segments with all of `flags`.
    bool mapped(uint64_t address, uint64_t length, uint32_t flags = 0) const {
        for (const Phdr &ph : segments_) {
            if (ph.p_type != PT_LOAD || address < ph.p_vaddr || (ph.p_flags & flags) != flags) continue;
            const uint64_t into = address - ph.p_vaddr;
            if (into <= ph.p_memsz && length <= ph.p_memsz - into) return true;
        }
        return false;
    }
    bool read(uint64_t address, void *buf, size_t length) const {
        uint64_t offset;
        return offset_of(address, length, &offset) && file_.read(offset, buf, length);
    }
    template <class T>
    bool read_array(uint64_t address, uint64_t count, std::vector<T> *out) const {
        if (count > max_table / sizeof(T)) oversized = true;
        if (count > file_.size / sizeof(T) || oversized) return false;
        out->resize(static_cast<size_t>(count));
        return count == 0 || read(address, out->data(), out->size() * sizeof(T));
    }
    // Set once a table was refused for its size alone.
    mutable bool oversized = false;

private:
    const File &file_;
    const std::vector<Phdr> &segments_;
};

// Why the file is no plug-in whose version stamp gives `name` (any name, or
// none, when empty): the header, the limits, the stamp, then the dynamic
// tables. An empty string when it is one.
std::string check_image(const File &f, const std::string &name);

// What the dynamic linker reads before any of the plug-in's code runs: the
// dynamic section and every table it names. Each must lie inside the loaded
// segments (the linker reads them there without checking), every index and
// string offset inside its table, every relocation's target inside the
// image. Answers the first fault, or an empty string.
std::string check_dynamic(const Image &image);

}  // namespace loader
}  // namespace minihost

#endif
