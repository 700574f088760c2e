// redowl-speck-count: counts one-pixel specks in pictures, per 10,000 surface pixels.
//
//   redowl-speck-count                  the traced demo at light angles 1.0 and 2.5: writes the
//                                       demo scene to a temporary folder and runs the
//                                       redowl-snapshot next to this program there
//   redowl-speck-count a.png [b.png..]  the given pictures
//
// A speck is a pixel whose luminance (0.299 R + 0.587 G + 0.114 B) is below 0.6 times the
// smaller of its two horizontal neighbours, or of its two vertical neighbours, while that
// neighbour is above 40; or above 1.6 times the larger of them while the pixel itself is above
// 40. Surface pixels are the pixels that are not black (the traced image leaves the sky black).
// Pixels on the picture's border have no pair of neighbours and are not counted.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/png_image.h"
#include "loaders/demo_scene.h"

namespace {

struct Count {
    long specks = 0;
    long surface = 0;
    double PerTenThousand() const { return surface == 0 ? 0.0 : 10000.0 * static_cast<double>(specks) / surface; }
};

Count CountSpecks(const WIN_NMS::Image& image) {
    const int w = image.width, h = image.height, ch = image.channels;
    std::vector<float> lum(static_cast<size_t>(w) * h);
    std::vector<bool> black(lum.size());
    for (size_t p = 0; p < lum.size(); ++p) {
        const unsigned char* px = &image.pixels[p * ch];
        lum[p] = ch >= 3 ? 0.299f * px[0] + 0.587f * px[1] + 0.114f * px[2] : px[0];
        black[p] = ch >= 3 ? (px[0] | px[1] | px[2]) == 0 : px[0] == 0;
    }
    auto speck = [](float l, float a, float b) {
        const float lo = std::min(a, b), hi = std::max(a, b);
        return (lo > 40.0f && l < 0.6f * lo) || (l > 40.0f && l > 1.6f * hi);
    };
    Count count;
    for (int y = 1; y + 1 < h; ++y)
        for (int x = 1; x + 1 < w; ++x) {
            const size_t p = static_cast<size_t>(y) * w + x;
            if (black[p]) continue;
            ++count.surface;
            if (speck(lum[p], lum[p - 1], lum[p + 1]) || speck(lum[p], lum[p - w], lum[p + w])) ++count.specks;
        }
    return count;
}

bool Report(const std::string& path, const std::string& label) {
    WIN_NMS::Image image;
    std::string error;
    if (!WIN_NMS::ReadPng(path, image, &error)) {
        std::fprintf(stderr, "redowl-speck-count: %s\n", error.c_str());
        return false;
    }
    const Count c = CountSpecks(image);
    std::printf("%-28s %6ld specks in %7ld surface pixels: %6.1f per 10,000\n", label.c_str(), c.specks, c.surface,
                c.PerTenThousand());
    return true;
}

std::string ProgramFolder() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return ".";
    std::string path(buffer.data(), static_cast<size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        bool ok = true;
        for (int i = 1; i < argc; ++i) ok = Report(argv[i], argv[i]) && ok;
        return ok ? 0 : 1;
    }
    char folder[] = "/tmp/redowl-speck-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::perror("redowl-speck-count: mkdtemp");
        return 1;
    }
    std::string error;
    if (!LOAD_3DS::WriteDemoScene(folder, &error)) {
        std::fprintf(stderr, "redowl-speck-count: %s\n", error.c_str());
        return 1;
    }
    const std::string snapshot = ProgramFolder() + "/redowl-snapshot";
    bool ok = true;
    for (const char* angle : {"1.0", "2.5"}) {
        const std::string out = std::string(folder) + "/traced_" + angle + ".png";
        const std::string command = "cd '" + std::string(folder) + "' && '" + snapshot +
                                    "' --mode traced --frames 1 --light-angle " + angle + " --out '" + out + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "redowl-speck-count: %s failed\n", command.c_str());
            ok = false;
            continue;
        }
        ok = Report(out, std::string("traced demo, light angle ") + angle) && ok;
    }
    std::system(("rm -rf '" + std::string(folder) + "'").c_str());
    return ok ? 0 : 1;
}
