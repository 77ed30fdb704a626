// Installed fonts: the file that holds a family in a weight and slant, for
// the text rasteriser (on Windows the system's font mapper does this).
#pragma once

#include <optional>
#include <string>

namespace fonts {

struct FontFile {
  std::string path;
  int index = 0;  // the face within a collection (.ttc)
};

// The scalable font file that best matches the family, weight and slant.
// A family the system lacks gives the nearest one it has (in the end its
// default face), so nothing only when no font can be found at all.
std::optional<FontFile> FindFontFile(const std::string& family, bool bold, bool italic);

}  // namespace fonts
