// The CurlMimePart object: one part of a CurlMime document (mimepart.cpp); its
// record is in records.h, and what the MIME files share in mimeshared.h.
#ifndef KELVEX_MIMEPART_H
#define KELVEX_MIMEPART_H

#include "records.h"

#endif  // KELVEX_MIMEPART_H
