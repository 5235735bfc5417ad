#pragma once
// The last word on a file nothing else identified, when the user asks for more types: libmagic's
// database, which knows thousands of formats, names the extensions that fit the content. One
// cookie per thread, as the library is not safe to share.
#include "extension/FileTypeVariants.h"

namespace brenvik {

// The type libmagic gives the open file `fd` (its first bytes), with the further extensions it
// lists as variants; unrecognised when it knows none (or cannot be loaded).
FileType MagicFileType(int fd);

}  // namespace brenvik
