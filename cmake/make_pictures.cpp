// Draws the window's pictures and the program icon at build time, so that
// the repository holds no opaque binaries. Writes a C++ source with the
// bitmap file images and an .ico file for the resource script.
//   make_pictures OUT.cpp OUT.ico
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Rgb {
    unsigned char r, g, b;
};

const Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kLightYellow{255, 255, 128};

bool Same(const Rgb& a, const Rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

struct Canvas {
    int w, h;
    std::vector<Rgb> px;  // top-down
    Canvas(int width, int height) : w(width), h(height), px(width * height, kWhite) {}
    void Set(int x, int y, Rgb c) {
        if (x >= 0 && y >= 0 && x < w && y < h) px[y * w + x] = c;
    }
};

void Put16(std::vector<unsigned char>& b, unsigned v) {
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}
void Put32(std::vector<unsigned char>& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// A bottom-up 8-bit palette bitmap file image with a 40-byte information
// header; run-length encoded (BI_RLE8) when that is smaller. The palette
// holds exactly the colours that the canvas uses, so every pixel keeps its
// colour.
struct Indexed {
    std::vector<Rgb> palette;
    std::vector<unsigned char> px;  // top-down
};

Indexed ToIndexed(const Canvas& c) {
    Indexed out;
    for (const Rgb& p : c.px) {
        std::size_t i = 0;
        while (i < out.palette.size() && !Same(out.palette[i], p)) ++i;
        if (i == out.palette.size()) out.palette.push_back(p);
        if (i > 255) throw std::runtime_error("more than 256 colours");
        out.px.push_back(static_cast<unsigned char>(i));
    }
    return out;
}

std::vector<unsigned char> Rows8(const Indexed& ix, int w, int h) {
    const int stride = (w + 3) & ~3;
    std::vector<unsigned char> b;
    for (int y = h - 1; y >= 0; --y) {
        b.insert(b.end(), ix.px.begin() + y * w, ix.px.begin() + (y + 1) * w);
        b.resize(b.size() + (stride - w), 0);
    }
    return b;
}

// Encoded runs only (count, index), an end-of-line after every row and an
// end-of-bitmap after the last: no deltas, so every pixel is written.
std::vector<unsigned char> Rle8(const Indexed& ix, int w, int h) {
    std::vector<unsigned char> b;
    for (int y = h - 1; y >= 0; --y) {
        const unsigned char* row = &ix.px[y * w];
        for (int x = 0; x < w;) {
            int n = 1;
            while (x + n < w && n < 255 && row[x + n] == row[x]) ++n;
            b.push_back(static_cast<unsigned char>(n));
            b.push_back(row[x]);
            x += n;
        }
        b.push_back(0);
        b.push_back(y == 0 ? 1 : 0);
    }
    return b;
}

std::vector<unsigned char> Bmp8(const Canvas& c) {
    const Indexed ix = ToIndexed(c);
    std::vector<unsigned char> data = Rows8(ix, c.w, c.h);
    const std::vector<unsigned char> rle = Rle8(ix, c.w, c.h);
    const bool compressed = rle.size() < data.size();
    if (compressed) data = rle;
    const std::uint32_t colours = static_cast<std::uint32_t>(ix.palette.size());
    const std::uint32_t offBits = 14 + 40 + 4 * colours;
    std::vector<unsigned char> b;
    b.push_back('B');
    b.push_back('M');
    Put32(b, offBits + static_cast<std::uint32_t>(data.size()));
    Put32(b, 0);
    Put32(b, offBits);
    Put32(b, 40);
    Put32(b, c.w);
    Put32(b, c.h);
    Put16(b, 1);
    Put16(b, 8);
    Put32(b, compressed ? 1 : 0);  // BI_RLE8 : BI_RGB
    Put32(b, static_cast<std::uint32_t>(data.size()));
    Put32(b, 3780);
    Put32(b, 3780);
    Put32(b, colours);
    Put32(b, colours);
    for (const Rgb& p : ix.palette) {
        b.push_back(p.b);
        b.push_back(p.g);
        b.push_back(p.r);
        b.push_back(0);
    }
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::uint32_t Get32(const std::vector<unsigned char>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

// Reads an image made by Bmp8 back, independently of how it was written,
// so that a fault in the encoder stops the build instead of a picture.
Canvas Decode(const std::vector<unsigned char>& b) {
    const int w = static_cast<int>(Get32(b, 18)), h = static_cast<int>(Get32(b, 22));
    const std::uint32_t compression = Get32(b, 30), colours = Get32(b, 46);
    std::size_t at = Get32(b, 10);
    auto colour = [&](unsigned char i) {
        if (i >= colours) throw std::runtime_error("index outside the palette");
        const std::size_t e = 54 + 4 * i;
        return Rgb{b[e + 2], b[e + 1], b[e]};
    };
    Canvas c(w, h);
    for (int row = 0; row < h; ++row) {
        const int y = h - 1 - row;
        int x = 0;
        if (compression == 0) {
            for (; x < w; ++x) c.Set(x, y, colour(b.at(at + x)));
            at += (w + 3) & ~3;
            continue;
        }
        for (;;) {
            const unsigned char n = b.at(at), v = b.at(at + 1);
            at += 2;
            if (n == 0 && v <= 1) break;
            if (n == 0 || x + n > w) throw std::runtime_error("unexpected run");
            for (int k = 0; k < n; ++k) c.Set(x++, y, colour(v));
        }
        if (x != w) throw std::runtime_error("short row");
    }
    return c;
}

std::vector<unsigned char> CheckedBmp8(const Canvas& c) {
    const std::vector<unsigned char> b = Bmp8(c);
    const Canvas back = Decode(b);
    for (std::size_t i = 0; i < c.px.size(); ++i)
        if (!Same(back.px[i], c.px[i])) throw std::runtime_error("a picture does not read back as drawn");
    return b;
}

Canvas Lamp(Rgb colour) {
    Canvas c(32, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            const double d = std::hypot(x - 15.5, y - 15.5);
            if (d <= 14.5) c.Set(x, y, d > 13.0 ? kBlack : colour);
        }
    return c;
}

// Distance-based rounded rectangle test: inside when within `r` of the inner box.
bool InRoundRect(int x, int y, int l, int t, int rgt, int btm, int r) {
    const int cx = x < l + r ? l + r : (x > rgt - r ? rgt - r : x);
    const int cy = y < t + r ? t + r : (y > btm - r ? btm - r : y);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r && x >= l && x <= rgt && y >= t && y <= btm;
}

bool InTriangle(double px, double py, double ax, double ay, double bx, double by, double cx, double cy) {
    auto side = [](double x1, double y1, double x2, double y2, double x3, double y3) {
        return (x1 - x3) * (y2 - y3) - (x2 - x3) * (y1 - y3);
    };
    const double d1 = side(px, py, ax, ay, bx, by), d2 = side(px, py, bx, by, cx, cy),
                 d3 = side(px, py, cx, cy, ax, ay);
    const bool neg = d1 < 0 || d2 < 0 || d3 < 0, pos = d1 > 0 || d2 > 0 || d3 > 0;
    return !(neg && pos);
}

// A speech balloon: light-yellow body and tail inside a thick black outline.
Canvas Balloon() {
    Canvas c(356, 332);
    const int border = 8;
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x) {
            const bool outer = InRoundRect(x, y, 6, 6, 349, 292, 48) ||
                               InTriangle(x, y, 50, 280, 130, 280, 24, 328);
            const bool inner = InRoundRect(x, y, 6 + border, 6 + border, 349 - border, 292 - border, 40) ||
                               InTriangle(x, y, 64, 276, 116, 276, 40, 312);
            if (inner) c.Set(x, y, kLightYellow);
            else if (outer) c.Set(x, y, kBlack);
        }
    return c;
}

// 48 x 48, 256 colours: a dark bowling ball with three finger holes.
std::vector<unsigned char> Icon() {
    const int n = 48;
    std::vector<unsigned char> pal(256 * 4, 0);
    auto setPal = [&](int i, int r, int g, int b) {
        pal[i * 4] = b;
        pal[i * 4 + 1] = g;
        pal[i * 4 + 2] = r;
    };
    setPal(0, 0, 0, 0);
    setPal(1, 20, 40, 140);
    setPal(2, 255, 255, 255);
    setPal(3, 90, 120, 220);
    std::vector<unsigned char> xorBits(n * n, 0), andBits(n * 8, 0);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double d = std::hypot(x - 23.5, y - 23.5);
            unsigned char idx = 0;
            bool transparent = d > 22.5;
            if (!transparent) idx = d > 21.0 ? 0 : 1;
            if (std::hypot(x - 17.0, y - 14.0) < 3.2 || std::hypot(x - 27.0, y - 14.0) < 3.2 ||
                std::hypot(x - 22.0, y - 23.0) < 3.5)
                idx = 2;
            if (!transparent && std::hypot(x - 30.0, y - 32.0) < 4.0) idx = 3;
            const int row = n - 1 - y;  // bottom-up
            xorBits[row * n + x] = idx;
            if (transparent) andBits[row * 8 + x / 8] |= 0x80 >> (x % 8);
        }
    std::vector<unsigned char> img;
    Put32(img, 40);
    Put32(img, n);
    Put32(img, n * 2);
    Put16(img, 1);
    Put16(img, 8);
    Put32(img, 0);
    Put32(img, static_cast<std::uint32_t>(xorBits.size() + andBits.size()));
    Put32(img, 0);
    Put32(img, 0);
    Put32(img, 256);
    Put32(img, 0);
    img.insert(img.end(), pal.begin(), pal.end());
    img.insert(img.end(), xorBits.begin(), xorBits.end());
    img.insert(img.end(), andBits.begin(), andBits.end());

    std::vector<unsigned char> ico;
    Put16(ico, 0);
    Put16(ico, 1);
    Put16(ico, 1);
    ico.push_back(n);
    ico.push_back(n);
    ico.push_back(0);  // 256 colours
    ico.push_back(0);
    Put16(ico, 1);
    Put16(ico, 8);
    Put32(ico, static_cast<std::uint32_t>(img.size()));
    Put32(ico, 22);
    ico.insert(ico.end(), img.begin(), img.end());
    return ico;
}

void EmitArray(std::FILE* f, const char* name, const std::vector<unsigned char>& data) {
    std::fprintf(f, "const unsigned char %s[%zu] = {", name, data.size());
    for (std::size_t i = 0; i < data.size(); ++i) std::fprintf(f, "%s%u,", i % 24 ? "" : "\n", data[i]);
    std::fprintf(f, "\n};\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_pictures OUT.cpp OUT.ico\n");
        return 2;
    }
    std::vector<unsigned char> pictures[4];
    try {
        pictures[0] = CheckedBmp8(Lamp({230, 0, 0}));
        pictures[1] = CheckedBmp8(Lamp({255, 220, 0}));
        pictures[2] = CheckedBmp8(Lamp({0, 190, 0}));
        pictures[3] = CheckedBmp8(Balloon());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_pictures: %s\n", e.what());
        return 1;
    }
    std::FILE* f = std::fopen(argv[1], "w");
    if (!f) return 1;
    std::fprintf(f, "// Generated by tools/make_pictures.cpp; do not edit.\n#include \"ui/pictures.h\"\n"
                    "namespace rz {\nnamespace {\n");
    EmitArray(f, "kLampRed", pictures[0]);
    EmitArray(f, "kLampYellow", pictures[1]);
    EmitArray(f, "kLampGreen", pictures[2]);
    EmitArray(f, "kBalloon", pictures[3]);
    std::fprintf(f,
                 "}  // namespace\n"
                 "Picture LampPicture(int index) {\n"
                 "    if (index == 0) return {kLampRed, sizeof kLampRed};\n"
                 "    if (index == 1) return {kLampYellow, sizeof kLampYellow};\n"
                 "    return {kLampGreen, sizeof kLampGreen};\n}\n"
                 "Picture BalloonPicture() { return {kBalloon, sizeof kBalloon}; }\n"
                 "}  // namespace rz\n");
    std::fclose(f);
    const std::vector<unsigned char> ico = Icon();
    std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(ico.data()), ico.size());
    return 0;
}
