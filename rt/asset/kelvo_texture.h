// The internal side of textures: the checks that let extraction trust a
// texture's layout and levels, shared by the asset check of loaded files
// and by KelvoCopyTextureImage itself.
#ifndef KELVO_TEXTURE_INTERNAL_H
#define KELVO_TEXTURE_INTERNAL_H

#include "kelvo2/kelvo2_texture.h"

namespace kelvo {

// True when every field lies inside a pixel of 1 to 4 bytes; otherwise false
// after an error naming What.
bool CheckPixelLayout(kelvo_pixel_layout const &Layout, char const *What);

// Width and height of MIP level MIPIndex of a texture.
void GetMIPLevelSize(kelvo_texture const &Texture, kelvo_int32 MIPIndex, kelvo_int32 &Width,
                     kelvo_int32 &Height);

// True when a level holds every byte its encoding reads for its size (and,
// for raw levels, a stride that covers a row); false after an error.
bool CheckTextureLevel(kelvo_texture const &Texture, kelvo_int32 ImageIndex, kelvo_int32 MIPIndex,
                       char const *Record);

// The arrays of a texture record and every level of every image.
bool CheckTexture(kelvo_texture const &Texture, kelvo_int32 Index);

} // namespace kelvo

#endif
