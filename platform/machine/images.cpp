// What kind of image a host file is, read from its ELF headers without loading it: a driver image
// exports DriverEntry, a program image wmain, a library is any shared object of this machine.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "machine_internal.h"

namespace hvsim {
namespace {

template <typename T> bool read_at(const std::string& bytes, size_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

// Whether the dynamic symbol table defines `name`. Every offset is checked against the file.
bool exports_symbol(const std::string& bytes, const Elf64_Ehdr& header, const char* name) {
    if (header.e_shentsize != sizeof(Elf64_Shdr)) return false;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr symbols;
        if (!read_at(bytes, header.e_shoff + i * sizeof(Elf64_Shdr), &symbols)) return false;
        if (symbols.sh_type != SHT_DYNSYM || symbols.sh_entsize != sizeof(Elf64_Sym)) continue;
        Elf64_Shdr strings;
        if (!read_at(bytes, header.e_shoff + symbols.sh_link * sizeof(Elf64_Shdr), &strings)) return false;
        if (strings.sh_offset > bytes.size() || bytes.size() - strings.sh_offset < strings.sh_size) return false;
        const std::string_view table(bytes.data() + strings.sh_offset, strings.sh_size);
        for (size_t at = 0; at + sizeof(Elf64_Sym) <= symbols.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            if (!read_at(bytes, symbols.sh_offset + at, &symbol)) return false;
            if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= table.size()) continue;
            const unsigned binding = ELF64_ST_BIND(symbol.st_info);
            if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
            const std::string_view symbol_name = table.substr(symbol.st_name);
            if (symbol_name.substr(0, symbol_name.find('\0')) == name) return true;
        }
    }
    return false;
}

} // namespace

std::optional<ImageKind> image_kind_of_name(const std::string& file_name) {
    const auto dot = file_name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    std::string extension = file_name.substr(dot + 1);
    for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "sys") return ImageKind::Driver;
    if (extension == "exe") return ImageKind::Program;
    if (extension == "dll") return ImageKind::Library;
    return std::nullopt;
}

std::optional<std::string> image_problem(const std::filesystem::path& file, ImageKind kind) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return "it cannot be read";
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return "it is empty, not an image";
    Elf64_Ehdr header;
    if (!read_at(bytes, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return "it is not an image (no shared object)";
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_type != ET_DYN)
        return "it is not a shared object of this machine";
    const char* entry = kind == ImageKind::Driver ? "DriverEntry" : kind == ImageKind::Program ? "wmain" : nullptr;
    if (entry && !exports_symbol(bytes, header, entry))
        return std::string("it is not a ") + (kind == ImageKind::Driver ? "driver" : "program") +
               " image (it exports no " + entry + ")";
    return std::nullopt;
}

} // namespace hvsim
