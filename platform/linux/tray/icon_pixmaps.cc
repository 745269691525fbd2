#include "platform/linux/tray/icon_pixmaps.hh"

#include <cmath>
#include <string>

namespace quillary {

namespace {

// packaging/quillary-tray.svg on its 16-unit grid: a light rim around a dark
// disc holding a light arrow. Whatever the panel behind it, the rim or the
// disc stands out from it by at least 3.5:1 (the rim on panels darker than
// mid-grey, the disc on lighter ones), and the arrow from the disc by 12:1;
// so no host needs to recolour it, and none does: it is not a symbolic icon.
constexpr std::uint32_t kLight = 0xffffff, kDark = 0x14304f;
constexpr double kRim = 8, kDisc = 7;

bool insideArrow(double x, double y)
{
    static constexpr double arrow[][2] = {{7, 3}, {9, 3}, {9, 8}, {12, 8}, {8, 12.5}, {4, 8}, {7, 8}};
    constexpr int n = sizeof arrow / sizeof arrow[0];
    bool inside = false;
    for (int i = 0, j = n - 1; i < n; j = i++) {
        const double *a = arrow[i], *b = arrow[j];
        if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0])
            inside = !inside;
    }
    return inside;
}

// The colour at a point of the grid, or nothing (outside the rim).
bool colourAt(double x, double y, std::uint32_t& colour)
{
    double r = std::hypot(x - 8, y - 8);
    if (r > kRim)
        return false;
    colour = r > kDisc || insideArrow(x, y) ? kLight : kDark;
    return true;
}

std::uint8_t channel(std::uint32_t pixel, int shift)
{
    return static_cast<std::uint8_t>(pixel >> shift);
}

} // namespace

// 4×4 samples a pixel, for smooth edges.
std::vector<std::uint32_t> iconPixels(int size)
{
    constexpr int kSamples = 4, kCount = kSamples * kSamples;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size > 0 ? size * size : 0));
    for (int row = 0; row < size; ++row) {
        for (int column = 0; column < size; ++column) {
            int alpha = 0, sums[3] = {0, 0, 0};
            for (int i = 0; i < kCount; ++i) {
                std::uint32_t colour;
                double x = (column + (i % kSamples + 0.5) / kSamples) * 16 / size;
                double y = (row + (i / kSamples + 0.5) / kSamples) * 16 / size;
                if (!colourAt(x, y, colour))
                    continue;
                ++alpha;
                for (int c = 0; c < 3; ++c)
                    sums[c] += channel(colour, 16 - 8 * c);
            }
            auto scaled = [&](int sum) { return static_cast<std::uint32_t>((sum + kCount / 2) / kCount); };
            pixels[static_cast<std::size_t>(row * size + column)] =
                scaled(alpha * 255) << 24 | scaled(sums[0]) << 16 | scaled(sums[1]) << 8 | scaled(sums[2]);
        }
    }
    return pixels;
}

// ARGB32 in network byte order and not premultiplied, as the protocol has
// it. Hosts take the size nearest to what they draw, and draw it as it is.
// Drawn once.
GVariant* iconPixmaps()
{
    static GVariant* const pixmaps = [] {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
        for (int size : {16, 22, 24, 32, 48}) {
            std::string data;
            for (std::uint32_t pixel : iconPixels(size)) {
                std::uint8_t alpha = channel(pixel, 24);
                data += static_cast<char>(alpha);
                for (int shift : {16, 8, 0})
                    data += static_cast<char>(alpha ? (channel(pixel, shift) * 255 + alpha / 2) / alpha : 0);
            }
            GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
            g_variant_builder_add(&builder, "(ii@ay)", size, size, bytes);
        }
        return g_variant_ref_sink(g_variant_builder_end(&builder));
    }();
    return g_variant_ref(pixmaps);
}

} // namespace quillary
