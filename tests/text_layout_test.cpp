#include <gtest/gtest.h>

#include "text_layout.h"

TEST(TextLayout, QuadEdgesAndStripOrder)
{
    // Pen at (-0.5, 0.25), 0.01 by 0.02 per pixel, a 10x20 bitmap 2 right of
    // and 15 above the pen.
    GlyphQuad q = glyph_quad(-0.5f, 0.25f, 0.01f, 0.02f, 2, 15, 10, 20);
    const float left = -0.48f, right = -0.38f, top = 0.55f, bottom = 0.15f;
    const float expected[16] = {left, top, 0, 0,     right, top, 1, 0,
                                left, bottom, 0, 1,  right, bottom, 1, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(q[i], expected[i], 1e-6) << "component " << i;
}

TEST(TextLayout, NegativeBearingPutsTheQuadLeftOfThePen)
{
    GlyphQuad q = glyph_quad(0, 0, 0.5f, 0.5f, -2, -1, 0, 0);
    EXPECT_FLOAT_EQ(q[0], -1.0f);
    EXPECT_FLOAT_EQ(q[1], -0.5f);
    EXPECT_FLOAT_EQ(q[12], q[0]);  // an empty bitmap is a zero-area quad
    EXPECT_FLOAT_EQ(q[13], q[1]);
}

TEST(TextLayout, PenStepKeepsWholePixelsOnly)
{
    EXPECT_FLOAT_EQ(pen_step(27 * 64 + 63, 0.5f), 13.5f);
    EXPECT_FLOAT_EQ(pen_step(0, 0.5f), 0.0f);
    // Arithmetic shift: a negative fraction rounds down, away from zero.
    EXPECT_FLOAT_EQ(pen_step(-1, 1.0f), -1.0f);
    EXPECT_FLOAT_EQ(pen_step(-128, 2.0f), -4.0f);
}

TEST(TextLayout, OneBitmapPixelCoversThreeWindowPixels)
{
    // The device range of 2 spans the window, so 6/pixels is 3 window pixels.
    EXPECT_FLOAT_EQ(pixel_scale(1024) * 1024 / 2, 3.0f);
    EXPECT_FLOAT_EQ(pixel_scale(800), 0.0075f);
}

TEST(TextLayout, RowsStepUpAndWrapAfterFive)
{
    const unsigned rows[] = {250, 200, 150, 100, 50, 250, 200};
    for (uint64_t frame = 0; frame < 7; ++frame)
        EXPECT_EQ(text_row(frame), rows[frame]);
    EXPECT_EQ(text_row(UINT64_MAX), 250u);  // UINT64_MAX is a multiple of 5
}
