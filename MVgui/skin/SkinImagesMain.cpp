// fluxet_skin_images FOLDER: writes the default skin's images (knob.png, knob_hi.png) into
// FOLDER. The repository keeps its output in resources/; run it there after changing
// KnobImages.cpp:  build/MVgui/skin/fluxet_skin_images resources
#include <cstdio>
#include <string>

#include "KnobImages.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fluxet_skin_images FOLDER\n");
        return 2;
    }
    std::string reason;
    if (!MV::skin::WriteSkinImages(argv[1], reason)) {
        std::fprintf(stderr, "fluxet_skin_images: %s\n", reason.c_str());
        return 1;
    }
    return 0;
}
