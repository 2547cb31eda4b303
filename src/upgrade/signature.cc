#include "upgrade/signature.h"

#include "upgrade/tag_scan.h"

namespace invoice {

bool holds_signature(std::string_view document) {
  return find_tag(document, 0, "Signature", TagKind::kStart, NameCase::kExact) !=
         std::string_view::npos;
}

}  // namespace invoice
