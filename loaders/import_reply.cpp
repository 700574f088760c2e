#include "loaders/import_reply.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "loaders/image.h"
#include "loaders/model_images.h"

namespace LOAD_3DS {

// ---- ReplyWriter ---------------------------------------------------------------------------

namespace {
constexpr std::size_t kWriteChunk = 1 << 16;

// A byte a text may not hold: NUL and the other control characters.
bool Control(unsigned char c) { return c < 0x20 || c == 0x7F; }
}  // namespace

bool ReplyWriter::Text(const std::string& t) {
    if (std::none_of(t.begin(), t.end(), [](char c) { return Control(static_cast<unsigned char>(c)); }))
        return Value(std::uint64_t(t.size())) && Bytes(t.data(), t.size());
    std::string clean = t;
    for (char& c : clean)
        if (Control(static_cast<unsigned char>(c))) c = '?';
    return Text(clean);
}

bool ReplyWriter::Bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (buffer_.size() + n > kWriteChunk) Flush();
    if (n >= kWriteChunk) {
        sink_(p, n);
        return true;
    }
    buffer_.insert(buffer_.end(), p, p + n);
    return true;
}

void ReplyWriter::Flush() {
    if (!buffer_.empty()) sink_(buffer_.data(), buffer_.size());
    buffer_.clear();
}

void ReplyWriter::Progress(float share) {
    Value(kProgressMessage);
    Value(share);
    Flush();
}

void ReplyWriter::Result(const ImportReply& reply) {
    Value(kResultMessage);
    ResultFields(*this, reply);
    Flush();
}

// ---- ReplyReader ---------------------------------------------------------------------------

bool ReplyReader::Bytes(void* data, std::size_t n) {
    if (n > Room()) return Malformed();
    auto* p = static_cast<unsigned char*>(data);
    while (n > 0) {
        const std::size_t k = source_.Read(p, n);
        if (k == 0) return false;
        used_ += k;
        p += k;
        n -= k;
    }
    return true;
}

bool ReplyReader::Length(std::uint64_t& n, std::uint64_t most) {
    if (!Value(n)) return false;
    return n <= most || Malformed();
}

bool ReplyReader::Flag(bool& v) {
    std::uint8_t b = 0;
    if (!Value(b)) return false;
    if (b > 1) return Malformed();
    v = b == 1;
    return true;
}

bool ReplyReader::Text(std::string& t) {
    std::uint64_t n = 0;
    if (!Length(n, std::min<std::uint64_t>(kMaxReplyText, Room())) || !Fill(t, n)) return false;
    return std::none_of(t.begin(), t.end(), [](char c) { return Control(static_cast<unsigned char>(c)); }) || Malformed();
}

bool ReplyReader::Colour(float (&c)[3]) {
    if (!Bytes(c, sizeof c)) return false;
    for (float x : c)
        if (!(x >= 0.0f && x <= 1.0f)) return Malformed();
    return true;
}

bool ReplyReader::Axis(std::uint8_t& declaredUp) {
    if (!Value(declaredUp)) return false;
    return IsDeclaredUp(declaredUp) || Malformed();
}

bool ReplyReader::Unit(float& v) {
    if (!Value(v)) return false;
    if (!(v >= 0.0f && v <= 1.0f)) return Malformed();
    return true;
}

bool ReplyReader::Index(int& v) {
    std::int32_t i = 0;
    if (!Value(i)) return false;
    if (i < -1) return Malformed();
    v = i;
    return true;
}

bool ReplyReader::Image(std::vector<unsigned char>& bytes, int& width, int& height) {
    std::int32_t w = 0, h = 0;
    std::uint64_t n = 0;
    if (!Value(w) || !Value(h) || !Length(n, Room())) return false;
    if (w < 1 || h < 1 || w > kMaxTextureSide || h > kMaxTextureSide || n != std::uint64_t(w) * std::uint64_t(h) * 3)
        return Malformed();
    width = w;
    height = h;
    return Fill(bytes, n);
}

bool ReplyReader::Flags(std::vector<std::uint8_t>& v) {
    if (!Array(v)) return false;
    for (std::uint8_t b : v)
        if (b > 1) return Malformed();
    return true;
}

bool ReplyReader::Check(const ImportReply& reply) {
    if (!reply.ok) return !reply.message.empty();
    const ImportedModel& m = reply.model;
    const std::size_t V = m.positions.size();
    if (V > kMaxImportVertices || m.faces.empty() || m.faces.size() > kMaxImportFaces || m.materials.empty())
        return false;
    if (m.normals.size() != V || m.fileNormal.size() != V || m.uvs.size() != V || m.faceMaterials.size() != m.faces.size())
        return false;
    const auto corner = [&](int v) {
        if (v < 0 || std::size_t(v) >= V) return false;
        const LPoint3& p = m.positions[std::size_t(v)];
        return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    };
    for (const LFace& f : m.faces)
        if (!corner(f.a) || !corner(f.b) || !corner(f.c)) return false;
    for (std::uint32_t k : m.faceMaterials)
        if (k >= m.materials.size()) return false;
    const auto image = [&](int i) { return i < int(std::min<std::size_t>(m.images.size(), kModelPixelBudget)); };
    for (const FileMaterial& f : m.materials) {
        if (!image(f.image) || !image(f.alphaImage)) return false;
        for (const FileTexture& t : f.maps)
            if (!image(t.image)) return false;
    }
    long long pixels = 0;
    for (const ModelImage& i : m.images) pixels += (long long)i.width * i.height;
    return pixels <= kModelPixelBudget;
}

ReplyEnd ReplyReader::Read(ImportReply& reply, const std::function<void(float)>& progress) {
    const auto ended = [this] { return malformed_ ? ReplyEnd::kMalformed : ReplyEnd::kCutShort; };
    for (;;) {
        char kind = 0;
        if (!Value(kind)) return ended();
        if (kind == kProgressMessage) {
            float share = 0.0f;
            if (!Value(share)) return ended();
            if (!(share >= 0.0f && share <= 1.0f)) return ReplyEnd::kMalformed;
            if (progress) progress(share);
            continue;
        }
        if (kind != kResultMessage) return ReplyEnd::kMalformed;
        if (!ResultFields(*this, reply)) return ended();
        if (!Check(reply)) return ReplyEnd::kMalformed;
        reply.model.imagesDecoded = true;  // the helper's images are all the model's textures
        return ReplyEnd::kComplete;
    }
}

std::size_t MemorySource::Read(void* data, std::size_t n) {
    const std::size_t k = std::min(n, size_ - at_);
    if (k == 0) return 0;
    std::memcpy(data, data_ + at_, k);
    at_ += k;
    return k;
}

}  // namespace LOAD_3DS
