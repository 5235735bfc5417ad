#pragma once
// Types a recovery brings back beyond the identification table's rows: compressed and tar
// archives, further audio and video containers, databases, mail, programs, fonts, disk images,
// and text (marked-up or plain). They are asked only about files the table does not identify, so
// every answer the table gives stays as it is. Each type is told by more than one fact where one
// would match other data too (gzip's method and flags, tar's header checksum, an ISO's volume
// descriptor, text by the absence of control characters), and comes with the names that fit it.
#include <cstddef>
#include <cstdint>

#include "extension/FileTypeVariants.h"

namespace brenvik {

// The type of the open file `fd` (below 0: none, only `header` is judged) of `length` bytes
// (negative when unknown) whose first `headerBytes` bytes are in `header` (zero-filled to 512),
// or an unrecognised type.
FileType FurtherFileType(int fd, int64_t length, const uint8_t* header, size_t headerBytes);

}  // namespace brenvik
