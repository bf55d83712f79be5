#include "Payload.h"

#include "FileIdentity.h"

#include <algorithm>
#include <cstring>

namespace {

// Read into a buffer of the program's and written from it. A read-only view
// of the payload instead copies each byte once, not twice, but faulting its
// pages in and mapping a view every few MiB cost more than the second copy of
// a block the processor's cache still holds, and its pages count as the
// program's memory. Each read and write also costs Wine time of its own:
// 256 KiB blocks took 6 % longer than these, 128 KiB ones longer still. With
// 1 MiB blocks, every other copy took four times as long, each write crawling.
constexpr DWORD kBlockSize = 512U << 10U;
// Flushed as it is written, since one flush of a whole large file could take
// seconds on a slow disk with the window unanswered all that time. Each step
// is sized so that its flush takes about 25 ms at the pace the last one showed,
// as fast and slow disks differ a hundredfold, and each flush also commits the
// disk's log. Steps that doubled or halved while flushes took under 10 or over
// 25 ms stuck at whichever size first fell between: 16 flushes of 10 ms for
// 256 MiB on a fast day. Larger steps (up to 256 MiB, 20 to 40 ms each) let
// the window's answers reach 150 ms through a 1 GiB copy.
constexpr LONGLONG kFirstFlush = 8LL << 20U;
constexpr LONGLONG kLargestFlush = 64LL << 20U;
constexpr double kFlushSeconds = 0.025;
static_assert(kFirstFlush % kBlockSize == 0 && kLargestFlush % kBlockSize == 0);

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
    auto* const block = static_cast<BYTE*>(blocks_.Get());
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    LONGLONG copied = 0;
    LONGLONG flushEvery = kFirstFlush;
    LONGLONG flushAt = flushEvery;
    while (copied < size_.QuadPart) {
        waits.Pace();
        DWORD read = 0;
        if (Result got = ReadAt(file_.Get(), copied, block, kBlockSize, read); !got) {
            return got;
        }
        // Nobody can write the payload while it is open, so it ends where it did.
        if (read == 0) {
            return Result(ERROR_HANDLE_EOF);
        }
        DWORD written = 0;
        if (!WriteFile(output, block, read, &written, nullptr)) {
            return Result(GetLastError());
        }
        if (written != read) {
            return Result(ERROR_WRITE_FAULT);
        }
        copied += read;
        if (copied < flushAt) {
            continue;
        }
        // Whatever is waiting is answered first, so the flush is all the window waits for.
        static_cast<void>(waits.Wait(nullptr, 0));
        LARGE_INTEGER started{};
        LARGE_INTEGER ended{};
        QueryPerformanceCounter(&started);
        if (!FlushFileBuffers(output)) {
            return Result(GetLastError());
        }
        QueryPerformanceCounter(&ended);
        const double took = static_cast<double>(ended.QuadPart - started.QuadPart) /
                            static_cast<double>(frequency.QuadPart);
        // At most doubled, so that one quick flush cannot make the next one long.
        const double paced =
            std::min(static_cast<double>(flushEvery) * kFlushSeconds / std::max(took, 1e-6),
                     2.0 * static_cast<double>(flushEvery));
        flushEvery = std::clamp<LONGLONG>(static_cast<LONGLONG>(paced) & ~LONGLONG{kBlockSize - 1},
                                          kBlockSize, kLargestFlush);
        flushAt = copied + flushEvery;
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
