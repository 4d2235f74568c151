#pragma once

#include "platform/RenderTarget.h"

#include <QImage>
#include <QSize>
#include <QWidget>

#include <atomic>
#include <mutex>

// One video pane of the main window. A render thread hands it pictures through
// DrawPicture, which scales each one straight from the renderer's buffer to
// the pane's size, with smoothing, into a back image and swaps it with the
// front one; the UI thread then only copies the front image onto the screen.
// Without a picture the pane shows the near-black pane colour.
class VideoPane : public QWidget, public RenderTarget {
    Q_OBJECT

public:
    explicit VideoPane(QWidget* parent = nullptr);

    // Render thread: takes the picture and schedules a repaint. The images are
    // reallocated only when the pane's size changes.
    bool DrawPicture(const uint32_t* pixels, int width, int height) override;

    // Forgets the picture: the pane shows the near-black colour again.
    void ClearPicture() override;
    void GetDrawSize(int& width, int& height) const override;
    bool HasPicture() const;
    // A copy of what the pane shows now (null without a picture).
    QImage Picture() const;

    static QColor FillColor() { return QColor(1, 0, 0); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void RequestUpdate();

    QImage m_back;              // render thread only
    mutable std::mutex m_mutex; // guards m_front and m_hasPicture
    QImage m_front;
    bool m_hasPicture = false;
    std::atomic<uint64_t> m_size{0};          // the pane's size, width << 32 | height, for the render thread
    std::atomic<bool> m_updatePending{false}; // one queued repaint at a time
};
