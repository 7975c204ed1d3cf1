// Build-time generator of the LV2 bundle's Turtle files.
// usage: fluxet_lv2_ttlgen BUNDLE_DIR
#include <cstdio>
#include <fstream>
#include <string>

#include "FluxetTTL.h"

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "fluxet_lv2_ttlgen: cannot write '%s'\n", path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fluxet_lv2_ttlgen BUNDLE_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const bool written = WriteFile(dir + "/manifest.ttl", FluxetLV2ManifestTTL()) &&
                         WriteFile(dir + "/" + kFluxetLV2PluginTTLName, FluxetLV2PluginTTL()) &&
                         WriteFile(dir + "/" + kFluxetLV2PresetsTTLName, FluxetLV2PresetsTTL());
    return written ? 0 : 1;
}
