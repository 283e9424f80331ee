// The JPEG writer's forward DCT: the AAN 8-point transform exactly as the
// reference writer computes it, one rounding per operation in the same
// order. Written once for every element type V (float, or a vector of floats
// doing the same thing in each lane): the including file first declares
// vadd(V, V), vsub(V, V) and vmul(V, float) for a vector V; float's are here.
#ifndef VELMORA_JPEG_DCT_H
#define VELMORA_JPEG_DCT_H

inline float vadd(float a, float b) { return a + b; }
inline float vsub(float a, float b) { return a - b; }
inline float vmul(float a, float b) { return a * b; }

// Transforms d0..d7 in place; output k is frequency k, unnormalized (the
// quantizer multipliers hold the scale factors).
template <class V>
inline void jpeg_dct8(V &d0, V &d1, V &d2, V &d3, V &d4, V &d5, V &d6, V &d7) {
    const V tmp0 = vadd(d0, d7);
    const V tmp7 = vsub(d0, d7);
    const V tmp1 = vadd(d1, d6);
    const V tmp6 = vsub(d1, d6);
    const V tmp2 = vadd(d2, d5);
    const V tmp5 = vsub(d2, d5);
    const V tmp3 = vadd(d3, d4);
    const V tmp4 = vsub(d3, d4);

    // Even part.
    const V tmp10 = vadd(tmp0, tmp3);
    const V tmp13 = vsub(tmp0, tmp3);
    const V tmp11 = vadd(tmp1, tmp2);
    const V tmp12 = vsub(tmp1, tmp2);
    d0 = vadd(tmp10, tmp11);
    d4 = vsub(tmp10, tmp11);
    const V z1 = vmul(vadd(tmp12, tmp13), 0.707106781f);
    d2 = vadd(tmp13, z1);
    d6 = vsub(tmp13, z1);

    // Odd part.
    const V odd10 = vadd(tmp4, tmp5);
    const V odd11 = vadd(tmp5, tmp6);
    const V odd12 = vadd(tmp6, tmp7);
    const V z5 = vmul(vsub(odd10, odd12), 0.382683433f);
    const V z2 = vadd(vmul(odd10, 0.541196100f), z5);
    const V z4 = vadd(vmul(odd12, 1.306562965f), z5);
    const V z3 = vmul(odd11, 0.707106781f);
    const V z11 = vadd(tmp7, z3);
    const V z13 = vsub(tmp7, z3);
    d5 = vadd(z13, z2);
    d3 = vsub(z13, z2);
    d1 = vadd(z11, z4);
    d7 = vsub(z11, z4);
}

#endif
