#pragma once

#include "UniqueHandle.h"

#include <windows.h>

// One owner per kind of handle: what a failed call returns, and the one
// function that frees it.
template <typename H, void (*Free)(H)> struct NullIsNone {
    using Handle = H;
    static Handle Invalid() { return Handle{}; }
    static void Close(Handle handle) { Free(handle); }
};

// CreateFileW and FindFirstFileW fail with INVALID_HANDLE_VALUE, not null.
template <void (*Free)(HANDLE)> struct MinusOneIsNone {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { Free(handle); }
};

// The system's own functions are imported, so their addresses are no
// constants a template can take.
struct Freeing {
    static void Close(HANDLE handle) { CloseHandle(handle); }
    static void EndFind(HANDLE find) { FindClose(find); }
    static void CloseKey(HKEY key) { RegCloseKey(key); }
    static void Unload(HMODULE module) { FreeLibrary(module); }
    static void FreeVirtual(void* memory) { VirtualFree(memory, 0, MEM_RELEASE); }
    // What the system allocated for the caller with LocalAlloc.
    static void LocalRelease(void* memory) { LocalFree(memory); }
    static void Unmap(void* view) { UnmapViewOfFile(view); }
    static void Delete(HGDIOBJ object) { DeleteObject(object); }
    // The screen's device context, from GetDC(nullptr).
    static void ReleaseScreenDc(HDC dc) { ReleaseDC(nullptr, dc); }
    static void Unhook(HWINEVENTHOOK hook) { UnhookWinEvent(hook); }
};

using UniqueFile = UniqueHandle<MinusOneIsNone<Freeing::Close>>;
using UniqueFind = UniqueHandle<MinusOneIsNone<Freeing::EndFind>>;
// Processes, threads, events, sections: null when the call failed.
using UniqueKernelObject = UniqueHandle<NullIsNone<HANDLE, Freeing::Close>>;
using UniqueRegistryKey = UniqueHandle<NullIsNone<HKEY, Freeing::CloseKey>>;
using UniqueModule = UniqueHandle<NullIsNone<HMODULE, Freeing::Unload>>;
using UniqueVirtualMemory = UniqueHandle<NullIsNone<void*, Freeing::FreeVirtual>>;
using UniqueLocalMemory = UniqueHandle<NullIsNone<void*, Freeing::LocalRelease>>;
using UniqueMappedView = UniqueHandle<NullIsNone<void*, Freeing::Unmap>>;
using UniqueGdiObject = UniqueHandle<NullIsNone<HGDIOBJ, Freeing::Delete>>;
using UniqueScreenDc = UniqueHandle<NullIsNone<HDC, Freeing::ReleaseScreenDc>>;
using UniqueWinEventHook = UniqueHandle<NullIsNone<HWINEVENTHOOK, Freeing::Unhook>>;
