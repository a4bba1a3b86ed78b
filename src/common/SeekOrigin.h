#pragma once

// Where a stream's Seek counts from; shared by the file streams and the HTTP body store.

namespace vel {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

}  // namespace vel
