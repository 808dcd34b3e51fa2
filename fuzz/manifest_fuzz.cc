// ParseManifest and ParseCompletenessMark on arbitrary text, as an archive
// hands them over: a manifest that parses is written back byte for byte by
// BuildManifest, and a mark's untagged text never holds a tag line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/completeness_mark.h"
#include "archive/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto entries = vaultrun::ParseManifest(text, &error);
  if (entries && vaultrun::BuildManifest(*entries) != text) std::abort();
  if (!entries && error.empty()) std::abort();

  auto mark = vaultrun::ParseCompletenessMark(text);
  const std::string untagged = vaultrun::UntaggedMark(text);
  if (mark && !mark->tag.empty()) {
    auto again = vaultrun::ParseCompletenessMark(untagged);
    if (!again || !again->tag.empty() || again->tables != mark->tables) std::abort();
  } else if (untagged != text) {
    std::abort();
  }
  return 0;
}
