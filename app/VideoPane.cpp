#include "app/VideoPane.h"

#include <QMetaObject>
#include <QPainter>
#include <QResizeEvent>

#include <cstring>

namespace {
// Larger pictures are refused (no camera sends them).
constexpr int MAX_PICTURE_SIDE = 8192;

uint64_t PackSize(const QSize& size) {
    return (static_cast<uint64_t>(size.width()) << 32) | static_cast<uint32_t>(size.height());
}

QSize UnpackSize(uint64_t packed) {
    return QSize(static_cast<int>(packed >> 32), static_cast<int>(packed & 0xffffffffu));
}
} // namespace

VideoPane::VideoPane(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_size = PackSize(size());
}

bool VideoPane::DrawPicture(const uint32_t* pixels, int width, int height) {
    if (!pixels || width <= 0 || height <= 0 || width > MAX_PICTURE_SIDE || height > MAX_PICTURE_SIDE) {
        return false;
    }
    QSize target = UnpackSize(m_size.load());
    if (target.isEmpty()) {
        target = QSize(width, height);
    }
    if (m_back.size() != target) {
        m_back = QImage(target, QImage::Format_RGB32);
        if (m_back.isNull()) {
            return false;
        }
    }
    if (target == QSize(width, height)) {
        for (int y = 0; y < height; ++y)
            std::memcpy(m_back.scanLine(y), pixels + static_cast<size_t>(y) * static_cast<size_t>(width),
                        static_cast<size_t>(width) * 4);
    } else {
        // The renderer's pixels are opaque 0xFFRRGGBB: an RGB32 image over them, no copy.
        const QImage source(reinterpret_cast<const uchar*>(pixels), width, height, width * 4, QImage::Format_RGB32);
        QPainter painter(&m_back);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(m_back.rect(), source);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_front.swap(m_back);
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

void VideoPane::GetDrawSize(int& width, int& height) const {
    const QSize shown = UnpackSize(m_size.load());
    width = shown.width();
    height = shown.height();
}

bool VideoPane::HasPicture() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hasPicture;
}

QImage VideoPane::Picture() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hasPicture ? m_front.copy() : QImage();
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

void VideoPane::resizeEvent(QResizeEvent* event) {
    m_size = PackSize(event->size());
    QWidget::resizeEvent(event);
}

void VideoPane::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_hasPicture) {
        painter.fillRect(rect(), FillColor());
    } else if (m_front.size() == size()) {
        painter.drawImage(0, 0, m_front);
    } else {
        // Until the next picture comes at the new size.
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), m_front);
    }
}
