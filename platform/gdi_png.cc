// PNG files to bitmaps and back. Transparent parts of an image are laid over white, since
// bitmaps carry no alpha.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/devpath.h"
#include "platform/gdi_state.h"
#include "platform/trace.h"

using namespace gdi;

namespace {

constexpr size_t kMaxPngBytes = 64 * 1024 * 1024;  // larger files are refused unread

struct Reader {
    const std::string* bytes;  // the whole file
    size_t at;                 // next byte to hand out
};

cairo_status_t ReadChunk(void* closure, unsigned char* data, unsigned int length) {
    auto* r = static_cast<Reader*>(closure);
    if (r->bytes->size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
    memcpy(data, r->bytes->data() + r->at, length);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
}

cairo_status_t WriteChunk(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

uint32_t BigEndian32(const std::string& b, size_t at) {
    return (static_cast<uint32_t>(static_cast<unsigned char>(b[at])) << 24) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8) |
           static_cast<unsigned char>(b[at + 3]);
}

// Whether the file starts as a PNG whose size a bitmap can hold, read from its header
// before anything is decoded.
bool PlausiblePng(const std::string& b, const std::string& path) {
    static const char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (b.size() < 24 || memcmp(b.data(), kSignature, 8) != 0 || b.compare(12, 4, "IHDR") != 0) {
        Trace("GdiLoadPngFile: %s is not a PNG file", path);
        return false;
    }
    uint32_t w = BigEndian32(b, 16);
    uint32_t h = BigEndian32(b, 20);
    if (w == 0 || h == 0 || w > static_cast<uint32_t>(kMaxDimension) ||
        h > static_cast<uint32_t>(kMaxDimension) || static_cast<int64_t>(w) * h > kMaxPixels) {
        Trace("GdiLoadPngFile: %s has an unusable size %ux%u", path, w, h);
        return false;
    }
    return true;
}

}  // namespace

HBITMAP GdiLoadPngFile(LPCWSTR devicePath) {
    if (!devicePath || !*devicePath) {
        Trace("GdiLoadPngFile: no path");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string path = HostPath(devicePath);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Trace("GdiLoadPngFile: cannot open %s", path);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || static_cast<uint64_t>(size) > kMaxPngBytes) {
        Trace("GdiLoadPngFile: %s is too large or unreadable", path);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), size)) {
        Trace("GdiLoadPngFile: cannot read %s", path);
        SetLastError(ERROR_READ_FAULT);
        return nullptr;
    }
    if (!PlausiblePng(bytes, path)) {
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    Reader reader{&bytes, 0};
    cairo_surface_t* image = cairo_image_surface_create_from_png_stream(ReadChunk, &reader);
    if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
        Trace("GdiLoadPngFile: %s cannot be decoded: %s", path,
              cairo_status_to_string(cairo_surface_status(image)));
        cairo_surface_destroy(image);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    auto bitmap = NewBitmap(cairo_image_surface_get_width(image),
                            cairo_image_surface_get_height(image), "GdiLoadPngFile");
    if (bitmap) {
        cairo_t* cr = cairo_create(bitmap->surface);  // the new bitmap is already white
        cairo_set_source_surface(cr, image, 0, 0);
        cairo_paint(cr);
        cairo_destroy(cr);
    }
    cairo_surface_destroy(image);
    return static_cast<HBITMAP>(Add(bitmap));
}

BOOL GdiSaveBitmapPng(HBITMAP bitmap, const std::string& hostPath) {
    std::string png;
    {
        std::lock_guard<std::recursive_mutex> g(Lock());
        auto b = FindBitmap(bitmap, "GdiSaveBitmapPng");
        if (!b) return FALSE;
        cairo_surface_flush(b->surface);
        cairo_status_t st = cairo_surface_write_to_png_stream(b->surface, WriteChunk, &png);
        if (st != CAIRO_STATUS_SUCCESS) {
            Trace("GdiSaveBitmapPng: cannot encode: %s", cairo_status_to_string(st));
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    // Written beside the target and renamed over it, so a reader never sees half a file.
    std::string temp = hostPath + ".tmp";
    if (hostPath.empty() || !EnsureParentFolder(hostPath)) {
        Trace("GdiSaveBitmapPng: cannot create the folder of '%s'", hostPath);
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(png.data(), static_cast<std::streamsize>(png.size()));
        out.close();
        if (!out) {
            Trace("GdiSaveBitmapPng: cannot write %s", temp);
            std::remove(temp.c_str());
            SetLastError(ERROR_WRITE_FAULT);
            return FALSE;
        }
    }
    if (std::rename(temp.c_str(), hostPath.c_str()) != 0) {
        Trace("GdiSaveBitmapPng: cannot rename %s to %s", temp, hostPath);
        std::remove(temp.c_str());
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}
