// The panel's skin pictures, compiled in as PNG bytes (generated at build time by
// dorvik_skin_gen from the layout constants).
#pragma once

#include <cstddef>

namespace dorvik::skin {

struct SkinImage {
    const char* name;
    const unsigned char* data;
    size_t size;
};

extern const SkinImage kSkinImages[];
extern const size_t kSkinImageCount;

}  // namespace dorvik::skin
