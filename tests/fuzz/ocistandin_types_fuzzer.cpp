// Feeds arbitrary text to the stand-in's readers of type declarations and object images: a
// declaration read must name its type and parts, and an image read must be written back as
// text that reads to the same image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/oci-standin/standin_types.h"

namespace {

bool same(const ocistandin::Image& a, const ocistandin::Image& b) {
  if (a.kind != b.kind || a.text != b.text || a.items.size() != b.items.size()) return false;
  for (size_t i = 0; i < a.items.size(); ++i)
    if (!same(a.items[i], b.items[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ocistandin::TypeSpec spec;
  std::string error;
  if (ocistandin::parseTypeSpec(text, spec, error)) {
    if (spec.name.empty()) std::abort();
    if (spec.kind == ocistandin::TypeKind::Object && spec.attributes.empty()) std::abort();
    if (spec.kind != ocistandin::TypeKind::Object && spec.element.empty()) std::abort();
  }
  ocistandin::Image image;
  if (ocistandin::readImage(text, image, error)) {
    ocistandin::Image again;
    if (!ocistandin::readImage(ocistandin::writeImage(image), again, error) || !same(image, again))
      std::abort();
  }
  return 0;
}
