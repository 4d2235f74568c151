#pragma once

#include <cstdint>

// Where a render thread draws: the stand-in for a pane window and its device
// context. The pane keeps the latest picture and shows it stretched over its
// whole client area with smooth scaling; drawing itself happens on the UI thread.
class RenderTarget {
public:
    virtual ~RenderTarget() = default;

    // Called on the render thread with one picture of width x height pixels,
    // rows top first and directly after each other, each pixel a 32-bit word
    // 0xFFRRGGBB. The pixels are only valid during the call. Returns false
    // when the picture could not be taken (the caller skips it).
    virtual bool DrawPicture(const uint32_t* pixels, int width, int height) = 0;

    // Forgets the last picture: the target shows its empty fill again.
    virtual void ClearPicture() {}

    // The size, in pixels, at which pictures are shown; 0 x 0 when unknown.
    // Any thread. The renderer then hands pictures of this size.
    virtual void GetDrawSize(int& width, int& height) const {
        width = 0;
        height = 0;
    }
};
