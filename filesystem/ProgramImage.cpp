#include "ProgramImage.h"

#include "Handles.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

// One node of a version resource: a key, a value and children, each on a
// 32-bit boundary of the resource, all within the node's length.
struct VersionNode {
    std::wstring_view key;
    std::size_t value = 0;
    std::size_t valueBytes = 0;
    std::size_t children = 0;
    std::size_t end = 0;
};

constexpr std::size_t Aligned(std::size_t offset) {
    return (offset + 3U) & ~std::size_t{3};
}

// The node at `offset`, or false where it does not fit in `size` bytes.
[[nodiscard]] bool ReadNode(const BYTE* block, std::size_t size, std::size_t offset,
                            VersionNode& node) {
    WORD header[3]{};
    if (offset > size || size - offset < sizeof(header)) {
        return false;
    }
    std::memcpy(header, block + offset, sizeof(header));
    const auto [length, valueLength, isText] = header;
    if (length < sizeof(header) || length > size - offset) {
        return false;
    }
    node.end = offset + length;
    const auto* key = reinterpret_cast<const wchar_t*>(block + offset + sizeof(header));
    const std::size_t keyRoom = (length - sizeof(header)) / sizeof(wchar_t);
    std::size_t keyLength = 0;
    while (keyLength < keyRoom && key[keyLength] != L'\0') {
        ++keyLength;
    }
    if (keyLength == keyRoom) {
        return false;
    }
    node.key = {key, keyLength};
    node.value = Aligned(offset + sizeof(header) + (keyLength + 1) * sizeof(wchar_t));
    // A text's length counts characters; tools differ on the zero, so it is
    // held to the node.
    const std::size_t room = node.value < node.end ? node.end - node.value : 0;
    node.valueBytes =
        std::min<std::size_t>(isText != 0 ? valueLength * sizeof(wchar_t) : valueLength, room);
    node.children = Aligned(node.value + node.valueBytes);
    return true;
}

// What the tables say of the name: nothing yet, one name, or names that disagree.
struct NameFound {
    bool found = false;
    bool agreed = true;
};

// StringFileInfo holds a table per language, each holding texts: `depth` 0
// is the root, 1 StringFileInfo, 2 a table. Every OriginalFilename must agree.
void FindOriginalFilename(const BYTE* block, const VersionNode& parent, int depth, FileName& name,
                          NameFound& found) {
    VersionNode child;
    for (std::size_t at = parent.children;
         at < parent.end && ReadNode(block, parent.end, at, child); at = Aligned(child.end)) {
        if (depth < 2 && (depth == 1 || child.key == L"StringFileInfo")) {
            FindOriginalFilename(block, child, depth + 1, name, found);
        } else if (depth == 2 && child.key == L"OriginalFilename") {
            std::wstring_view value(reinterpret_cast<const wchar_t*>(block + child.value),
                                    child.valueBytes / sizeof(wchar_t));
            // Up to its zero, without substr(), which would bring the runtime's
            // exceptions into the program.
            value = {value.data(), std::min(value.size(), value.find(L'\0'))};
            // Two names, or one too long: none.
            found.agreed =
                found.agreed && (found.found ? value == name.View() : name.Assign(value));
            found.found = true;
        }
    }
}

// The file as mapped for reading: every read is held to its size.
struct FileBytes {
    const BYTE* data;
    std::size_t size;

    [[nodiscard]] bool Copy(std::size_t offset, void* value, std::size_t length) const;
    template <typename T> [[nodiscard]] bool Read(std::size_t offset, T& value) const {
        return Copy(offset, &value, sizeof(value));
    }
};

bool FileBytes::Copy(std::size_t offset, void* value, std::size_t length) const {
    if (offset > size || size - offset < length) {
        return false;
    }
    std::memcpy(value, data + offset, length);
    return true;
}

// Where `length` bytes at `rva` lie in the file, through the section that holds them.
[[nodiscard]] bool FileOffsetOf(const FileBytes& image, std::size_t sections, WORD count, DWORD rva,
                                DWORD length, std::size_t& offset) {
    for (WORD i = 0; i < count; ++i) {
        IMAGE_SECTION_HEADER section{};
        if (!image.Read(sections + i * sizeof(section), section)) {
            return false;
        }
        const DWORD start = section.VirtualAddress;
        if (rva >= start && rva - start < section.SizeOfRawData &&
            length <= section.SizeOfRawData - (rva - start)) {
            offset = static_cast<std::size_t>(section.PointerToRawData) + (rva - start);
            return offset <= image.size && length <= image.size - offset;
        }
    }
    return false;
}

// The entry of a resource directory with `id`, or its first entry when `id`
// is 0: its offset from the resources' start, the top bit marking a directory.
[[nodiscard]] bool ResourceEntry(const FileBytes& image, std::size_t resources,
                                 std::size_t directory, WORD id, DWORD& target) {
    IMAGE_RESOURCE_DIRECTORY header{};
    if (!image.Read(resources + directory, header)) {
        return false;
    }
    const std::size_t count = std::size_t{header.NumberOfNamedEntries} + header.NumberOfIdEntries;
    for (std::size_t i = id == 0 ? 0 : header.NumberOfNamedEntries; i < count; ++i) {
        DWORD entry[2]{};
        if (!image.Read(resources + directory + sizeof(header) + i * sizeof(entry), entry)) {
            return false;
        }
        if (id == 0 || entry[0] == id) {
            target = entry[1];
            return true;
        }
    }
    return false;
}

// The program's version resource, found as the loader would find it, but in
// the file's own layout: either build reads a program of either kind alike,
// whatever the system it runs on could run.
[[nodiscard]] Result FindVersionResource(const FileBytes& image, std::size_t& at,
                                         std::size_t& length) {
    IMAGE_DOS_HEADER dos{};
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    const std::size_t nt = image.Read(0, dos) ? static_cast<DWORD>(dos.e_lfanew) : 0;
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || !image.Read(nt, signature) ||
        signature != IMAGE_NT_SIGNATURE || !image.Read(nt + sizeof(signature), header)) {
        return Result(ERROR_BAD_EXE_FORMAT);
    }
    const std::size_t optional = nt + sizeof(signature) + sizeof(header);
    WORD magic = 0;
    const WORD kind = header.Characteristics;
    if ((header.Machine != IMAGE_FILE_MACHINE_I386 && header.Machine != IMAGE_FILE_MACHINE_AMD64) ||
        (kind & IMAGE_FILE_EXECUTABLE_IMAGE) == 0 || (kind & IMAGE_FILE_DLL) != 0 ||
        !image.Read(optional, magic) ||
        (magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC && magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)) {
        return Result(ERROR_BAD_EXE_FORMAT);
    }
    const bool wide = magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    const std::size_t directories =
        optional + (wide ? offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
                         : offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory));
    DWORD directoryCount = 0;
    IMAGE_DATA_DIRECTORY resources{};
    if (!image.Read(optional + (wide ? offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes)
                                     : offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes)),
                    directoryCount) ||
        directoryCount <= IMAGE_DIRECTORY_ENTRY_RESOURCE ||
        directories + (IMAGE_DIRECTORY_ENTRY_RESOURCE + 1) * sizeof(resources) >
            optional + header.SizeOfOptionalHeader ||
        !image.Read(directories + IMAGE_DIRECTORY_ENTRY_RESOURCE * sizeof(resources), resources) ||
        resources.Size == 0) {
        return Result(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    const std::size_t sections = optional + header.SizeOfOptionalHeader;
    const WORD count = header.NumberOfSections;
    std::size_t root = 0;
    if (!FileOffsetOf(image, sections, count, resources.VirtualAddress, resources.Size, root)) {
        return Result(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    // Type, then name, then the first language; the last is the data's entry.
    constexpr DWORD kDirectory = 0x80000000U;
    DWORD type = 0;
    DWORD name = 0;
    DWORD language = 0;
    IMAGE_RESOURCE_DATA_ENTRY data{};
    if (!ResourceEntry(image, root, 0, static_cast<WORD>(reinterpret_cast<ULONG_PTR>(RT_VERSION)),
                       type) ||
        (type & kDirectory) == 0 ||
        !ResourceEntry(image, root, type & ~kDirectory, VS_VERSION_INFO, name) ||
        (name & kDirectory) == 0 || !ResourceEntry(image, root, name & ~kDirectory, 0, language) ||
        (language & kDirectory) != 0 || !image.Read(root + language, data) ||
        !FileOffsetOf(image, sections, count, data.OffsetToData, data.Size, at)) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    length = data.Size;
    return {};
}

} // namespace

Result ReadProgramVersion(HANDLE file, ProgramVersion& version) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        return Result(GetLastError());
    }
    if (size.QuadPart == 0 || static_cast<ULONGLONG>(size.QuadPart) > SIZE_MAX) {
        return Result(ERROR_BAD_EXE_FORMAT);
    }
    const UniqueKernelObject section(
        CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!section) {
        return Result(GetLastError());
    }
    const UniqueMappedView view(MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        return Result(GetLastError());
    }
    const FileBytes image{static_cast<const BYTE*>(view.Get()),
                          static_cast<std::size_t>(size.QuadPart)};
    std::size_t at = 0;
    std::size_t length = 0;
    if (Result found = FindVersionResource(image, at, length); !found) {
        return found;
    }
    const BYTE* block = image.data + at;
    VersionNode root;
    if (!ReadNode(block, length, 0, root) || root.key != L"VS_VERSION_INFO" ||
        root.valueBytes != sizeof(version.fixed)) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    std::memcpy(&version.fixed, block + root.value, sizeof(version.fixed));
    if (version.fixed.dwSignature != VS_FFI_SIGNATURE) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    NameFound found;
    FindOriginalFilename(block, root, 0, version.originalFilename, found);
    if (!found.agreed) {
        version.originalFilename.Clear();
    }
    return {};
}

DottedVersion::DottedVersion(DWORD high, DWORD low) {
    for (const DWORD part : {high >> 16U, high & 0xFFFFU, low >> 16U, low & 0xFFFFU}) {
        text_.AppendCut({text_.View().empty() ? L"" : L".", NumberText(part).View()});
    }
}
