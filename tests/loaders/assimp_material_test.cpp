// assimp's material keys as the surfaces they describe: glTF metallic-roughness as it is, the
// highlight-only formats through Phong's colour and exponent, OBJ's illum 3 as a mirror, opacity.
#include "loaders/assimp_material.h"

#include <gtest/gtest.h>

#include <assimp/GltfMaterial.h>
#include <assimp/ObjMaterial.h>

#include <cmath>

namespace {

using LOAD_3DS::FileMaterial;

TEST(AssimpMaterialTest, MetalRoughIsKeptAndPhongBecomesACoatOfTheSameWidthAndPeak) {
    aiScene scene;
    {
        aiMaterial gltf;
        const float metallic = 1.0f, roughness = 0.3f, cutoff = 0.4f;
        const aiColor4D base(1.0f, 0.5f, 0.2f, 0.25f);
        const int twoSided = 1;
        const aiString mode("MASK"), mr("metal_rough.png");
        gltf.AddProperty(&metallic, 1, AI_MATKEY_METALLIC_FACTOR);
        gltf.AddProperty(&roughness, 1, AI_MATKEY_ROUGHNESS_FACTOR);
        gltf.AddProperty(&base, 1, AI_MATKEY_BASE_COLOR);
        gltf.AddProperty(&mode, AI_MATKEY_GLTF_ALPHAMODE);
        gltf.AddProperty(&cutoff, 1, AI_MATKEY_GLTF_ALPHACUTOFF);
        gltf.AddProperty(&twoSided, 1, AI_MATKEY_TWOSIDED);
        gltf.AddProperty(&mr, AI_MATKEY_TEXTURE(aiTextureType_UNKNOWN, 0));
        FileMaterial m;
        LOAD_3DS::ReadReflection(scene, gltf, m);
        EXPECT_EQ(m.metallic, 1.0f);
        EXPECT_FLOAT_EQ(m.roughness, 0.3f);
        EXPECT_FLOAT_EQ(m.specular[1], 0.04f);
        EXPECT_TRUE(m.reflectsScene);
        EXPECT_TRUE(m.baseAlpha);
        EXPECT_FLOAT_EQ(m.opacity, 0.25f);
        EXPECT_FLOAT_EQ(m.alphaCutoff, 0.4f);
        EXPECT_TRUE(m.twoSided);
        EXPECT_EQ(m.maps[1].texture, "metal_rough.png");
    }
    {
        // MTL: Ks 0.5, Ns 98 (alpha^2 = 2 / 100: roughness 0.376, peak F0 / (4 alpha^2) = 0.5),
        // illum 3 (a mirror of Ks's strength), d 0.6, map_d.
        aiMaterial obj;
        const aiColor4D ks(0.5f, 0.5f, 0.5f, 1.0f);
        const float ns = 98.0f, d = 0.6f;
        const int illum = 3;
        const aiString alpha("leaf_alpha.png");
        obj.AddProperty(&ks, 1, AI_MATKEY_COLOR_SPECULAR);
        obj.AddProperty(&ns, 1, AI_MATKEY_SHININESS);
        obj.AddProperty(&d, 1, AI_MATKEY_OPACITY);
        obj.AddProperty(&illum, 1, AI_MATKEY_OBJ_ILLUM);
        obj.AddProperty(&alpha, AI_MATKEY_TEXTURE(aiTextureType_OPACITY, 0));
        FileMaterial m;
        LOAD_3DS::ReadReflection(scene, obj, m);
        EXPECT_NEAR(m.roughness, std::pow(0.02f, 0.25f), 1e-6f);
        EXPECT_NEAR(m.specular[0] / (4.0f * 0.02f), 0.5f, 1e-5f);
        EXPECT_FALSE(m.reflectsScene);
        EXPECT_FLOAT_EQ(m.mirror, 0.5f);
        EXPECT_FLOAT_EQ(m.opacity, 0.6f);
        EXPECT_EQ(m.maps[2].texture, "leaf_alpha.png");
        EXPECT_EQ(m.metallic, 0.0f);
    }
    {
        // Nothing but a colour: the matte default. "d 0" without a texture: opaque.
        aiMaterial plain;
        const float d = 0.0f;
        plain.AddProperty(&d, 1, AI_MATKEY_OPACITY);
        FileMaterial m;
        LOAD_3DS::ReadReflection(scene, plain, m);
        const FileMaterial matte;
        EXPECT_EQ(m.roughness, matte.roughness);
        EXPECT_EQ(m.specular[0], matte.specular[0]);
        EXPECT_EQ(m.mirror, 0.0f);
        EXPECT_EQ(m.opacity, 1.0f);
        EXPECT_FALSE(m.reflectsScene);
    }
}

}  // namespace
