#include "driver/windows_path.h"

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

}  // namespace invoice
