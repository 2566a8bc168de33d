// The image codecs on Qt: decoding PNG, JPEG, BMP, GIF and TIFF and encoding PNG, JPEG, BMP
// and TIFF through QImageReader and QImageWriter. Built as a module of its own that the
// image layer loads on first use (datatypes/series/image_qt.h); needs no QGuiApplication and
// no display. Nothing here throws: every failure is a null result.
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QtGlobal>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "datatypes/series/image_qt.h"

namespace {

constexpr int MAX_SIDE = 65535;
// Largest decoded image in megabytes (a hostile header cannot make the decoder allocate more).
int allocation_limit_mb = 256;

// Qt's image plugins report damaged data through its message handler; the image layer
// raises its own error instead, so the messages are dropped while a codec runs.
void quiet_handler(QtMsgType, const QMessageLogContext&, const QString&) {}

// The decoders' libraries (libpng, libtiff) also print their own complaints on the
// diagnostic output; it points to /dev/null while a decoder runs, unless
// ZEL_IMAGE_CODEC_MESSAGES is set (the fuzz harness sets it, so that a crash report shows).
struct Quiet {
    QtMessageHandler previous;
    int saved_stderr = -1;
    explicit Quiet(bool silence_output) : previous(qInstallMessageHandler(quiet_handler)) {
        if (!silence_output || std::getenv("ZEL_IMAGE_CODEC_MESSAGES")) return;
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd < 0) return;
        std::fflush(stderr);
        saved_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
        if (saved_stderr >= 0) dup2(null_fd, 2);
        close(null_fd);
    }
    ~Quiet() {
        if (saved_stderr >= 0) {
            std::fflush(stderr);
            dup2(saved_stderr, 2);
            close(saved_stderr);
        }
        qInstallMessageHandler(previous);
    }
};

void* decode(const uint8_t* data, size_t n, const char* format, int32_t* w, int32_t* h) {
    if (!data || n == 0 || n > size_t(INT32_MAX)) return nullptr;
    try {
        Quiet quiet(true);
        QImageReader::setAllocationLimit(allocation_limit_mb);
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(n));
        QBuffer device(&bytes);
        if (!device.open(QIODevice::ReadOnly)) return nullptr;
        QImageReader reader(&device, QByteArray(format));
        reader.setAutoDetectImageFormat(false);
        reader.setDecideFormatFromContent(false);
        reader.setAutoTransform(false);
        if (!reader.canRead()) return nullptr;
        QSize declared = reader.size();
        if (declared.isValid() && (declared.width() > MAX_SIDE || declared.height() > MAX_SIDE)) return nullptr;
        auto* image = new (std::nothrow) QImage();
        if (!image) return nullptr;
        if (!reader.read(image) || image->isNull() || image->width() < 1 || image->height() < 1 ||
            image->width() > MAX_SIDE || image->height() > MAX_SIDE) {
            delete image;
            return nullptr;
        }
        if (image->format() != QImage::Format_ARGB32) {
            *image = image->convertToFormat(QImage::Format_ARGB32);
            if (image->isNull()) {
                delete image;
                return nullptr;
            }
        }
        *w = image->width();
        *h = image->height();
        return image;
    } catch (...) {
        return nullptr;
    }
}

void copy_pixels(void* handle, uint32_t* dst) {
    auto* image = static_cast<QImage*>(handle);
    size_t row = size_t(image->width()) * 4;
    for (int y = 0; y < image->height(); y++)
        std::memcpy(reinterpret_cast<uint8_t*>(dst) + row * size_t(y), image->constScanLine(y), row);
}

void release(void* handle) { delete static_cast<QImage*>(handle); }

uint8_t* encode(const uint32_t* pixels, int32_t w, int32_t h, const char* format, int32_t quality, size_t* n) {
    if (!pixels || w < 1 || h < 1) return nullptr;
    try {
        Quiet quiet(false);
        // Wraps the caller's pixels without a copy.
        QImage image(reinterpret_cast<const uchar*>(pixels), w, h, qsizetype(w) * 4, QImage::Format_ARGB32);
        QByteArray bytes;
        QBuffer device(&bytes);
        if (!device.open(QIODevice::WriteOnly)) return nullptr;
        QImageWriter writer(&device, QByteArray(format));
        if (quality >= 0) writer.setQuality(quality);
        // An image with no translucent pixel is written without an alpha channel (smaller and
        // faster for PNG and TIFF; JPEG has none).
        bool opaque = true;
        for (size_t i = 0, n = size_t(w) * size_t(h); i < n && opaque; i++) opaque = (pixels[i] >> 24) == 0xFF;
        bool ok = opaque || std::strcmp(format, "jpeg") == 0
                      ? writer.write(QImage(reinterpret_cast<const uchar*>(pixels), w, h, qsizetype(w) * 4,
                                            QImage::Format_RGB32))
                      : writer.write(image);
        if (!ok || bytes.isEmpty()) return nullptr;
        auto* out = static_cast<uint8_t*>(std::malloc(size_t(bytes.size())));
        if (!out) return nullptr;
        std::memcpy(out, bytes.constData(), size_t(bytes.size()));
        *n = size_t(bytes.size());
        return out;
    } catch (...) {
        return nullptr;
    }
}

void free_bytes(uint8_t* bytes) { std::free(bytes); }

void set_allocation_limit(int32_t megabytes) { allocation_limit_mb = megabytes > 0 ? megabytes : 1; }

const ZelQtImageApi api_table = {ZEL_QT_IMAGE_API_VERSION, decode, copy_pixels, release, encode, free_bytes,
                                 set_allocation_limit};

}  // namespace

extern "C" __attribute__((visibility("default"))) const ZelQtImageApi* zel_qt_image_api() { return &api_table; }
