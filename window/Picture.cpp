#include "Picture.h"

#include "Com.h"

#include <wincodec.h>

bool Picture::Load(HINSTANCE instance, WORD resourceId) {
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(resourceId), RT_RCDATA);
    HGLOBAL loaded = resource != nullptr ? LoadResource(instance, resource) : nullptr;
    void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return false;
    }

    // Declared first so every COM object below is released before COM closes.
    const ComScope com;
    ComPtr<IWICImagingFactory> factory;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    UINT width = 0;
    UINT height = 0;
    // The JPEG decoder is created by name: asking the factory to pick one from
    // the stream reads every registered codec's entry first, half the start-up
    // cost of the picture.
    if (!com.Ok() ||
        FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.Put()))) ||
        FAILED(factory->CreateStream(stream.Put())) ||
        FAILED(stream->InitializeFromMemory(static_cast<BYTE*>(bytes),
                                            SizeofResource(instance, resource))) ||
        FAILED(CoCreateInstance(CLSID_WICJpegDecoder, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICBitmapDecoder, reinterpret_cast<void**>(decoder.Put()))) ||
        FAILED(decoder->Initialize(stream.Get(), WICDecodeMetadataCacheOnDemand)) ||
        FAILED(decoder->GetFrame(0, frame.Put())) ||
        FAILED(factory->CreateFormatConverter(converter.Put())) ||
        FAILED(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppBGR,
                                     WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height))) {
        return false;
    }

    info_.bmiHeader.biSize = sizeof(info_.bmiHeader);
    info_.bmiHeader.biWidth = static_cast<LONG>(width);
    info_.bmiHeader.biHeight = -static_cast<LONG>(height); // top-down, as WIC delivers rows
    info_.bmiHeader.biPlanes = 1;
    info_.bmiHeader.biBitCount = 32;
    info_.bmiHeader.biCompression = BI_RGB;
    bitmap_.Reset(CreateDIBSection(nullptr, &info_, DIB_RGB_COLORS, &bits_, nullptr, 0));
    const UINT stride = width * 4;
    if (!bitmap_ || FAILED(converter->CopyPixels(nullptr, stride, stride * height,
                                                 static_cast<BYTE*>(bits_)))) {
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
