#define GL_GLEXT_PROTOTYPES  // the shader entry points (OpenGL 2.0 and 3.0)
#include "render/preview_shaded.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "loaders/texture.h"
#include "mesh/material.h"
#include "raytracer/bsdf.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "raytracer/tobject.h"

namespace ORVA_GRAPHICS {

namespace {

constexpr float kPi = 3.14159265358979323846f;

// Texture units of the program's samplers; unit 0 is the base colour, as the fixed preview's.
enum Unit : int { kBaseUnit = 0, kMetalRoughUnit, kSpecularUnit, kEmissionUnit, kOpacityUnit, kSkyUnit, kCoatUnit };

// Bits of uMaps: which of the material's maps are bound.
enum MapBit : int { kBaseBit = 1, kMetalRoughBit = 2, kSpecularBit = 4, kEmissionBit = 8, kOpacityBit = 16 };

// Positions and normals carried into the models' frame (the object's transform only); the
// clip position through the fixed-function matrices, so the depth is the fixed preview's.
const char* const kVertexShader = R"(#version 130
uniform mat4 uWorld;
uniform mat3 uNormalToWorld;
out vec3 vPosition;
out vec3 vNormal;
out vec2 vUv;
void main() {
    vPosition = (uWorld * gl_Vertex).xyz;
    vNormal = uNormalToWorld * gl_Normal;
    vUv = gl_MultiTexCoord0.xy;
    gl_Position = ftransform();
}
)";

// The tracer's ShadeDescribed per pixel, without its shadow rays (the hybrid mask's) and with
// the sky for the reflected scene. Colours are red, green, blue.
const char* const kFragmentShader = R"(#version 130
in vec3 vPosition;
in vec3 vNormal;
in vec2 vUv;
uniform sampler2D uBaseMap, uMetalRoughMap, uSpecularMap, uEmissionMap, uOpacityMap, uCoatTable;
uniform sampler2DArray uSky;
uniform int uMaps;
uniform vec3 uColour, uSpecular, uEmission;
uniform float uRoughness, uMetallic, uMirror, uOpacity, uCutoff;
uniform bool uReflectsScene, uTranslucent;
uniform vec3 uEye, uLightPosition, uLightColour, uAttenuation;
uniform bool uHasLight, uSkyLight;
uniform vec3 uSH[9];
uniform float uAmbient, uSkyStrength;
const float PI = 3.14159265358979;
const float kLightAmbient = 0.1;
const float kSkyLevels = 4.0;

float F90(vec3 f0) { return clamp(50.0 * max(f0.r, max(f0.g, f0.b)), 0.0, 1.0); }

vec3 Schlick(vec3 f0, float cosine) {
    float c = 1.0 - clamp(cosine, 0.0, 1.0);
    float c2 = c * c;
    return f0 + (vec3(F90(f0)) - f0) * (c2 * c2 * c);
}

float G1(float c, float a2) {
    if (!(c > 0.0)) return 0.0;
    float c2 = c * c;
    return 2.0 / (1.0 + sqrt(1.0 + a2 * max(0.0, 1.0 - c2) / c2));
}

float Ggx(float c, float a2) {
    if (!(c > 0.0)) return 0.0;
    float k = c * c * (a2 - 1.0) + 1.0;
    return a2 / (PI * k * k);
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
vec3 Sky(vec3 d, float roughness) {
    float u = atan(d.z, d.x) / (2.0 * PI);
    if (u < 0.0) u += 1.0;
    float v = asin(clamp(d.y, -1.0, 1.0)) / PI + 0.5;
    float level = clamp(roughness, 0.0, 1.0) * (kSkyLevels - 1.0);
    float l0 = floor(level);
    vec3 a = texture(uSky, vec3(u, v, l0)).rgb;
    vec3 b = texture(uSky, vec3(u, v, min(l0 + 1.0, kSkyLevels - 1.0))).rgb;
    return mix(a, b, level - l0) * uSkyStrength;
}

vec3 MapOr(int bit, sampler2D map) { return (uMaps & bit) != 0 ? texture(map, vUv).rgb : vec3(1.0); }

void main() {
    float opacity = uOpacity;
    if ((uMaps & 16) != 0) {
        if (texture(uOpacityMap, vUv).r * max(opacity, 1e-6) < uCutoff) discard;
    }
    vec3 base = uColour * MapOr(1, uBaseMap);
    vec3 metalRough = MapOr(2, uMetalRoughMap);
    float roughness = clamp(uRoughness * metalRough.g, 0.0, 1.0);
    float metallic = clamp(uMetallic * metalRough.b, 0.0, 1.0);
    float mirror = clamp(uMirror, 0.0, 1.0);
    vec3 specular = uSpecular * MapOr(4, uSpecularMap);
    vec3 f0 = (specular * (1.0 - metallic) + base * metallic) * (1.0 - mirror);
    vec3 wo = normalize(uEye - vPosition);
    vec3 n = normalize(gl_FrontFacing ? vNormal : -vNormal);
    float nv = dot(n, wo);
    if (nv < 1e-3) n = normalize(n + wo * (1e-3 - nv));
    nv = clamp(dot(n, wo), 1e-4, 1.0);
    float bare = (1.0 - metallic) * (1.0 - mirror);
    vec3 albedo = base * (uReflectsScene ? (vec3(1.0) - Schlick(f0, nv)) * bare : vec3(bare));
    float alpha = max(roughness * roughness, 1e-4);
    float a2 = alpha * alpha;
    bool mirrorLike = !(roughness >= 0.02);

    vec3 irradiance = vec3(0.0), highlight = vec3(0.0);
    if (uHasLight) {
        vec3 toLight = uLightPosition - vPosition;
        float d = length(toLight);
        float attenuation = 1.0 / (uAttenuation.x + uAttenuation.y * d + uAttenuation.z * d * d);
        if (attenuation > 0.0 && !isinf(attenuation) && d > 0.0) {
            irradiance += uLightColour * (kLightAmbient * attenuation);
            vec3 wi = toLight / d;
            float nl = dot(n, wi);
            if (nl > 0.0) {
                irradiance += uLightColour * (attenuation * nl);
                vec3 h = wo + wi;
                if (!mirrorLike && dot(h, h) > 0.0) {
                    h = normalize(h);
                    float g = G1(nv, a2) * G1(nl, a2);
                    vec3 f = Schlick(f0, dot(wo, h)) * (Ggx(dot(n, h), a2) * g / (4.0 * nv * nl));
                    highlight += f * uLightColour * (PI * attenuation * nl);
                }
            }
        }
    }
    irradiance += uSkyLight ? SkyIrradiance(n) : vec3(uAmbient);
    irradiance = min(irradiance, vec3(1.0));
    vec3 colour = uEmission * MapOr(8, uEmissionMap) + albedo * irradiance + highlight;
    vec3 r = reflect(-wo, n);
    if (uReflectsScene) {
        vec3 weight;
        if (mirrorLike) {
            weight = Schlick(f0, nv);
        } else {
            vec2 ab = texture(uCoatTable, vec2(nv, roughness)).rg;
            weight = f0 * ab.x + vec3(F90(f0) * ab.y);
        }
        colour += weight * Sky(r, roughness);
    }
    if (mirror > 0.0) colour += mirror * Sky(r, 0.0);
    gl_FragColor = vec4(colour, uTranslucent ? max(opacity, 0.0) : 1.0);
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

// Direction of the sky texel centre (u, v) of the dome's mapping (raytracer/sky.h): u the
// longitude from +x toward +z, v the latitude from the lower pole.
void Direction(float u, float v, float d[3]) {
    const float phi = 2.0f * kPi * u, theta = kPi * (v - 0.5f);
    d[0] = std::cos(theta) * std::cos(phi);
    d[1] = std::sin(theta);
    d[2] = std::cos(theta) * std::sin(phi);
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

void CoatAlbedo(float roughness, float nv, float& a, float& b) {
    // The sample's weight F G1 with f0 = 1 in one lane (F = 1) and 0 in another (F = f90 c^5,
    // f90 = 1 as the first lane sets it): their means are a + b and b.
    const RAYTR::Microfacet coat(roughness, RAYTR::VECTOR(1.0f, 0.0f, 0.0f, 0.0f));
    nv = std::clamp(nv, 1e-4f, 1.0f);
    const RAYTR::VECTOR wo(std::sqrt(std::max(0.0f, 1.0f - nv * nv)), 0.0f, nv, 0.0f);
    constexpr int kSide = 16;
    double full = 0.0, edge = 0.0;
    for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
            const RAYTR::BsdfSample s = coat.Sample(wo, (float(i) + 0.5f) / kSide, (float(j) + 0.5f) / kSide);
            if (!(s.pdf > 0.0f)) continue;
            full += s.weight.x;
            edge += s.weight.y;
        }
    b = float(edge / (kSide * kSide));
    a = float(full / (kSide * kSide)) - b;
}

ShadedPreview::~ShadedPreview() {
    if (program_ != 0) glDeleteProgram(program_);
    if (skyTexture_ != 0) glDeleteTextures(1, &skyTexture_);
    if (lutTexture_ != 0) glDeleteTextures(1, &lutTexture_);
}

void ShadedPreview::Compile() {
    compiled_ = true;
    std::string error;
    const GLuint vs = CompileStage(GL_VERTEX_SHADER, kVertexShader, error);
    const GLuint fs = vs != 0 ? CompileStage(GL_FRAGMENT_SHADER, kFragmentShader, error) : 0;
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
    if (program == 0) {
        note_ = "shaded preview unavailable (" + error + "): materials drawn fixed-function";
        return;
    }
    program_ = program;
    const auto at = [program](const char* name) { return glGetUniformLocation(program, name); };
    at_ = {at("uWorld"), at("uNormalToWorld"), at("uEye"), at("uLightPosition"), at("uLightColour"),
           at("uAttenuation"), at("uHasLight"), at("uSH"), at("uSkyLight"), at("uAmbient"), at("uSkyStrength"),
           at("uColour"), at("uSpecular"), at("uEmission"), at("uRoughness"), at("uMetallic"), at("uMirror"),
           at("uReflectsScene"), at("uMaps"), at("uOpacity"), at("uCutoff"), at("uTranslucent")};
    glUseProgram(program_);
    const char* const samplers[] = {"uBaseMap", "uMetalRoughMap", "uSpecularMap", "uEmissionMap",
                                    "uOpacityMap", "uSky", "uCoatTable"};
    for (int k = 0; k < 7; ++k) glUniform1i(at(samplers[k]), k);
    glUseProgram(0);
}

void ShadedPreview::Prepare(const RAYTR::Scene& scene) {
    if (!compiled_) Compile();
    if (program_ == 0) return;
    if (lutTexture_ == 0) MakeCoatTable();
    MakeSky(scene);
}

void ShadedPreview::MakeCoatTable() {
    std::vector<float> table(std::size_t(kLutSize) * kLutSize * 2);
    for (int j = 0; j < kLutSize; ++j)
        for (int i = 0; i < kLutSize; ++i) {
            float* ab = &table[(std::size_t(j) * kLutSize + i) * 2];
            CoatAlbedo((float(j) + 0.5f) / kLutSize, (float(i) + 0.5f) / kLutSize, ab[0], ab[1]);
        }
    glGenTextures(1, &lutTexture_);
    glBindTexture(GL_TEXTURE_2D, lutTexture_);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RG16F, kLutSize, kLutSize, 0, GL_RG, GL_FLOAT, table.data());
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

    // Layer 0: the sky itself; the others its radiance averaged over the GGX lobe of roughness
    // 1/3, 2/3, 1 around each texel's direction (the lobe's normal, view and reflection taken
    // as one), from a coarser copy, then laid on the full size bilinearly.
    constexpr int W = kSkyWidth, H = kSkyHeight, w = W / 2, h = H / 2;
    std::vector<float> layers(std::size_t(kSkyLevels) * W * H * 3, 0.0f);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            float d[3];
            Direction((float(x) + 0.5f) / W, (float(y) + 0.5f) / H, d);
            radiance(d, 1.0f, &layers[(std::size_t(y) * W + x) * 3]);
        }
    std::vector<float> coarse(std::size_t(w) * h * 3, 0.0f), dirs(std::size_t(w) * h * 3), solid(std::size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* out = &coarse[(std::size_t(y) * w + x) * 3];
            for (int k = 0; k < 4; ++k) {
                const float* in = &layers[(std::size_t(2 * y + k / 2) * W + 2 * x + k % 2) * 3];
                for (int c = 0; c < 3; ++c) out[c] += 0.25f * in[c];
            }
            Direction((float(x) + 0.5f) / w, (float(y) + 0.5f) / h, &dirs[(std::size_t(y) * w + x) * 3]);
            solid[std::size_t(y) * w + x] = std::cos(kPi * ((float(y) + 0.5f) / h - 0.5f));
        }
    std::vector<float> filtered(std::size_t(w) * h * 3);
    for (int level = 1; level < kSkyLevels; ++level) {
        const float roughness = float(level) / float(kSkyLevels - 1);
        const float a2 = std::pow(std::max(roughness * roughness, 1e-4f), 2.0f);
        for (int o = 0; o < w * h; ++o) {
            const float* r = &dirs[std::size_t(o) * 3];
            double sum[3] = {0.0, 0.0, 0.0}, weights = 0.0;
            for (int i = 0; i < w * h; ++i) {
                const float* l = &dirs[std::size_t(i) * 3];
                const float rl = r[0] * l[0] + r[1] * l[1] + r[2] * l[2];
                if (!(rl > 0.0f)) continue;
                // n = v = r: (n.h)^2 = (1 + r.l) / 2.
                const float k = 0.5f * (1.0f + rl) * (a2 - 1.0f) + 1.0f;
                const double weight = double(a2 / (k * k) * rl * solid[std::size_t(i)]);
                for (int c = 0; c < 3; ++c) sum[c] += weight * coarse[std::size_t(i) * 3 + c];
                weights += weight;
            }
            for (int c = 0; c < 3; ++c) filtered[std::size_t(o) * 3 + c] = weights > 0.0 ? float(sum[c] / weights) : 0.0f;
        }
        float* layer = &layers[std::size_t(level) * W * H * 3];
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const float fx = (float(x) + 0.5f) / 2.0f - 0.5f, fy = std::clamp((float(y) + 0.5f) / 2.0f - 0.5f, 0.0f, float(h - 1));
                const int x0 = int(std::floor(fx)), y0 = int(fy), y1 = std::min(y0 + 1, h - 1);
                const float tx = fx - float(x0), ty = fy - float(y0);
                const int xa = (x0 + w) % w, xb = (x0 + 1) % w;
                for (int c = 0; c < 3; ++c) {
                    const auto at = [&](int xx, int yy) { return filtered[(std::size_t(yy) * w + xx) * 3 + c]; };
                    layer[(std::size_t(y) * W + x) * 3 + c] = (at(xa, y0) * (1 - tx) + at(xb, y0) * tx) * (1 - ty) +
                                                              (at(xa, y1) * (1 - tx) + at(xb, y1) * tx) * ty;
                }
            }
    }
    if (skyTexture_ == 0) glGenTextures(1, &skyTexture_);
    glBindTexture(GL_TEXTURE_2D_ARRAY, skyTexture_);
    glTexImage3D(GL_TEXTURE_2D_ARRAY, 0, GL_RGB16F, W, H, kSkyLevels, 0, GL_RGB, GL_FLOAT, layers.data());
    glTexParameteri(GL_TEXTURE_2D_ARRAY, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D_ARRAY, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D_ARRAY, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D_ARRAY, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_2D_ARRAY, 0);
}

void ShadedPreview::Begin(const RAYTR::Scene& scene) {
    glUseProgram(program_);
    const RAYTR::VECTOR eye = RAYTR::EyeInWorld(scene);
    glUniform3f(at_.eye, eye.x, eye.y, eye.z);
    const bool light = scene.lights.Size() > 0;
    glUniform1i(at_.hasLight, light ? 1 : 0);
    if (light) {
        const RAYTR::LightSource& l = scene.lights[0];
        glUniform3f(at_.lightPosition, l.position.x, l.position.y, l.position.z);
        glUniform3f(at_.lightColour, float(l.r) / 255.0f, float(l.g) / 255.0f, float(l.b) / 255.0f);
        glUniform3f(at_.attenuation, l.a0, l.a1, l.a2);
    }
    glUniform1i(at_.skyLight, scene.lighting.skyLight > 0.0f ? 1 : 0);
    glUniform3fv(at_.sh, 9, &sh_.coefficients[0][0]);
    glUniform1f(at_.ambient, RAYTR::kSceneAmbient);
    glUniform1f(at_.skyStrength, skyStrength_);
    glUseProgram(0);
    glActiveTexture(GL_TEXTURE0 + kSkyUnit);
    glBindTexture(GL_TEXTURE_2D_ARRAY, skyTexture_);
    glActiveTexture(GL_TEXTURE0 + kCoatUnit);
    glBindTexture(GL_TEXTURE_2D, lutTexture_);
    glActiveTexture(GL_TEXTURE0);
}

void ShadedPreview::UseFor(const RAYTR::TObject& object) {
    glUseProgram(program_);
    // The transform as the fixed pipeline takes it (glMultMatrixf of the same 16 floats), and
    // the inverse transpose of its 3 x 3 part for the normals.
    const float* m = object.box.transform.m;
    glUniformMatrix4fv(at_.world, 1, GL_FALSE, m);
    const float a = m[0], b = m[4], c = m[8], d = m[1], e = m[5], f = m[9], g = m[2], h = m[6], i = m[10];
    const float det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    const float s = std::fabs(det) > 1e-30f ? 1.0f / det : 1.0f;
    // Column-major cofactors over the determinant: (M^-1)^T.
    const float n[9] = {(e * i - f * h) * s, -(b * i - c * h) * s, (b * f - c * e) * s,
                        -(d * i - f * g) * s, (a * i - c * g) * s, -(a * f - c * d) * s,
                        (d * h - e * g) * s, -(a * h - b * g) * s, (a * e - b * d) * s};
    glUniformMatrix3fv(at_.normalToWorld, 1, GL_FALSE, n);
}

void ShadedPreview::SetMaterial(const Material& m, bool translucent) {
    const float* colour = m.image != nullptr ? m.tint : m.diffuse;
    glUniform3f(at_.colour, colour[0], colour[1], colour[2]);
    glUniform3f(at_.specular, m.specular[0], m.specular[1], m.specular[2]);
    glUniform3f(at_.emission, m.emission[0], m.emission[1], m.emission[2]);
    glUniform1f(at_.roughness, m.roughness);
    glUniform1f(at_.metallic, m.metallic);
    glUniform1f(at_.mirror, m.mirror);
    glUniform1i(at_.reflectsScene, m.reflectsScene ? 1 : 0);
    glUniform1f(at_.opacity, m.opacity);
    glUniform1f(at_.cutoff, m.alphaCutoff);
    glUniform1i(at_.translucent, translucent ? 1 : 0);
    int maps = 0;
    const auto bind = [&maps](int unit, int bit, const TEXTURE* image) {
        if (image == nullptr || image->pixels == nullptr) return;
        glActiveTexture(GL_TEXTURE0 + unit);
        glBindTexture(GL_TEXTURE_2D, image->textureName);
        maps |= bit;
    };
    bind(kBaseUnit, kBaseBit, m.image);
    bind(kMetalRoughUnit, kMetalRoughBit, m.mapImages[kMetalRoughMap]);
    bind(kSpecularUnit, kSpecularBit, m.mapImages[kSpecularMap]);
    bind(kEmissionUnit, kEmissionBit, m.mapImages[kEmissionMap]);
    bind(kOpacityUnit, kOpacityBit, m.mapImages[kOpacityMap]);
    glActiveTexture(GL_TEXTURE0);
    glUniform1i(at_.maps, maps);
}

void ShadedPreview::End() {
    glUseProgram(0);
    glActiveTexture(GL_TEXTURE0);
}

}  // namespace ORVA_GRAPHICS
