// A white 32-bit memory bitmap of kSize x kSize pixels for a control to draw
// into, that can be read pixel by pixel and written out as a PNG.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <wincodec.h>

namespace vemblaric::testing {

template <int kSize>
class Canvas {
 public:
  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kSize;
    info.bmiHeader.biHeight = -kSize;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = ::CreateCompatibleDC(nullptr);
    bitmap_ = ::CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_),
                                 nullptr, 0);
    old_ = ::SelectObject(dc_, bitmap_);
    for (int i = 0; i < kSize * kSize; ++i) bits_[i] = 0x00FFFFFF;
  }
  ~Canvas() {
    ::SelectObject(dc_, old_);
    ::DeleteObject(bitmap_);
    ::DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  static constexpr int size = kSize;

  HRESULT DrawWith(IViewObject* view, DWORD aspect = DVASPECT_CONTENT) {
    const RECTL bounds = {0, 0, kSize, kSize};
    const HRESULT hr = view->Draw(aspect, -1, nullptr, nullptr, nullptr, dc_, &bounds, nullptr,
                                  nullptr, 0);
    ::GdiFlush();
    return hr;
  }
  int PaintedPixels() const {
    int n = 0;
    for (int i = 0; i < kSize * kSize; ++i) n += (bits_[i] & 0x00FFFFFF) != 0x00FFFFFF;
    return n;
  }
  // The pixel as 0xRRGGBB.
  DWORD At(int x, int y) const { return bits_[y * kSize + x] & 0x00FFFFFF; }

  HRESULT WritePng(const wchar_t* path) const {
    IWICImagingFactory* factory = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    hr = factory->CreateStream(&stream);
    if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(path, GENERIC_WRITE);
    if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
    if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, nullptr);
    if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
    if (SUCCEEDED(hr)) hr = frame->SetSize(kSize, kSize);
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
    if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && !::IsEqualGUID(format, GUID_WICPixelFormat32bppBGR)) hr = E_UNEXPECTED;
    if (SUCCEEDED(hr))
      hr = frame->WritePixels(kSize, kSize * 4, kSize * kSize * 4,
                              reinterpret_cast<BYTE*>(bits_));
    if (SUCCEEDED(hr)) hr = frame->Commit();
    if (SUCCEEDED(hr)) hr = encoder->Commit();
    if (frame) frame->Release();
    if (encoder) encoder->Release();
    if (stream) stream->Release();
    factory->Release();
    return hr;
  }

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  DWORD* bits_ = nullptr;
};

}  // namespace vemblaric::testing
