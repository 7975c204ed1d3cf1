// OpenGL for the toolkit: GLEW first (it must come before any other GL header), then GLU.
#pragma once

#include <GL/glew.h>

#include <GL/glu.h>
