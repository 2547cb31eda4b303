#include "platform/windows_path.h"

#include <cstdint>
#include <vector>

namespace invoice {

namespace {

constexpr std::string_view kExtendedPrefix = "\\\\?\\";
constexpr std::string_view kNtPrefix = "\\??\\";
constexpr std::string_view kDevicePrefix = "\\\\.\\";

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool has_drive(std::string_view path) {
  return path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':';
}

// An absolute path split into its root ("\\?\C:" or "\\?\UNC\server\share")
// and the text after it.
struct RootedPath {
  std::string root;
  std::string_view rest;
};

// Splits an absolute path that is not yet in the \\?\ namespace; the root
// is empty when `path` is not absolute.
RootedPath split_root(std::string_view path) {
  if (path.size() >= 3 && has_drive(path) && is_separator(path[2])) {
    return {std::string(kExtendedPrefix) + std::string(path.substr(0, 2)), path.substr(2)};
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // \\server\share: both names belong to the root.
    std::size_t end = 2;
    for (int names = 0; names < 2; ++names) {
      while (end < path.size() && !is_separator(path[end])) ++end;
      if (names == 0 && end < path.size()) ++end;
    }
    std::string root = std::string(kExtendedPrefix) + "UNC\\";
    for (char c : path.substr(2, end - 2)) root += is_separator(c) ? '\\' : c;
    return {root, path.substr(end)};
  }
  return {};
}

// The root of an extended path: "\\?\C:" or "\\?\UNC\server\share"; the
// whole text when it has neither form.
std::string_view extended_root(std::string_view extended) {
  std::string_view rest = extended.substr(kExtendedPrefix.size());
  std::size_t names = 1;
  if (rest.starts_with("UNC\\")) names = 3;
  std::size_t end = 0;
  for (std::size_t i = 0; i < names; ++i) {
    const std::size_t next = rest.find('\\', end);
    if (next == std::string_view::npos) return extended;
    end = next + 1;
  }
  return extended.substr(0, kExtendedPrefix.size() + end - 1);
}

// Appends the components of `rest` to `parts`, resolving "." and "..".
void add_components(std::string_view rest, std::vector<std::string_view>& parts) {
  std::size_t at = 0;
  while (at <= rest.size()) {
    std::size_t end = at;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    const std::string_view part = rest.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
}

std::string assemble(std::string_view root, const std::vector<std::string_view>& parts) {
  std::string out(root);
  if (parts.empty()) out += '\\';
  for (std::string_view part : parts) {
    out += '\\';
    out += part;
  }
  return out;
}

}  // namespace

std::string make_extended_path(std::string_view path, std::string_view current_folder) {
  if (path.starts_with(kExtendedPrefix) || path.starts_with(kNtPrefix) ||
      path.starts_with(kDevicePrefix)) {
    return std::string(path);
  }
  const RootedPath absolute = split_root(path);
  if (!absolute.root.empty()) {
    std::vector<std::string_view> parts;
    add_components(absolute.rest, parts);
    return assemble(absolute.root, parts);
  }
  // Everything else starts from the current folder, itself made extended.
  const std::string current = current_folder.empty() ? std::string(kExtendedPrefix) + "C:\\"
                                                     : make_extended_path(current_folder, "C:\\");
  const std::string_view current_root = extended_root(current);
  std::vector<std::string_view> parts;
  if (has_drive(path)) {
    // "C:a": relative to the current folder when that is on drive C.
    const std::string_view drive = path.substr(0, 2);
    const std::string_view current_drive = current_root.substr(kExtendedPrefix.size());
    const bool same_drive = current_drive.size() == 2 &&
                            (current_drive[0] | 0x20) == (drive[0] | 0x20) &&
                            current_drive[1] == ':';
    if (same_drive) add_components(std::string_view(current).substr(current_root.size()), parts);
    add_components(path.substr(2), parts);
    return assemble(
        same_drive ? std::string(current_root) : std::string(kExtendedPrefix) + std::string(drive),
        parts);
  }
  if (path.empty() || !is_separator(path[0])) {
    add_components(std::string_view(current).substr(current_root.size()), parts);
  }
  add_components(path, parts);
  return assemble(current_root, parts);
}

std::string join_windows_path(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!folder.empty() && !is_separator(folder.back())) path += '\\';
  path += name;
  return path;
}

std::string strip_typed_quotes(std::string_view root) {
  while (!root.empty() && root.back() == ' ') root.remove_suffix(1);
  if (root.size() >= 2 && root.front() == '"' && root.back() == '"') {
    root = root.substr(1, root.size() - 2);
  } else if (!root.empty() && root.back() == '"') {
    root.remove_suffix(1);
  }
  return std::string(root);
}

std::string escape_unpaired_surrogates(std::u16string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t at = 0; at < name.size(); ++at) {
    std::uint32_t code_point = name[at];
    const bool high = code_point >= 0xD800 && code_point <= 0xDBFF;
    const bool low_next = at + 1 < name.size() && name[at + 1] >= 0xDC00 && name[at + 1] <= 0xDFFF;
    if (high && low_next) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (name[++at] - 0xDC00);
    } else if (code_point >= 0xD800 && code_point <= 0xDFFF) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code_point >> shift) & 15];
      continue;
    }
    if (code_point < 0x80) {
      out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
      out += static_cast<char>(0xC0 | (code_point >> 6));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
      out += static_cast<char>(0xE0 | (code_point >> 12));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code_point >> 18));
      out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
  }
  return out;
}

}  // namespace invoice
