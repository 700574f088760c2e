#!/usr/bin/env python3
# make_kinds.py DIR: writes the material-kind test models into DIR: kinds.obj / kinds.mtl (five spheres in a
# row: matte, glossy, mirror, see-through, glowing) and metal_rough.gltf (two spheres: a rough
# gold metal and a smooth red dielectric, glTF metallic-roughness, the buffer inline).
import base64, json, math, os, struct, sys

here = sys.argv[1]
os.makedirs(here, exist_ok=True)
RINGS, SEGMENTS = 12, 24

def sphere(cx, cy, cz, r):
    verts, normals, faces = [], [], []
    for i in range(RINGS + 1):
        t = math.pi * i / RINGS
        for j in range(SEGMENTS + 1):
            p = 2 * math.pi * j / SEGMENTS
            n = (math.sin(t) * math.cos(p), math.cos(t), -math.sin(t) * math.sin(p))
            normals.append(n)
            verts.append((cx + r * n[0], cy + r * n[1], cz + r * n[2]))
    for i in range(RINGS):
        for j in range(SEGMENTS):
            a, b = i * (SEGMENTS + 1) + j, i * (SEGMENTS + 1) + j + 1
            c, d = a + SEGMENTS + 1, b + SEGMENTS + 1
            if i > 0: faces.append((a, c, b))
            if i < RINGS - 1: faces.append((b, c, d))
    return verts, normals, faces

kinds = [("matte", "Kd 0.8 0.3 0.2\n"),
         ("glossy", "Kd 0.2 0.4 0.8\nKs 0.6 0.6 0.6\nNs 80\n"),
         ("mirror", "Kd 0.05 0.05 0.05\nKs 0.8 0.8 0.8\nNs 200\nillum 3\n"),
         ("seethrough", "Kd 0.2 0.8 0.3\nd 0.35\n"),
         ("glowing", "Kd 0.1 0.1 0.1\nKe 1.0 0.8 0.3\n")]
with open(os.path.join(here, "kinds.mtl"), "w") as mtl:
    for name, body in kinds:
        mtl.write("newmtl %s\n%s\n" % (name, body))
with open(os.path.join(here, "kinds.obj"), "w") as obj:
    obj.write("mtllib kinds.mtl\n")
    base = 1
    for k, (name, _) in enumerate(kinds):
        v, n, f = sphere(2.5 * (k - 2), 0.0, 0.0, 1.0)
        obj.write("o %s\nusemtl %s\n" % (name, name))
        for x in v: obj.write("v %.5f %.5f %.5f\n" % x)
        for x in n: obj.write("vn %.5f %.5f %.5f\n" % x)
        for a, b, c in f: obj.write("f %d//%d %d//%d %d//%d\n" % (a + base, a + base, b + base, b + base, c + base, c + base))
        base += len(v)

# glTF: two spheres, one mesh each.
blob = b""
accessors, views, meshes, nodes = [], [], [], []
materials = [{"name": "gold", "pbrMetallicRoughness": {"baseColorFactor": [1.0, 0.78, 0.34, 1.0], "metallicFactor": 1.0, "roughnessFactor": 0.35}},
             {"name": "red", "pbrMetallicRoughness": {"baseColorFactor": [0.8, 0.1, 0.1, 1.0], "metallicFactor": 0.0, "roughnessFactor": 0.05}}]
for k in range(2):
    v, n, f = sphere(1.25 * (2 * k - 1), 0.0, 0.0, 1.0)
    def add(data, target, count, kind, ctype, extra=None):
        global blob
        while len(blob) % 4: blob += b"\0"
        views.append({"buffer": 0, "byteOffset": len(blob), "byteLength": len(data), "target": target})
        blob += data
        acc = {"bufferView": len(views) - 1, "componentType": ctype, "count": count, "type": kind}
        if extra: acc.update(extra)
        accessors.append(acc)
        return len(accessors) - 1
    pos = add(b"".join(struct.pack("<3f", *x) for x in v), 34962, len(v), "VEC3", 5126,
              {"min": [min(x[i] for x in v) for i in range(3)], "max": [max(x[i] for x in v) for i in range(3)]})
    nor = add(b"".join(struct.pack("<3f", *x) for x in n), 34962, len(n), "VEC3", 5126)
    idx = add(b"".join(struct.pack("<3H", *x) for x in f), 34963, 3 * len(f), "SCALAR", 5123)
    meshes.append({"primitives": [{"attributes": {"POSITION": pos, "NORMAL": nor}, "indices": idx, "material": k}]})
    nodes.append({"mesh": k})
gltf = {"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0, 1]}], "nodes": nodes, "meshes": meshes,
        "materials": materials, "accessors": accessors, "bufferViews": views,
        "buffers": [{"byteLength": len(blob), "uri": "data:application/octet-stream;base64," + base64.b64encode(blob).decode()}]}
with open(os.path.join(here, "metal_rough.gltf"), "w") as out:
    json.dump(gltf, out, separators=(",", ":"))
