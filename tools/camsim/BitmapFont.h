#pragma once

#include <cstdint>
#include <string>

// A tiny 5x7 bitmap font (digits, capital letters, a few signs) drawn
// straight into an 8-bit plane. Lower-case letters draw as capitals; any
// other character draws as a hollow box.
class BitmapFont {
public:
    static constexpr int kGlyphWidth = 5;
    static constexpr int kGlyphHeight = 7;

    // Draws text with its top-left corner at (x, y), each font pixel a
    // scale x scale square of `value`; clips at the plane's edges.
    static void Draw(uint8_t* plane, int stride, int width, int height, int x, int y, const std::string& text,
                     int scale, uint8_t value);
    // Width in plane pixels of text drawn at scale.
    static int TextWidth(const std::string& text, int scale);
    // Rows of the glyph, top first, bit 4 = leftmost pixel.
    static const uint8_t* Glyph(char c);
};
