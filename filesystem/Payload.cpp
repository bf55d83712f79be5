#include "Payload.h"

#include "FileIdentity.h"

#include <algorithm>
#include <cstring>

namespace {

// Written from a read-only view of the payload, so each byte is copied once,
// from the system's cache into the staging file's, rather than twice through a
// buffer of the program's (which took 1.5 times as long as cp + sync). Views
// of 3 MiB: larger ones copied a little faster, but their pages stay resident
// while they are mapped, and 4 MiB ones already grew the program's memory by
// a tenth.
constexpr LONGLONG kViewSize = 3LL << 20U;
// The cache manager's own view size. 64 KiB blocks copied twice as slowly;
// 512 KiB and 1 MiB ones were quicker at first, but after much writing some
// copies in a row took twice as long, while these kept their pace.
constexpr DWORD kBlockSize = 256U << 10U;
// Flushed as it is written, since one flush of a whole large file could take
// seconds on a slow disk with the window unanswered all that time. Each flush
// should take some 10 to 25 ms: the amount doubles while flushes are quicker
// and halves while they are slower, as fast and slow disks differ a hundredfold.
// Larger steps (up to 256 MiB, 20 to 40 ms each) saved little of the copy's
// time and let the window's answers reach 150 ms through a 1 GiB copy.
constexpr LONGLONG kFirstFlush = 8LL << 20U;
constexpr LONGLONG kLargestFlush = 64LL << 20U;
constexpr ULONGLONG kQuickFlushMs = 10;
constexpr ULONGLONG kSlowFlushMs = 25;
static_assert(kViewSize % kBlockSize == 0 && kFirstFlush % kBlockSize == 0 &&
              kLargestFlush % kFirstFlush == 0);

} // namespace

Result Payload::Open(std::wstring_view source, UpdateLog& log) {
    PathText name;
    Result opened = name.Assign(source) ? LocalFullPath(name.CStr(), path_)
                                        : Result(ERROR_FILENAME_EXCED_RANGE);
    // Shared for reading only: nobody may change, rename or replace the
    // payload while it is checked and copied into every folder, nor rename
    // the folder that holds it. Never through a link: the download folder is
    // the user's, and what a link there leads to may be a file only
    // administrators can read.
    if (opened) {
        file_.Reset(CreateFileW(path_.CStr(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        opened = file_ ? IsPlainFileAt(file_.Get(), path_) : Result(GetLastError());
    }
    if (opened && (!GetFileSizeEx(file_.Get(), &size_) ||
                   !GetFileTime(file_.Get(), nullptr, nullptr, &writeTime_))) {
        opened = Result(GetLastError());
    }
    if (!opened) {
        file_.Reset();
        return opened.In({L"opening the payload ", source});
    }
    log.Step({L"payload ", path_.CStr(), L": ", NumberText(size_.QuadPart).View(), L" bytes"});
    // An empty payload is an interrupted download, never a new executable.
    if (size_.QuadPart == 0) {
        file_.Reset();
        return Result(ERROR_HANDLE_EOF, {L"the payload is empty"});
    }
    blocks_.Reset(VirtualAlloc(nullptr, 2 * kBlockSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!blocks_) {
        file_.Reset();
        return Result(GetLastError(), {L"allocating the copy's buffers"});
    }
    return {};
}

Result Payload::Compare(HANDLE installed, bool& same, Waits& waits) const {
    same = false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(installed, &size)) {
        return Result(GetLastError());
    }
    if (size.QuadPart != size_.QuadPart) {
        return {};
    }
    auto* const ours = static_cast<BYTE*>(blocks_.Get());
    BYTE* const theirs = ours + kBlockSize;
    for (LONGLONG offset = 0;; offset += kBlockSize) {
        waits.Pace();
        DWORD read = 0;
        DWORD readThere = 0;
        if (Result got = ReadAt(file_.Get(), offset, ours, kBlockSize, read); !got) {
            return got;
        }
        if (Result got = ReadAt(installed, offset, theirs, kBlockSize, readThere); !got) {
            return got;
        }
        if (read != readThere || std::memcmp(ours, theirs, read) != 0) {
            return {};
        }
        if (read == 0) {
            same = true;
            return {};
        }
    }
}

Result Payload::CopyTo(HANDLE output, Waits& waits) const {
    const UniqueKernelObject section(
        CreateFileMappingW(file_.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!section) {
        return Result(GetLastError(), {L"mapping the payload"});
    }
    LONGLONG copied = 0;
    LONGLONG flushEvery = kFirstFlush;
    LONGLONG flushAt = flushEvery;
    while (copied < size_.QuadPart) {
        // Only WriteFile reads the view: a page the disk cannot give is its
        // error, never an exception in the program.
        const auto viewBytes = static_cast<DWORD>(std::min(kViewSize, size_.QuadPart - copied));
        const UniqueMappedView view(MapViewOfFile(section.Get(), FILE_MAP_READ,
                                                  static_cast<DWORD>(copied >> 32U),
                                                  static_cast<DWORD>(copied), viewBytes));
        if (!view) {
            return Result(GetLastError(), {L"mapping the payload"});
        }
        for (DWORD offset = 0; offset < viewBytes;) {
            waits.Pace();
            const DWORD block = std::min(kBlockSize, viewBytes - offset);
            DWORD written = 0;
            if (!WriteFile(output, static_cast<const BYTE*>(view.Get()) + offset, block, &written,
                           nullptr)) {
                return Result(GetLastError());
            }
            if (written != block) {
                return Result(ERROR_WRITE_FAULT);
            }
            offset += block;
            copied += block;
            if (copied < flushAt) {
                continue;
            }
            // Whatever is waiting is answered first, so the flush is all the window waits for.
            static_cast<void>(waits.Wait(nullptr, 0));
            const ULONGLONG started = GetTickCount64();
            if (!FlushFileBuffers(output)) {
                return Result(GetLastError());
            }
            const ULONGLONG took = GetTickCount64() - started;
            if (took < kQuickFlushMs && flushEvery < kLargestFlush) {
                flushEvery *= 2;
            } else if (took > kSlowFlushMs && flushEvery > kBlockSize) {
                flushEvery /= 2;
            }
            flushAt = copied + flushEvery;
        }
    }
    LARGE_INTEGER staged{};
    if (!GetFileSizeEx(output, &staged) || !SetFileTime(output, nullptr, nullptr, &writeTime_) ||
        !FlushFileBuffers(output)) {
        return Result(GetLastError());
    }
    // Sizes that do not add up have no Windows error of their own.
    return copied == size_.QuadPart && staged.QuadPart == copied ? Result()
                                                                 : Result(ERROR_INVALID_DATA);
}
