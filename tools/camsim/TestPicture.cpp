#include "tools/camsim/TestPicture.h"

#include "tools/camsim/BitmapFont.h"

#include <algorithm>
#include <cstring>

void TestPicture::Paint(AVFrame* frame, const std::string& uid, uint32_t frameNumber, const std::string& timeText) {
    int width = frame->width;
    int height = frame->height;
    uint8_t* y = frame->data[0];
    uint8_t* u = frame->data[1];
    uint8_t* v = frame->data[2];
    int shift = static_cast<int>(frameNumber % 256);
    for (int row = 0; row < height; ++row) {
        uint8_t* line = y + row * frame->linesize[0];
        for (int col = 0; col < width; ++col)
            line[col] = static_cast<uint8_t>(40 + ((col + row + shift) & 0x3F));
    }
    for (int row = 0; row < height / 2; ++row) {
        std::memset(u + row * frame->linesize[1], 128 + ((row + shift) & 0x3F) - 32, static_cast<size_t>(width / 2));
        std::memset(v + row * frame->linesize[2], 160 - ((row * 2 + shift) & 0x3F), static_cast<size_t>(width / 2));
    }
    // The sweeping bar: one pass across the picture every 4 seconds at 25 fps.
    int barWidth = std::max(8, width / 16);
    int barX = static_cast<int>((frameNumber * static_cast<uint32_t>(width)) / 100 % static_cast<uint32_t>(width));
    for (int row = 0; row < height; ++row) {
        uint8_t* line = y + row * frame->linesize[0];
        for (int col = barX; col < std::min(width, barX + barWidth); ++col)
            line[col] = 235;
    }

    int scale = std::max(1, height / 120);
    int lineHeight = (BitmapFont::kGlyphHeight + 3) * scale;
    std::string lines[3] = {"UID " + uid, "FRAME " + std::to_string(frameNumber), timeText};
    int boxWidth = 0;
    for (const std::string& text : lines)
        boxWidth = std::max(boxWidth, BitmapFont::TextWidth(text, scale));
    int boxX = 2 * scale;
    int boxY = 2 * scale;
    int boxW = std::min(width - boxX, boxWidth + 2 * scale);
    int boxH = std::min(height - boxY, 3 * lineHeight + scale);
    for (int row = boxY; row < boxY + boxH; ++row)
        std::memset(y + row * frame->linesize[0] + boxX, 16, static_cast<size_t>(std::max(0, boxW)));
    for (int i = 0; i < 3; ++i)
        BitmapFont::Draw(y, frame->linesize[0], width, height, boxX + scale, boxY + scale + i * lineHeight, lines[i],
                         scale, 235);
}

void TestPicture::PaintBeepMarker(AVFrame* frame, bool beep) {
    const int size = std::min(kMarkerSize, std::min(frame->width, frame->height)) & ~1;
    const int x = (frame->width - size) & ~1;
    for (int row = 0; row < size; ++row)
        std::memset(frame->data[0] + row * frame->linesize[0] + x, beep ? 235 : 16, static_cast<size_t>(size));
    for (int plane = 1; plane <= 2; ++plane)
        for (int row = 0; row < size / 2; ++row)
            std::memset(frame->data[plane] + row * frame->linesize[plane] + x / 2, 128, static_cast<size_t>(size / 2));
}
