#include "loaders/ply_reader.h"

#include "loaders/safe_open.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace LOAD_3DS {

namespace {

enum class Format { kAscii, kLittle, kBig };

enum class Type { kInt8, kUint8, kInt16, kUint16, kInt32, kUint32, kFloat32, kFloat64 };

bool TypeOf(const std::string& word, Type& type) {
    static const std::pair<const char*, Type> kTypes[] = {
        {"char", Type::kInt8},     {"int8", Type::kInt8},       {"uchar", Type::kUint8},   {"uint8", Type::kUint8},
        {"short", Type::kInt16},   {"int16", Type::kInt16},     {"ushort", Type::kUint16}, {"uint16", Type::kUint16},
        {"int", Type::kInt32},     {"int32", Type::kInt32},     {"uint", Type::kUint32},   {"uint32", Type::kUint32},
        {"float", Type::kFloat32}, {"float32", Type::kFloat32}, {"double", Type::kFloat64}, {"float64", Type::kFloat64}};
    for (const auto& [name, t] : kTypes)
        if (word == name) return type = t, true;
    return false;
}

std::size_t SizeOf(Type t) {
    switch (t) {
        case Type::kInt8: case Type::kUint8: return 1;
        case Type::kInt16: case Type::kUint16: return 2;
        case Type::kInt32: case Type::kUint32: case Type::kFloat32: return 4;
        case Type::kFloat64: return 8;
    }
    return 1;
}

// What a vertex property means to the viewer.
enum class Role { kNone, kX, kY, kZ, kNX, kNY, kNZ, kU, kV, kCorners };

struct Property {
    std::string name;
    Type type = Type::kFloat32;
    bool list = false;
    Type countType = Type::kUint8;
    Role role = Role::kNone;
};

struct Element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<Property> properties;
};

struct Header {
    Format format = Format::kAscii;
    std::vector<Element> elements;
    std::size_t dataStart = 0;  // the first byte after "end_header" and its line end
};

// The header's lines up to "end_header"; false with the reason.
bool ReadHeader(const unsigned char* data, std::size_t size, Header& header, std::string& why) {
    const std::size_t limit = std::min(size, kMaxPlyHeader);
    const std::string text(reinterpret_cast<const char*>(data), limit);
    if (text.compare(0, 3, "ply") != 0 || text.size() < 4 || (text[3] != '\n' && text[3] != '\r'))
        return why = "it does not begin with \"ply\"", false;
    std::size_t at = text.find('\n') + 1;  // past the "ply" line
    bool formatSeen = false;
    while (true) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return why = "its header has no end_header line", false;
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end + 1;
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "end_header") break;
        if (keyword == "format") {
            std::string kind, version;
            words >> kind >> version;
            if (kind == "ascii") header.format = Format::kAscii;
            else if (kind == "binary_little_endian") header.format = Format::kLittle;
            else if (kind == "binary_big_endian") header.format = Format::kBig;
            else return why = "its format " + kind + " is not ascii or binary", false;
            formatSeen = true;
        } else if (keyword == "element") {
            Element e;
            std::string count;
            words >> e.name >> count;
            char* stop = nullptr;
            errno = 0;
            e.count = std::strtoull(count.c_str(), &stop, 10);
            if (e.name.empty() || count.empty() || count[0] == '-' || *stop != '\0' || errno != 0)
                return why = "its element line \"" + line.substr(0, 80) + "\" has no count", false;
            header.elements.push_back(std::move(e));
        } else if (keyword == "property") {
            if (header.elements.empty()) return why = "a property comes before any element", false;
            Property p;
            std::string type;
            words >> type;
            if (type == "list") {
                std::string countType, itemType;
                words >> countType >> itemType >> p.name;
                p.list = true;
                if (!TypeOf(countType, p.countType) || !TypeOf(itemType, p.type) || SizeOf(p.countType) > 4 ||
                    p.countType == Type::kFloat32 || p.countType == Type::kFloat64)
                    return why = "its property line \"" + line.substr(0, 80) + "\" has no list types it knows", false;
            } else {
                words >> p.name;
                if (!TypeOf(type, p.type)) return why = "its property type " + type.substr(0, 20) + " is unknown", false;
            }
            header.elements.back().properties.push_back(std::move(p));
        } else if (keyword != "comment" && keyword != "obj_info" && !keyword.empty()) {
            return why = "its header line \"" + line.substr(0, 80) + "\" is not PLY", false;
        }
    }
    if (!formatSeen) return why = "its header names no format", false;
    header.dataStart = at;
    return true;
}

// Numbers of the data part, in the file's format. Every read stays inside the bytes; a read
// past the end is false.
class Data {
public:
    Data(const unsigned char* data, std::size_t size, std::size_t at, Format format)
        : d_(data), n_(size), at_(at), format_(format) {}

    std::size_t Left() const { return n_ - at_; }
    bool Ascii() const { return format_ == Format::kAscii; }

    bool Number(Type t, double& v) {
        if (Ascii()) return Word(v);
        const std::size_t size = SizeOf(t);
        if (Left() < size) return false;
        unsigned char b[8];
        std::memcpy(b, d_ + at_, size);
        at_ += size;
        if (format_ == Format::kBig) std::reverse(b, b + size);
        switch (t) {
            case Type::kInt8: v = double(std::int8_t(b[0])); break;
            case Type::kUint8: v = double(b[0]); break;
            case Type::kInt16: { std::int16_t x; std::memcpy(&x, b, 2); v = x; break; }
            case Type::kUint16: { std::uint16_t x; std::memcpy(&x, b, 2); v = x; break; }
            case Type::kInt32: { std::int32_t x; std::memcpy(&x, b, 4); v = x; break; }
            case Type::kUint32: { std::uint32_t x; std::memcpy(&x, b, 4); v = x; break; }
            case Type::kFloat32: { float x; std::memcpy(&x, b, 4); v = x; break; }
            case Type::kFloat64: { std::memcpy(&v, b, 8); break; }
        }
        return true;
    }

private:
    // One blank-separated word as a number.
    bool Word(double& v) {
        while (at_ < n_ && std::isspace(d_[at_])) ++at_;
        const std::size_t start = at_;
        while (at_ < n_ && !std::isspace(d_[at_])) ++at_;
        if (at_ == start || at_ - start > 63) return false;
        char word[64];
        std::memcpy(word, d_ + start, at_ - start);
        word[at_ - start] = '\0';
        char* end = nullptr;
        v = std::strtod(word, &end);
        return end != word && *end == '\0';
    }

    const unsigned char* d_;
    std::size_t n_;
    std::size_t at_;
    Format format_;
};

// The least bytes one value takes in the data (a word and a blank for text).
std::size_t LeastBytes(Format f, Type t) { return f == Format::kAscii ? 1 : SizeOf(t); }

Role RoleOf(const std::string& element, const std::string& name, bool list) {
    if (element == "vertex" && !list) {
        static const std::pair<const char*, Role> kRoles[] = {
            {"x", Role::kX},         {"y", Role::kY},         {"z", Role::kZ},         {"nx", Role::kNX},
            {"ny", Role::kNY},       {"nz", Role::kNZ},       {"u", Role::kU},         {"v", Role::kV},
            {"s", Role::kU},         {"t", Role::kV},         {"texture_u", Role::kU}, {"texture_v", Role::kV},
            {"texture_s", Role::kU}, {"texture_t", Role::kV}};
        for (const auto& [n, r] : kRoles)
            if (name == n) return r;
    }
    if ((element == "face" || element == "tristrips") && list && (name == "vertex_indices" || name == "vertex_index"))
        return Role::kCorners;
    return Role::kNone;
}

class PlyReader {
public:
    PlyReader(const std::string& name, ImportedModel& out) : name_(name), out_(out) {}

    bool Read(const unsigned char* data, std::size_t size, std::string* error) {
        out_ = ImportedModel{};
        Header header;
        std::string why;
        if (!ReadHeader(data, size, header, why)) return Fail(error, why);
        Data in(data, size, header.dataStart, header.format);
        for (Element& e : header.elements) {
            for (Property& p : e.properties) p.role = RoleOf(e.name, p.name, p.list);
            if (!ReadElement(in, header.format, e, why)) return Fail(error, why);
        }
        return Finish(error);
    }

private:
    bool Fail(std::string* error, const std::string& why) {
        if (error) *error = "Can not load " + name_ + ": " + why;
        return false;
    }

    bool ReadElement(Data& in, Format format, const Element& e, std::string& why) {
        // Each record takes at least a byte per value: a count beyond the bytes left is a lie.
        std::size_t least = 0;
        for (const Property& p : e.properties) least += LeastBytes(format, p.list ? p.countType : p.type);
        if (least > 0 && e.count > in.Left() / least) return why = "its " + e.name + " element counts more records than it holds", false;
        if (e.count > 0 && least == 0) return why = "its " + e.name + " element has records but no properties", false;
        const bool vertex = e.name == "vertex";
        if (vertex) {
            if (!out_.positions.empty()) return why = "it has two vertex elements", false;
            if (e.count > kMaxImportVertices) return why = "it has more vertices than the viewer takes", false;
            for (const Property& p : e.properties) hasNormals_ = hasNormals_ || p.role == Role::kNX;
        }
        const bool strips = e.name == "tristrips";
        for (std::uint64_t r = 0; r < e.count; ++r) {
            double value[10] = {};  // by Role
            for (const Property& p : e.properties) {
                if (!p.list) {
                    double v = 0.0;
                    if (!in.Number(p.type, v)) return why = "its data ends within its " + e.name + " element", false;
                    value[int(p.role)] = v;
                    continue;
                }
                double count = 0.0;
                if (!in.Number(p.countType, count)) return why = "its data ends within its " + e.name + " element", false;
                if (!(count >= 0.0) || count != std::floor(count) ||
                    count > double(in.Left() / LeastBytes(format, p.type)))
                    return why = "a list of its " + e.name + " element counts more values than the file holds", false;
                corners_.clear();
                for (std::uint64_t k = 0; k < std::uint64_t(count); ++k) {
                    double v = 0.0;
                    if (!in.Number(p.type, v)) return why = "its data ends within its " + e.name + " element", false;
                    if (p.role == Role::kCorners) {
                        if (v != std::floor(v) || v < -1.0 || v > double(kMaxImportVertices))
                            return why = "its " + e.name + " element names vertex " + std::to_string(v), false;
                        corners_.push_back(std::int64_t(v));
                    }
                }
                if (p.role == Role::kCorners && !(strips ? AddStrips() : AddPolygon(why))) return false;
            }
            if (vertex) AddVertex(value);
            if (out_.faces.size() > kMaxImportFaces) return why = "it has more triangles than the viewer takes", false;
        }
        return true;
    }

    void AddVertex(const double (&v)[10]) {
        const auto at = [&](Role r) { return float(v[int(r)]); };
        out_.positions.push_back({at(Role::kX), at(Role::kY), at(Role::kZ)});
        LPoint3 n{at(Role::kNX), at(Role::kNY), at(Role::kNZ)};
        const float l = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        if (l > 0.0f && std::isfinite(l)) n = {n.x / l, n.y / l, n.z / l};
        else n = {0.0f, 0.0f, 0.0f};
        out_.normals.push_back(n);
        out_.uvs.push_back({at(Role::kU), at(Role::kV)});
    }

    // A polygon of three or more corners as a fan; fewer corners are a point or a line.
    bool AddPolygon(std::string& why) {
        if (corners_.size() < 3) {
            ++out_.dropped;
            return true;
        }
        for (std::int64_t c : corners_)
            if (c < 0) return why = "a face names vertex -1", false;
        for (std::size_t k = 1; k + 1 < corners_.size(); ++k) Add(corners_[0], corners_[k], corners_[k + 1]);
        return true;
    }

    // Strips separated by -1: the k-th triangle of a strip (from 0) is (s[k], s[k+1], s[k+2]),
    // its corners' order swapped for odd k, so that every triangle winds as the first does.
    // Triangles that repeat a corner join strips and are no faces.
    bool AddStrips() {
        std::size_t begin = 0;
        for (std::size_t k = 0; k <= corners_.size(); ++k) {
            if (k < corners_.size() && corners_[k] >= 0) continue;
            for (std::size_t t = begin; t + 2 < k; ++t) {
                const std::int64_t a = corners_[t], b = corners_[t + 1], c = corners_[t + 2];
                if (a == b || b == c || a == c) continue;
                if ((t - begin) % 2 == 0) Add(a, b, c);
                else Add(b, a, c);
            }
            begin = k + 1;
        }
        return true;
    }

    void Add(std::int64_t a, std::int64_t b, std::int64_t c) { out_.faces.push_back({int(a), int(b), int(c)}); }

    bool Finish(std::string* error) {
        const std::size_t V = out_.positions.size();
        std::vector<LFace> kept;
        kept.reserve(out_.faces.size());
        for (const LFace& f : out_.faces) {
            for (int v : {f.a, f.b, f.c})
                if (v < 0 || std::size_t(v) >= V)
                    return Fail(error, "a face or strip names vertex " + std::to_string(v) + " of " + std::to_string(V));
            bool finite = true;
            for (int v : {f.a, f.b, f.c}) {
                const LPoint3& p = out_.positions[std::size_t(v)];
                finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
            }
            if (finite) kept.push_back(f);
            else ++out_.nonFinite;
        }
        out_.faces = std::move(kept);
        if (out_.faces.empty()) {
            if (error) *error = "There are no triangles in " + name_;
            return false;
        }
        out_.fileNormal.assign(V, hasNormals_ ? 1 : 0);
        out_.faceMaterials.assign(out_.faces.size(), 0);
        out_.materials.assign(1, FileMaterial{});
        out_.meshesInFile = out_.meshesUsed = 1;
        out_.declaredUp = kUpUndeclared;
        return true;
    }

    const std::string& name_;
    ImportedModel& out_;
    bool hasNormals_ = false;
    std::vector<std::int64_t> corners_;
};

}  // namespace

bool PlyDeclaresStrips(const unsigned char* data, std::size_t size) {
    Header header;
    std::string why;
    if (!ReadHeader(data, size, header, why)) return false;
    for (const Element& e : header.elements)
        if (e.name == "tristrips") return true;
    return false;
}

bool PlyFileDeclaresStrips(const std::string& file) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(OpenRegularStream(file, {}, nullptr), &std::fclose);
    if (!f) return false;
    std::vector<unsigned char> head(kMaxPlyHeader);
    head.resize(std::fread(head.data(), 1, head.size(), f.get()));
    return PlyDeclaresStrips(head.data(), head.size());
}

bool ReadPly(const unsigned char* data, std::size_t size, const std::string& name, ImportedModel& out,
             std::string* error) {
    PlyReader reader(name, out);
    return reader.Read(data, size, error);
}

bool ReadPlyFile(const std::string& file, ImportedModel& out, std::string* error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(OpenRegularStream(file, {}, nullptr), &std::fclose);
    std::vector<unsigned char> bytes;
    bool read = false;
    if (f && std::fseek(f.get(), 0, SEEK_END) == 0) {
        const long size = std::ftell(f.get());
        if (size >= 0 && std::uint64_t(size) <= kMaxPlyFileBytes && std::fseek(f.get(), 0, SEEK_SET) == 0) {
            bytes.resize(std::size_t(size));
            read = bytes.empty() || std::fread(bytes.data(), bytes.size(), 1, f.get()) == 1;
        }
    }
    if (!read) {
        if (error) *error = "Can not load " + file + ": it cannot be read";
        return false;
    }
    return ReadPly(bytes.data(), bytes.size(), file, out, error);
}

}  // namespace LOAD_3DS
