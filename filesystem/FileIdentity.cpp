#include "FileIdentity.h"

#include <array>

bool SameName(std::wstring_view one, std::wstring_view other) {
    return CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

Result FinalPath(HANDLE file, PathText& path) {
    std::array<wchar_t, MAX_PATH + 8> final{};
    const DWORD length =
        GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
    if (length == 0 || length >= final.size()) {
        return Result(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    std::wstring_view found(final.data(), length);
    constexpr std::wstring_view kLocal = L"\\\\?\\";
    if (found.starts_with(kLocal) && found.size() > kLocal.size() + 1 &&
        found[kLocal.size() + 1] == L':') {
        found.remove_prefix(kLocal.size());
    }
    return path.Assign(found) ? Result() : Result(ERROR_FILENAME_EXCED_RANGE);
}

Result ReachesExactly(HANDLE file, std::wstring_view path) {
    PathText reached;
    Result found = FinalPath(file, reached);
    return !found || SameName(reached.CStr(), path) ? found : Result(kErrorStoppedOnLink);
}

Result IsSingleOrdinaryFile(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    if (!GetFileInformationByHandle(file, &info)) {
        return Result(GetLastError());
    }
    const bool linked =
        info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0;
    return linked ? Result(kErrorStoppedOnLink) : Result();
}

Result LocalFullPath(const wchar_t* name, PathText& full) {
    std::array<wchar_t, MAX_PATH> buffer{};
    const DWORD length =
        GetFullPathNameW(name, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) {
        return Result(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    }
    std::wstring_view path(buffer.data(), length);
    for (const std::wstring_view prefix : {L"\\\\?\\", L"\\\\.\\"}) {
        if (path.starts_with(prefix)) {
            path.remove_prefix(prefix.size());
            break;
        }
    }
    const bool drive =
        path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    if (!drive || path.find_first_of(L":/", 2) != std::wstring_view::npos) {
        return Result(ERROR_BAD_PATHNAME);
    }
    const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) == DRIVE_REMOTE) {
        return Result(ERROR_BAD_PATHNAME);
    }
    return full.Assign(path) ? Result() : Result(ERROR_FILENAME_EXCED_RANGE);
}

Result IsPlainFileAt(HANDLE file, PathText& full) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (Result single = IsSingleOrdinaryFile(file, info); !single) {
        return single;
    }
    std::array<wchar_t, MAX_PATH> longName{};
    const DWORD length =
        GetLongPathNameW(full.CStr(), longName.data(), static_cast<DWORD>(longName.size()));
    if (length != 0 && length < longName.size() && !full.Assign({longName.data(), length})) {
        return Result(ERROR_FILENAME_EXCED_RANGE);
    }
    return ReachesExactly(file, full.View());
}

UniqueFile OpenToRead(const wchar_t* path) {
    return UniqueFile(CreateFileW(path, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

Result ReadAt(HANDLE file, LONGLONG offset, void* buffer, DWORD size, DWORD& read) {
    read = 0;
    // The position rather than an OVERLAPPED offset, for which Wine adds a
    // round trip to its server to every read: the copy took a fifth longer.
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
        !ReadFile(file, buffer, size, &read, nullptr)) {
        return Result(GetLastError());
    }
    return {};
}

Result SetDeleteMark(HANDLE file, bool deleteIt) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteIt)};
    if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))) {
        return {};
    }
    return Result(GetLastError());
}
