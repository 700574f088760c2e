#pragma once
// The import helper's reply (redowl-import, tools/import/) and the viewer's reader of it.
//
// The helper runs assimp's readers on a file the user opened, and a broken file can corrupt
// it, so its reply is untrusted input: the reader takes it in as it arrives, grows every array
// only by the bytes that actually came, caps every count by what the helper can hold in all
// (its memory limit, the reader's cap), checks every flag, image and index the viewer relies
// on, and ends any reply that breaks a rule as malformed. The cap bounds both the bytes read and
// the memory the reader allocates for them (an element's size in memory, a vector's capacity),
// so a reply of many small records cannot make it hold more than the cap either. Texts carry no
// NUL and no control character: a path is the same bytes as a std::string and as a C string.
//
// The reply: any number of progress messages ('P', then a float share in [0, 1]), then one
// result ('R', then the result's fields below). Numbers are in the machine's own byte order
// (the helper runs on the same machine); a count is 64 bits, a text or an array is its count
// followed by its elements.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "loaders/file_material.h"
#include "loaders/import.h"

namespace LOAD_3DS {

// What the helper sends for one file: whether it was read, the message when it was not
// ("Can not load FILE: reason", "There are no triangles in FILE"), the model when it was, and
// the files assimp opened for it (the model's MTL, buffers, ...).
struct ImportReply {
    bool ok = false;
    std::string message;
    ImportedModel model;
    std::vector<std::string> filesRead;
};

inline constexpr char kProgressMessage = 'P';
inline constexpr char kResultMessage = 'R';
// Longest text taken (names, texture paths, messages, notes, file paths).
inline constexpr std::size_t kMaxReplyText = 1 << 16;

// ---- The records, field by field in wire order --------------------------------------------
// The one description that the writer and the reader share. Io is ReplyWriter (sends each
// field) or ReplyReader (takes it in and checks it); the kind of each field (Flag, Text,
// Colour, Unit, Axis, Index, Image, Count, Array, Flags, List) says how the reader checks it. A new field is one
// line here, and a new kind of value one method on each side with its check.

template <class Io, class Material>
bool MaterialFields(Io& io, Material& m) {
    if (!(io.Text(m.name) && io.Colour(m.diffuse) && io.Colour(m.tint) && io.Text(m.texture) && io.Index(m.image) &&
          io.Index(m.alphaImage)))
        return false;
    // How the surface reflects (mesh/material.h), and its maps.
    if (!(io.Colour(m.specular) && io.Unit(m.roughness) && io.Unit(m.metallic) && io.Flag(m.reflectsScene) &&
          io.Unit(m.mirror) && io.Unit(m.opacity) && io.Unit(m.alphaCutoff) && io.Colour(m.emission) &&
          io.Flag(m.twoSided) && io.Flag(m.baseAlpha)))
        return false;
    for (auto& map : m.maps)
        if (!(io.Text(map.texture) && io.Index(map.image))) return false;
    return true;
}

template <class Io, class Reply>
bool ResultFields(Io& io, Reply& r) {
    if (!io.Flag(r.ok) || !io.Text(r.message)) return false;
    if (!r.ok) return true;
    auto& m = r.model;
    return io.Count(m.meshesInFile) && io.Count(m.meshesUsed) && io.Count(m.dropped) && io.Count(m.nonFinite) &&
           io.Axis(m.declaredUp) &&
           io.Array(m.positions) && io.Array(m.normals) && io.Flags(m.fileNormal) && io.Array(m.uvs) &&
           io.Array(m.faces) && io.Array(m.faceMaterials) &&
           io.List(m.materials, [&io](auto& material) { return MaterialFields(io, material); }) &&
           io.List(m.images, [&io](auto& image) { return io.Text(image.name) && io.Image(image.pixels, image.width, image.height); }) &&
           io.List(m.notes, [&io](auto& note) { return io.Text(note); }) &&
           io.List(r.filesRead, [&io](auto& file) { return io.Text(file); });
}

// ---- The helper's side --------------------------------------------------------------------

class ReplyWriter {
public:
    // sink takes the reply's bytes in order (the helper: its standard output).
    explicit ReplyWriter(std::function<void(const void* data, std::size_t size)> sink) : sink_(std::move(sink)) {}
    ~ReplyWriter() { Flush(); }
    ReplyWriter(const ReplyWriter&) = delete;
    ReplyWriter& operator=(const ReplyWriter&) = delete;

    void Progress(float share);              // sent at once
    void Result(const ImportReply& reply);   // the last message

    // The field kinds (see above).
    bool Flag(bool v) { return Value(std::uint8_t(v ? 1 : 0)); }
    // A text with its control characters (which the reader refuses) replaced by '?'.
    bool Text(const std::string& t);
    bool Colour(const float (&c)[3]) { return Bytes(c, sizeof c); }
    bool Unit(float v) { return Value(v); }
    bool Axis(std::uint8_t declaredUp) { return Value(declaredUp); }
    bool Index(int v) { return Value(std::int32_t(v)); }
    bool Image(const std::vector<unsigned char>& bytes, int width, int height) {
        return Value(std::int32_t(width)) && Value(std::int32_t(height)) && Array(bytes);
    }
    template <class T>
    bool Count(T v) { return Value(std::int64_t(v)); }
    template <class T>
    bool Array(const std::vector<T>& v) {
        return Value(std::uint64_t(v.size())) && Bytes(v.data(), v.size() * sizeof(T));
    }
    bool Flags(const std::vector<std::uint8_t>& v) { return Array(v); }
    template <class T, class Each>
    bool List(const std::vector<T>& v, Each each) {
        if (!Value(std::uint64_t(v.size()))) return false;
        for (const T& x : v)
            if (!each(x)) return false;
        return true;
    }

private:
    template <class T>
    bool Value(const T& v) { return Bytes(&v, sizeof v); }
    bool Bytes(const void* data, std::size_t n);
    void Flush();

    std::function<void(const void*, std::size_t)> sink_;
    std::vector<unsigned char> buffer_;
};

// ---- The viewer's side --------------------------------------------------------------------

// Where the reply comes from: a pipe from the helper, or bytes in memory.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Up to n bytes into data; 0 once the reply has ended (or cannot be had any more).
    virtual std::size_t Read(void* data, std::size_t n) = 0;
};

// How a reply ended: whole and sound; cut short (the source ended first: the helper died or
// ran out of time); or malformed (a value broke a rule, or the reply grew past the cap).
enum class ReplyEnd { kComplete, kCutShort, kMalformed };

class ReplyReader {
public:
    // capBytes: the most the whole reply may hold.
    ReplyReader(ByteSource& source, std::uint64_t capBytes) : source_(source), cap_(capBytes) {}

    // Reads progress messages, each handed to progress, up to and with the result. On
    // kComplete, reply holds a model whose every face has three finite corners inside its
    // vertices and a material of its list, with one normal, flag and mapping coordinate per
    // vertex, image indices inside its images, and images that hold exactly their pixels and
    // together at most kModelPixelBudget of them; otherwise reply is to be dropped.
    ReplyEnd Read(ImportReply& reply, const std::function<void(float)>& progress);

    std::uint64_t BytesRead() const { return used_; }
    // The memory the reader has allocated for the reply so far (never beyond the cap).
    std::uint64_t BytesHeld() const { return held_; }

    // The field kinds (see above).
    bool Flag(bool& v);
    bool Text(std::string& t);
    bool Colour(float (&c)[3]);
    bool Unit(float& v);  // a number in [0, 1]
    bool Axis(std::uint8_t& declaredUp);  // kUpUndeclared or DeclaredUp(axis)
    bool Index(int& v);  // -1 (none) or an index of the model's images
    // Decoded pixels: red, green, blue bytes, exactly width x height of them, at most
    // kMaxTextureSide a side.
    bool Image(std::vector<unsigned char>& bytes, int& width, int& height);
    template <class T>
    bool Count(T& v) {
        std::int64_t n = 0;
        if (!Value(n)) return false;
        if (n < 0 || std::uint64_t(n) > std::uint64_t(std::numeric_limits<T>::max())) return Malformed();
        v = T(n);
        return true;
    }
    template <class T>
    bool Array(std::vector<T>& v) {
        std::uint64_t n = 0;
        return Length(n, Room() / sizeof(T)) && Fill(v, n);
    }
    bool Flags(std::vector<std::uint8_t>& v);
    template <class T, class Each>
    bool List(std::vector<T>& v, Each each) {
        std::uint64_t n = 0;
        if (!Length(n, std::min(Room(), MemoryRoom() / sizeof(T)))) return false;  // every record takes some bytes
        v.clear();
        for (std::uint64_t k = 0; k < n; ++k) {
            // Grown by doubling, each growth charged at its size in memory.
            if (v.size() == v.capacity() && !Reserve(v, std::min<std::uint64_t>(n, std::max<std::size_t>(16, 2 * v.size()))))
                return false;
            v.emplace_back();
            if (!each(v.back())) return false;
        }
        return true;
    }

private:
    std::uint64_t Room() const { return cap_ - used_; }
    std::uint64_t MemoryRoom() const { return cap_ - held_; }
    // Capacity for n elements, its growth charged against the cap first.
    template <class Container>
    bool Reserve(Container& v, std::uint64_t n) {
        using T = typename Container::value_type;
        if (n <= v.capacity()) return true;
        const std::uint64_t more = n - v.capacity();
        if (more > MemoryRoom() / sizeof(T)) return Malformed();
        held_ += more * sizeof(T);
        v.reserve(std::size_t(n));
        // A string's own rounding of its capacity is charged as well.
        if (v.capacity() > n) held_ += std::min<std::uint64_t>(MemoryRoom(), (v.capacity() - n) * sizeof(T));
        return true;
    }
    bool Malformed() {
        malformed_ = true;
        return false;
    }
    // Exactly n bytes, counted against the cap.
    bool Bytes(void* data, std::size_t n);
    template <class T>
    bool Value(T& v) { return Bytes(&v, sizeof v); }
    // A count that may be at most `most`.
    bool Length(std::uint64_t& n, std::uint64_t most);
    // n elements into v, grown only as their bytes arrive and never beyond n.
    template <class Container>
    bool Fill(Container& v, std::uint64_t n) {
        using T = typename Container::value_type;
        static_assert(std::is_trivially_copyable_v<T>);
        constexpr std::size_t kStep = std::max<std::size_t>((std::size_t(1) << 20) / sizeof(T), 1);
        v.clear();
        while (v.size() < n) {
            const std::size_t at = v.size();
            const std::size_t step = std::size_t(std::min<std::uint64_t>(n - at, kStep));
            if (v.capacity() < at + step && !Reserve(v, std::min<std::uint64_t>(n, std::max(2 * at, at + step))))
                return false;
            v.resize(at + step);
            if (!Bytes(v.data() + at, step * sizeof(T))) return false;
        }
        return true;
    }
    bool Check(const ImportReply& reply);

    ByteSource& source_;
    std::uint64_t cap_;
    std::uint64_t used_ = 0;  // bytes read
    std::uint64_t held_ = 0;  // bytes allocated: vectors' and strings' capacities times their elements' sizes
    bool malformed_ = false;
};

// A source over bytes in memory.
class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
    std::size_t Read(void* data, std::size_t n) override;

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace LOAD_3DS
