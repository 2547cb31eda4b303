#include "encoding/xml_declaration.h"

namespace invoice {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kDeclarationStart = "<?xml";
constexpr std::string_view kDeclarationEnd = "?>";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_name_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char to_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Reads the pseudo-attributes of a declaration, one at a time, from just
// after "<?xml".
class PseudoAttributes {
 public:
  explicit PseudoAttributes(std::string_view text) : text_(text) {}

  // Moves to the next pseudo-attribute; false at the end of the declaration
  // or at anything that is not a pseudo-attribute.
  bool next(std::string_view& name, std::string_view& value) {
    skip_blanks();
    if (text_.starts_with(kDeclarationEnd)) return false;
    std::size_t length = 0;
    while (length < text_.size() && is_name_letter(text_[length])) ++length;
    if (length == 0) return false;
    name = text_.substr(0, length);
    text_.remove_prefix(length);
    skip_blanks();
    if (text_.empty() || text_.front() != '=') return false;
    text_.remove_prefix(1);
    skip_blanks();
    if (text_.empty() || (text_.front() != '"' && text_.front() != '\'')) return false;
    const std::size_t close = text_.find(text_.front(), 1);
    if (close == std::string_view::npos) return false;
    value = text_.substr(1, close - 1);
    // A quote left open runs past the end of the declaration.
    if (value.find_first_of("<>") != std::string_view::npos) return false;
    text_.remove_prefix(close + 1);
    return true;
  }

 private:
  void skip_blanks() {
    while (!text_.empty() && is_blank(text_.front())) text_.remove_prefix(1);
  }

  std::string_view text_;
};

}  // namespace

std::optional<std::string_view> read_declared_encoding(std::string_view document) {
  if (document.starts_with(kByteOrderMark)) document.remove_prefix(kByteOrderMark.size());
  // "<?xml" must be followed by a blank: "<?xml-stylesheet" is another
  // instruction altogether.
  if (!document.starts_with(kDeclarationStart) || document.size() == kDeclarationStart.size() ||
      !is_blank(document[kDeclarationStart.size()])) {
    return std::nullopt;
  }
  PseudoAttributes attributes(document.substr(kDeclarationStart.size()));
  std::string_view name, value;
  while (attributes.next(name, value)) {
    if (name == "encoding") return value;
  }
  return std::nullopt;
}

bool is_same_encoding_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (to_lower(a[i]) != to_lower(b[i])) return false;
  }
  return true;
}

}  // namespace invoice
