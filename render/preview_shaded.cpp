#define GL_GLEXT_PROTOTYPES  // the shader entry points (OpenGL 2.0 and 3.0)
#include "render/preview_shaded.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <vector>
#include <cstdio>

#include "loaders/texture.h"
#include "mesh/material.h"
#include "raytracer/bsdf.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "raytracer/surface_bsdf.h"
#include "raytracer/tobject.h"

namespace ORVA_GRAPHICS {

namespace {

constexpr float kPi = 3.14159265358979323846f;

// Texture units of the program's samplers; unit 0 is the base colour, as the fixed preview's.
enum Unit : int { kBaseUnit = 0, kMetalRoughUnit, kSpecularUnit, kEmissionUnit, kOpacityUnit, kSkyUnit, kCoatUnit };

// The tracer's ShadeDescribed, without its shadow rays (the hybrid mask's) and with the sky for
// the reflected scene; colours are red, green, blue. Both stages include it: per pixel, or per
// vertex for a mesh whose triangles are smaller than a few pixels on the screen (llvmpipe shades
// whole 4 x 4 blocks of pixels per triangle, so a dense mesh would be shaded many times over;
// per vertex it is shaded about once per pixel it covers, and looks the same). The source is
// compiled once per set of features the scene's materials use (the #defines Compile writes
// before it): llvmpipe runs both sides of every branch, so a feature a material does not have
// must not be there.
const char* const kShading = R"(
uniform sampler2D uBaseMap, uMetalRoughMap, uSpecularMap, uEmissionMap, uOpacityMap, uCoatTable;
uniform samplerCube uSky;
uniform vec3 uColour, uSpecular, uEmission;
uniform float uRoughness, uMetallic, uMirror, uOpacity, uCutoff;
uniform vec3 uEye, uLightPosition, uLightColour, uAttenuation;
uniform vec3 uSH[9];
uniform float uAmbient, uSkyStrength;
const float PI = 3.14159265358979;
const float kLightAmbient = 0.1;
const float kSkyLevels = 6.0;

float F90(vec3 f0) { return clamp(50.0 * max(f0.r, max(f0.g, f0.b)), 0.0, 1.0); }

vec3 Schlick(vec3 f0, float cosine) {
    float c = 1.0 - clamp(cosine, 0.0, 1.0);
    float c2 = c * c;
    return f0 + (vec3(F90(f0)) - f0) * (c2 * c2 * c);
}

// Irradiance over pi from the harmonics (already convolved with the cosine).
vec3 SkyIrradiance(vec3 n) {
    vec3 e = uSH[0] * 0.282095 + uSH[1] * (0.488603 * n.y) + uSH[2] * (0.488603 * n.z) + uSH[3] * (0.488603 * n.x) +
             uSH[4] * (1.092548 * n.x * n.y) + uSH[5] * (1.092548 * n.y * n.z) +
             uSH[6] * (0.315392 * (3.0 * n.z * n.z - 1.0)) + uSH[7] * (1.092548 * n.x * n.z) +
             uSH[8] * (0.546274 * (n.x * n.x - n.y * n.y));
    return max(e, vec3(0.0));
}

// The sky's radiance toward d, averaged over a GGX lobe of the given roughness.
vec3 Sky(vec3 d, float roughness) { return textureLod(uSky, d, clamp(roughness, 0.0, 1.0) * (kSkyLevels - 1.0)).rgb * uSkyStrength; }

// The coat's albedo terms at a cosine and roughness (raytracer/surface_bsdf.h CoatAlbedoTerms,
// its grid points on the texels' centres): a and b of the directional albedo, then the
// cosine-weighted mean's.
vec4 CoatTerms(float cosine, float roughness) {
    return textureLod(uCoatTable, (vec2(cosine, roughness) * 31.0 + 0.5) / 32.0, 0.0);
}

// The light at a surface point (raytracer/surface_bsdf.h): what multiplies the base colour (the
// diffuse lobe, on what the coat lets through both ways, under the lights, the sky light or the
// preview's ambient) and what is added to it (the coat's highlight and the reflected sky).
void Shade(vec3 position, vec3 normal, vec3 geometric, vec3 base, vec2 uv, out vec3 diffuse, out vec3 added) {
    float roughness = clamp(uRoughness, 0.0, 1.0), metallic = clamp(uMetallic, 0.0, 1.0);
#ifdef METAL_ROUGH_MAP
    vec3 metalRough = MAP(uMetalRoughMap, uv).rgb;
    roughness *= metalRough.g;
    metallic *= metalRough.b;
#endif
    float mirror = clamp(uMirror, 0.0, 1.0);
    vec3 specular = uSpecular;
#ifdef SPECULAR_MAP
    specular *= MAP(uSpecularMap, uv).rgb;
#endif
    vec3 f0 = specular * (1.0 - metallic) + base * metallic;
    float f90 = F90(f0);
    float coatWeight = f90 > 0.0 ? 1.0 - mirror : 0.0;
    vec3 wo = normalize(uEye - position);
    vec3 n = normalize(normal);
    float nv = dot(n, wo);
    n = nv < 1e-3 ? normalize(n + wo * (1e-3 - nv)) : n;
    nv = clamp(dot(n, wo), 0.0, 1.0);
    vec4 out_ = CoatTerms(nv, roughness);
    vec3 albedoOut = f0 * out_.x + vec3(f90 * out_.y);
    vec3 meanOut = vec3(1.0) - (f0 * out_.z + vec3(f90 * out_.w));
    // The diffuse albedo toward the eye over the base colour, and its scale for light from one
    // direction (over the coat's mean transmission).
    vec3 share = max(vec3(1.0) - albedoOut, vec3(0.0)) * ((1.0 - mirror) * (1.0 - metallic));
    vec3 scale = vec3(meanOut.r > 1e-4 ? share.r / meanOut.r : 0.0, meanOut.g > 1e-4 ? share.g / meanOut.g : 0.0,
                      meanOut.b > 1e-4 ? share.b / meanOut.b : 0.0);

    // The point light: its ambient part and, from above both the shading and the triangle's
    // surface, its direct light on the diffuse lobe and the coat's GGX highlight (at least
    // roughness 0.1), D G1(wo) G1(wi) F / (4 cos cos) with G1(c) = 2c / (c + sqrt(a2 + (1 - a2) c^2)).
    vec3 toLight = uLightPosition - position;
    float d = max(length(toLight), 1e-20);
    float attenuation = 1.0 / (uAttenuation.x + uAttenuation.y * d + uAttenuation.z * d * d);
    attenuation = attenuation > 0.0 && attenuation < 1e30 ? attenuation : 0.0;
    vec3 wi = toLight / d;
    float nl = dot(n, wi);
    float lit = nl > 0.0 && nv > 0.0 && dot(wi, geometric) > 0.0 ? attenuation * nl : 0.0;
    vec4 in_ = CoatTerms(max(nl, 0.0), roughness);
    vec3 through = max(vec3(1.0) - (f0 * in_.x + vec3(f90 * in_.y)), vec3(0.0));
    float lightRough = max(roughness, 0.1);
    float a2 = lightRough * lightRough * lightRough * lightRough;
    vec3 h = normalize(wo + wi + vec3(0.0, 1e-20, 0.0));
    float nh = max(dot(n, h), 0.0);
    float k = nh * nh * (a2 - 1.0) + 1.0;
    float cl = max(nl, 0.0), cv = max(nv, 1e-6);
    float dv = a2 / (PI * k * k * (cv + sqrt(a2 + (1.0 - a2) * cv * cv)) * (cl + sqrt(a2 + (1.0 - a2) * cl * cl)));
    added = Schlick(f0, dot(wo, h)) * uLightColour * (dv * PI * lit * coatWeight);
    // The sky light, or the preview's ambient (the harmonics are 0 then).
    diffuse = share * (uLightColour * (kLightAmbient * attenuation) + SkyIrradiance(n) + vec3(uAmbient)) +
              scale * through * uLightColour * lit;
#if defined(COAT_REFLECTS) || defined(MIRROR)
    vec3 r = reflect(-wo, n);
#endif
#ifdef COAT_REFLECTS
    added += albedoOut * coatWeight * Sky(r, roughness);
#endif
#ifdef MIRROR
    added += mirror * Sky(r, 0.0);
#endif
}
)";

// Positions and normals carried into the models' frame (the object's transform only); the
// clip position through the fixed-function matrices, so the depth is the fixed preview's. Per
// vertex, the light too.
const char* const kVertexMain = R"(
uniform mat4 uWorld;
uniform mat3 uNormalToWorld;
out vec3 vPosition;
out vec3 vNormal;
out vec2 vUv;
out vec3 vDiffuse;
out vec3 vAdded;
void main() {
    vPosition = (uWorld * gl_Vertex).xyz;
    vNormal = uNormalToWorld * gl_Normal;
    vUv = gl_MultiTexCoord0.xy;
    gl_Position = ftransform();
#ifdef PER_VERTEX
    vec3 base = uColour;
#ifdef BASE_MAP
    base *= MAP(uBaseMap, vUv).rgb;
#endif
    Shade(vPosition, vNormal, vNormal, base, vUv, vDiffuse, vAdded);
#else
    vDiffuse = vec3(0.0);
    vAdded = vec3(0.0);
#endif
}
)";

const char* const kFragmentMain = R"(
in vec3 vPosition;
in vec3 vNormal;
in vec2 vUv;
in vec3 vDiffuse;
in vec3 vAdded;
void main() {
#ifdef OPACITY_MAP
    if (texture(uOpacityMap, vUv).r * max(uOpacity, 1e-6) < uCutoff) discard;
#endif
    vec3 base = uColour;
#ifdef BASE_MAP
    base *= texture(uBaseMap, vUv).rgb;
#endif
#ifdef PER_VERTEX
    vec3 diffuse = vDiffuse, added = vAdded;
#else
    vec3 diffuse, added;
    // The triangle's own normal, on the eye's side.
    vec3 geometric = normalize(cross(dFdx(vPosition), dFdy(vPosition)));
    geometric = dot(geometric, uEye - vPosition) < 0.0 ? -geometric : geometric;
    Shade(vPosition, gl_FrontFacing ? vNormal : -vNormal, geometric, base, vUv, diffuse, added);
#endif
    vec3 emission = uEmission;
#ifdef EMISSION_MAP
    emission *= texture(uEmissionMap, vUv).rgb;
#endif
    vec3 colour = emission + base * diffuse + added;
#ifdef TRANSLUCENT
    gl_FragColor = vec4(colour, max(uOpacity, 0.0));
#else
    gl_FragColor = vec4(colour, 1.0);
#endif
}
)";

// The compiler's or linker's log, trimmed to its first line.
std::string FirstLine(const std::vector<char>& log) {
    std::string s(log.begin(), log.end());
    s = s.substr(0, s.find('\0'));
    const std::size_t end = s.find('\n');
    return end == std::string::npos ? s : s.substr(0, end);
}

GLuint CompileStage(GLenum stage, const char* source, std::string& error) {
    const GLuint shader = glCreateShader(stage);
    if (shader == 0) {
        error = "no shader object";
        return 0;
    }
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        GLint length = 0;
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        std::vector<char> log(std::size_t(std::max(length, 1)), '\0');
        glGetShaderInfoLog(shader, GLsizei(log.size()), nullptr, log.data());
        error = (stage == GL_VERTEX_SHADER ? "vertex shader: " : "fragment shader: ") + FirstLine(log);
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

// The real spherical harmonics up to order 2 at unit (x, y, z) (the shader's SkyIrradiance).
void Basis(float x, float y, float z, float out[9]) {
    out[0] = 0.282095f;
    out[1] = 0.488603f * y;
    out[2] = 0.488603f * z;
    out[3] = 0.488603f * x;
    out[4] = 1.092548f * x * y;
    out[5] = 1.092548f * y * z;
    out[6] = 0.315392f * (3.0f * z * z - 1.0f);
    out[7] = 1.092548f * x * z;
    out[8] = 0.546274f * (x * x - y * y);
}

// The unit direction of point (s, t) in [0, 1]^2 of cube map face (0..5: +x, -x, +y, -y, +z, -z),
// as OpenGL's cube map lookup picks the face and its coordinates.
void CubeDirection(int face, float s, float t, float d[3]) {
    const float sc = 2.0f * s - 1.0f, tc = 2.0f * t - 1.0f;
    const float v[6][3] = {{1.0f, -tc, -sc}, {-1.0f, -tc, sc}, {sc, 1.0f, tc},
                           {sc, -1.0f, -tc}, {sc, -tc, 1.0f}, {-sc, -tc, -1.0f}};
    const float* w = v[face];
    const float length = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    for (int k = 0; k < 3; ++k) d[k] = w[k] / length;
}

}  // namespace

SkyHarmonics ProjectSky(const std::function<void(const float direction[3], float rgb[3])>& radiance, float belowHorizon) {
    // Cells of equal solid angle: y uniform in [-1, 1], the longitude uniform.
    constexpr int kAround = 64, kRings = 64;
    double sum[9][3] = {};
    for (int j = 0; j < kRings; ++j) {
        const float y = -1.0f + (2.0f * float(j) + 1.0f) / float(kRings);
        const float share = y < 0.0f ? belowHorizon : 1.0f;
        if (!(share > 0.0f)) continue;
        const float r = std::sqrt(std::max(0.0f, 1.0f - y * y));
        for (int i = 0; i < kAround; ++i) {
            const float phi = 2.0f * kPi * (float(i) + 0.5f) / float(kAround);
            const float d[3] = {r * std::cos(phi), y, r * std::sin(phi)};
            float rgb[3] = {0.0f, 0.0f, 0.0f}, basis[9];
            radiance(d, rgb);
            Basis(d[0], d[1], d[2], basis);
            for (int k = 0; k < 9; ++k)
                for (int c = 0; c < 3; ++c) sum[k][c] += double(basis[k]) * double(rgb[c] * share);
        }
    }
    // Each cell is 4 pi / cells of solid angle; the cosine lobe's factors per order are pi,
    // 2 pi / 3 and pi / 4 (Ramamoorthi and Hanrahan 2001), and the result is over pi.
    const double cell = 4.0 * double(kPi) / double(kAround * kRings);
    const double band[3] = {1.0, 2.0 / 3.0, 1.0 / 4.0};
    SkyHarmonics sh;
    for (int k = 0; k < 9; ++k) {
        const double a = band[k == 0 ? 0 : (k < 4 ? 1 : 2)];
        for (int c = 0; c < 3; ++c) sh.coefficients[k][c] = float(sum[k][c] * cell * a);
    }
    return sh;
}

float OpenBelow(const RAYTR::Scene& scene) {
    // 8 x 4 directions of equal solid angle over the lower hemisphere.
    constexpr int kAround = 8, kRings = 4;
    const RAYTR::VECTOR from(scene.target.x, scene.target.y, scene.target.z, 1.0f);
    int open = 0;
    for (int j = 0; j < kRings; ++j) {
        const float y = -(float(j) + 0.5f) / float(kRings);
        const float r = std::sqrt(std::max(0.0f, 1.0f - y * y));
        for (int i = 0; i < kAround; ++i) {
            const float phi = 2.0f * kPi * (float(i) + 0.5f) / float(kAround);
            RAYTR::RayHit hit;
            open += !RAYTR::ClosestHit(RAYTR::Ray(from, RAYTR::VECTOR(r * std::cos(phi), y, r * std::sin(phi), 0.0f)), scene, hit);
        }
    }
    return float(open) / float(kAround * kRings);
}

void IrradianceSH(const SkyHarmonics& sh, float x, float y, float z, float rgb[3]) {
    float basis[9];
    Basis(x, y, z, basis);
    for (int c = 0; c < 3; ++c) {
        float e = 0.0f;
        for (int k = 0; k < 9; ++k) e += sh.coefficients[k][c] * basis[k];
        rgb[c] = std::max(0.0f, e);
    }
}

ShadedPreview::~ShadedPreview() {
    for (Variant& v : variants_) glDeleteProgram(v.program);
    if (skyTexture_ != 0) glDeleteTextures(1, &skyTexture_);
    if (lutTexture_ != 0) glDeleteTextures(1, &lutTexture_);
}

unsigned ShadedPreview::FeaturesOf(const Material& m, bool translucent) {
    const auto has = [](const TEXTURE* image) { return image != nullptr && image->pixels != nullptr; };
    unsigned f = 0;
    if (has(m.image)) f |= kBaseMapFeature;
    if (has(m.mapImages[kMetalRoughMap])) f |= kMetalRoughFeature;
    if (has(m.mapImages[kSpecularMap])) f |= kSpecularFeature;
    if (has(m.mapImages[kEmissionMap])) f |= kEmissionFeature;
    if (has(m.mapImages[kOpacityMap])) f |= kOpacityFeature;
    if (m.reflectsScene) f |= kCoatReflectsFeature;
    if (m.mirror > 0.0f) f |= kMirrorFeature;
    if (translucent) f |= kTranslucentFeature;
    return f;
}

bool ShadedPreview::Dense(const RAYTR::TObject& object, unsigned index) const {
    if (std::size_t(index) * 4 + 3 >= bounds_.size() || object.triangleCount == 0) return false;
    const float* b = &bounds_[std::size_t(index) * 4];
    const RAYTR::VECTOR c = ORVA_MATH::Transform(RAYTR::VECTOR(b[0], b[1], b[2], 1.0f), object.box.transform);
    const float dx = c.x - eye_[0], dy = c.y - eye_[1], dz = c.z - eye_[2];
    const float distance = std::sqrt(dx * dx + dy * dy + dz * dz);
    if (!(distance > 2.0f * b[3])) return false;  // close up: per pixel
    // The pixels of the bounding sphere's disk on the screen over the triangles that face the eye
    // (about half).
    const float radius = b[3] * pixelsPerUnit_ / distance;
    return kPi * radius * radius < kDensePixels * 0.5f * float(object.triangleCount);
}

GLuint ShadedPreview::Compile(unsigned features, std::string& error) {
    static const char* const kDefines[] = {"BASE_MAP", "METAL_ROUGH_MAP", "SPECULAR_MAP", "EMISSION_MAP", "OPACITY_MAP",
                                           "COAT_REFLECTS", "MIRROR", "TRANSLUCENT", "PER_VERTEX"};
    std::string defines = "#version 130\n";
    for (unsigned k = 0; k < sizeof kDefines / sizeof kDefines[0]; ++k)
        if (features & (1u << k)) defines += std::string("#define ") + kDefines[k] + "\n";
    // Maps are read at their full size per vertex (a vertex has no footprint to filter over).
    const std::string vertex = defines + "#define MAP(s, uv) textureLod(s, uv, 0.0)\n" + kShading + kVertexMain;
    const std::string fragment = defines + "#define MAP(s, uv) texture(s, uv)\n" + kShading + kFragmentMain;
    const GLuint vs = CompileStage(GL_VERTEX_SHADER, vertex.c_str(), error);
    const GLuint fs = vs != 0 ? CompileStage(GL_FRAGMENT_SHADER, fragment.c_str(), error) : 0;
    GLuint program = 0;
    if (vs != 0 && fs != 0) {
        program = glCreateProgram();
        glAttachShader(program, vs);
        glAttachShader(program, fs);
        glLinkProgram(program);
        GLint ok = GL_FALSE;
        glGetProgramiv(program, GL_LINK_STATUS, &ok);
        if (ok != GL_TRUE) {
            GLint length = 0;
            glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
            std::vector<char> log(std::size_t(std::max(length, 1)), '\0');
            glGetProgramInfoLog(program, GLsizei(log.size()), nullptr, log.data());
            error = "link: " + FirstLine(log);
            glDeleteProgram(program);
            program = 0;
        }
    }
    if (vs != 0) glDeleteShader(vs);
    if (fs != 0) glDeleteShader(fs);
    return program;
}

ShadedPreview::Variant* ShadedPreview::Find(unsigned features) {
    for (Variant& v : variants_)
        if (v.features == features) return v.program != 0 ? &v : nullptr;
    return nullptr;
}

void ShadedPreview::AddVariant(unsigned features) {
    for (const Variant& v : variants_)
        if (v.features == features) return;
    std::string error;
    Variant v;
    v.features = features;
    v.program = Compile(features, error);
    if (v.program == 0) {
        if (note_.empty()) note_ = "shaded preview unavailable (" + error + "): materials drawn fixed-function";
        variants_.push_back(v);
        return;
    }
    const GLuint program = v.program;
    const auto at = [program](const char* name) { return glGetUniformLocation(program, name); };
    v.at = {at("uWorld"), at("uNormalToWorld"), at("uEye"), at("uLightPosition"), at("uLightColour"),
            at("uAttenuation"), at("uSH"), at("uAmbient"), at("uSkyStrength"), at("uColour"), at("uSpecular"),
            at("uEmission"), at("uRoughness"), at("uMetallic"), at("uMirror"), at("uOpacity"), at("uCutoff")};
    glUseProgram(program);
    const char* const samplers[] = {"uBaseMap", "uMetalRoughMap", "uSpecularMap", "uEmissionMap",
                                    "uOpacityMap", "uSky", "uCoatTable"};
    for (int k = 0; k < 7; ++k) glUniform1i(at(samplers[k]), k);
    glUseProgram(0);
    variants_.push_back(v);
}

void ShadedPreview::Prepare(const RAYTR::Scene& scene) {
    // Every feature at once first: if that does not compile, nothing is drawn shaded.
    if (variants_.empty()) {
        AddVariant(kAllFeatures);
        ready_ = variants_.front().program != 0;
    }
    if (!ready_) return;
    bounds_.assign(std::size_t(scene.objects.Size()) * 4, 0.0f);
    for (unsigned i = 0; i < scene.objects.Size(); ++i) {
        const RAYTR::TObject& object = scene.objects[i];
        for (const Material& m : object.materials)
            if (m.described)
                for (unsigned f : {0u, unsigned(kTranslucentFeature), unsigned(kPerVertexFeature),
                                   unsigned(kPerVertexFeature | kTranslucentFeature)})
                    AddVariant(FeaturesOf(m, false) | f);
        // The sphere around the box's middle through the farthest vertex, in the object's frame.
        float lo[3] = {0.0f, 0.0f, 0.0f}, hi[3] = {0.0f, 0.0f, 0.0f};
        for (unsigned v = 0; v < object.vertexCount; ++v)
            for (int k = 0; k < 3; ++k) {
                const float x = object.vertices[v].position[k];
                lo[k] = v == 0 ? x : std::min(lo[k], x);
                hi[k] = v == 0 ? x : std::max(hi[k], x);
            }
        float* b = &bounds_[std::size_t(i) * 4];
        for (int k = 0; k < 3; ++k) b[k] = 0.5f * (lo[k] + hi[k]);
        for (unsigned v = 0; v < object.vertexCount; ++v) {
            const RAYTR::VECTOR& p = object.vertices[v].position;
            const float dx = p.x - b[0], dy = p.y - b[1], dz = p.z - b[2];
            b[3] = std::max(b[3], std::sqrt(dx * dx + dy * dy + dz * dz));
        }
    }
    if (lutTexture_ == 0) MakeCoatTable();
    MakeSky(scene);
}

void ShadedPreview::MakeCoatTable() {
    // The tracer's own table, its grid points on the texels' centres: cosine across, roughness up.
    std::vector<float> table(std::size_t(kLutSize) * kLutSize * 4);
    for (int j = 0; j < kLutSize; ++j) {
        const float roughness = float(j) / float(kLutSize - 1);
        float meanA, meanB;
        RAYTR::CoatMeanTerms(roughness, meanA, meanB);
        for (int i = 0; i < kLutSize; ++i) {
            float* t = &table[(std::size_t(j) * kLutSize + i) * 4];
            RAYTR::CoatAlbedoTerms(float(i) / float(kLutSize - 1), roughness, t[0], t[1]);
            t[2] = meanA;
            t[3] = meanB;
        }
    }
    glGenTextures(1, &lutTexture_);
    glBindTexture(GL_TEXTURE_2D, lutTexture_);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, kLutSize, kLutSize, 0, GL_RGBA, GL_FLOAT, table.data());
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

void ShadedPreview::MakeSky(const RAYTR::Scene& scene) {
    const RAYTR::SceneLighting& lighting = scene.lighting;
    // What a reflection shows where it leaves the models (the tracer's Reflected): the sky light's
    // radiance, or without a sky light the dome's texture as it is (black without a dome).
    skyStrength_ = lighting.skyLight > 0.0f ? lighting.skyLight : (scene.sky.texture != nullptr ? 1.0f : 0.0f);
    const auto radiance = [&scene](const float d[3], float strength, float rgb[3]) {
        const RAYTR::VECTOR c = RAYTR::SkyRadiance(scene.sky, strength, RAYTR::VECTOR(d[0], d[1], d[2], 0.0f));
        rgb[0] = c.x;  // the tracer keeps red, blue, green
        rgb[1] = c.z;
        rgb[2] = c.y;
    };
    // Below the horizon the settled traced picture's sky rays meet the floor, where there is one,
    // which the sky light does not light.
    sh_ = ProjectSky([&](const float d[3], float rgb[3]) { radiance(d, lighting.skyLight, rgb); },
                     lighting.skyLight > 0.0f ? OpenBelow(scene) : 0.0f);

    // A cube map whose level k is the sky averaged over the GGX lobe of roughness k / (levels - 1)
    // around each texel's direction (the lobe's normal, view and reflection taken as one): level
    // 0 the sky itself (2 x 2 directions a texel), the others from a 16-texel copy of it.
    constexpr int kLevels = kSkyLevels, kBase = kSkyFace, kSource = 16;
    std::vector<float> level0(std::size_t(6) * kBase * kBase * 3);
    for (int face = 0; face < 6; ++face)
        for (int j = 0; j < kBase; ++j)
            for (int i = 0; i < kBase; ++i) {
                float* out = &level0[((std::size_t(face) * kBase + j) * kBase + i) * 3];
                for (int k = 0; k < 4; ++k) {
                    float d[3], rgb[3];
                    CubeDirection(face, (float(i) + 0.25f + 0.5f * float(k % 2)) / kBase,
                                  (float(j) + 0.25f + 0.5f * float(k / 2)) / kBase, d);
                    radiance(d, 1.0f, rgb);
                    for (int c = 0; c < 3; ++c) out[c] += 0.25f * rgb[c];
                }
            }
    // The source of the rougher levels: level 0 averaged down to kSource texels a side, with each
    // texel's direction and solid angle.
    constexpr int kStep = kBase / kSource;
    std::vector<float> source(std::size_t(6) * kSource * kSource * 7);
    for (int face = 0; face < 6; ++face)
        for (int j = 0; j < kSource; ++j)
            for (int i = 0; i < kSource; ++i) {
                float* out = &source[((std::size_t(face) * kSource + j) * kSource + i) * 7];
                for (int y = 0; y < kStep; ++y)
                    for (int x = 0; x < kStep; ++x)
                        for (int c = 0; c < 3; ++c)
                            out[c] += level0[((std::size_t(face) * kBase + j * kStep + y) * kBase + i * kStep + x) * 3 + c] /
                                      float(kStep * kStep);
                const float u = (float(i) + 0.5f) / kSource, v = (float(j) + 0.5f) / kSource;
                CubeDirection(face, u, v, out + 3);
                const float sc = 2.0f * u - 1.0f, tc = 2.0f * v - 1.0f;
                out[6] = 1.0f / std::pow(1.0f + sc * sc + tc * tc, 1.5f);
            }
    if (skyTexture_ == 0) glGenTextures(1, &skyTexture_);
    glBindTexture(GL_TEXTURE_CUBE_MAP, skyTexture_);
    std::vector<float> level;
    for (int k = 0; k < kLevels; ++k) {
        const int n = std::max(1, kBase >> k);
        const float roughness = float(k) / float(kLevels - 1);
        const float a2 = std::pow(std::max(roughness * roughness, 1e-4f), 2.0f);
        level.assign(std::size_t(6) * n * n * 3, 0.0f);
        for (int face = 0; face < 6; ++face)
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) {
                    float* out = &level[((std::size_t(face) * n + j) * n + i) * 3];
                    if (k == 0) {
                        std::copy_n(&level0[((std::size_t(face) * n + j) * n + i) * 3], 3, out);
                        continue;
                    }
                    float r[3];
                    CubeDirection(face, (float(i) + 0.5f) / n, (float(j) + 0.5f) / n, r);
                    double sum[3] = {0.0, 0.0, 0.0}, weights = 0.0;
                    for (std::size_t t = 0; t < source.size(); t += 7) {
                        const float* l = &source[t + 3];
                        const float rl = r[0] * l[0] + r[1] * l[1] + r[2] * l[2];
                        if (!(rl > 0.0f)) continue;
                        // n = v = r: (n.h)^2 = (1 + r.l) / 2.
                        const float q = 0.5f * (1.0f + rl) * (a2 - 1.0f) + 1.0f;
                        const double weight = double(a2 / (q * q) * rl * source[t + 6]);
                        for (int c = 0; c < 3; ++c) sum[c] += weight * source[t + c];
                        weights += weight;
                    }
                    for (int c = 0; c < 3; ++c) out[c] = weights > 0.0 ? float(sum[c] / weights) : 0.0f;
                }
        for (int face = 0; face < 6; ++face)
            glTexImage2D(GLenum(GL_TEXTURE_CUBE_MAP_POSITIVE_X + face), k, GL_RGB16F, n, n, 0, GL_RGB, GL_FLOAT,
                         &level[std::size_t(face) * n * n * 3]);
    }
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_BASE_LEVEL, 0);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAX_LEVEL, kLevels - 1);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
    // Filtering across the faces' edges.
    glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
}

void ShadedPreview::Begin(const RAYTR::Scene& scene, int viewHeight) {
    const RAYTR::VECTOR eye = RAYTR::EyeInWorld(scene);
    eye_[0] = eye.x, eye_[1] = eye.y, eye_[2] = eye.z;
    // The preview's 45 degrees from top to bottom.
    pixelsPerUnit_ = 0.5f * float(viewHeight) / std::tan(22.5f * kPi / 180.0f);
    const bool light = scene.lights.Size() > 0;
    const bool sky = scene.lighting.skyLight > 0.0f;
    static const float kNoSky[27] = {};
    for (const Variant& v : variants_) {
        if (v.program == 0) continue;
        glUseProgram(v.program);
        glUniform3f(v.at.eye, eye.x, eye.y, eye.z);
        if (light) {
            const RAYTR::LightSource& l = scene.lights[0];
            glUniform3f(v.at.lightPosition, l.position.x, l.position.y, l.position.z);
            glUniform3f(v.at.lightColour, float(l.r) / 255.0f, float(l.g) / 255.0f, float(l.b) / 255.0f);
            glUniform3f(v.at.attenuation, l.a0, l.a1, l.a2);
        } else {
            glUniform3f(v.at.lightColour, 0.0f, 0.0f, 0.0f);
        }
        // The sky light, or the preview's ambient without one.
        glUniform3fv(v.at.sh, 9, sky ? &sh_.coefficients[0][0] : kNoSky);
        glUniform1f(v.at.ambient, sky ? 0.0f : RAYTR::kSceneAmbient);
        glUniform1f(v.at.skyStrength, skyStrength_);
    }
    glUseProgram(0);
    glActiveTexture(GL_TEXTURE0 + kSkyUnit);
    glBindTexture(GL_TEXTURE_CUBE_MAP, skyTexture_);
    glActiveTexture(GL_TEXTURE0 + kCoatUnit);
    glBindTexture(GL_TEXTURE_2D, lutTexture_);
    glActiveTexture(GL_TEXTURE0);
}

bool ShadedPreview::Use(const RAYTR::TObject& object, unsigned index, const Material& m, bool translucent) {
    const Variant* v = Find(FeaturesOf(m, translucent) | (Dense(object, index) ? kPerVertexFeature : 0u));
    if (v == nullptr) return false;
    glUseProgram(v->program);
    // The transform as the fixed pipeline takes it (glMultMatrixf of the same 16 floats), and
    // the inverse transpose of its 3 x 3 part for the normals.
    const float* t = object.box.transform.m;
    glUniformMatrix4fv(v->at.world, 1, GL_FALSE, t);
    const float a = t[0], b = t[4], c = t[8], d = t[1], e = t[5], f = t[9], g = t[2], h = t[6], i = t[10];
    const float det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    const float s = std::fabs(det) > 1e-30f ? 1.0f / det : 1.0f;
    // Column-major cofactors over the determinant: (M^-1)^T.
    const float n[9] = {(e * i - f * h) * s, -(b * i - c * h) * s, (b * f - c * e) * s,
                        -(d * i - f * g) * s, (a * i - c * g) * s, -(a * f - c * d) * s,
                        (d * h - e * g) * s, -(a * h - b * g) * s, (a * e - b * d) * s};
    glUniformMatrix3fv(v->at.normalToWorld, 1, GL_FALSE, n);
    // The material's constants as the tracer takes them; the maps multiply them in the program.
    const RAYTR::SurfaceParameters p = RAYTR::MaterialParameters(m);
    glUniform3fv(v->at.colour, 1, p.base);
    glUniform3fv(v->at.specular, 1, p.specular);
    glUniform3fv(v->at.emission, 1, p.emission);
    glUniform1f(v->at.roughness, p.roughness);
    glUniform1f(v->at.metallic, p.metallic);
    glUniform1f(v->at.mirror, p.mirror);
    glUniform1f(v->at.opacity, m.opacity);
    glUniform1f(v->at.cutoff, m.alphaCutoff);
    const auto bind = [](int unit, const TEXTURE* image) {
        if (image == nullptr || image->pixels == nullptr) return;
        glActiveTexture(GL_TEXTURE0 + unit);
        glBindTexture(GL_TEXTURE_2D, image->textureName);
    };
    bind(kBaseUnit, m.image);
    bind(kMetalRoughUnit, m.mapImages[kMetalRoughMap]);
    bind(kSpecularUnit, m.mapImages[kSpecularMap]);
    bind(kEmissionUnit, m.mapImages[kEmissionMap]);
    bind(kOpacityUnit, m.mapImages[kOpacityMap]);
    glActiveTexture(GL_TEXTURE0);
    return true;
}

void ShadedPreview::End() { glUseProgram(0); }

}  // namespace ORVA_GRAPHICS
