// OpenGL for the toolkit: GLEW first (it must come before any other GL header), then GLU, and
// the few drawing steps several passes share. Render task only.
#pragma once

#include <GL/glew.h>

#include <GL/glu.h>

namespace MV {

// Linear filtering, clamped edges, modulated by the current colour: how every texture of the
// editor is sampled. For the texture bound to GL_TEXTURE_2D.
inline void SetTextureSampling() {
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

// A rectangle in the current colour.
inline void DrawFilledQuad(float x0, float y0, float x1, float y1) {
    const GLfloat quad[8] = {x0, y0, x1, y0, x1, y1, x0, y1};
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, quad);
    glDrawArrays(GL_QUADS, 0, 4);
    glDisableClientState(GL_VERTEX_ARRAY);
}

// Blending, alpha test and texturing on for text quads, and off again.
inline void BeginTextDrawing() {
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_ALPHA_TEST);
    glAlphaFunc(GL_GREATER, 0.0f);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

inline void EndTextDrawing() {
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_BLEND);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, 0);
}

} // namespace MV
