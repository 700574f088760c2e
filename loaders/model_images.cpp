#include "loaders/model_images.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "loaders/image.h"
#include "loaders/image_decode.h"

namespace LOAD_3DS {

namespace {

// One image the materials name: a file of the folder or an image embedded in the model, with
// what is asked of it and what it becomes.
struct Source {
    std::string name;                               // the file found, or the embedded image's name
    const FileTexture* embedded = nullptr;          // the embedded bytes or pixels, or none (a file)
    std::string what;                               // the first material that names it, for notes
    bool alpha = false;                             // its alpha channel is asked for as well
    int width = 0, height = 0;                      // its size as the file has it (0: not to be had)
    int toWidth = 0, toHeight = 0;                  // its size as decoded
    int image = -1, alphaImage = -1;                // what it became
    std::string folder;                             // the model's, which a file must lie inside
};

// The bytes of an image: the file's, or the embedded encoded ones (*bytes then points at them).
bool Bytes(const Source& s, std::vector<unsigned char>& file, const std::vector<unsigned char>*& bytes, std::string* error) {
    if (s.embedded) return bytes = &s.embedded->embedded, true;
    bytes = &file;
    // Opened once, as a regular file that lies inside the model's folder, links resolved.
    return ReadImageBytesInside(s.folder, s.name, file, error);
}

bool Size(Source& s, std::string* error) {
    if (s.embedded && s.embedded->embeddedWidth > 0) {
        const FileTexture& t = *s.embedded;
        if (t.embeddedHeight <= 0 || t.embedded.size() != std::size_t(t.embeddedWidth) * std::size_t(t.embeddedHeight) * 3)
            return *error = s.name + " is not the image its size says", false;
        s.width = t.embeddedWidth;
        s.height = t.embeddedHeight;
        return true;
    }
    std::vector<unsigned char> file;
    const std::vector<unsigned char>* bytes = nullptr;
    return Bytes(s, file, bytes, error) && ImageSize(bytes->data(), bytes->size(), s.name, s.width, s.height, error);
}

bool Decode(const Source& s, DecodedImage& image, std::string* error) {
    if (s.embedded && s.embedded->embeddedWidth > 0) {
        const std::vector<unsigned char>& rgb = s.embedded->embedded;
        image.width = s.width;
        image.height = s.height;
        image.hasAlpha = false;
        image.rgba.resize(rgb.size() / 3 * 4);
        for (std::size_t p = 0; p < rgb.size() / 3; ++p) {
            std::copy(rgb.begin() + std::ptrdiff_t(3 * p), rgb.begin() + std::ptrdiff_t(3 * p + 3), image.rgba.begin() + std::ptrdiff_t(4 * p));
            image.rgba[4 * p + 3] = 255;
        }
        return true;
    }
    std::vector<unsigned char> file;
    const std::vector<unsigned char>* bytes = nullptr;
    if (!Bytes(s, file, bytes, error) || !DecodeImage(bytes->data(), bytes->size(), s.name, image, error)) return false;
    // A file that changed between the two reads is taken at its first size only.
    return (image.width == s.width && image.height == s.height) || (*error = s.name + " changed while it was read", false);
}

// The image at w x h (at most its own size), each pixel the mean of the source pixels its area
// covers: the colour, or with alpha the alpha channel as grey. Red, green, blue, top row first.
std::vector<unsigned char> Scaled(const DecodedImage& image, int w, int h, bool alpha) {
    const std::size_t W = std::size_t(image.width), H = std::size_t(image.height);
    std::vector<unsigned char> out(std::size_t(w) * std::size_t(h) * 3);
    std::vector<std::uint32_t> sums(std::size_t(w) * 3);
    for (std::size_t y = 0; y < std::size_t(h); ++y) {
        const std::size_t y0 = y * H / std::size_t(h), y1 = std::max(y0 + 1, (y + 1) * H / std::size_t(h));
        std::fill(sums.begin(), sums.end(), 0u);
        for (std::size_t x = 0; x < std::size_t(w); ++x) {
            const std::size_t x0 = x * W / std::size_t(w), x1 = std::max(x0 + 1, (x + 1) * W / std::size_t(w));
            for (std::size_t sy = y0; sy < y1; ++sy)
                for (std::size_t sx = x0; sx < x1; ++sx) {
                    const unsigned char* p = image.rgba.data() + (sy * W + sx) * 4;
                    for (int c = 0; c < 3; ++c) sums[3 * x + std::size_t(c)] += alpha ? p[3] : p[c];
                }
            const std::uint32_t n = std::uint32_t((y1 - y0) * (x1 - x0));
            for (int c = 0; c < 3; ++c)
                out[(y * std::size_t(w) + x) * 3 + std::size_t(c)] = (unsigned char)((sums[3 * x + std::size_t(c)] + n / 2) / n);
        }
    }
    return out;
}

// Each image's size as decoded: at most bounds.side a side, then all scaled by one factor until
// they hold at most bounds.pixels pixels together (a side is at least 1 pixel, so a long thin
// image may need a smaller factor than the square root of the ratio: it is lowered until all fit).
void Plan(std::vector<Source>& sources, const TextureBounds& bounds) {
    const auto sized = [&](double factor) {
        double total = 0.0;
        for (Source& s : sources) {
            if (s.width <= 0) continue;
            const double f = factor * std::min(1.0, double(bounds.side) / double(std::max(s.width, s.height)));
            s.toWidth = std::clamp(int(std::floor(s.width * f)), 1, s.width);
            s.toHeight = std::clamp(int(std::floor(s.height * f)), 1, s.height);
            total += double(s.toWidth) * double(s.toHeight) * (s.alpha ? 2.0 : 1.0);
        }
        return total;
    };
    const double total = sized(1.0);
    if (total <= double(bounds.pixels)) return;
    double factor = std::sqrt(double(bounds.pixels) / total);
    for (int k = 0; k < 200 && sized(factor) > double(bounds.pixels); ++k) factor *= 0.9;
}

std::string What(const FileMaterial& m, std::size_t index) {
    return "material " + (m.name.empty() ? std::to_string(index) : m.name);
}

}  // namespace

namespace {

// The images the materials name, each once; base[m] and maps[m * kFileMapCount + k] their
// sources (-1: none).
struct Named {
    std::vector<Source> sources;
    std::vector<int> base, maps;
};

Named Collect(std::vector<FileMaterial>& materials, const std::vector<FileTexture>& bases, const std::string& folder,
              std::vector<std::string>& notes, std::vector<std::string>* filesRead) {
    Named n;
    std::map<std::string, int> byKey;  // the file found or the embedded image's name -> source
    const auto sourceOf = [&](const FileTexture& t, const std::string& what, bool alpha) -> int {
        if (t.Empty()) return -1;
        const bool embedded = !t.embedded.empty();
        const std::string found = embedded ? t.texture : FindTextureFile(folder, t.texture);
        if (found.empty()) {
            if (byKey.emplace("missing\n" + t.texture, -1).second)
                notes.push_back("texture " + t.texture + " of " + what + " not found; its colour is used");
            return -1;
        }
        auto [at, added] = byKey.emplace((embedded ? "embedded\n" : "file\n") + found, int(n.sources.size()));
        if (added) {
            n.sources.push_back({found, embedded ? &t : nullptr, what});
            n.sources.back().folder = folder;
            if (!embedded && filesRead) filesRead->push_back(found);
        }
        n.sources[std::size_t(at->second)].alpha |= alpha;
        return at->second;
    };
    for (std::size_t m = 0; m < materials.size(); ++m) {
        const FileMaterial& fm = materials[m];
        n.base.push_back(sourceOf(bases[m], What(fm, m), fm.baseAlpha));
        for (const FileTexture& t : fm.maps) n.maps.push_back(sourceOf(t, What(fm, m), false));
    }
    return n;
}

std::string Dimensions(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// Decodes each source at its planned size into images (and its alpha channel, when asked for
// and the image has one).
void DecodeAll(std::vector<Source>& sources, std::vector<ModelImage>& images, std::vector<std::string>& notes) {
    for (Source& s : sources) {
        std::string error;
        DecodedImage image;
        if (s.width <= 0) continue;
        if (!Decode(s, image, &error)) {
            notes.push_back("texture of " + s.what + ": " + error + "; its colour is used");
            continue;
        }
        if (s.toWidth != s.width || s.toHeight != s.height)
            notes.push_back("texture " + s.name + " scaled from " + Dimensions(s.width, s.height) + " to " +
                            Dimensions(s.toWidth, s.toHeight));
        s.image = int(images.size());
        images.push_back({s.name, s.toWidth, s.toHeight, Scaled(image, s.toWidth, s.toHeight, false)});
        if (s.alpha && image.hasAlpha) {
            s.alphaImage = int(images.size());
            images.push_back({s.name + " (alpha)", s.toWidth, s.toHeight, Scaled(image, s.toWidth, s.toHeight, true)});
        }
    }
}

}  // namespace

void DecodeModelImages(std::vector<FileMaterial>& materials, const std::string& folder, std::vector<ModelImage>& images,
                       std::vector<std::string>& notes, std::vector<std::string>* filesRead, const TextureBounds& bounds) {
    // The base colour textures as FileTexture records, holding the embedded bytes until decoded.
    std::vector<FileTexture> bases(materials.size());
    for (std::size_t m = 0; m < materials.size(); ++m) {
        FileMaterial& fm = materials[m];
        bases[m].texture = fm.texture;
        bases[m].embedded = std::move(fm.embedded);
        bases[m].embeddedWidth = fm.embeddedWidth;
        bases[m].embeddedHeight = fm.embeddedHeight;
    }
    Named named = Collect(materials, bases, folder, notes, filesRead);
    for (Source& s : named.sources) {
        std::string error;
        if (!Size(s, &error)) {
            s.width = 0;
            notes.push_back("texture of " + s.what + ": " + error + "; its colour is used");
        }
    }
    Plan(named.sources, bounds);
    DecodeAll(named.sources, images, notes);
    const auto image = [&](int source, bool alpha) {
        return source < 0 ? -1 : alpha ? named.sources[std::size_t(source)].alphaImage : named.sources[std::size_t(source)].image;
    };
    for (std::size_t m = 0; m < materials.size(); ++m) {
        FileMaterial& fm = materials[m];
        fm.image = image(named.base[m], false);
        fm.alphaImage = fm.baseAlpha && fm.image >= 0 ? image(named.base[m], true) : -1;
        fm.embedded = {};
        fm.embeddedWidth = fm.embeddedHeight = 0;
        for (int k = 0; k < kFileMapCount; ++k) {
            FileTexture& t = fm.maps[k];
            t.image = image(named.maps[m * kFileMapCount + std::size_t(k)], false);
            t.embedded = {};
            t.embeddedWidth = t.embeddedHeight = 0;
        }
    }
}

}  // namespace LOAD_3DS
