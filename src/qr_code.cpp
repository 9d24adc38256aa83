#include "qr_code.h"

#include <GL/glew.h>
#include <qrencode.h>

#include "qr_layout.h"
#include "text_renderer.h"

void draw_tick_qr(uint64_t tick, uint64_t frame, int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    QRcode *code = QRcode_encodeString(qr_text(tick, frame).c_str(), qr_version, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return;
    // Bit 0 of each of libqrencode's module bytes is the module's colour.
    std::vector<uint8_t> bitmap = qr_bitmap(code->width, [code](int x, int y) {
        return code->data[y * code->width + x] & 1;
    });
    int side = code->width + 2 * qr_quiet;
    QRcode_free(code);
    int left = qr_left_px(width, side), size = side * qr_module_px;
    // Dark modules are bare background, so the text of a narrowed window must not show through.
    clear_box(width, height, {left, qr_margin_px, size, size}, 0);
    float sx = 2.0f * qr_module_px / float(width), sy = 2.0f * qr_module_px / float(height);
    render_square(bitmap.data(), unsigned(side), -1 + 2.0f * float(left) / float(width),
                  1 - 2.0f * qr_margin_px / float(height), sx, sy);
}
