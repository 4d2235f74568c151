#include "VideoPane.h"

#include <QMetaObject>
#include <QPainter>

#include <cstring>

namespace {
// Larger pictures are refused rather than allocated (no camera sends them).
constexpr int MAX_PICTURE_SIDE = 8192;
} // namespace

VideoPane::VideoPane(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool VideoPane::DrawPicture(const uint32_t* pixels, int width, int height) {
    if (!pixels || width <= 0 || height <= 0 || width > MAX_PICTURE_SIDE || height > MAX_PICTURE_SIDE) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_picture.width() != width || m_picture.height() != height) {
            m_picture = QImage(width, height, QImage::Format_RGB32);
            if (m_picture.isNull()) {
                m_hasPicture = false;
                return false;
            }
        }
        // The renderer leaves the top byte 0; RGB32 wants it 0xff.
        for (int y = 0; y < height; ++y) {
            const uint32_t* src = pixels + static_cast<size_t>(y) * static_cast<size_t>(width);
            auto* dst = reinterpret_cast<uint32_t*>(m_picture.scanLine(y));
            for (int x = 0; x < width; ++x) {
                dst[x] = src[x] | 0xff000000u;
            }
        }
        m_hasPicture = true;
    }
    RequestUpdate();
    return true;
}

void VideoPane::ClearPicture() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hasPicture = false;
    }
    RequestUpdate();
}

bool VideoPane::HasPicture() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hasPicture;
}

void VideoPane::RequestUpdate() {
    // Called from any thread. A queued call is dropped by Qt if the pane is
    // deleted before it runs; at most one is in flight.
    if (m_updatePending.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_updatePending = false;
            update();
        },
        Qt::QueuedConnection);
}

void VideoPane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hasPicture) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), m_picture);
    } else {
        painter.fillRect(rect(), FillColor());
    }
}
