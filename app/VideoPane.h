#pragma once

#include "RenderTarget.h"

#include <QImage>
#include <QWidget>

#include <atomic>
#include <mutex>

// One video pane of the main window. A render thread hands it pictures through
// DrawPicture; the pane keeps the latest one and paints it stretched over its
// whole client area with smooth scaling, on the UI thread. Without a picture it
// shows the near-black pane colour.
class VideoPane : public QWidget, public RenderTarget {
    Q_OBJECT

public:
    explicit VideoPane(QWidget* parent = nullptr);

    // Render thread: copies the picture and schedules a repaint. The picture
    // buffer is reallocated only when the size changes.
    bool DrawPicture(const uint32_t* pixels, int width, int height) override;

    // Forgets the picture: the pane shows the near-black colour again.
    void ClearPicture();
    bool HasPicture() const;

    static QColor FillColor() { return QColor(1, 0, 0); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void RequestUpdate();

    mutable std::mutex m_mutex; // guards m_picture and m_hasPicture
    QImage m_picture;
    bool m_hasPicture = false;
    std::atomic<bool> m_updatePending{false}; // one queued repaint at a time
};
