#include "platform/linux/icon_pixmaps.hh"

#include <string>

namespace quillary {

namespace {

// The outline is that of packaging/quillary-symbolic.svg on its 16-unit
// grid: a ring and an arrow.
bool insideIcon(double x, double y)
{
    double r2 = (x - 8) * (x - 8) + (y - 8) * (y - 8);
    if (r2 <= 7 * 7 && r2 >= 5.5 * 5.5)
        return true;
    static constexpr double arrow[][2] = {{7.25, 4},    {8.75, 4},    {8.75, 8.94}, {10.47, 7.22}, {11.53, 8.28},
                                          {8, 11.81},   {4.47, 8.28}, {5.53, 7.22}, {7.25, 8.94}};
    constexpr int n = sizeof arrow / sizeof arrow[0];
    bool inside = false;
    for (int i = 0, j = n - 1; i < n; j = i++) {
        const double *a = arrow[i], *b = arrow[j];
        if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0])
            inside = !inside;
    }
    return inside;
}

// Within a pixel's width of the icon: where its light outline goes.
bool nearIcon(double x, double y, double reach)
{
    static constexpr double kDirections[][2] = {{1, 0},     {0.7, 0.7},  {0, 1},  {-0.7, 0.7},
                                                {-1, 0},    {-0.7, -0.7}, {0, -1}, {0.7, -0.7}};
    for (const auto& d : kDirections) {
        if (insideIcon(x + d[0] * reach, y + d[1] * reach))
            return true;
    }
    return insideIcon(x, y);
}

} // namespace

// ARGB32 in network byte order, as the protocol has it; 4×4 samples a pixel
// for smooth edges. Hosts take the size nearest to what they draw, and draw
// it as it is, where they would give a symbolic icon the panel's own text
// colour: so the dark icon gets a light outline, which shows it on a dark
// panel and hardly shows on a light one. Drawn once.
GVariant* iconPixmaps()
{
    static GVariant* const pixmaps = [] {
        constexpr int kSamples = 4;
        constexpr double kDark = 0x2e, kOutline = 0.75; // the outline: white, this opaque
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
        for (int size : {16, 22, 24, 32, 48}) {
            std::string data;
            for (int row = 0; row < size; ++row) {
                for (int column = 0; column < size; ++column) {
                    int covered = 0, near = 0;
                    for (int i = 0; i < kSamples * kSamples; ++i) {
                        double x = (column + (i % kSamples + 0.5) / kSamples) * 16 / size;
                        double y = (row + (i / kSamples + 0.5) / kSamples) * 16 / size;
                        covered += insideIcon(x, y);
                        near += nearIcon(x, y, 16.0 / size);
                    }
                    // The icon over its outline.
                    double icon = covered / double(kSamples * kSamples);
                    double outline = kOutline * near / (kSamples * kSamples) * (1 - icon);
                    double alpha = icon + outline;
                    auto grey = static_cast<char>(alpha > 0 ? (kDark * icon + 255 * outline) / alpha + 0.5 : 0);
                    data += static_cast<char>(alpha * 255 + 0.5);
                    data.append(3, grey);
                }
            }
            GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data.data(), data.size(), 1);
            g_variant_builder_add(&builder, "(ii@ay)", size, size, bytes);
        }
        return g_variant_ref_sink(g_variant_builder_end(&builder));
    }();
    return g_variant_ref(pixmaps);
}

} // namespace quillary
