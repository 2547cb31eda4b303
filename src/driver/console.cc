#include "driver/console.h"

#include <algorithm>
#include <cstdint>

#include "driver/messages.h"

namespace invoice {

namespace {

constexpr std::size_t kPrintZone = 14;

// Columns that a terminal gives a code point: 0 for combining marks, 2 for
// the wide East Asian blocks and emoji, 1 for the rest.
std::size_t display_width(std::uint32_t code_point) {
  if ((code_point >= 0x0300 && code_point <= 0x036F) ||
      (code_point >= 0x200B && code_point <= 0x200F)) {
    return 0;
  }
  struct Range {
    std::uint32_t first, last;
  };
  static constexpr Range kWide[] = {
      {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
      {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
      {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
      {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
  };
  for (const Range& range : kWide) {
    if (code_point >= range.first && code_point <= range.last) return 2;
  }
  return 1;
}

// Decodes one UTF-8 sequence at `text[at]`; returns its length, or 0 when
// the bytes there are not a valid, shortest-form sequence.
std::size_t decode_utf8(std::string_view text, std::size_t at, std::uint32_t& code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code_point = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code_point = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code_point = (code_point << 6) | (byte(at + i) & 0x3F);
  }
  if (code_point < minimum || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// Code points that move a terminal's cursor or start a control sequence:
// C0, DEL and C1 (0x9B alone is the one-byte CSI).
bool is_control(std::uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point < 0xA0);
}

}  // namespace

std::string escape_control_bytes(std::string_view text, bool backslash_in_names) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = decode_utf8(text, at, code_point);
    const bool escape_like =
        backslash_in_names && code_point == '\\' && text.substr(at + 1, 1) == "x";
    if (length != 0 && !is_control(code_point) && !escape_like) {
      out.append(text.substr(at, length));
      at += length;
      continue;
    }
    for (std::size_t end = at + (length == 0 ? 1 : length); at < end; ++at) {
      const auto b = static_cast<unsigned char>(text[at]);
      out += '\\';
      out += 'x';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string unescape_control_bytes(std::string_view text) {
  auto hex_value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\\' && at + 3 < text.size() && text[at + 1] == 'x' &&
        hex_value(text[at + 2]) >= 0 && hex_value(text[at + 3]) >= 0) {
      out += static_cast<char>(hex_value(text[at + 2]) * 16 + hex_value(text[at + 3]));
      at += 3;
      continue;
    }
    out += text[at];
  }
  return out;
}

std::string make_printable(std::string_view path, std::size_t& columns) {
  std::string out;
  out.reserve(path.size());
  columns = 0;
  for (std::size_t at = 0; at < path.size();) {
    std::uint32_t code_point = 0;
    const std::size_t length = decode_utf8(path, at, code_point);
    if (length == 0 || is_control(code_point)) {
      out += '?';
      columns += 1;
      at += length == 0 ? 1 : length;
      continue;
    }
    out.append(path.substr(at, length));
    columns += display_width(code_point);
    at += length;
  }
  return out;
}

std::size_t count_zone_blanks(std::size_t columns, std::size_t width) {
  // Text that fills a row exactly leaves the cursor at the start of the
  // next one, so only the position within the row counts.
  const std::size_t column = width == 0 ? columns : columns % width;
  return kPrintZone - column % kPrintZone;
}

std::string format_summary(std::int64_t count, std::string_view tail, std::string_view head) {
  std::string line(head);
  line += std::to_string(count);
  line += tail;
  return line;
}

Console::Console(Platform& platform)
    : platform_(platform),
      terminal_(platform.output_is_terminal()),
      backslash_in_names_(platform.conventions() == Platform::Conventions::kPosix) {}

void Console::write_output(std::string_view text) {
  const Status status = platform_.write_output(text);
  if (!status.is_ok() && output_status_.is_ok()) output_status_ = status;
}

void Console::show_line(std::string_view text) {
  std::string line(text);
  line += '\n';
  write_output(line);
  progress_shown_ = false;
  progress_columns_ = 0;
}

void Console::show_progress(std::string_view path) {
  if (!terminal_) return;
  std::size_t columns = 0;
  std::string line = "\r";
  line += make_printable(path, columns);
  const auto width = static_cast<std::size_t>(platform_.terminal_width());
  const std::size_t blanks = count_zone_blanks(columns, width);
  line.append(blanks, ' ');
  write_output(line);
  progress_shown_ = true;
  progress_columns_ = std::max(progress_columns_, columns + blanks);
}

void Console::end_line() {
  write_output("\n");
  progress_shown_ = false;
  progress_columns_ = 0;
}

void Console::show_change(std::string_view head, std::string_view path, std::string_view what) {
  std::string text(head);
  text += escape_control_bytes(path, backslash_in_names_);
  text += kChangeSeparator;
  text += what;
  if (!terminal_) {
    show_line(text);
    return;
  }
  std::size_t columns = 0;
  const std::string printable = make_printable(text, columns);
  const auto width = static_cast<std::size_t>(platform_.terminal_width());
  std::string line;
  if (progress_shown_ && progress_columns_ < width) {
    // Over the progress row, blanking what the line does not cover.
    line = "\r";
    line += printable;
    if (columns < progress_columns_) line.append(progress_columns_ - columns, ' ');
  } else {
    // Progress that wrapped cannot be covered from its last row.
    if (progress_shown_) end_line();
    line = printable;
  }
  show_line(line);
}

void Console::show_failure(std::string_view path, std::string_view reason) {
  show_about_file(kFailureHead, path, reason);
}

void Console::show_notice(std::string_view path, std::string_view text) {
  show_about_file(kNoticeHead, path, text);
}

void Console::show_about_file(std::string_view label, std::string_view path,
                              std::string_view text) {
  if (progress_shown_) end_line();
  std::string line(label);
  line += escape_control_bytes(path, backslash_in_names_);
  line += kFailureSeparator;
  line += text;
  line += '\n';
  platform_.write_error(line);
}

void Console::show_output_failure() {
  std::string line(kFailureHead);
  line += kCannotWriteOutput;
  line += describe_status(output_status_);
  line += '\n';
  platform_.write_error(line);
}

}  // namespace invoice
