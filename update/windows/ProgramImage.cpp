#include "ProgramImage.h"

#include "Handles.h"

#include <cstring>
#include <string_view>

Result ReadProgramVersion(HANDLE file, VS_FIXEDFILEINFO& version) {
    const UniqueKernelObject section(
        CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr));
    if (!section) {
        return Result(GetLastError());
    }
    const UniqueMappedView view(MapViewOfFile(section.Get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) {
        return Result(GetLastError());
    }
    const auto* base = static_cast<const BYTE*>(view.Get());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const WORD machine = nt->FileHeader.Machine;
    const WORD kind = nt->FileHeader.Characteristics;
    if ((machine != IMAGE_FILE_MACHINE_I386 && machine != IMAGE_FILE_MACHINE_AMD64) ||
        (kind & IMAGE_FILE_EXECUTABLE_IMAGE) == 0 || (kind & IMAGE_FILE_DLL) != 0) {
        return Result(ERROR_BAD_EXE_FORMAT);
    }
    const auto module = reinterpret_cast<HMODULE>(view.Get());
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const DWORD size = resource != nullptr ? SizeofResource(module, resource) : 0;
    const auto* data = size != 0
                           ? static_cast<const BYTE*>(LockResource(LoadResource(module, resource)))
                           : nullptr;
    // VS_VERSIONINFO: its length, the length of its value, its type, the key
    // "VS_VERSION_INFO" and, on a 32-bit boundary, the fixed part as its value.
    constexpr std::wstring_view kKey = L"VS_VERSION_INFO";
    constexpr std::size_t kValueOffset = 40;
    WORD valueLength = 0;
    if (data != nullptr && size >= kValueOffset + sizeof(version)) {
        std::memcpy(&valueLength, data + 2, sizeof(valueLength));
        std::memcpy(&version, data + kValueOffset, sizeof(version));
    }
    if (data == nullptr || valueLength != sizeof(version) ||
        std::memcmp(data + 6, kKey.data(), kKey.size() * sizeof(wchar_t)) != 0 ||
        version.dwSignature != VS_FFI_SIGNATURE) {
        return Result(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    return {};
}

DottedVersion::DottedVersion(DWORD high, DWORD low) {
    for (const DWORD part : {high >> 16U, high & 0xFFFFU, low >> 16U, low & 0xFFFFU}) {
        text_.AppendCut({text_.View().empty() ? L"" : L".", NumberText(part).View()});
    }
}
