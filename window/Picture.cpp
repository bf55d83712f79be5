#include "Picture.h"

#include "Com.h"
#include "Handles.h"
#include "SystemProcedure.h"

#include <shlwapi.h>
#include <wincodec.h>

bool Picture::Load(HINSTANCE instance, WORD resourceId) {
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(resourceId), RT_RCDATA);
    HGLOBAL loaded = resource != nullptr ? LoadResource(instance, resource) : nullptr;
    void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return false;
    }

    // Declared before the objects below, so each is released before the codecs'
    // DLL is unloaded and COM closes.
    const ComScope com;
    // Taken from System32 by name, never through the class registry: an
    // elevated process still reads the user's own registrations
    // (HKCU\Software\Classes), where any program of the user could name a DLL.
    const UniqueModule codecs = LoadSystemLibrary(L"windowscodecs.dll");
    const auto getClassObject =
        codecs ? LookUpProcedure<LPFNGETCLASSOBJECT>(codecs.Get(), "DllGetClassObject") : nullptr;
    ComPtr<IClassFactory> factory;
    ComPtr<IStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    WICPixelFormatGUID format{};
    UINT width = 0;
    UINT height = 0;
    // The JPEG decoder is created by name and its rows copied as they come:
    // asking WIC's imaging factory to pick a decoder reads every registered
    // codec's entry first, and it and a format converter add little but start-up time.
    if (!com.Ok() || getClassObject == nullptr) {
        return false;
    }
    *stream.Put() =
        SHCreateMemStream(static_cast<const BYTE*>(bytes), SizeofResource(instance, resource));
    if (!stream.Get() ||
        FAILED(getClassObject(CLSID_WICJpegDecoder, IID_IClassFactory,
                              reinterpret_cast<void**>(factory.Put()))) ||
        FAILED(factory->CreateInstance(nullptr, IID_IWICBitmapDecoder,
                                       reinterpret_cast<void**>(decoder.Put()))) ||
        FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand)) ||
        FAILED(decoder->GetFrame(0, frame.Put())) || FAILED(frame->GetPixelFormat(&format)) ||
        format != GUID_WICPixelFormat24bppBGR || FAILED(frame->GetSize(&width, &height))) {
        return false;
    }

    info_.bmiHeader.biSize = sizeof(info_.bmiHeader);
    info_.bmiHeader.biWidth = static_cast<LONG>(width);
    info_.bmiHeader.biHeight = -static_cast<LONG>(height); // top-down, as WIC delivers rows
    info_.bmiHeader.biPlanes = 1;
    info_.bmiHeader.biBitCount = 24;
    info_.bmiHeader.biCompression = BI_RGB;
    bitmap_.Reset(CreateDIBSection(nullptr, &info_, DIB_RGB_COLORS, &bits_, nullptr, 0));
    // A bitmap's rows start on four-byte boundaries.
    const UINT stride = (width * 3 + 3) & ~3U;
    if (!bitmap_ ||
        FAILED(frame->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits_)))) {
        bitmap_.Reset();
        return false;
    }
    return true;
}

void Picture::Draw(HDC dc, const RECT& target) const {
    if (!bitmap_) {
        return;
    }
    const int previousMode = SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, target.left, target.top, target.right - target.left,
                  target.bottom - target.top, 0, 0, info_.bmiHeader.biWidth,
                  -info_.bmiHeader.biHeight, bits_, &info_, DIB_RGB_COLORS, SRCCOPY);
    SetStretchBltMode(dc, previousMode);
}
