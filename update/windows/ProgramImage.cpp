#include "ProgramImage.h"

#include "Handles.h"

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

// Calls `visit` with each child of `parent` until it answers false.
template <typename Visit>
void ForEachChild(const BYTE* block, const VersionNode& parent, Visit visit) {
    VersionNode child;
    for (std::size_t at = parent.children;
         at < parent.end && ReadNode(block, parent.end, at, child) && visit(child);
         at = Aligned(child.end)) {
    }
}

// StringFileInfo holds a table per language, each holding the texts.
void ReadOriginalFilename(const BYTE* block, const VersionNode& root, FileName& name) {
    bool agreed = true;
    bool found = false;
    ForEachChild(block, root, [&](const VersionNode& info) {
        if (info.key == L"StringFileInfo") {
            ForEachChild(block, info, [&](const VersionNode& table) {
                ForEachChild(block, table, [&](const VersionNode& text) {
                    if (text.key == L"OriginalFilename") {
                        std::wstring_view value(
                            reinterpret_cast<const wchar_t*>(block + text.value),
                            text.valueBytes / sizeof(wchar_t));
                        value = value.substr(0, value.find(L'\0'));
                        agreed = agreed && (found ? value == name.View() : name.Assign(value));
                        found = true;
                    }
                    return true;
                });
                return true;
            });
        }
        return true;
    });
    if (!agreed) {
        name.Clear();
    }
}

} // namespace

Result ReadProgramVersion(HANDLE file, ProgramVersion& version) {
    const UniqueKernelObject section(
        CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr));
    if (!section) {
        return Result(GetLastError());
    }
    const UniqueMappedView view(MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        return Result(GetLastError());
    }
    // Only the file header, which PE32 and PE32+ share: either kind of
    // program is read the same way by either build.
    const auto* base = static_cast<const BYTE*>(view.Get());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* header = reinterpret_cast<const IMAGE_FILE_HEADER*>(base + dos->e_lfanew + 4);
    const WORD machine = header->Machine;
    const WORD kind = header->Characteristics;
    if ((machine != IMAGE_FILE_MACHINE_I386 && machine != IMAGE_FILE_MACHINE_AMD64) ||
        (kind & IMAGE_FILE_EXECUTABLE_IMAGE) == 0 || (kind & IMAGE_FILE_DLL) != 0) {
        return Result(ERROR_BAD_EXE_FORMAT);
    }
    const auto module = reinterpret_cast<HMODULE>(view.Get());
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
    const auto* block = size != 0
                            ? static_cast<const BYTE*>(LockResource(LoadResource(module, resource)))
                            : nullptr;
    VersionNode root;
    if (block == nullptr || !ReadNode(block, size, 0, root) || root.key != L"VS_VERSION_INFO" ||
        root.valueBytes != sizeof(version.fixed)) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    std::memcpy(&version.fixed, block + root.value, sizeof(version.fixed));
    if (version.fixed.dwSignature != VS_FFI_SIGNATURE) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    ReadOriginalFilename(block, root, version.originalFilename);
    return {};
}

DottedVersion::DottedVersion(DWORD high, DWORD low) {
    for (const DWORD part : {high >> 16U, high & 0xFFFFU, low >> 16U, low & 0xFFFFU}) {
        text_.AppendCut({text_.View().empty() ? L"" : L".", NumberText(part).View()});
    }
}
