#pragma once

#include <cstdint>

// Converts one planar 4:2:0 picture (plane 0 luma at full size, planes 1 and 2
// Cb and Cr at half width and half height, each with its own line size) into
// 32-bit pixels 0xFFRRGGBB (opaque, as a toolkit's RGB32 image wants them),
// rows top first and packed. BT.601 factors in 8-bit
// fixed point over the full 0..255 range, integers only:
//   R = (256 Y + 359 V) >> 8, G = (256 Y - 183 V - 88 U) >> 8, B = (256 Y + 454 U) >> 8
// with U and V less 128 and each result clamped to 0..255.
//
// ToRGB32 picks the fastest code the processor runs (AVX2 or SSE2);
// ToRGB32Reference is the plain per-pixel version. Both give the same bits.
void ToRGB32(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out);
void ToRGB32Reference(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out);

// The SSE2 version alone (what ToRGB32 runs without AVX2).
void ToRGB32Sse2(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out);

// Which of the fast versions ToRGB32 uses here: "avx2" or "sse2".
const char* ToRGB32Variant();
